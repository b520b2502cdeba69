// Whole repairs of ffmpeg-made movies damaged as a camera damages them (index lost, file
// cut short, garbage inside), checked with ffprobe and ffmpeg: the result opens, has the
// right codec, decodes cleanly and holds the original's frames in the original order.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>

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

// Video chunks of a movie that hold a single NAL unit. The scan takes a run of two units or
// more only (a lone unit surrounded by other data is not trusted), so such chunks cannot be
// found: ffmpeg's muxer writes one picture per chunk when audio is interleaved, and x264
// and x265 write one unit per picture unless asked for delimiters.
size_t singleUnitVideoChunks(const std::string& movie) {
  const auto r = test::runCommand("ffprobe -v error -select_streams v:0 -show_entries packet=pos,size "
                                  "-of compact=p=0:nk=0 " + test::shellQuote(movie) + " 2>/dev/null");
  std::vector<std::pair<uint64_t, uint64_t>> packets;  // pos, size
  for (const std::string& line : test::splitLines(r.out)) {
    uint64_t pos = 0, size = 0;
    if (std::sscanf(line.c_str(), "size=%lu|pos=%lu", &size, &pos) == 2 ||
        std::sscanf(line.c_str(), "pos=%lu|size=%lu", &pos, &size) == 2)
      packets.emplace_back(pos, size);
  }
  std::sort(packets.begin(), packets.end());
  const Bytes data = test::readFileBytes(movie);
  size_t single = 0;
  for (size_t i = 0; i < packets.size();) {
    uint64_t start = packets[i].first, end = start + packets[i].second;
    size_t j = i + 1;
    while (j < packets.size() && packets[j].first == end) end += packets[j++].second;
    size_t units = 0;
    for (uint64_t p = start; p + 4 <= end && end <= data.size(); p += 4 + readBE32(data.data() + p)) ++units;
    if (units == 1) ++single;
    i = j;
  }
  return single;
}

// The files of one case: a healthy reference, the original recording and its damaged
// copies.
struct CaseFiles {
  std::string name;
  std::string codec;  // "h264" or "h265"
  bool hasAudio = false;
  bool pcm = false;
  std::string ref, orig, lost, cut, garbage;
};

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

// Index lost: every frame comes back, identical and in order (the new edit list may hide
// the first one), the audio lasts as long as the original's, and nothing fails to decode.
void checkLostIndex(const test::TempDir& dir, const CaseFiles& c, const std::string& skipReason) {
  const Observed r = observe(dir, c, c.lost, "lost", skipReason);
  if (!skipReason.empty()) GTEST_SKIP() << skipReason;
  expectCompleted(r);
  auto v = test::firstStream(r.streams, "video");
  ASSERT_TRUE(v) << "no video stream in the repaired file";
  EXPECT_EQ(v->codecName, expectedCodecName(c.codec));
  EXPECT_TRUE(r.errors.empty()) << r.errors.front();
  EXPECT_EQ(r.identical, r.recovered.size()) << "frames that are not the original's, or out of order";
  ASSERT_FALSE(r.original.empty());
  EXPECT_GE(r.recovered.size() + 1, r.original.size());
  EXPECT_LE(r.recovered.size(), r.original.size());
  if (!c.hasAudio) return;
  ASSERT_GT(r.audioOrig, 0);
  const bool audioOff = std::fabs(r.audioRepaired - r.audioOrig) > r.audioOrig * 0.02;
  if (audioOff && c.pcm) {
    GTEST_SKIP() << "PCM audio lasts " << r.audioRepaired << " s instead of " << r.audioOrig
                 << " s: the index builder counts a PCM track as chunks x the samples of its first chunk, and "
                    "the stretches between pictures differ in length here";
  }
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
  // 64 KiB is about a quarter of the media data; a group of pictures is 15.
  EXPECT_GE(r.identical * 2, r.original.size());
  // The first and the last pictures lie outside the damaged region.
  ASSERT_FALSE(r.at.empty());
  EXPECT_LE(r.at.front(), 1);
  EXPECT_EQ(r.at.back(), long(r.original.size()) - 1);
}

// ---------------------------------------------------------------------------------------
// The shared test movies.

class ManifestSets : public ::testing::TestWithParam<MediaSet> {
 protected:
  void SetUp() override {
    if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    ASSERT_TRUE(dir.ok());
    const MediaSet& s = GetParam();
    files = {s.name,   s.codec,  s.hasAudio(), s.audio == "sowt" || s.audio == "twos",
             s.ref(),  s.orig(), s.lost(),     s.cut(),
             s.garbage()};
    const size_t single = singleUnitVideoChunks(s.orig());
    if (single > 0)
      skipReason = std::to_string(single) +
                   " video chunks of the original hold a single NAL unit; the scan takes runs of two units or "
                   "more only, so it cannot find them (the camera-like sets below cover this combination)";
  }
  test::TempDir dir;
  CaseFiles files;
  std::string skipReason;
};

TEST_P(ManifestSets, LostIndex) { checkLostIndex(dir, files, skipReason); }
TEST_P(ManifestSets, CutShort) { checkCutShort(dir, files, skipReason); }
TEST_P(ManifestSets, GarbageInside) { checkGarbage(dir, files, skipReason); }

std::string setName(const ::testing::TestParamInfo<MediaSet>& info) {
  std::string n = info.param.name;
  for (char& ch : n)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return n;
}

INSTANTIATE_TEST_SUITE_P(Sets, ManifestSets, ::testing::ValuesIn(test::manifest()), setName);

// ---------------------------------------------------------------------------------------
// Camera-like movies: like a camera, the encoder starts every picture with an access unit
// delimiter, so even a chunk of one picture is a run of two units, and the H.265 encoder
// repeats its parameter sets before every IDR picture. Made on first use and kept in the
// build tree.

struct CameraSetting {
  const char* name;
  const char* codec;
  const char* audio;  // "aac", "sowt", "twos"
  const char* container;
  bool inBandParameterSets = false;  // H.264: SPS and PPS before every IDR picture
  bool timecode = false;             // a third track: QuickTime timecode
  bool bframes = false;              // H.264: two B pictures between references
};
void PrintTo(const CameraSetting& c, std::ostream* os) { *os << c.name; }

const CameraSetting kCameraSettings[] = {
    {"cam-h264-aac-mov", "h264", "aac", "mov"},   {"cam-h264-sowt-mov", "h264", "sowt", "mov"},
    {"cam-h264-twos-mov", "h264", "twos", "mov"}, {"cam-h264-aac-mp4", "h264", "aac", "mp4"},
    {"cam-h265-aac-mov", "h265", "aac", "mov"},   {"cam-h265-sowt-mov", "h265", "sowt", "mov"},
    {"cam-h265-twos-mov", "h265", "twos", "mov"}, {"cam-h265-aac-mp4", "h265", "aac", "mp4"},
    {"cam-h264-aac-mov-inband", "h264", "aac", "mov", true},
    {"cam-h264-aac-mov-tmcd", "h264", "aac", "mov", false, true},
    {"cam-h264-aac-mov-bframes", "h264", "aac", "mov", false, false, true},
};

std::string cameraDir() { return std::string(VR_BINARY_DIR) + "/e2e-camera-media"; }

// The command that encodes the reference (1 s) or the original (4 s, other content) of a
// camera setting into out.
std::string cameraCommand(const CameraSetting& c, const std::string& role, const std::string& out) {
  const bool orig = role == "orig";
  const std::string secs = orig ? "4" : "1";
  const bool h264 = std::string(c.codec) == "h264";
  std::string cmd = "ffmpeg -nostdin -v error -y -f lavfi -i '" + std::string(orig ? "testsrc2" : "testsrc") +
                    "=size=" + (h264 ? "320x240:rate=25" : "320x180:rate=30") + ":duration=" + secs + "'";
  const std::string audio = std::string(c.audio);
  const std::string hz = orig ? "660" : "440";
  cmd += " -f lavfi -i 'aevalsrc=0.4*sin(" + hz + "*2*PI*t)" + (audio == "twos" ? "" : "|0.3*sin(990*2*PI*t)") +
         ":s=48000:d=" + secs + "'";
  if (h264) {
    cmd += " -c:v libx264 -preset veryfast -profile:v high -pix_fmt yuv420p -threads 1 -g 15 -keyint_min 15 "
           "-sc_threshold 0 -b:v 400k";
    cmd += c.bframes ? " -bf 2" : " -bf 0";
    cmd += c.inBandParameterSets ? " -x264-params aud=1:repeat-headers=1" : " -x264-params aud=1";
  } else {
    cmd += " -c:v libx265 -preset fast -pix_fmt yuv420p -b:v 300k -tag:v hvc1 -x265-params "
           "keyint=15:min-keyint=15:scenecut=0:bframes=0:pools=1:frame-threads=1:aud=1:info=0:repeat-headers=1:"
           "log-level=error";
  }
  cmd += audio == "aac" ? " -c:a aac -b:a 128k" : audio == "sowt" ? " -c:a pcm_s16le" : " -c:a pcm_s16be";
  if (c.timecode) cmd += " -timecode 01:00:00:00";
  cmd += " -f " + std::string(c.container) + " " + test::shellQuote(out);
  return cmd;
}

// Makes (once) and returns the files of a camera-like case: damaged copies as the shared
// test movies have them (index lost; cut at 60 % of the media data; 64 KiB of random bytes
// over its middle).
std::optional<CaseFiles> cameraCase(const CameraSetting& c) {
  const std::string base = cameraDir() + "/" + c.name;
  CaseFiles f{c.name,
              c.codec,
              true,
              std::string(c.audio) != "aac",
              base + ".ref." + c.container,
              base + ".orig." + c.container,
              base + ".lost." + c.container,
              base + ".cut." + c.container,
              base + ".garbage." + c.container};
  // Test processes running side by side make each set once: the first takes the lock and
  // makes it, the others wait and find it made.
  std::filesystem::create_directories(cameraDir());
  struct Lock {
    int fd;
    explicit Lock(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
      if (fd >= 0) ::flock(fd, LOCK_EX);
    }
    ~Lock() {
      if (fd >= 0) ::close(fd);
    }
  } lock(cameraDir() + "/.lock");
  // The files are kept while the commands that made them stay the same.
  const std::string recipe = cameraCommand(c, "ref", f.ref) + "\n" + cameraCommand(c, "orig", f.orig) + "\n";
  const Bytes kept = test::readFileBytes(base + ".recipe");
  if (std::filesystem::exists(f.garbage) && std::string(kept.begin(), kept.end()) == recipe) return f;
  std::filesystem::remove(f.garbage);
  if (test::runCommand(cameraCommand(c, "ref", f.ref) + " 2>&1").status != 0 ||
      test::runCommand(cameraCommand(c, "orig", f.orig) + " 2>&1").status != 0)
    return std::nullopt;
  const Bytes data = test::readFileBytes(f.orig);
  auto mdat = test::findTopLevelAtom(f.orig, "mdat");
  if (!mdat || mdat->end() > data.size()) return std::nullopt;
  const Bytes lost(data.begin(), data.begin() + long(mdat->end()));
  const uint64_t payload = mdat->size - mdat->headerSize;
  const Bytes cut(data.begin(), data.begin() + long(mdat->payloadOffset() + payload * 6 / 10));
  Bytes garbage = lost;
  const uint64_t n = std::min<uint64_t>(65536, payload / 2);
  const uint64_t from = mdat->payloadOffset() + payload / 2 - n / 2;
  std::mt19937 rng(11);
  for (uint64_t i = 0; i < n; ++i) garbage[size_t(from + i)] = uint8_t(rng());
  if (!test::writeFileBytes(f.lost, lost) || !test::writeFileBytes(f.cut, cut)) return std::nullopt;
  if (!test::writeFileBytes(f.garbage + ".part", garbage)) return std::nullopt;
  if (!test::writeFileBytes(base + ".recipe", Bytes(recipe.begin(), recipe.end()))) return std::nullopt;
  std::filesystem::rename(f.garbage + ".part", f.garbage);
  return f;
}

class CameraSets : public ::testing::TestWithParam<CameraSetting> {
 protected:
  void SetUp() override {
    if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    ASSERT_TRUE(dir.ok());
    auto f = cameraCase(GetParam());
    ASSERT_TRUE(f) << "could not make the camera-like movies of " << GetParam().name;
    files = *f;
  }
  test::TempDir dir;
  CaseFiles files;
};

// Where the checks cannot pass for a reason outside the scan and the writer.
std::string knownLimitation(const CameraSetting& c) {
  if (c.bframes)
    return "the index builder takes the reference's composition-offset table as it is; its entries describe "
           "the reference's pictures, not the recovered ones, so pictures after the first few groups are "
           "presented out of order";
  return "";
}

TEST_P(CameraSets, LostIndex) { checkLostIndex(dir, files, knownLimitation(GetParam())); }
TEST_P(CameraSets, CutShort) { checkCutShort(dir, files, knownLimitation(GetParam())); }
TEST_P(CameraSets, GarbageInside) { checkGarbage(dir, files, knownLimitation(GetParam())); }

std::string cameraName(const ::testing::TestParamInfo<CameraSetting>& info) {
  std::string n = info.param.name;
  for (char& ch : n)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return n;
}

INSTANTIATE_TEST_SUITE_P(Camera, CameraSets, ::testing::ValuesIn(kCameraSettings), cameraName);

const CameraSetting& cameraSetting(const std::string& name) {
  for (const CameraSetting& c : kCameraSettings)
    if (name == c.name) return c;
  return kCameraSettings[0];
}

class RepairEndToEndSingle : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    ASSERT_TRUE(dir.ok());
    auto f = cameraCase(cameraSetting("cam-h264-aac-mov"));
    ASSERT_TRUE(f);
    files = *f;
    set = &files;
  }
  test::TempDir dir;
  CaseFiles files;
  const CaseFiles* set = nullptr;
};

// A healthy movie repaired with itself as the reference gives back all its pictures.
TEST_F(RepairEndToEndSingle, HealthyMovieAsItsOwnReference) {
  for (const char* name : {"cam-h264-aac-mov", "cam-h265-aac-mp4"}) {
    auto s = cameraCase(cameraSetting(name));
    ASSERT_TRUE(s) << name;
    auto o = runRepair(dir, s->orig, s->orig);
    EXPECT_TRUE(o->delegate.completed) << name;
    const auto original = test::videoFrameMd5s(s->orig);
    const auto recovered = test::videoFrameMd5s(o->output);
    EXPECT_EQ(countMatched(matchInOrder(original, recovered)), recovered.size()) << name;
    EXPECT_GE(recovered.size() + 1, original.size()) << name;
    EXPECT_TRUE(test::decodeErrors(o->output).empty()) << name;
  }
}

// An in-band SPS travels with its picture: one sample per picture, so the repaired video
// lasts as long as the original (no extra frame of time per keyframe).
TEST_F(RepairEndToEndSingle, InBandParameterSetsAddNoSamples) {
  auto s = cameraCase(cameraSetting("cam-h264-aac-mov-inband"));
  ASSERT_TRUE(s);
  Outcome o;
  RepairFile repair;
  repair.delegate = &o.delegate;
  o.output = dir.file("inband.mov");
  repair.repairMOVWithRefFileAtPath(s->ref, s->lost, o.output);
  ASSERT_TRUE(o.delegate.completed);
  const auto orig = test::firstStream(test::ffprobeStreams(s->orig), "video");
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
