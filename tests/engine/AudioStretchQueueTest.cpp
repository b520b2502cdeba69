// The queue that analyses audio stretches beside the scan: results by ticket whatever
// order the workers finish in (known results never reach a worker), a bounded number
// waiting, failures carried to the taker, and a prompt end when dropped with work left.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <stdexcept>
#include <thread>

#include "engine/AudioStretchQueue.h"
#include "support/TestMedia.h"

namespace vr {
namespace {

using namespace std::chrono_literals;

// A one-byte file for the workers' handles.
struct QueueFixture : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(test::writeFileBytes(path, Bytes{1}) && (own = FileHandle::openForReading(path)).isOpen());
  }
  test::TempDir dir;
  std::string path = dir.file("stretches.bin");
  FileHandle own;
};

// One "frame" per stretch, at the stretch's offset with its size.
SampleList framesOf(uint64_t offset, uint64_t size) {
  return {Sample::initWithSampleType(kSampleTypeAAC, offset, size, nullptr)};
}

TEST_F(QueueFixture, ResultsComeBackByTicketWhateverOrderTheyFinishIn) {
  for (unsigned workers : {0u, 1u, 3u}) {
    SCOPED_TRACE(workers);
    std::mutex m;
    std::set<int> fds;
    std::set<uint64_t> analysed;
    // Later stretches finish first: a worker sleeps longer for a smaller offset.
    AudioStretchQueue queue(
        [&](FileHandle& handle, uint64_t offset, uint64_t size) -> std::optional<SampleList> {
          {
            std::lock_guard<std::mutex> lock(m);
            fds.insert(handle.fd());
            analysed.insert(offset);
          }
          std::this_thread::sleep_for(std::chrono::microseconds(200 * (20 - offset % 20)));
          if (size == 0) return std::nullopt;  // stands for a stop
          return framesOf(offset, size);
        },
        path, own, workers, 4);
    // Every fifth stretch comes with its frames known (walked by the scan).
    for (uint64_t i = 0; i < 40; ++i)
      EXPECT_EQ(queue.submit(i, i == 17 ? 0 : 100 + i, i % 5 == 0 ? std::optional(framesOf(i, 100 + i)) : std::nullopt),
                i);
    for (uint64_t i = 0; i < 40; ++i) {
      const auto frames = queue.take(i);
      EXPECT_EQ(frames ? std::optional(std::pair(frames->at(0).sampleOffset, frames->at(0).sampleSize)) : std::nullopt,
                i == 17 ? std::nullopt : std::optional(std::pair<uint64_t, uint64_t>(i, 100 + i)));
    }
    EXPECT_EQ(analysed.size(), 32u);  // 8 were known
    // A ticket is taken once; unknown tickets give nothing and do not wait.
    EXPECT_FALSE(queue.take(3));
    EXPECT_FALSE(queue.take(1000) || queue.ready(1000));
    // Without workers everything is read through the caller's handle, else through theirs.
    EXPECT_EQ(fds.count(own.fd()), workers == 0 ? 1u : 0u);
    EXPECT_LE(fds.size(), std::max(workers, 1u));
  }
}

TEST_F(QueueFixture, SubmitWaitsWhileTheBoundIsReachedAndTakeRethrowsFailures) {
  std::atomic<bool> release{false};
  std::atomic<int> started{0};
  AudioStretchQueue queue(
      [&](FileHandle&, uint64_t offset, uint64_t size) -> std::optional<SampleList> {
        ++started;
        while (!release.load()) std::this_thread::sleep_for(1ms);
        if (offset == 2) throw std::runtime_error("decoder broke");
        return framesOf(offset, size);
      },
      path, own, 1, 2);
  // One stretch in the worker's hands and two waiting: the fourth submit must wait.
  for (uint64_t i = 0; i < 3; ++i) queue.submit(i, 1);
  std::atomic<bool> fourthQueued{false};
  std::thread submitter([&] {
    queue.submit(3, 1);
    fourthQueued.store(true);
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(started.load(), 1);
  EXPECT_FALSE(fourthQueued.load());
  EXPECT_FALSE(queue.ready(0));
  release.store(true);
  submitter.join();
  EXPECT_TRUE(queue.take(0) && queue.take(1));
  EXPECT_THROW(queue.take(2), std::runtime_error);
  EXPECT_TRUE(queue.take(3));
}

TEST_F(QueueFixture, DroppingTheQueueLeavesWaitingStretchesUndone) {
  std::atomic<int> analysed{0};
  const auto began = std::chrono::steady_clock::now();
  {
    AudioStretchQueue queue(
        [&](FileHandle&, uint64_t offset, uint64_t size) -> std::optional<SampleList> {
          std::this_thread::sleep_for(20ms);
          return ++analysed, framesOf(offset, size);
        },
        path, own, 2, 100);
    for (uint64_t i = 0; i < 100; ++i) queue.submit(i, 1);
  }
  // The two stretches in hand are finished; the other 98 (two seconds of work) are not.
  EXPECT_LE(analysed.load(), 4);
  EXPECT_LT(std::chrono::steady_clock::now() - began, 500ms);
}

}  // namespace
}  // namespace vr
