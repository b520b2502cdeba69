// The repair driver: the order of input checks and their errors, the pause flag, and a
// failed write. Unusable references and stops during a
// repair are checked end to end.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "engine/File.h"
#include "engine/RepairFile.h"
#include "support/RecordingDelegate.h"
#include "support/TestMedia.h"

namespace vr {
namespace {

using test::RecordingDelegate;
using test::TempDir;

std::vector<std::string> repair(const std::string& ref, const std::string& corrupt, const std::string& out,
                                RecordingDelegate& d) {
  RepairFile engine;
  engine.delegate = &d;
  engine.repairMOVWithRefFileAtPath(ref, corrupt, out);
  EXPECT_TRUE(engine.stopflag());
  return d.snapshot();
}

TEST(RepairFile, ChecksInputsInOrder) {
  TempDir dir;
  const std::string missing = dir.file("missing.mov"), empty = dir.file("empty.mov"), garbage = dir.file("g.mov");
  test::writeFileBytes(empty, Bytes{});
  test::writeFileBytes(garbage, Bytes(5000, 0x42));
  const struct { std::string ref, corrupt; std::vector<std::string> events; } cases[] = {
      // The reference is tested first, even when both are missing.
      {missing, missing, {"error:105"}},
      {empty, missing, {"error:104"}},
      // No movie atom in the reference: error 102 when the paths differ, a request for
      // another reference without an error when they are the same.
      {garbage, empty, {"task:Analyzing video file...", "error:102"}},
      {garbage, garbage, {"task:Analyzing video file...", "moveBack"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ref + " / " + c.corrupt);
    RecordingDelegate d;
    EXPECT_EQ(repair(c.ref, c.corrupt, dir.file("out.mov"), d), c.events);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.mov")));
    if (c.events[0] == "error:105") {
      EXPECT_EQ(d.errors.at(0).domain + ": " + d.errors[0].reason(),
                "com.dovex.videorepair: Healthy File Does not Exist or Unreadbale");
    }
  }
}

TEST(RepairFile, PauseHoldsAndResumeWakesAtOnce) {
  RepairFile engine;
  engine.setPauseRepairing(true);
  std::atomic<bool> done{false};
  std::thread t([&] {
    engine.waitWhilePaused();
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_FALSE(done.load()) << "a pause lasts past the one-second steps";
  engine.setStopflag(true);  // a stop request alone does not end a pause
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(done.load());
  const auto resumed = std::chrono::steady_clock::now();
  engine.setPauseRepairing(false);
  t.join();
  EXPECT_LT(std::chrono::steady_clock::now() - resumed, std::chrono::milliseconds(500));
}

// Every write to /dev/full fails as on a full disk: an error, never a completion.
TEST(RepairFile, AFailedWriteIsAnErrorNotACompletion) {
  const auto* set = test::findSet("h264-aac-mov");
  if (!set) GTEST_SKIP() << "no test media";
  if (!FileHandle::openForUpdating("/dev/full").isOpen()) GTEST_SKIP() << "no /dev/full";
  RecordingDelegate d;
  const auto events = repair(set->ref(), set->lost(), "/dev/full", d);
  EXPECT_EQ(std::count(events.begin(), events.end(), "complete"), 0);
  EXPECT_EQ(events.back(), "error:106");
}

}  // namespace
}  // namespace vr
