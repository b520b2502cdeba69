// The repair driver: the order of checks and errors, reference selection, attributes,
// and the stop and pause flags.
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

struct Outcome {
  std::vector<std::string> events;
  bool stopped;
};

Outcome repair(const std::string& ref, const std::string& corrupt, const std::string& out) {
  RepairFile engine;
  RecordingDelegate d;
  engine.delegate = &d;
  engine.repairMOVWithRefFileAtPath(ref, corrupt, out);
  return {d.snapshot(), engine.stopflag()};
}

TEST(RepairFile, ChecksInputsInOrder) {
  TempDir dir;
  const std::string missing = dir.file("missing.mov");
  const std::string empty = dir.file("empty.mov");
  test::writeFileBytes(empty, Bytes{});
  const std::string garbage = dir.file("garbage.mov");
  test::writeFileBytes(garbage, Bytes(5000, 0x42));

  struct Case {
    std::string ref, corrupt;
    std::vector<std::string> events;
  } cases[] = {
      // The reference is tested first, even when both are missing.
      {missing, missing, {"error:105"}},
      {empty, missing, {"error:104"}},
      // No movie atom in the reference: error 102 when the paths differ...
      {garbage, empty, {"task:Analyzing video file...", "error:102"}},
      // ... and a request for another reference, without an error, when they are the same.
      {garbage, garbage, {"task:Analyzing video file...", "moveBack"}},
      {empty, empty, {"task:Analyzing video file...", "moveBack"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ref + " / " + c.corrupt);
    Outcome o = repair(c.ref, c.corrupt, dir.file("out.mov"));
    EXPECT_EQ(o.events, c.events);
    EXPECT_TRUE(o.stopped);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.mov")));
  }

  RepairFile engine;
  RecordingDelegate d;
  engine.delegate = &d;
  engine.repairMOVWithRefFileAtPath(missing, missing, dir.file("out.mov"));
  ASSERT_EQ(d.errors.size(), 1u);
  EXPECT_EQ(d.errors[0].domain, "com.dovex.videorepair");
  EXPECT_EQ(d.errors[0].userInfo.size(), 1u);
  EXPECT_EQ(d.errors[0].reason(), "Healthy File Does not Exist or Unreadbale");
}

TEST(RepairFile, MovieWithoutIndexAsItsOwnReferenceAsksForAnother) {
  const auto* set = test::findSet("h264-aac-mov");
  if (!set) GTEST_SKIP() << "no test media";
  TempDir dir;
  Outcome o = repair(set->lost(), set->lost(), dir.file("out.mov"));
  EXPECT_EQ(o.events, (std::vector<std::string>{"task:Analyzing video file...", "moveBack"}));
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.mov")));
}

TEST(RepairFile, ReferenceOfAnotherCodecAsksForAnother) {
  if (!test::hasFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  TempDir dir;
  const std::string mpeg4 = dir.file("mpeg4.mov");
  ASSERT_EQ(test::runCommand("ffmpeg -v error -f lavfi -i testsrc=size=160x120:rate=10 -t 1 -c:v mpeg4 -y " +
                             test::shellQuote(mpeg4))
                .status,
            0);
  Outcome o = repair(mpeg4, mpeg4, dir.file("out.mov"));
  EXPECT_EQ(o.events, (std::vector<std::string>{"task:Analyzing video file...", "moveBack"}));
  EXPECT_TRUE(o.stopped);
}

TEST(RepairFile, AttributesAreFormatted) {
  struct Case {
    uint64_t codec;
    double fps;
    std::string video, fpsText;
  } cases[] = {{1001, 29.97002997, "AVC1", "29.97"}, {1002, 25, "HVC1", "25.00"}, {7, 0, "Unknown", "0.00"}};
  for (const auto& c : cases) {
    RepairFile engine;
    RecordingDelegate d;
    engine.delegate = &d;
    engine.sendInfoToUIVideoCodec(c.codec, c.fps, 2, "0:1:5");
    EXPECT_EQ(d.snapshot(), (std::vector<std::string>{"attr:video=" + c.video, "attr:fps=" + c.fpsText,
                                                      "attr:track=2", "attr:duration=0:1:5"}));
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
  // A stop request alone does not end a pause.
  engine.setStopflag(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(done.load());
  const auto resumed = std::chrono::steady_clock::now();
  engine.setPauseRepairing(false);
  t.join();
  EXPECT_LT(std::chrono::steady_clock::now() - resumed, std::chrono::milliseconds(500));
  EXPECT_TRUE(engine.stopflag());
}

TEST(RepairFile, StopBeforeWritingLeavesNoOutput) {
  const auto* set = test::findSet("h264-aac-mov");
  if (!set) GTEST_SKIP() << "no test media";
  TempDir dir;
  RepairFile engine;
  RecordingDelegate d;
  engine.delegate = &d;
  // Pause the engine as soon as the scan announces itself, stop it, then let it go.
  std::thread t([&] { engine.repairMOVWithRefFileAtPath(set->ref(), set->lost(), dir.file("out.mov")); });
  engine.setPauseRepairing(true);
  engine.setStopflag(true);
  engine.setPauseRepairing(false);
  t.join();
  for (const auto& e : d.snapshot()) {
    EXPECT_NE(e, "complete");
    EXPECT_EQ(e.rfind("error:", 0), std::string::npos) << e;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.mov")));
}

}  // namespace
}  // namespace vr

namespace vr {
namespace {

TEST(RepairFile, AFailedWriteIsAnErrorNotACompletion) {
  const auto* set = test::findSet("h264-aac-mov");
  if (!set) GTEST_SKIP() << "no test media";
  FileHandle full = FileHandle::openForUpdating("/dev/full");
  if (!full.isOpen()) GTEST_SKIP() << "no /dev/full";
  // Every write to /dev/full fails as on a full disk.
  Outcome o = repair(set->ref(), set->lost(), "/dev/full");
  EXPECT_TRUE(o.stopped);
  EXPECT_EQ(std::count(o.events.begin(), o.events.end(), "complete"), 0);
  EXPECT_EQ(o.events.back(), "error:106");
}

}  // namespace
}  // namespace vr
