// Whole repairs of ffmpeg-made movies damaged as a camera damages them (index lost, file
// cut short, garbage inside), checked with ffprobe and ffmpeg: the result opens, has the
// right codec, decodes cleanly and holds the original's frames in the original order.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>

#include "engine/RepairFile.h"
#include "support/RecordingDelegate.h"
#include "support/TestMedia.h"

namespace vr {
namespace {

using test::MediaSet;

// One line of the summary table: case, frames original / recovered / identical, audio
// duration original / recovered, decode errors.
void recordRow(const std::string& line) {
  static bool first = true;
  std::ofstream out(std::string(VR_BINARY_DIR) + "/e2e-summary.txt", first ? std::ios::trunc : std::ios::app);
  if (first) out << "case | frames orig | recovered | identical | audio s orig | audio s recovered | decode errors\n";
  first = false;
  out << line << "\n";
  std::printf("  %s\n", line.c_str());
}

struct Outcome {
  test::RecordingDelegate delegate;
  std::string output;
};

// Repairs `damaged` with `reference` into a file in dir; `configure` may adjust the
// engine and delegate before the run.
std::unique_ptr<Outcome> runRepair(const test::TempDir& dir, const std::string& reference, const std::string& damaged,
                                   const std::string& outputName = "repaired.mov") {
  auto o = std::make_unique<Outcome>();
  o->output = dir.file(outputName);
  RepairFile repair;
  repair.delegate = &o->delegate;
  repair.repairMOVWithRefFileAtPath(reference, damaged, o->output);
  return o;
}

// Positions in `original` of the recovered frames, matched in order; -1 where a recovered
// frame is not found further on.
std::vector<long> matchInOrder(const std::vector<std::string>& original, const std::vector<std::string>& recovered) {
  std::vector<long> at;
  size_t next = 0;
  for (const std::string& md5 : recovered) {
    size_t j = next;
    while (j < original.size() && original[j] != md5) ++j;
    if (j == original.size()) {
      at.push_back(-1);
    } else {
      at.push_back(long(j));
      next = j + 1;
    }
  }
  return at;
}

size_t countMatched(const std::vector<long>& at) {
  return size_t(std::count_if(at.begin(), at.end(), [](long v) { return v >= 0; }));
}

double audioDuration(const std::vector<test::StreamInfo>& streams) {
  auto a = test::firstStream(streams, "audio");
  return a ? a->duration : -1;
}

std::string expectedCodecName(const MediaSet& s) { return s.codec == "h265" ? "hevc" : "h264"; }

class RepairEndToEnd : public ::testing::TestWithParam<MediaSet> {
 protected:
  void SetUp() override {
    if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    ASSERT_TRUE(dir.ok());
  }
  test::TempDir dir;
};

std::vector<MediaSet> allSets() { return test::manifest(); }

std::string setName(const ::testing::TestParamInfo<MediaSet>& info) {
  std::string n = info.param.name;
  for (char& c : n)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return n;
}

// Index lost: every frame comes back, identical and in order (the new edit list may hide
// the first one), the audio lasts as long as the original's, and nothing fails to decode.
TEST_P(RepairEndToEnd, LostIndex) {
  const MediaSet& set = GetParam();
  auto o = runRepair(dir, set.ref(), set.lost());
  EXPECT_TRUE(o->delegate.completed);
  ASSERT_TRUE(o->delegate.errors.empty()) << o->delegate.errors.front().reason();
  ASSERT_FALSE(o->delegate.moveBack);

  const auto streams = test::ffprobeStreams(o->output);
  auto v = test::firstStream(streams, "video");
  ASSERT_TRUE(v) << "no video stream in the repaired file";
  EXPECT_EQ(v->codecName, expectedCodecName(set));

  const auto errors = test::decodeErrors(o->output);
  const auto original = test::videoFrameMd5s(set.orig());
  const auto recovered = test::videoFrameMd5s(o->output);
  const auto at = matchInOrder(original, recovered);
  const size_t identical = countMatched(at);
  const auto origStreams = test::ffprobeStreams(set.orig(), false);
  const double audioOrig = audioDuration(origStreams);
  const double audioRepaired = audioDuration(streams);
  char row[256];
  std::snprintf(row, sizeof row, "%s lost | %zu | %zu | %zu | %.3f | %.3f | %zu", set.name.c_str(), original.size(),
                recovered.size(), identical, audioOrig, audioRepaired, errors.size());
  recordRow(row);

  EXPECT_TRUE(errors.empty()) << errors.front();
  EXPECT_EQ(identical, recovered.size()) << "frames that are not the original's, or out of order";
  ASSERT_FALSE(original.empty());
  EXPECT_GE(recovered.size() + 1, original.size());
  EXPECT_LE(recovered.size(), original.size());
  if (set.hasAudio()) {
    ASSERT_GT(audioOrig, 0);
    EXPECT_NEAR(audioRepaired, audioOrig, audioOrig * 0.02) << "audio duration";
  }
}

// Cut short: the pictures before the cut come back in order; nothing after it is made up.
TEST_P(RepairEndToEnd, CutShort) {
  const MediaSet& set = GetParam();
  auto o = runRepair(dir, set.ref(), set.cut());
  EXPECT_TRUE(o->delegate.completed);
  ASSERT_TRUE(o->delegate.errors.empty()) << o->delegate.errors.front().reason();
  const auto original = test::videoFrameMd5s(set.orig());
  const auto recovered = test::videoFrameMd5s(o->output);
  const auto at = matchInOrder(original, recovered);
  const size_t identical = countMatched(at);
  const auto errors = test::decodeErrors(o->output);
  char row[256];
  std::snprintf(row, sizeof row, "%s cut | %zu | %zu | %zu | - | %.3f | %zu", set.name.c_str(), original.size(),
                recovered.size(), identical, audioDuration(test::ffprobeStreams(o->output, false)), errors.size());
  recordRow(row);

  // The cut lies at 60 % of the media data, so about half of the pictures lie before it.
  EXPECT_GE(identical * 2, original.size());
  EXPECT_LT(recovered.size(), original.size());
  // Whatever is recovered is a run of the original's pictures from its start.
  for (size_t i = 0; i < at.size(); ++i) EXPECT_EQ(at[i], long(i) + (at.empty() ? 0 : at[0])) << "frame " << i;
  if (!at.empty()) EXPECT_LE(at[0], 1);
}

// Garbage over the middle: no crash, and the pictures outside the damaged region (and the
// group of pictures that depends on it) come back in order.
TEST_P(RepairEndToEnd, GarbageInside) {
  const MediaSet& set = GetParam();
  auto o = runRepair(dir, set.ref(), set.garbage());
  EXPECT_TRUE(o->delegate.completed);
  ASSERT_TRUE(o->delegate.errors.empty()) << o->delegate.errors.front().reason();
  const auto original = test::videoFrameMd5s(set.orig());
  const auto recovered = test::videoFrameMd5s(o->output);
  const auto at = matchInOrder(original, recovered);
  const size_t identical = countMatched(at);
  const auto errors = test::decodeErrors(o->output);
  char row[256];
  std::snprintf(row, sizeof row, "%s garbage | %zu | %zu | %zu | - | %.3f | %zu", set.name.c_str(),
                original.size(), recovered.size(), identical,
                audioDuration(test::ffprobeStreams(o->output, false)), errors.size());
  recordRow(row);

  // 64 KiB is about a quarter of the media data; a group of pictures is 15.
  EXPECT_GE(identical * 2, original.size());
  // The first and the last pictures lie outside the damaged region.
  ASSERT_FALSE(at.empty());
  EXPECT_LE(at.front(), 1);
  EXPECT_EQ(at.back(), long(original.size()) - 1);
}

INSTANTIATE_TEST_SUITE_P(Sets, RepairEndToEnd, ::testing::ValuesIn(allSets()), setName);

class RepairEndToEndSingle : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    set = test::findSet("h264-aac-mov");
    if (!set) GTEST_SKIP() << "test media missing";
    ASSERT_TRUE(dir.ok());
  }
  const MediaSet* set = nullptr;
  test::TempDir dir;
};

// A healthy movie repaired with itself as the reference gives back all its pictures.
TEST_F(RepairEndToEndSingle, HealthyMovieAsItsOwnReference) {
  for (const char* name : {"h264-aac-mov", "h265-aac-mp4"}) {
    const MediaSet* s = test::findSet(name);
    ASSERT_TRUE(s) << name;
    auto o = runRepair(dir, s->orig(), s->orig());
    EXPECT_TRUE(o->delegate.completed) << name;
    const auto original = test::videoFrameMd5s(s->orig());
    const auto recovered = test::videoFrameMd5s(o->output);
    EXPECT_EQ(countMatched(matchInOrder(original, recovered)), recovered.size()) << name;
    EXPECT_GE(recovered.size() + 1, original.size()) << name;
  }
}

// An in-band SPS travels with its picture: one sample per picture, so the repaired video
// lasts as long as the original (no extra frame of time per keyframe).
TEST_F(RepairEndToEndSingle, InBandParameterSetsAddNoSamples) {
  const MediaSet* s = test::findSet("h264-aac-mov-inband");
  ASSERT_TRUE(s);
  auto o = std::make_unique<Outcome>();
  RepairFile repair;
  repair.delegate = &o->delegate;
  o->output = dir.file("inband.mov");
  repair.repairMOVWithRefFileAtPath(s->ref(), s->lost(), o->output);
  ASSERT_TRUE(o->delegate.completed);
  const auto orig = test::firstStream(test::ffprobeStreams(s->orig()), "video");
  const auto fixed = test::firstStream(test::ffprobeStreams(o->output), "video");
  ASSERT_TRUE(orig && fixed);
  EXPECT_EQ(int64_t(repair.videoSampleCount), orig->nbReadFrames);
  EXPECT_EQ(fixed->nbFrames, orig->nbReadFrames);
  EXPECT_NEAR(fixed->duration, orig->duration, 0.05);
}

// References that cannot serve: the engine asks for another one and reports no error.
TEST_F(RepairEndToEndSingle, UnusableReferencesAskForAnother) {
  // A movie without an index given as its own reference.
  {
    auto o = runRepair(dir, set->lost(), set->lost());
    EXPECT_TRUE(o->delegate.moveBack);
    EXPECT_TRUE(o->delegate.errors.empty());
    EXPECT_FALSE(o->delegate.completed);
    EXPECT_FALSE(std::filesystem::exists(o->output));
  }
  // A reference whose video is neither H.264 nor H.265.
  {
    const std::string mpeg4 = dir.file("mpeg4.mov");
    ASSERT_EQ(test::runCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=160x120:rate=25:duration=1 "
                               "-c:v mpeg4 " + test::shellQuote(mpeg4))
                  .status,
              0);
    auto o = runRepair(dir, mpeg4, set->lost());
    EXPECT_TRUE(o->delegate.moveBack);
    EXPECT_TRUE(o->delegate.errors.empty());
    EXPECT_FALSE(std::filesystem::exists(o->output));
  }
  // An H.264 reference whose decoder configuration lists no parameter sets.
  {
    Bytes ref = test::readFileBytes(set->ref());
    const std::string tag = "avcC";
    auto it = std::search(ref.begin(), ref.end(), tag.begin(), tag.end());
    ASSERT_NE(it, ref.end());
    const size_t at = size_t(it - ref.begin()) + 4;  // the record after the type
    ref[at + 5] &= 0xE0;                             // numOfSequenceParameterSets := 0
    ref[at + 6] = 0;                                 // numOfPictureParameterSets := 0
    const std::string noSets = dir.file("nosets.mov");
    ASSERT_TRUE(test::writeFileBytes(noSets, ref));
    auto o = runRepair(dir, noSets, set->lost());
    EXPECT_TRUE(o->delegate.moveBack);
    EXPECT_TRUE(o->delegate.errors.empty());
    EXPECT_FALSE(std::filesystem::exists(o->output));
  }
}

// Stops requested by the application as a phase starts.
class StopAtTask : public test::RecordingDelegate {
 public:
  StopAtTask(RepairFile& r, std::string t) : repair(r), task(std::move(t)) {}
  void repairFileDidStartPerformingTask(const std::string& t) override {
    RecordingDelegate::repairFileDidStartPerformingTask(t);
    if (t == task) repair.setStopflag(true);
  }
  RepairFile& repair;
  std::string task;
};

TEST_F(RepairEndToEndSingle, StopDuringTheScanLeavesNoOutput) {
  RepairFile repair;
  StopAtTask delegate(repair, kTaskLocating);
  repair.delegate = &delegate;
  const std::string out = dir.file("stopped.mov");
  repair.repairMOVWithRefFileAtPath(set->ref(), set->lost(), out);
  EXPECT_FALSE(delegate.completed);
  EXPECT_TRUE(delegate.errors.empty());
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(RepairEndToEndSingle, StopDuringWritingCompletesWithoutIndex) {
  RepairFile repair;
  StopAtTask delegate(repair, kTaskWriting);
  repair.delegate = &delegate;
  const std::string out = dir.file("stopped.mov");
  repair.repairMOVWithRefFileAtPath(set->ref(), set->lost(), out);
  EXPECT_TRUE(delegate.completed);
  EXPECT_TRUE(delegate.errors.empty());
  const Bytes written = test::readFileBytes(out);
  ASSERT_GE(written.size(), 16u);
  EXPECT_EQ(Bytes(written.begin(), written.begin() + 16), Bytes(16, 0));
  EXPECT_FALSE(test::findTopLevelAtom(out, "moov"));
}

// Progress during the scan and the writing: whole percentages below 100, each value once
// per phase, rising.
TEST_F(RepairEndToEndSingle, ProgressRisesOncePerValue) {
  auto o = runRepair(dir, set->ref(), set->lost());
  ASSERT_TRUE(o->delegate.completed);
  const auto& p = o->delegate.progress;
  ASSERT_FALSE(p.empty());
  int phases = 1;
  for (size_t i = 1; i < p.size(); ++i) {
    EXPECT_LT(p[i], 100);
    if (p[i] <= p[i - 1]) ++phases;  // the writing phase starts again from 0
  }
  EXPECT_EQ(phases, 2);
  EXPECT_EQ(o->delegate.tasks,
            (std::vector<std::string>{kTaskAnalyzing, kTaskLocating, kTaskWriting}));
}

}  // namespace
}  // namespace vr
