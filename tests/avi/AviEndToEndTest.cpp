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

using test::runCommand;
using test::shellQuote;
namespace fs = std::filesystem;

// The first MP3 (or, failing that, AC-3) encoder this ffmpeg has.
std::string compressedAudioEncoder() {
  const std::string list = runCommand("ffmpeg -hide_banner -encoders 2>/dev/null").out;
  for (const char* e : {"libmp3lame", "libshine", "ac3"})
    if (list.find(std::string(" ") + e + " ") != std::string::npos) return e;
  return "";
}

// The recordings: file name in the media cache, ffmpeg's options for them ("%s" is replaced
// by the audio encoder, "%t" by the length in seconds) and whether the audio is compressed.
struct Source { const char *name, *options; bool compressedAudio; };
void PrintTo(const Source& s, std::ostream* os) { *os << s.name; }
const Source kSources[] = {
    {"mpeg4-mp3.avi", ":sample_rate=44100 -t %t -vf noise=alls=12:allf=t -c:v mpeg4 -q:v 5 -c:a %s -b:a 128k ", true},
    {"mjpeg-pcm.avi", ":sample_rate=22050 -t %t -c:v mjpeg -q:v 4 -c:a pcm_s16le -ac 1 ", false}};

// Makes (once) a test AVI of about 1.1 MB in the build tree's media cache; the reference
// variant is another recording of the same camera (same codecs and settings, other picture,
// sound and length). Made under a private name and renamed into place, so parallel test
// processes never see half a file.
std::string ensureSource(const Source& s, bool reference = false) {
  const fs::path dir = fs::path(VR_BINARY_DIR) / "test-media" / "avi";
  const fs::path path = dir / ((reference ? "ref-" : "") + std::string(s.name));
  if (fs::exists(path)) return path.string();
  fs::create_directories(dir);
  const fs::path tmp = dir / ("." + path.filename().string() + "." + std::to_string(::getpid()) + ".avi");
  std::string options = s.options;
  options.replace(options.find("%t"), 2, reference ? "2" : s.compressedAudio ? "3" : "4");
  if (s.compressedAudio && compressedAudioEncoder().empty()) return "";
  if (s.compressedAudio) options.replace(options.find("%s"), 2, compressedAudioEncoder());
  const std::string cmd = std::string("ffmpeg -nostdin -v error -y -f lavfi -i ") + (reference ? "testsrc2" : "testsrc") +
                          "=size=320x240:rate=25 -f lavfi -i sine=frequency=" + (reference ? "660" : "440") + options;
  if (runCommand(cmd + shellQuote(tmp.string()) + " 2>&1").status != 0 || !fs::exists(tmp)) return "";
  fs::rename(tmp, path);
  return path.string();
}

std::string ffmpeg(const std::string& path, const std::string& args, const std::string& before = "") {
  return runCommand("ffmpeg -nostdin -v error " + before + " -i " + shellQuote(path) + " " + args + " 2>/dev/null").out;
}
std::string ffprobe(const std::string& path, const std::string& args) {
  return runCommand("ffprobe -v error " + args + " -of csv=p=0 " + shellQuote(path) + " 2>/dev/null").out;
}
// MD5 of every decoded video frame, in order.
std::vector<std::string> videoFrameMd5s(const std::string& path, const std::string& before = "") {
  std::vector<std::string> md5s;
  for (const std::string& line : test::splitLines(ffmpeg(path, "-map 0:v:0 -fps_mode passthrough -f framemd5 -", before)))
    if (line[0] != '#') md5s.push_back(line.substr(line.rfind(',') + 1));
  return md5s;
}
std::string audioMd5(const std::string& path) { return ffmpeg(path, "-map 0:a:0 -f md5 -"); }

// The video packets as ffprobe sees them: size and position of their data; their key frame
// flags as one letter each.
std::vector<std::pair<uint64_t, uint64_t>> videoPackets(const std::string& path, std::string* keys = nullptr) {
  std::vector<std::pair<uint64_t, uint64_t>> packets;
  for (const std::string& line : test::splitLines(ffprobe(path, "-select_streams v:0 -show_entries packet=pos,size,flags"))) {
    unsigned long long size = 0, pos = 0;
    char flag = 0;
    std::sscanf(line.c_str(), "%llu,%llu,%c", &size, &pos, &flag);
    packets.emplace_back(size, pos);
    if (keys) *keys += flag == 'K' ? 'K' : '-';
  }
  return packets;
}

size_t findTag(const Bytes& b, const char* tag, size_t from = 0) {
  const auto at = std::search(b.begin() + long(std::min(from, b.size())), b.end(), tag, tag + 4);
  return at == b.end() ? std::string::npos : size_t(at - b.begin());
}

// Deterministic garbage bytes.
void scramble(Bytes& b, size_t from, size_t to, uint32_t seed) {
  for (size_t i = from; i < to && i < b.size(); ++i) b[i] = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
}

enum class Damage { NoLegacyIndex, CutAt60Percent, StreamHeadersOverwritten, ListFramingOverwritten };

struct DamageCase {
  const char* name;
  Damage damage;
  bool repairable;
  bool withReference = false;                  // another recording of the same camera is given
  uint64_t riffListLimit = uint64_t(1) << 30;  // small limits make several RIFF lists
};
void PrintTo(const DamageCase& d, std::ostream* os) { *os << d.name; }

const DamageCase kDamages[] = {
    {"NoLegacyIndex", Damage::NoLegacyIndex, true}, {"CutAt60Percent", Damage::CutAt60Percent, true},
    {"StreamHeadersOverwritten", Damage::StreamHeadersOverwritten, false},
    {"StreamHeadersOverwrittenWithReference", Damage::StreamHeadersOverwritten, true, true},
    {"ListFramingOverwritten", Damage::ListFramingOverwritten, true},
    {"SplitIntoRiffListsOf256KiB", Damage::NoLegacyIndex, true, false, 256 * 1024},
};

Bytes damage(Bytes file, Damage d) {
  if (d == Damage::NoLegacyIndex) file.resize(findTag(file, "idx1", findTag(file, "movi")));
  if (d == Damage::CutAt60Percent) file.resize(file.size() * 6 / 10);
  // Everything from the first stream list to the end of the header list is garbage.
  if (d == Damage::StreamHeadersOverwritten) scramble(file, findTag(file, "strl") - 8, 20 + readLE32(file.data() + 16), 12345);
  // The RIFF tree no longer holds together: list and chunk framing of the header list is
  // garbage, while the stream descriptions themselves survive.
  if (d != Damage::ListFramingOverwritten) return file;
  scramble(file, 4, 8, 1);
  scramble(file, 12, 24, 2);
  for (const char* t : {"strl", "strh", "strf"})
    for (size_t p = findTag(file, t); p < 10000; p = findTag(file, t, p + 4))
      scramble(file, std::strcmp(t, "strl") == 0 ? p - 8 : p, p + 4, uint32_t(p));
  return file;
}

class AviEndToEnd : public ::testing::TestWithParam<std::tuple<Source, DamageCase>> {};

TEST_P(AviEndToEnd, RepairedFilePlaysTheOriginalFrames) {
  if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  const auto& [source, dc] = GetParam();
  if (source.compressedAudio && compressedAudioEncoder().empty()) GTEST_SKIP() << "no MP3 or AC-3 encoder";
  const std::string original = ensureSource(source);
  ASSERT_FALSE(original.empty());
  avitest::QuietLog quiet;
  test::TempDir dir;
  const Bytes originalBytes = test::readFileBytes(original);
  const Bytes damagedBytes = damage(originalBytes, dc.damage);
  const std::string damaged = dir.file("damaged.avi"), repaired = dir.file("repaired.avi");
  ASSERT_TRUE(test::writeFileBytes(damaged, damagedBytes));
  RepairFileAvi engine;
  test::RecordingDelegate d;
  engine.delegate = &d, engine.riffListLimit = dc.riffListLimit;
  ASSERT_TRUE(engine.fileValidityCheckAtPath(damaged));
  engine.retrieveAudioVideoSamplesForFileAtPath(damaged, repaired, dc.withReference ? ensureSource(source, true) : "");
  if (!dc.repairable) {
    EXPECT_TRUE(avitest::failedWith(d, 107));
    EXPECT_FALSE(d.completed);
    EXPECT_FALSE(fs::exists(repaired));
    return;
  }
  ASSERT_TRUE(d.errors.empty()) << d.errors[0].reason();
  ASSERT_EQ(avitest::completions(d), 1u);

  // Opens with one video and one audio stream, and decodes without a single error.
  EXPECT_EQ(ffprobe(repaired, "-show_entries stream=codec_type"), "video\naudio\n");
  EXPECT_EQ(test::decodeErrors(repaired), std::vector<std::string>{});
  const std::vector<std::string> want = videoFrameMd5s(original), got = videoFrameMd5s(repaired);
  std::string wantKeys, keys;
  const auto packets = videoPackets(original, &wantKeys);
  videoPackets(repaired, &keys);
  ASSERT_FALSE(want.empty());
  if (dc.damage == Damage::CutAt60Percent) {
    // Every frame whose chunk is whole and followed by the next chunk's tag before the cut.
    size_t expected = 0;
    for (const auto& [size, pos] : packets)
      expected += pos + size + (size & 1) + 4 <= damagedBytes.size() || pos + size == damagedBytes.size();
    ASSERT_GT(expected, want.size() / 3);
    ASSERT_EQ(got.size(), expected);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin()));
  } else {
    EXPECT_EQ(got, want);
    EXPECT_EQ(audioMd5(repaired), audioMd5(original));
  }
  EXPECT_EQ(engine.videosamplecount.load(), got.size());
  // The indexes mark the key frames the pictures are (seeking lands on them); the stream
  // header counts the frames the file holds.
  EXPECT_EQ(keys, wantKeys.substr(0, keys.size()));
  EXPECT_EQ(ffprobe(repaired, "-select_streams v:0 -show_entries stream=nb_frames"), std::to_string(got.size()) + "\n");
  // Every chunk on an even offset, every index entry at its chunk.
  const avitest::AviWalk walk = avitest::walkAvi(test::readFileBytes(repaired));
  EXPECT_EQ(walk.problems, std::vector<std::string>{});
  EXPECT_EQ(walk.riffLists > 1, dc.riffListLimit < originalBytes.size());
}

INSTANTIATE_TEST_SUITE_P(Damaged, AviEndToEnd, ::testing::Combine(::testing::ValuesIn(kSources), ::testing::ValuesIn(kDamages)),
    [](const ::testing::TestParamInfo<AviEndToEnd::ParamType>& info) {
      std::string n = std::get<0>(info.param).name;  // "mpeg4-mp3.avi": "mpeg4mp3"
      return n.erase(n.find('.')).erase(n.find('-'), 1) + "_" + std::get<1>(info.param).name;
    });

// A recording of more than 4 GiB: the repair is written as OpenDML (further "AVIX" lists,
// super and standard indexes with offsets past 32 bits) and ffmpeg plays its last frame and
// all of its sound. The damaged file is sparse: each video chunk holds a real picture
// followed by a hole, so the test needs little more disk than the repaired file itself.
TEST(AviOverFourGiB, IsWrittenAsOpenDmlAndPlaysToTheEnd) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "writes more than 4 GiB; runs in the normal build";
#endif
  if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  const std::string original = ensureSource(kSources[1]);
  ASSERT_FALSE(original.empty());
  const Bytes src = test::readFileBytes(original);

  // The original's header list, then 540 video chunks of 8,000,000 bytes (picture k mod 100
  // and a hole), the original's sound chunks after the first ones: 4.32 GB.
  constexpr uint32_t kChunk = 8000000;
  constexpr size_t kPictures = 540;
  avitest::QuietLog quiet;
  test::TempDir dir;
  const std::string damaged = dir.file("long.avi"), repaired = dir.file("long-repaired.avi");
  std::vector<size_t> pictures, sound;  // chunk positions
  const size_t movi = findTag(src, "movi");
  for (size_t p = movi + 4; p + 8 <= src.size() && std::memcmp(&src[p], "idx1", 4) != 0; p += 8 + readLE32(&src[p + 4]) + (src[p + 4] & 1))
    (std::memcmp(&src[p], "00dc", 4) == 0 ? pictures : sound).push_back(p);
  ASSERT_EQ(pictures.size(), 100u);
  {
    FileHandle f = FileHandle::createForWriting(damaged);
    uint64_t pos = movi + 4;
    ASSERT_EQ(f.writeAt(0, src.data(), pos), pos);
    const auto put = [&](size_t chunk, uint32_t size) {  // the chunk with its size field set to size
      Bytes head(src.begin() + long(chunk), src.begin() + long(chunk + 8 + readLE32(&src[chunk + 4])));
      writeLE32(head.data() + 4, size);
      ASSERT_EQ(f.writeAt(pos, head.data(), head.size()), head.size());
      pos += 8 + size + (size & 1);
    };
    for (size_t k = 0; k < kPictures; ++k) {
      put(pictures[k % pictures.size()], kChunk);
      if (k < sound.size()) put(sound[k], readLE32(&src[sound[k] + 4]));
    }
    ASSERT_TRUE(f.truncate(pos));
  }

  RepairFileAvi engine;
  test::RecordingDelegate d;
  engine.delegate = &d;
  engine.retrieveAudioVideoSamplesForFileAtPath(damaged, repaired);
  fs::remove(damaged);
  ASSERT_TRUE(d.completed) << (d.errors.empty() ? "" : d.errors[0].reason());
  EXPECT_GT(fs::file_size(repaired), uint64_t(1) << 32);

  // The first RIFF list is followed by an "AVIX" one.
  FileHandle out = FileHandle::openForReading(repaired);
  uint8_t head[12];
  out.readZeroFilled(4, head, 4);
  out.readZeroFilled(8 + readLE32(head), head, 12);
  EXPECT_EQ(std::string(head, head + 4) + std::string(head + 8, head + 12), "RIFFAVIX");

  // ffmpeg: the frame count of the stream header, the last picture after a seek to the end,
  // and the whole sound, which lies in the last list.
  EXPECT_EQ(ffprobe(repaired, "-select_streams v:0 -show_entries stream=nb_frames"), std::to_string(kPictures) + "\n");
  const std::vector<std::string> want = videoFrameMd5s(original), last = videoFrameMd5s(repaired, "-sseof -1");
  ASSERT_EQ(want.size(), pictures.size());
  ASSERT_FALSE(last.empty());
  EXPECT_EQ(last.back(), want[(kPictures - 1) % want.size()]);
  EXPECT_EQ(audioMd5(repaired), audioMd5(original));
}

}  // namespace
}  // namespace vr
