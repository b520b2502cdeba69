#pragma once
// AAC stretches analysed beside the scan. Where a stretch's frames end depends on no other
// stretch: worker threads take them in the order the scan finds them while the scan goes
// on looking for video, and the scan collects the frames by ticket in its own order. Trial decoding costs far more than the scan, so this
// is what keeps a repair near the speed of the disk on a machine with several cores.
//
// The number of stretches waiting for a worker is bounded: the scan never runs far ahead
// of the decoding (its progress stays honest) and what is held stays small.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/FileIO.h"
#include "engine/Sample.h"

namespace vr {

class AudioStretchQueue {
 public:
  // Analyses [offset, offset + size) reading through the handle given; nothing when stopped.
  using Analysis = std::function<std::optional<SampleList>(FileHandle&, uint64_t offset, uint64_t size)>;

  // `workers` threads, each reading `path` through a handle of its own. With no worker (or
  // when no further handle can be opened) every stretch is analysed by submit() itself,
  // through `own`.
  AudioStretchQueue(Analysis analysis, const std::string& path, FileHandle& own, unsigned workers,
                    size_t maxWaiting = 32);
  // Stretches not started are dropped; the workers finish the one at hand and are joined.
  ~AudioStretchQueue();
  AudioStretchQueue(const AudioStretchQueue&) = delete;
  AudioStretchQueue& operator=(const AudioStretchQueue&) = delete;

  // Queues a stretch and returns its ticket: 0, 1, 2, ... in the order of the calls.
  // Blocks while the bound of waiting stretches is reached. Frames already `known` (the
  // scan walked them) are the stretch's result at once: no worker is woken for them.
  size_t submit(uint64_t offset, uint64_t size, std::optional<SampleList> known = std::nullopt);
  // True when the stretch of this ticket has been analysed.
  bool ready(size_t ticket);
  // The frames of the stretch of this ticket, waiting for them; nothing when the analysis
  // was stopped. Each ticket is taken once. An exception thrown by the analysis is
  // rethrown here.
  std::optional<SampleList> take(size_t ticket);

  unsigned workers() const { return unsigned(threads_.size()); }
  // One worker per processor, at least one and at most eight.
  static unsigned defaultWorkers();

 private:
  struct Job {
    size_t ticket;
    uint64_t offset;
    uint64_t size;
  };
  struct Result {
    bool done = false;
    bool taken = false;
    std::optional<SampleList> frames;
    std::exception_ptr error;
  };

  // Runs the analysis, catching what it throws.
  Result analyse(FileHandle& handle, uint64_t offset, uint64_t size);
  void work(FileHandle& handle);
  Result& slot(size_t ticket) { return results_[ticket - firstKept_]; }

  Analysis analysis_;
  FileHandle& own_;
  std::vector<FileHandle> handles_;
  std::vector<std::thread> threads_;
  size_t maxWaiting_;

  std::mutex m_;
  std::condition_variable jobAdded_;    // workers wait for it
  std::condition_variable jobStarted_;  // a full queue waits for it
  std::condition_variable jobDone_;     // take() waits for it
  std::deque<Job> waiting_;
  std::deque<Result> results_;  // from ticket firstKept_ on
  size_t firstKept_ = 0;
  size_t nextTicket_ = 0;
  bool shuttingDown_ = false;
};

}  // namespace vr
