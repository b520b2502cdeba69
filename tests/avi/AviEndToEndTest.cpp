// End-to-end tests of the AVI repair engine on real files made with ffmpeg: each file is
// damaged the way cameras and copies damage them, repaired, and the result is checked with
// ffprobe and ffmpeg (opens, decodes without errors, holds the original's video frames in order).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "AviTestSupport.h"

namespace vr {
namespace {

using test::CommandResult;
using test::runCommand;
namespace fs = std::filesystem;

// The first MP3 (or, failing that, AC-3) encoder this ffmpeg has.
std::string compressedAudioEncoder() {
  const std::string list = runCommand("ffmpeg -hide_banner -encoders 2>/dev/null").out;
  for (const char* e : {"libmp3lame", "libshine", "ac3"})
    if (list.find(std::string(" ") + e + " ") != std::string::npos) return e;
  return "";
}

struct Source {
  const char* name;  // file name in the media cache
  bool compressedAudio;
};

void PrintTo(const Source& s, std::ostream* os) { *os << s.name; }

const Source kSources[] = {{"mpeg4-mp3.avi", true}, {"mjpeg-pcm.avi", false}};

// Makes (once) a test AVI of about 1.1 MB in the build tree's media cache. The file is made
// under a private name and renamed into place, so parallel test processes never see half a file.
std::string ensureSource(const Source& s) {
  const fs::path dir = fs::path(VR_BINARY_DIR) / "test-media" / "avi";
  const fs::path path = dir / s.name;
  if (fs::exists(path)) return path.string();
  fs::create_directories(dir);
  const fs::path tmp = dir / (std::string(".") + s.name + "." + std::to_string(::getpid()) + ".avi");
  std::string cmd = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25 ";
  if (s.compressedAudio) {
    const std::string enc = compressedAudioEncoder();
    if (enc.empty()) return "";
    cmd += "-f lavfi -i sine=frequency=440:sample_rate=44100 -t 3 -vf noise=alls=12:allf=t "
           "-c:v mpeg4 -q:v 5 -c:a " + enc + " -b:a 128k ";
  } else {
    cmd += "-f lavfi -i sine=frequency=440:sample_rate=22050 -t 4 -c:v mjpeg -q:v 4 -c:a pcm_s16le -ac 1 ";
  }
  cmd += test::shellQuote(tmp.string()) + " 2>&1";
  const CommandResult r = runCommand(cmd);
  if (r.status != 0 || !fs::exists(tmp)) {
    ADD_FAILURE() << "ffmpeg could not make " << s.name << ": " << r.out;
    return "";
  }
  fs::rename(tmp, path);
  return path.string();
}

// MD5 of every decoded video frame, in order.
std::vector<std::string> videoFrameMd5s(const std::string& path) {
  const CommandResult r = runCommand("ffmpeg -nostdin -v error -i " + test::shellQuote(path) +
                                     " -map 0:v:0 -fps_mode passthrough -f framemd5 - 2>/dev/null");
  std::vector<std::string> md5s;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    md5s.push_back(line.substr(line.rfind(',') + 1));
  }
  return md5s;
}

// Position and size of each video packet's data in the file, as ffprobe sees them.
std::vector<std::pair<uint64_t, uint64_t>> videoPackets(const std::string& path) {
  const CommandResult r = runCommand("ffprobe -v error -select_streams v:0 -show_entries packet=pos,size "
                                     "-of compact=p=0:nk=0 " + test::shellQuote(path));
  std::vector<std::pair<uint64_t, uint64_t>> packets;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    uint64_t pos = 0, size = 0;
    std::istringstream fields(line);
    std::string f;
    while (std::getline(fields, f, '|')) {
      if (f.rfind("pos=", 0) == 0) pos = std::stoull(f.substr(4));
      if (f.rfind("size=", 0) == 0) size = std::stoull(f.substr(5));
    }
    packets.emplace_back(pos, size);
  }
  return packets;
}

size_t findTag(const Bytes& b, const char* tag, size_t from = 0) {
  for (size_t i = from; i + 4 <= b.size(); ++i)
    if (std::memcmp(b.data() + i, tag, 4) == 0) return i;
  return std::string::npos;
}

// Deterministic garbage bytes.
void scramble(Bytes& b, size_t from, size_t to, uint32_t seed) {
  for (size_t i = from; i < to && i < b.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    b[i] = uint8_t(seed >> 24);
  }
}

enum class Damage { NoLegacyIndex, CutAt60Percent, StreamHeadersOverwritten, ListFramingOverwritten };

struct DamageCase {
  const char* name;
  Damage damage;
  bool repairable;
};

void PrintTo(const DamageCase& d, std::ostream* os) { *os << d.name; }

const DamageCase kDamages[] = {
    {"NoLegacyIndex", Damage::NoLegacyIndex, true},
    {"CutAt60Percent", Damage::CutAt60Percent, true},
    {"StreamHeadersOverwritten", Damage::StreamHeadersOverwritten, false},
    {"ListFramingOverwritten", Damage::ListFramingOverwritten, true},
};

Bytes damage(Bytes file, Damage d) {
  switch (d) {
    case Damage::NoLegacyIndex: {
      const size_t idx1 = findTag(file, "idx1", findTag(file, "movi"));
      EXPECT_NE(idx1, std::string::npos);
      file.resize(idx1);
      break;
    }
    case Damage::CutAt60Percent:
      file.resize(file.size() * 6 / 10);
      break;
    case Damage::StreamHeadersOverwritten: {
      // Everything from the first stream list to the end of the header list is garbage.
      const size_t strl = findTag(file, "strl");
      const size_t hdrlEnd = 20 + readLE32(file.data() + 16);
      EXPECT_NE(strl, std::string::npos);
      scramble(file, strl - 8, hdrlEnd, 12345);
      break;
    }
    case Damage::ListFramingOverwritten: {
      // The RIFF tree no longer holds together: list and chunk framing of the header list is
      // garbage, while the stream descriptions themselves survive.
      scramble(file, 4, 8, 1);
      scramble(file, 12, 24, 2);
      for (const char* t : {"strl", "strh", "strf"}) {
        for (size_t p = findTag(file, t); p < 10000 && p != std::string::npos; p = findTag(file, t, p + 4)) {
          if (std::strcmp(t, "strl") == 0)
            scramble(file, p - 8, p + 4, uint32_t(p));
          else
            scramble(file, p, p + 4, uint32_t(p));
        }
      }
      break;
    }
  }
  return file;
}

class AviEndToEnd : public ::testing::TestWithParam<std::tuple<Source, DamageCase>> {};

TEST_P(AviEndToEnd, RepairedFilePlaysTheOriginalFrames) {
  if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  const auto& [source, dc] = GetParam();
  const std::string original = ensureSource(source);
  if (original.empty()) {
    if (source.compressedAudio && compressedAudioEncoder().empty()) GTEST_SKIP() << "no MP3 or AC-3 encoder";
    FAIL() << "test media could not be made";
  }
  avitest::QuietLog quiet;
  test::TempDir dir;
  const Bytes originalBytes = test::readFileBytes(original);
  ASSERT_GT(originalBytes.size(), 900u * 1024);
  const Bytes damagedBytes = damage(originalBytes, dc.damage);
  const std::string damaged = dir.file("damaged.avi"), repaired = dir.file("repaired.avi");
  ASSERT_TRUE(test::writeFileBytes(damaged, damagedBytes));

  RepairFileAvi engine;
  test::RecordingDelegate d;
  engine.delegate = &d;
  ASSERT_TRUE(engine.fileValidityCheckAtPath(damaged));
  engine.retrieveAudioVideoSamplesForFileAtPath(damaged, repaired);

  if (!dc.repairable) {
    EXPECT_TRUE(avitest::failedWith107(d));
    EXPECT_FALSE(d.completed);
    EXPECT_FALSE(fs::exists(repaired));
    return;
  }
  ASSERT_TRUE(d.errors.empty()) << d.errors[0].reason();
  ASSERT_EQ(avitest::completions(d), 1u);

  // Opens, with one video and one audio stream.
  const CommandResult probe =
      runCommand("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 " + test::shellQuote(repaired) + " 2>&1");
  EXPECT_EQ(probe.status, 0);
  EXPECT_EQ(probe.out, "video\naudio\n");
  // Decodes without a single error.
  EXPECT_EQ(test::decodeErrors(repaired), std::vector<std::string>{});

  const std::vector<std::string> want = videoFrameMd5s(original);
  const std::vector<std::string> got = videoFrameMd5s(repaired);
  ASSERT_FALSE(want.empty());
  if (dc.damage == Damage::CutAt60Percent) {
    // Every frame whose chunk is whole and followed by the next chunk's tag before the cut.
    const uint64_t cut = damagedBytes.size();
    size_t expected = 0;
    for (const auto& [pos, size] : videoPackets(original))
      if (pos + size + (size & 1) + 4 <= cut || pos + size == cut) ++expected;
    ASSERT_GT(expected, want.size() / 3);
    ASSERT_EQ(got.size(), expected);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin()));
  } else {
    EXPECT_EQ(got, want);
  }
  EXPECT_EQ(engine.videosamplecount.load(), got.size());
}

INSTANTIATE_TEST_SUITE_P(
    Damaged, AviEndToEnd, ::testing::Combine(::testing::ValuesIn(kSources), ::testing::ValuesIn(kDamages)),
    [](const ::testing::TestParamInfo<AviEndToEnd::ParamType>& info) {
      std::string n = std::get<0>(info.param).name;
      n = n.substr(0, n.find('.'));
      n.erase(std::remove(n.begin(), n.end(), '-'), n.end());
      return n + "_" + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace vr
