// Whole repairs of ffmpeg-made movies damaged as a camera damages them (index lost, file
// cut short, garbage inside), checked with ffprobe and ffmpeg: the result opens, has the
// right codec, decodes cleanly and holds the original's frames in the original order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>

#include "engine/RepairFile.h"
#include "support/RecordingDelegate.h"
#include "support/TestMedia.h"

namespace vr {
namespace test {
// Names the case in test output instead of dumping its bytes.
inline void PrintTo(const MediaSet& s, std::ostream* os) { *os << s.name; }
}  // namespace test

namespace {

using test::MediaSet;

// One line of the summary table: case, frames original / recovered / identical, audio
// duration original / recovered, decode errors. Lines are printed and appended to
// e2e-summary.txt in the build folder (test processes may run side by side).
void recordRow(const std::string& line) {
  const std::string path = std::string(VR_BINARY_DIR) + "/e2e-summary.txt";
  const bool fresh = !std::filesystem::exists(path) || std::filesystem::file_size(path) == 0;
  std::ofstream out(path, std::ios::app);
  if (fresh) out << "case | frames orig | recovered | identical | audio s orig | audio s recovered | decode errors\n";
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

std::string expectedCodecName(const std::string& codec) { return codec == "h265" ? "hevc" : "h264"; }

// The files of one case: a healthy reference, the original recording and its damaged
// copies.
struct CaseFiles {
  std::string name;
  std::string codec;  // "h264" or "h265"
  bool hasAudio = false;
  bool pcm = false;
  std::string ref, orig, lost, cut, garbage;
};

CaseFiles caseFiles(const MediaSet& s) {
  return {s.name,  s.codec,  s.hasAudio(), s.audio == "sowt" || s.audio == "twos",
          s.ref(), s.orig(), s.lost(),     s.cut(),
          s.garbage()};
}

// What a repair of `damaged` gave, next to the original, with its line in the summary.
struct Observed {
  std::unique_ptr<Outcome> outcome;
  std::vector<std::string> original, recovered;
  std::vector<long> at;  // position in original of each recovered frame, -1 if none
  size_t identical = 0;
  std::vector<std::string> errors;
  std::vector<test::StreamInfo> streams;
  double audioOrig = -1, audioRepaired = -1;
};

Observed observe(const test::TempDir& dir, const CaseFiles& c, const std::string& damaged, const char* kind,
                 const std::string& skipReason) {
  Observed r;
  r.outcome = runRepair(dir, c.ref, damaged);
  r.streams = test::ffprobeStreams(r.outcome->output);
  r.errors = test::decodeErrors(r.outcome->output);
  r.original = test::videoFrameMd5s(c.orig);
  r.recovered = test::videoFrameMd5s(r.outcome->output);
  r.at = matchInOrder(r.original, r.recovered);
  r.identical = countMatched(r.at);
  r.audioOrig = audioDuration(test::ffprobeStreams(c.orig, false));
  r.audioRepaired = audioDuration(r.streams);
  char row[256];
  std::snprintf(row, sizeof row, "%s %s | %zu | %zu | %zu | %.3f | %.3f | %zu%s", c.name.c_str(), kind,
                r.original.size(), r.recovered.size(), r.identical, r.audioOrig, r.audioRepaired, r.errors.size(),
                skipReason.empty() ? "" : " | skipped");
  recordRow(row);
  return r;
}

void expectCompleted(const Observed& r) {
  EXPECT_TRUE(r.outcome->delegate.completed);
  EXPECT_FALSE(r.outcome->delegate.moveBack);
  for (const RepairError& e : r.outcome->delegate.errors) ADD_FAILURE() << "error " << e.code << ": " << e.reason();
}

// Index lost (or unusable): every frame comes back, identical and in order, the first one
// shown, the audio lasts as long as the original's (within one frame), and nothing fails
// to decode.
void checkEverythingBack(const test::TempDir& dir, const CaseFiles& c, const std::string& damaged, const char* kind,
                         const std::string& skipReason) {
  const Observed r = observe(dir, c, damaged, kind, skipReason);
  if (!skipReason.empty()) GTEST_SKIP() << skipReason;
  expectCompleted(r);
  auto v = test::firstStream(r.streams, "video");
  ASSERT_TRUE(v) << "no video stream in the repaired file";
  EXPECT_EQ(v->codecName, expectedCodecName(c.codec));
  EXPECT_TRUE(r.errors.empty()) << r.errors.front();
  EXPECT_EQ(r.identical, r.recovered.size()) << "frames that are not the original's, or out of order";
  ASSERT_FALSE(r.original.empty());
  EXPECT_EQ(r.recovered.size(), r.original.size());
  if (!c.hasAudio) return;
  ASSERT_GT(r.audioOrig, 0);
  const bool audioOff = std::fabs(r.audioRepaired - r.audioOrig) > 1024.0 / 48000 + 1e-3;
  EXPECT_FALSE(audioOff) << "audio lasts " << r.audioRepaired << " s instead of " << r.audioOrig << " s";
}

// Cut short: the pictures before the cut come back in order; nothing after it is made up.
void checkCutShort(const test::TempDir& dir, const CaseFiles& c, const std::string& skipReason) {
  const Observed r = observe(dir, c, c.cut, "cut", skipReason);
  if (!skipReason.empty()) GTEST_SKIP() << skipReason;
  expectCompleted(r);
  // The cut lies at 60 % of the media data, so about half of the pictures lie before it.
  EXPECT_GE(r.identical * 2, r.original.size());
  EXPECT_LT(r.recovered.size(), r.original.size());
  // What is recovered is a run of the original's pictures from its start, in order. Only
  // the last may differ: a picture of several slices can lose its last slices to the cut.
  ASSERT_FALSE(r.at.empty());
  EXPECT_LE(r.at[0], 1);
  for (size_t i = 0; i + 1 < r.at.size(); ++i) EXPECT_EQ(r.at[i], r.at[0] + long(i)) << "frame " << i;
  if (r.at.back() >= 0) {
    EXPECT_EQ(r.at.back(), r.at[0] + long(r.at.size()) - 1);
  }
}

// Garbage over the middle: no crash, and the pictures outside the damaged region (and the
// group of pictures that depends on it) come back in order.
void checkGarbage(const test::TempDir& dir, const CaseFiles& c, const std::string& skipReason) {
  const Observed r = observe(dir, c, c.garbage, "garbage", skipReason);
  if (!skipReason.empty()) GTEST_SKIP() << skipReason;
  expectCompleted(r);
  // The pictures in the damaged share of the media data are lost, and at most a group of
  // 15 pictures on either side that depends on a damaged one.
  const auto mdat = test::findTopLevelAtom(c.garbage, "mdat");
  ASSERT_TRUE(mdat);
  const double payload = double(mdat->size - mdat->headerSize);
  const double damaged = std::min(65536.0, payload / 2) / payload;
  EXPECT_GE(double(r.identical), double(r.original.size()) * (1 - damaged) - 2 * 15);
  // The first and the last pictures lie outside the damaged region.
  ASSERT_FALSE(r.at.empty());
  EXPECT_LE(r.at.front(), 1);
  EXPECT_EQ(r.at.back(), long(r.original.size()) - 1);
}

// ---------------------------------------------------------------------------------------
// The shared test movies.

// The high-rate recordings are two groups of eight pictures, and the 64 KiB over the middle
// of their media data cover the end of the first keyframe and the start of the second:
// every picture depends on a damaged one.
std::string garbageLimitation(const MediaSet& s) {
  if (s.highRate()) return "the damaged region reaches into both keyframes, so no picture can decode as before";
  if (s.variant == "short") return "every picture depends on the single keyframe, and those behind the damage on lost ones";
  return "";
}

// A cut between a picture and the B pictures shown before it loses those B pictures: the
// recovered pictures are in order, but the last one shown lies beyond a gap.
std::string cutLimitation(const MediaSet& s) {
  if (s.variant == "audiofirst" && s.audio != "aac")
    return "the cut falls inside the sound written in front of every picture: no picture is left (error 101)";
  if (s.variant == "bframes" || s.variant == "muxbf")
    return "the cut falls between a P picture and the B pictures shown before it, so the last picture "
           "recovered follows a gap";
  return "";
}

// Every set is recorded as a camera records: each picture starts with an access unit
// delimiter, so even a chunk of one picture is a run of two NAL units (TestMedia checks it).
class ManifestSets : public ::testing::TestWithParam<MediaSet> {
 protected:
  void SetUp() override {
    if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    ASSERT_TRUE(dir.ok());
    files = caseFiles(GetParam());
  }
  test::TempDir dir;
  CaseFiles files;
};

TEST_P(ManifestSets, LostIndex) { checkEverythingBack(dir, files, files.lost, "lost", ""); }
TEST_P(ManifestSets, CutShort) { checkCutShort(dir, files, cutLimitation(GetParam())); }
TEST_P(ManifestSets, GarbageInside) { checkGarbage(dir, files, garbageLimitation(GetParam())); }

std::string testName(std::string n) {
  for (char& ch : n)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return n;
}

std::string setName(const ::testing::TestParamInfo<MediaSet>& info) { return testName(info.param.name); }

INSTANTIATE_TEST_SUITE_P(Sets, ManifestSets, ::testing::ValuesIn(test::manifest()), setName);
INSTANTIATE_TEST_SUITE_P(PhoneLayouts, ManifestSets, ::testing::ValuesIn(test::phoneSets()), setName);

// Two more ways a camera leaves its file, made here from a few representative sets: the
// media-data size still 0 as written at the start of the recording (the index lost too),
// and the index overwritten by zeros in place. Both must repair like a lost index.
class OtherIndexDamage : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    ASSERT_TRUE(dir.ok());
    const MediaSet* s = test::findSet(GetParam());
    ASSERT_TRUE(s) << "no set " << GetParam() << " in " << test::mediaDir();
    files = caseFiles(*s);
  }
  test::TempDir dir;
  CaseFiles files;
};

TEST_P(OtherIndexDamage, MediaDataSizeZero) {
  const auto mdat = test::findTopLevelAtom(files.lost, "mdat");
  ASSERT_TRUE(mdat);
  Bytes data = test::readFileBytes(files.lost);
  // A 64-bit size of 0 is written after the marker 1, like a camera's wide header.
  const size_t field = mdat->headerSize == 16 ? size_t(mdat->offset) + 8 : size_t(mdat->offset);
  std::fill_n(data.begin() + long(field), mdat->headerSize == 16 ? 8 : 4, 0);
  const std::string damaged = dir.file("mdat0-" + files.name + ".mov");
  ASSERT_TRUE(test::writeFileBytes(damaged, data));
  checkEverythingBack(dir, files, damaged, "mdat-size-0", "");
}

TEST_P(OtherIndexDamage, IndexZeroedInPlace) {
  const auto moov = test::findTopLevelAtom(files.orig, "moov");
  ASSERT_TRUE(moov);
  Bytes data = test::readFileBytes(files.orig);
  ASSERT_EQ(moov->end(), data.size());
  std::fill(data.begin() + long(moov->offset), data.end(), 0);
  const std::string damaged = dir.file("moov0-" + files.name + ".mov");
  ASSERT_TRUE(test::writeFileBytes(damaged, data));
  checkEverythingBack(dir, files, damaged, "index-zeroed", "");
}

INSTANTIATE_TEST_SUITE_P(Sets, OtherIndexDamage,
                         ::testing::Values("h264-aac-mov", "h265-sowt-mov", "h264-aac-mov-mux", "h265-aac-mp4-mux",
                                           "h264-twos-mov-mux", "h264-aac-mov-mux2", "h265-aac-mp4-mux1"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return testName(info.param); });

class RepairEndToEndSingle : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    ASSERT_TRUE(dir.ok());
    const MediaSet* s = test::findSet("h264-aac-mov");
    ASSERT_TRUE(s) << "no test movies in " << test::mediaDir();
    files = caseFiles(*s);
    set = &files;
  }
  test::TempDir dir;
  CaseFiles files;
  const CaseFiles* set = nullptr;
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
    EXPECT_TRUE(test::decodeErrors(o->output).empty()) << name;
  }
}

// An in-band SPS travels with its picture: one sample per picture, so the repaired video
// lasts as long as the original (no extra frame of time per keyframe).
TEST_F(RepairEndToEndSingle, InBandParameterSetsAddNoSamples) {
  const MediaSet* s = test::findSet("h264-aac-mov-inband");
  ASSERT_TRUE(s);
  Outcome o;
  RepairFile repair;
  repair.delegate = &o.delegate;
  o.output = dir.file("inband.mov");
  repair.repairMOVWithRefFileAtPath(s->ref(), s->lost(), o.output);
  ASSERT_TRUE(o.delegate.completed);
  const auto orig = test::firstStream(test::ffprobeStreams(s->orig()), "video");
  const auto fixed = test::firstStream(test::ffprobeStreams(o.output), "video");
  ASSERT_TRUE(orig && fixed);
  EXPECT_EQ(int64_t(repair.videoSampleCount), orig->nbReadFrames);
  EXPECT_EQ(fixed->nbFrames, orig->nbReadFrames);
  EXPECT_NEAR(fixed->duration, orig->duration, 0.05);
  EXPECT_TRUE(test::decodeErrors(o.output).empty());
}

// References that cannot serve: the engine asks for another one and reports no error.
TEST_F(RepairEndToEndSingle, UnusableReferencesAskForAnother) {
  // A movie without an index given as its own reference.
  {
    auto o = runRepair(dir, set->lost, set->lost);
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
    auto o = runRepair(dir, mpeg4, set->lost);
    EXPECT_TRUE(o->delegate.moveBack);
    EXPECT_TRUE(o->delegate.errors.empty());
    EXPECT_FALSE(std::filesystem::exists(o->output));
  }
  // An H.264 reference whose decoder configuration lists no parameter sets.
  {
    Bytes ref = test::readFileBytes(set->ref);
    const std::string tag = "avcC";
    auto it = std::search(ref.begin(), ref.end(), tag.begin(), tag.end());
    ASSERT_NE(it, ref.end());
    const size_t at = size_t(it - ref.begin()) + 4;  // the record after the type
    ref[at + 5] &= 0xE0;                             // numOfSequenceParameterSets := 0
    ref[at + 6] = 0;                                 // numOfPictureParameterSets := 0
    const std::string noSets = dir.file("nosets.mov");
    ASSERT_TRUE(test::writeFileBytes(noSets, ref));
    auto o = runRepair(dir, noSets, set->lost);
    EXPECT_TRUE(o->delegate.moveBack);
    EXPECT_TRUE(o->delegate.errors.empty());
    EXPECT_FALSE(std::filesystem::exists(o->output));
  }
  // References the damaged data contradicts: 1-byte NAL lengths declared for a stream of
  // 4-byte ones; Baseline (CAVLC, no B pictures) for a stream whose in-band parameter sets
  // say High, for a High stream of CABAC slices and for one with B pictures. Error 102.
  Bytes len1 = test::readFileBytes(set->ref);
  const std::string avcC = "avcC";
  const auto at = std::search(len1.begin(), len1.end(), avcC.begin(), avcC.end()) - len1.begin();
  ASSERT_LT(size_t(at), len1.size());
  len1[size_t(at) + 8] &= 0xFC;
  const std::string len1Ref = dir.file("len1.mov"), baseline = dir.file("baseline.mov"), fast = dir.file("fast.mov");
  ASSERT_TRUE(test::writeFileBytes(len1Ref, len1));
  const std::string testsrc = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x";
  ASSERT_EQ(test::runCommand(testsrc + "240:rate=25:duration=1 -pix_fmt yuv420p -c:v libx264 -profile:v baseline " +
                             test::shellQuote(baseline)).status,
            0);
  // H.265 of the same size from the fastest preset: other slice header syntax.
  ASSERT_EQ(test::runCommand(testsrc + "180:rate=30:duration=1 -pix_fmt yuv420p -c:v libx265 -preset ultrafast "
                             "-x265-params log-level=0 -tag:v hvc1 " + test::shellQuote(fast)).status,
            0);
  const MediaSet* inband = test::findSet("h264-aac-mov-inband");
  const MediaSet* bframes = test::findSet("h264-aac-mov-bframes");
  const MediaSet* hevc = test::findSet("h265-aac-mov");
  ASSERT_TRUE(inband && bframes && hevc);
  for (const auto& [ref, damaged] :
       {std::pair{len1Ref, set->lost}, std::pair{baseline, inband->lost()}, std::pair{baseline, set->lost},
        std::pair{baseline, bframes->lost()}, std::pair{fast, hevc->lost()}}) {
    SCOPED_TRACE(ref);
    auto o = runRepair(dir, ref, damaged);
    ASSERT_EQ(o->delegate.errors.size(), 1u);
    EXPECT_EQ(o->delegate.errors[0].code, kErrorInvalidHealthyFile);
    EXPECT_FALSE(o->delegate.completed);
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
  repair.repairMOVWithRefFileAtPath(set->ref, set->lost, out);
  EXPECT_FALSE(delegate.completed);
  EXPECT_TRUE(delegate.errors.empty());
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(RepairEndToEndSingle, StopDuringWritingCompletesWithoutIndex) {
  RepairFile repair;
  StopAtTask delegate(repair, kTaskWriting);
  repair.delegate = &delegate;
  const std::string out = dir.file("stopped.mov");
  repair.repairMOVWithRefFileAtPath(set->ref, set->lost, out);
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
  auto o = runRepair(dir, set->ref, set->lost);
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
