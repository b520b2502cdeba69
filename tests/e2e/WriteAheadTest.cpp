// The scan copies the chunks it has settled to the output while it goes on. The result
// must be the file a repair that writes everything after the scan makes, byte for byte;
// and a scan stopped halfway leaves the output as it found it.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/File.h"
#include "engine/RepairFile.h"
#include "support/RecordingDelegate.h"
#include "support/TestMedia.h"

namespace vr {
namespace {

TEST(WriteAhead, SameFileAsWritingAfterTheScan) {
  test::TempDir dir;
  struct Case {
    const char* set;
    const char* damage;
  };
  const Case cases[] = {{"h264-aac-mov", "lost"},       {"h264-aac-mov", "garbage"}, {"h264-aac-mp4-mono", "cut"},
                        {"h265-sowt-mov", "lost"},      {"h265-none-mp4", "garbage"}};
  for (const Case& c : cases) {
    const test::MediaSet* s = test::findSet(c.set);
    if (!s) GTEST_SKIP() << "no test media";
    const std::string damaged = s->file(c.damage);
    SCOPED_TRACE(damaged);

    RepairFile ahead;
    test::RecordingDelegate aheadReports;
    ahead.delegate = &aheadReports;
    ahead.repairMOVWithRefFileAtPath(s->ref(), damaged, dir.file("ahead.mov"));
    ASSERT_TRUE(aheadReports.completed);

    // The same repair with nothing written before the writing phase.
    RepairFile after;
    test::RecordingDelegate afterReports;
    after.delegate = &afterReports;
    after.repairFileAtPath(damaged, "", s->ref());
    ASSERT_FALSE(after.stopflag());
    after.writeSampleAtPath(dir.file("after.mov"), damaged);
    ASSERT_FALSE(after.writeFailed);

    EXPECT_TRUE(test::readFileBytes(dir.file("ahead.mov")) == test::readFileBytes(dir.file("after.mov")));
    EXPECT_EQ(aheadReports.tasks, afterReports.tasks);
  }
}

// Stops the scan at its first progress report from 50 % on, noting whether the output
// existed by then.
class StopHalfway : public test::RecordingDelegate {
 public:
  StopHalfway(RepairFile& r, std::string out) : repair(r), output(std::move(out)) {}
  void repairFileCurrentTaskProgress(int32_t percent) override {
    RecordingDelegate::repairFileCurrentTaskProgress(percent);
    if (percent >= 50 && !repair.stopflag() && tasks.size() == 2) {
      outputBytesAtStop = std::filesystem::exists(output) ? std::filesystem::file_size(output) : 0;
      existedAtStop = std::filesystem::exists(output);
      repair.setStopflag(true);
    }
  }
  RepairFile& repair;
  std::string output;
  bool existedAtStop = false;
  uintmax_t outputBytesAtStop = 0;
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
    if (before != kAbsent) {
      ASSERT_TRUE(test::writeFileBytes(out, before == kEmpty ? Bytes{} : someone));
    }
    RepairFile repair;
    StopHalfway delegate(repair, out);
    repair.delegate = &delegate;
    repair.repairMOVWithRefFileAtPath(s->ref(), s->lost(), out);
    ASSERT_TRUE(repair.stopflag());
    EXPECT_FALSE(delegate.completed);
    switch (before) {
      case kAbsent:
        EXPECT_TRUE(delegate.existedAtStop);  // the copy had begun
        EXPECT_FALSE(std::filesystem::exists(out));
        break;
      case kEmpty:
        EXPECT_TRUE(delegate.existedAtStop);
        EXPECT_TRUE(std::filesystem::exists(out));
        EXPECT_EQ(std::filesystem::file_size(out), 0u);
        break;
      default:
        // A file that holds data is not touched before the writing phase.
        EXPECT_EQ(delegate.outputBytesAtStop, someone.size());
        EXPECT_EQ(test::readFileBytes(out), someone);
    }
  }
}

}  // namespace
}  // namespace vr
