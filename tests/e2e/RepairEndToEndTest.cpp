// Whole repairs of ffmpeg-made movies damaged as a camera damages them (index lost, file
// cut short, garbage inside), checked with ffprobe and ffmpeg: the result opens, has the
// right codec, decodes cleanly and holds the original's frames in the original order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
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

struct Outcome { test::RecordingDelegate delegate; std::string output; };

// Repairs `damaged` with `reference` into a file in dir.
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
  auto next = original.begin();
  for (const std::string& md5 : recovered) {
    const auto found = std::find(next, original.end(), md5);
    at.push_back(found == original.end() ? -1 : long(found - original.begin()));
    if (found != original.end()) next = found + 1;
  }
  return at;
}

size_t countMatched(const std::vector<long>& at) { return size_t(std::count_if(at.begin(), at.end(), [](long v) { return v >= 0; })); }

// What a repair of `damaged` gave, next to the original. Its figures are printed as a row:
// case, frames original / recovered / identical, audio seconds original / recovered, decode errors.
struct Observed {
  std::unique_ptr<Outcome> outcome;
  std::vector<std::string> original, recovered;
  std::vector<long> at;  // position in original of each recovered frame, -1 if none
  size_t identical = 0;
  std::vector<std::string> errors;
  std::vector<test::StreamInfo> streams;
  double audioOrig = -1, audioRepaired = -1;
};

Observed observe(const test::TempDir& dir, const MediaSet& s, const std::string& damaged, const char* kind) {
  Observed r;
  r.outcome = runRepair(dir, s.ref(), damaged);
  r.streams = test::ffprobeStreams(r.outcome->output);
  r.errors = test::decodeErrors(r.outcome->output);
  r.original = test::videoFrameMd5s(s.orig());
  r.recovered = test::videoFrameMd5s(r.outcome->output);
  r.at = matchInOrder(r.original, r.recovered);
  r.identical = countMatched(r.at);
  auto audio = [](const std::vector<test::StreamInfo>& streams) {
    return test::firstStream(streams, "audio").value_or(test::StreamInfo{}).duration;
  };
  r.audioOrig = audio(test::ffprobeStreams(s.orig(), false)), r.audioRepaired = audio(r.streams);
  std::printf("  %s %s | %zu | %zu | %zu | %.3f | %.3f | %zu\n", s.name.c_str(), kind, r.original.size(),
              r.recovered.size(), r.identical, r.audioOrig, r.audioRepaired, r.errors.size());
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
void checkEverythingBack(const test::TempDir& dir, const MediaSet& s, const std::string& damaged, const char* kind,
                         const std::string& skipReason) {
  const Observed r = observe(dir, s, damaged, kind);
  if (!skipReason.empty()) GTEST_SKIP() << skipReason;
  expectCompleted(r);
  auto v = test::firstStream(r.streams, "video");
  ASSERT_TRUE(v) << "no video stream in the repaired file";
  EXPECT_EQ(v->codecName, s.codec == "h265" ? "hevc" : "h264");
  EXPECT_TRUE(r.errors.empty()) << r.errors.front();
  EXPECT_EQ(r.identical, r.recovered.size()) << "frames that are not the original's, or out of order";
  ASSERT_FALSE(r.original.empty());
  EXPECT_EQ(r.recovered.size(), r.original.size());
  if (!s.hasAudio()) return;
  ASSERT_GT(r.audioOrig, 0);
  EXPECT_LE(std::fabs(r.audioRepaired - r.audioOrig), 1024.0 / 48000 + 1e-3)
      << "audio lasts " << r.audioRepaired << " s instead of " << r.audioOrig << " s";
}

// Cut short: the pictures before the cut come back in order; nothing after it is made up.
void checkCutShort(const test::TempDir& dir, const MediaSet& s, const std::string& skipReason) {
  const Observed r = observe(dir, s, s.cut(), "cut");
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
  if (r.at.back() >= 0) { EXPECT_EQ(r.at.back(), r.at[0] + long(r.at.size()) - 1); }
}

// Garbage over the middle: no crash, and the pictures outside the damaged region (and the
// group of pictures that depends on it) come back in order.
void checkGarbage(const test::TempDir& dir, const MediaSet& s, const std::string& skipReason) {
  const Observed r = observe(dir, s, s.garbage(), "garbage");
  if (!skipReason.empty()) GTEST_SKIP() << skipReason;
  expectCompleted(r);
  // The pictures in the damaged share of the media data are lost, and at most a group of
  // 15 pictures on either side that depends on a damaged one.
  const auto mdat = test::findTopLevelAtom(s.garbage(), "mdat");
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
  }
  test::TempDir dir;
};

TEST_P(ManifestSets, LostIndex) { checkEverythingBack(dir, GetParam(), GetParam().lost(), "lost", ""); }
TEST_P(ManifestSets, CutShort) { checkCutShort(dir, GetParam(), cutLimitation(GetParam())); }
TEST_P(ManifestSets, GarbageInside) { checkGarbage(dir, GetParam(), garbageLimitation(GetParam())); }

std::string testName(std::string n) { return std::replace(n.begin(), n.end(), '-', '_'), n; }

std::string setName(const ::testing::TestParamInfo<MediaSet>& info) { return testName(info.param.name); }

INSTANTIATE_TEST_SUITE_P(Sets, ManifestSets, ::testing::ValuesIn(test::manifest()), setName);
INSTANTIATE_TEST_SUITE_P(PhoneLayouts, ManifestSets, ::testing::ValuesIn(test::phoneSets()), setName);

// The set of that name; one without files when there is none (the fixtures check).
const MediaSet& namedSet(const std::string& name) {
  static const MediaSet none;
  const MediaSet* s = test::findSet(name);
  return s ? *s : none;
}

// Two more ways a camera leaves its file, made here from a few representative sets: the
// media-data size still 0 as written at the start of the recording (the index lost too),
// and the index overwritten by zeros in place. Both must repair like a lost index.
class OtherIndexDamage : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    ASSERT_TRUE(dir.ok() && test::findSet(GetParam())) << "no set " << GetParam() << " in " << test::mediaDir();
  }
  test::TempDir dir;
  const MediaSet& set = namedSet(GetParam());
};

TEST_P(OtherIndexDamage, MediaDataSizeZero) {
  const auto mdat = test::findTopLevelAtom(set.lost(), "mdat");
  ASSERT_TRUE(mdat);
  Bytes data = test::readFileBytes(set.lost());
  // A 64-bit size of 0 is written after the marker 1, like a camera's wide header.
  const size_t field = mdat->headerSize == 16 ? size_t(mdat->offset) + 8 : size_t(mdat->offset);
  std::fill_n(data.begin() + long(field), mdat->headerSize == 16 ? 8 : 4, 0);
  const std::string damaged = dir.file("mdat0-" + set.name + ".mov");
  ASSERT_TRUE(test::writeFileBytes(damaged, data));
  checkEverythingBack(dir, set, damaged, "mdat-size-0", "");
}

TEST_P(OtherIndexDamage, IndexZeroedInPlace) {
  const auto moov = test::findTopLevelAtom(set.orig(), "moov");
  ASSERT_TRUE(moov);
  Bytes data = test::readFileBytes(set.orig());
  ASSERT_EQ(moov->end(), data.size());
  std::fill(data.begin() + long(moov->offset), data.end(), 0);
  const std::string damaged = dir.file("moov0-" + set.name + ".mov");
  ASSERT_TRUE(test::writeFileBytes(damaged, data));
  checkEverythingBack(dir, set, damaged, "index-zeroed", "");
}

INSTANTIATE_TEST_SUITE_P(Sets, OtherIndexDamage,
                         ::testing::Values("h264-aac-mov", "h265-sowt-mov", "h264-aac-mov-mux", "h265-aac-mp4-mux",
                                           "h264-twos-mov-mux", "h264-aac-mov-mux2", "h265-aac-mp4-mux1"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return testName(info.param); });

class RepairEndToEndSingle : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    ASSERT_TRUE(dir.ok() && test::findSet("h264-aac-mov") && test::findSet("h264-aac-mov-inband"));
  }
  test::TempDir dir;
  const MediaSet& set = namedSet("h264-aac-mov");
  const MediaSet& inband = namedSet("h264-aac-mov-inband");
};

// A healthy movie repaired with itself as the reference gives back all its pictures.
TEST_F(RepairEndToEndSingle, HealthyMovieAsItsOwnReference) {
  for (const char* name : {"h264-aac-mov", "h265-aac-mp4"}) {
    SCOPED_TRACE(name);
    const MediaSet& s = namedSet(name);
    auto o = runRepair(dir, s.orig(), s.orig());
    EXPECT_TRUE(o->delegate.completed);
    const auto original = test::videoFrameMd5s(s.orig());
    const auto recovered = test::videoFrameMd5s(o->output);
    EXPECT_EQ(countMatched(matchInOrder(original, recovered)), recovered.size());
    EXPECT_GE(recovered.size() + 1, original.size());
    EXPECT_TRUE(test::decodeErrors(o->output).empty());
  }
}

// An in-band SPS travels with its picture: one sample per picture, so the repaired video
// lasts as long as the original (no extra frame of time per keyframe).
TEST_F(RepairEndToEndSingle, InBandParameterSetsAddNoSamples) {
  auto o = runRepair(dir, inband.ref(), inband.lost());
  ASSERT_TRUE(o->delegate.completed);
  const auto orig = test::firstStream(test::ffprobeStreams(inband.orig()), "video");
  const auto fixed = test::firstStream(test::ffprobeStreams(o->output), "video");
  ASSERT_TRUE(orig && fixed);
  EXPECT_EQ(fixed->nbFrames, orig->nbReadFrames);
  EXPECT_NEAR(fixed->duration, orig->duration, 0.05);
  EXPECT_TRUE(test::decodeErrors(o->output).empty());
}

// References that cannot serve write nothing. Those that cannot serve any repair ask for
// another reference and report no error: a movie without an index given as its own
// reference, a video neither H.264 nor H.265, an H.264 decoder configuration listing no
// parameter sets. Those the damaged data contradicts are error 102: 1-byte NAL lengths
// declared for a stream of 4-byte ones; Baseline (CAVLC, no B pictures) for a stream whose
// in-band parameter sets say High, for a High stream of CABAC slices and for one with B
// pictures; H.265 from the fastest preset, of other slice header syntax.
TEST_F(RepairEndToEndSingle, UnusableReferences) {
  const std::string mpeg4 = dir.file("mpeg4.mov"), noSets = dir.file("nosets.mov"), len1 = dir.file("len1.mov"),
                    baseline = dir.file("baseline.mov"), fast = dir.file("fast.mov");
  const std::string lavfi = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x";
  ASSERT_EQ(test::runCommand(lavfi + "240:rate=25:duration=1 -c:v mpeg4 " + test::shellQuote(mpeg4)).status, 0);
  ASSERT_EQ(test::runCommand(lavfi + "240:rate=25:duration=1 -pix_fmt yuv420p -c:v libx264 -profile:v baseline " +
                             test::shellQuote(baseline)).status, 0);
  ASSERT_EQ(test::runCommand(lavfi + "180:rate=30:duration=1 -pix_fmt yuv420p -c:v libx265 -preset ultrafast "
                             "-x265-params log-level=0 -tag:v hvc1 " + test::shellQuote(fast)).status, 0);
  ASSERT_TRUE(test::findSet("h264-aac-mov-bframes") && test::findSet("h265-aac-mov"));
  const Bytes ref = test::readFileBytes(set.ref());
  const std::string tag = "avcC";
  const size_t at = size_t(std::search(ref.begin(), ref.end(), tag.begin(), tag.end()) - ref.begin()) + 4;
  ASSERT_LT(at, ref.size());  // the record after the type
  Bytes damaged = ref;
  damaged[at + 5] &= 0xE0;  // numOfSequenceParameterSets := 0
  damaged[at + 6] = 0;      // numOfPictureParameterSets := 0
  ASSERT_TRUE(test::writeFileBytes(noSets, damaged));
  damaged = ref;
  damaged[at + 4] &= 0xFC;  // lengthSizeMinusOne := 0
  ASSERT_TRUE(test::writeFileBytes(len1, damaged));
  const struct { std::string ref, damaged; bool error102; } cases[] = {
      {set.lost(), set.lost(), false}, {mpeg4, set.lost(), false}, {noSets, set.lost(), false},
      {len1, set.lost(), true},        {baseline, inband.lost(), true}, {baseline, set.lost(), true},
      {baseline, namedSet("h264-aac-mov-bframes").lost(), true}, {fast, namedSet("h265-aac-mov").lost(), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ref);
    auto o = runRepair(dir, c.ref, c.damaged);
    EXPECT_EQ(o->delegate.moveBack, !c.error102);
    ASSERT_EQ(o->delegate.errors.size(), c.error102 ? 1u : 0u);
    if (c.error102) { EXPECT_EQ(o->delegate.errors[0].code, kErrorInvalidHealthyFile); }
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

// A stop during the scan leaves no output; one during the writing completes the media data
// without an index, its header still all zeros.
TEST_F(RepairEndToEndSingle, StopsDuringTheScanAndDuringWriting) {
  for (const bool writing : {false, true}) {
    SCOPED_TRACE(writing ? "writing" : "scan");
    RepairFile repair;
    StopAtTask delegate(repair, writing ? kTaskWriting : kTaskLocating);
    repair.delegate = &delegate;
    const std::string out = dir.file(writing ? "stopped-writing.mov" : "stopped-scan.mov");
    repair.repairMOVWithRefFileAtPath(set.ref(), set.lost(), out);
    EXPECT_EQ(delegate.completed, writing);
    EXPECT_TRUE(delegate.errors.empty());
    ASSERT_EQ(std::filesystem::exists(out), writing);
    const Bytes written = test::readFileBytes(out);
    EXPECT_EQ(Bytes(written.begin(), written.begin() + long(std::min<size_t>(16, written.size()))),
              writing ? Bytes(16, 0) : Bytes{});
    EXPECT_FALSE(test::findTopLevelAtom(out, "moov"));
  }
}

// Progress during the scan and the writing: whole percentages below 100, each value once
// per phase, rising.
TEST_F(RepairEndToEndSingle, ProgressRisesOncePerValue) {
  auto o = runRepair(dir, set.ref(), set.lost());
  ASSERT_TRUE(o->delegate.completed);
  const auto& p = o->delegate.progress;
  ASSERT_FALSE(p.empty());
  int phases = 1;
  for (size_t i = 1; i < p.size(); ++i) {
    EXPECT_LT(p[i], 100);
    if (p[i] <= p[i - 1]) ++phases;  // the writing phase starts again from 0
  }
  EXPECT_EQ(phases, 2);
  EXPECT_EQ(o->delegate.tasks, (std::vector<std::string>{kTaskAnalyzing, kTaskLocating, kTaskWriting}));
}

}  // namespace
}  // namespace vr
