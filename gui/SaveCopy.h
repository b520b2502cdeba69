#pragma once
// Copies the repaired working file to the destination the user chose, on a thread of its
// own, with pause and cancel. Progress is counted in pieces of 1,024 bytes (the bar's
// maximum is the number of pieces) but the data move in large blocks, and a report is sent
// only when the whole percentage changes, so a file of several gigabytes copies at the
// speed of the disk. A read or write error fails the copy and removes the partial
// destination; so does a cancel.
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace vr {

class SaveCopy {
 public:
  static constexpr uint64_t kPieceSize = 1024;
  static constexpr uint64_t kBlockSize = 1024 * kPieceSize;

  // Called on the copying thread.
  std::function<void(uint64_t piece, uint64_t pieces, int percent)> onProgress;
  // Called once on the copying thread when the copy ends, unless it was cancelled; the
  // message is empty on success.
  std::function<void(const QString& error)> onFinished;

  SaveCopy() = default;
  ~SaveCopy();
  SaveCopy(const SaveCopy&) = delete;
  SaveCopy& operator=(const SaveCopy&) = delete;

  // Number of 1,024-byte pieces of a file of the given size.
  static uint64_t piecesFor(uint64_t size) { return (size + kPieceSize - 1) / kPieceSize; }

  // Creates the destination empty (replacing an older file), opens the source and starts
  // copying. On failure nothing runs and error says why.
  bool start(const QString& source, const QString& destination, QString* error);
  void setPaused(bool paused);
  bool paused() const { return paused_.load(); }
  // Stops the copy, waits for the thread and removes the partial destination.
  void cancel();
  // Waits for the copying thread to end.
  void wait();

 private:
  void run();
  void fail(const QString& error);
  void removeDestination();

  QString destination_;
  int in_ = -1;
  int out_ = -1;
  uint64_t size_ = 0;
  std::thread thread_;
  std::atomic<bool> paused_{false};
  std::atomic<bool> cancelled_{false};
  std::mutex m_;
  std::condition_variable cv_;
};

}  // namespace vr
