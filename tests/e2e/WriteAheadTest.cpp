// The scan copies settled chunks to the output as it goes and decodes AAC on workers: with
// any number of workers the file must be, byte for byte, the one that one worker and a
// writing phase after the scan make; a scan stopped halfway leaves the output as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "engine/File.h"
#include "engine/RepairFile.h"
#include "support/RecordingDelegate.h"
#include "support/TestMedia.h"

namespace vr {
namespace {

TEST(WriteAhead, AnyNumberOfWorkersWritingAheadGivesTheFileOfOneWritingAfter) {
  test::TempDir dir;
  struct Case { const char* set; const char* damage; unsigned workers; };
  // Camera chunks and picture-by-picture interleaving (walked audio), mono, PCM, no audio.
  const Case cases[] = {{"h264-aac-mov", "lost", 3}, {"h264-aac-mov", "garbage", 2}, {"h264-aac-mp4-mono", "cut", 3},
                        {"h264-aac-mov-mux", "lost", 3}, {"h264-aac-mov-mux", "garbage", 1},
                        {"h265-sowt-mov", "lost", 2}, {"h265-none-mp4", "garbage", 2}};
  for (const Case& c : cases) {
    const test::MediaSet* s = test::findSet(c.set);
    if (!s) GTEST_SKIP() << "no test media";
    const std::string damaged = s->file(c.damage);
    SCOPED_TRACE(damaged + " with " + std::to_string(c.workers) + " workers");

    RepairFile ahead, after;
    test::RecordingDelegate aheadReports, afterReports;
    ahead.audioAnalysisThreads = c.workers, after.audioAnalysisThreads = 1;
    ahead.delegate = &aheadReports, after.delegate = &afterReports;
    ahead.repairMOVWithRefFileAtPath(s->ref(), damaged, dir.file("ahead.mov"));
    ASSERT_TRUE(aheadReports.completed);
    after.repairFileAtPath(damaged, "", s->ref());
    ASSERT_FALSE(after.stopflag());
    after.writeSampleAtPath(dir.file("after.mov"), damaged);
    ASSERT_FALSE(after.writeFailed);

    EXPECT_TRUE(test::readFileBytes(dir.file("ahead.mov")) == test::readFileBytes(dir.file("after.mov")));
    EXPECT_EQ(aheadReports.tasks, afterReports.tasks);
  }
}

// Stops the scan at its first progress report from 50 % on, noting the output by then.
class StopHalfway : public test::RecordingDelegate {
 public:
  StopHalfway(RepairFile& r, std::string out) : repair(r), output(std::move(out)) {}
  void repairFileCurrentTaskProgress(int32_t percent) override {
    RecordingDelegate::repairFileCurrentTaskProgress(percent);
    if (percent < 50 || repair.stopflag() || tasks.size() != 2) return;
    if (std::filesystem::exists(output)) bytesAtStop = std::filesystem::file_size(output);
    repair.setStopflag(true);
  }
  RepairFile& repair;
  std::string output;
  std::optional<uintmax_t> bytesAtStop;
};

TEST(WriteAhead, AStoppedScanLeavesTheOutputAsItFoundIt) {
  const test::MediaSet* s = test::findSet("h264-aac-mov");
  if (!s) GTEST_SKIP() << "no test media";
  test::TempDir dir;
  const Bytes someone = {'k', 'e', 'e', 'p'};
  enum { kAbsent, kEmpty, kHoldsData };
  for (int before : {kAbsent, kEmpty, kHoldsData}) {
    SCOPED_TRACE(before);
    const std::string out = dir.file("out" + std::to_string(before) + ".mov");
    if (before != kAbsent) { ASSERT_TRUE(test::writeFileBytes(out, before == kEmpty ? Bytes{} : someone)); }
    RepairFile repair;
    StopHalfway delegate(repair, out);
    repair.delegate = &delegate;
    repair.repairMOVWithRefFileAtPath(s->ref(), s->lost(), out);
    ASSERT_TRUE(repair.stopflag());
    EXPECT_FALSE(delegate.completed);
    // An absent or empty output is taken over as the copy begins, and a created one removed;
    // one that holds data is not touched before the writing phase.
    ASSERT_TRUE(delegate.bytesAtStop);
    if (before == kHoldsData) { EXPECT_EQ(*delegate.bytesAtStop, someone.size()); }
    EXPECT_EQ(std::filesystem::exists(out), before != kAbsent);
    if (before != kAbsent) { EXPECT_EQ(test::readFileBytes(out), before == kEmpty ? Bytes{} : someone); }
  }
}

}  // namespace
}  // namespace vr
