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

// Makes (once) a test AVI of about 1.1 MB in the build tree's media cache; the reference
// variant is another recording of the same camera (same codecs and settings, other picture,
// sound and length). The file is made under a private name and renamed into place, so
// parallel test processes never see half a file.
std::string ensureSource(const Source& s, bool reference = false) {
  const fs::path dir = fs::path(VR_BINARY_DIR) / "test-media" / "avi";
  const fs::path path = dir / ((reference ? "ref-" : "") + std::string(s.name));
  if (fs::exists(path)) return path.string();
  fs::create_directories(dir);
  const fs::path tmp = dir / ("." + path.filename().string() + "." + std::to_string(::getpid()) + ".avi");
  std::string cmd = std::string("ffmpeg -nostdin -v error -y -f lavfi -i ") +
                    (reference ? "testsrc2" : "testsrc") + "=size=320x240:rate=25 ";
  const std::string tone = reference ? "frequency=660" : "frequency=440";
  if (s.compressedAudio) {
    const std::string enc = compressedAudioEncoder();
    if (enc.empty()) return "";
    cmd += "-f lavfi -i sine=" + tone + ":sample_rate=44100 -t " + (reference ? "2" : "3") +
           " -vf noise=alls=12:allf=t -c:v mpeg4 -q:v 5 -c:a " + enc + " -b:a 128k ";
  } else {
    cmd += "-f lavfi -i sine=" + tone + ":sample_rate=22050 -t " + (reference ? "2" : "4") +
           " -c:v mjpeg -q:v 4 -c:a pcm_s16le -ac 1 ";
  }
  cmd += test::shellQuote(tmp.string()) + " 2>&1";
  const CommandResult r = runCommand(cmd);
  if (r.status != 0 || !fs::exists(tmp)) {
    ADD_FAILURE() << "ffmpeg could not make " << path << ": " << r.out;
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

// MD5 of the whole decoded audio stream.
std::string audioMd5(const std::string& path) {
  return runCommand("ffmpeg -nostdin -v error -i " + test::shellQuote(path) + " -map 0:a:0 -f md5 - 2>/dev/null").out;
}

// Seconds of sound the audio stream decodes to.
double decodedAudioSeconds(const std::string& path, uint32_t sampleRate) {
  const CommandResult r = runCommand("ffmpeg -nostdin -v error -i " + test::shellQuote(path) +
                                     " -map 0:a:0 -ac 1 -f s16le - 2>/dev/null");
  return double(r.out.size()) / 2 / sampleRate;
}

// What the stream headers say, in seconds: the video and the audio stream's durations (for
// audio whose duration ffprobe leaves open, its length in samples over the sample rate).
struct HeaderDurations {
  double video = 0, audio = 0;
  uint32_t sampleRate = 0;
};
HeaderDurations headerDurations(const std::string& path) {
  const auto probe = [&](const std::string& args) {
    return runCommand("ffprobe -v error " + args + " -of csv=p=0 " + test::shellQuote(path)).out;
  };
  HeaderDurations d;
  d.video = std::atof(probe("-select_streams v:0 -show_entries stream=duration").c_str());
  std::istringstream a(probe("-select_streams a:0 -show_entries stream=sample_rate,duration,nb_frames"));
  std::string rate, duration, samples;
  std::getline(a, rate, ','), std::getline(a, duration, ','), std::getline(a, samples);
  d.sampleRate = uint32_t(std::atoi(rate.c_str()));
  d.audio = duration != "N/A" ? std::atof(duration.c_str()) : std::atof(samples.c_str()) / d.sampleRate;
  return d;
}

// One letter per video packet: K for a key frame, - for any other.
std::string videoKeyFlags(const std::string& path) {
  const CommandResult r = runCommand("ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 " +
                                     test::shellQuote(path));
  std::string keys;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) keys += line.empty() || line[0] != 'K' ? '-' : 'K';
  return keys;
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
  bool withReference = false;                 // another recording of the same camera is given
  uint64_t riffListLimit = uint64_t(1) << 30;  // small limits make several RIFF lists
};

void PrintTo(const DamageCase& d, std::ostream* os) { *os << d.name; }

const DamageCase kDamages[] = {
    {"NoLegacyIndex", Damage::NoLegacyIndex, true},
    {"CutAt60Percent", Damage::CutAt60Percent, true},
    {"StreamHeadersOverwritten", Damage::StreamHeadersOverwritten, false},
    {"StreamHeadersOverwrittenWithReference", Damage::StreamHeadersOverwritten, true, true},
    {"ListFramingOverwritten", Damage::ListFramingOverwritten, true},
    {"SplitIntoRiffListsOf256KiB", Damage::NoLegacyIndex, true, false, 256 * 1024},
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

  const std::string reference = dc.withReference ? ensureSource(source, true) : "";
  RepairFileAvi engine;
  test::RecordingDelegate d;
  engine.delegate = &d;
  engine.riffListLimit = dc.riffListLimit;
  ASSERT_TRUE(engine.fileValidityCheckAtPath(damaged));
  engine.retrieveAudioVideoSamplesForFileAtPath(damaged, repaired, reference);

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
    EXPECT_EQ(audioMd5(repaired), audioMd5(original));
  }
  EXPECT_EQ(engine.videosamplecount.load(), got.size());
  // The indexes mark the key frames the pictures are (seeking lands on them).
  const std::string keys = videoKeyFlags(repaired);
  EXPECT_EQ(keys, videoKeyFlags(original).substr(0, keys.size()));

  // Every chunk on an even offset, every index entry at its chunk.
  const avitest::AviWalk walk = avitest::walkAvi(test::readFileBytes(repaired));
  EXPECT_EQ(walk.problems, std::vector<std::string>{});
  EXPECT_EQ(walk.riffLists > 1, dc.riffListLimit < originalBytes.size());

  // The stream headers tell the lengths of what the file holds: within one frame and one
  // audio chunk of what decodes, and of the original's when nothing was lost.
  const HeaderDurations h = headerDurations(repaired);
  ASSERT_GT(h.sampleRate, 0u);
  EXPECT_NEAR(h.video, got.size() / 25.0, 1e-6);
  EXPECT_NEAR(h.audio, decodedAudioSeconds(repaired, h.sampleRate), 0.05);
  if (dc.damage != Damage::CutAt60Percent) {
    const HeaderDurations o = headerDurations(original);
    EXPECT_NEAR(h.video, o.video, 0.04 + 1e-6);
    EXPECT_NEAR(h.audio, o.audio, 0.05);
  }
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

namespace vr {
namespace {

// A recording of more than 4 GiB: the repair is written as OpenDML (further "AVIX" lists,
// super and standard indexes, the total frame count in the OpenDML header) and ffmpeg plays
// its last frame and all of its sound. The damaged file is sparse: each video chunk holds a
// real picture followed by a hole, so the test needs little more disk than the repaired
// file itself, which is removed at the end.
TEST(AviOverFourGiB, IsWrittenAsOpenDmlAndPlaysToTheEnd) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "writes more than 4 GiB; runs in the normal build";
#endif
  if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
  const std::string original = ensureSource(kSources[1]);
  ASSERT_FALSE(original.empty());
  const Bytes src = test::readFileBytes(original);

  // The original's chunks, in the order of its "movi" list.
  const size_t movi = findTag(src, "movi");
  ASSERT_NE(movi, std::string::npos);
  std::vector<Bytes> pictures, sound;
  for (size_t p = movi + 4; p + 8 <= src.size();) {
    const uint32_t size = readLE32(src.data() + p + 4);
    if (p + 8 + size > src.size() || std::memcmp(src.data() + p, "idx1", 4) == 0) break;
    Bytes data(src.begin() + long(p) + 8, src.begin() + long(p + 8 + size));
    if (std::memcmp(src.data() + p, "00dc", 4) == 0) pictures.push_back(std::move(data));
    if (std::memcmp(src.data() + p, "01wb", 4) == 0) sound.push_back(std::move(data));
    p += 8 + size + (size & 1);
  }
  ASSERT_EQ(pictures.size(), 100u);
  ASSERT_FALSE(sound.empty());

  // The original's header list, then 540 video chunks of 8,000,000 bytes (picture k mod 100
  // and a hole), the sound chunks after the first ones: 4.32 GB.
  constexpr uint32_t kChunk = 8000000;
  constexpr size_t kPictures = 540;
  avitest::QuietLog quiet;
  test::TempDir dir;
  const std::string damaged = dir.file("long.avi"), repaired = dir.file("long-repaired.avi");
  {
    FileHandle f = FileHandle::createForWriting(damaged);
    ASSERT_EQ(f.writeAt(0, src.data(), movi + 4), movi + 4);
    uint64_t pos = movi + 4;
    const auto put = [&](const char* tag, const Bytes& data, uint32_t size) {
      Bytes head(tag, tag + 4);
      appendLE32(head, size);
      ASSERT_EQ(f.writeAt(pos, head.data(), 8), 8u);
      ASSERT_EQ(f.writeAt(pos + 8, data.data(), data.size()), data.size());
      pos += 8 + size + (size & 1);
    };
    for (size_t k = 0; k < kPictures; ++k) {
      put("00dc", pictures[k % pictures.size()], kChunk);
      if (k < sound.size()) put("01wb", sound[k], uint32_t(sound[k].size()));
    }
    ASSERT_TRUE(f.truncate(pos));
  }
  ASSERT_GT(fs::file_size(damaged), uint64_t(1) << 32);

  RepairFileAvi engine;
  test::RecordingDelegate d;
  engine.delegate = &d;
  engine.retrieveAudioVideoSamplesForFileAtPath(damaged, repaired);
  fs::remove(damaged);
  ASSERT_TRUE(d.completed) << (d.errors.empty() ? "" : d.errors[0].reason());
  const uint64_t size = fs::file_size(repaired);
  EXPECT_GT(size, uint64_t(1) << 32);

  // The first RIFF list is followed by an "AVIX" one.
  FileHandle out = FileHandle::openForReading(repaired);
  uint8_t head[12];
  out.readZeroFilled(4, head, 4);
  out.readZeroFilled(8 + readLE32(head), head, sizeof head);
  EXPECT_EQ(std::string(head, head + 12).substr(8), "AVIX");
  EXPECT_EQ(std::string(head, head + 4), "RIFF");

  // ffmpeg: the frame count of the stream header, the last picture after a seek to the end,
  // and the whole sound, which lies in the last list.
  const CommandResult frames = runCommand("ffprobe -v error -select_streams v:0 -show_entries stream=nb_frames "
                                          "-of csv=p=0 " + test::shellQuote(repaired));
  EXPECT_EQ(frames.out, std::to_string(kPictures) + "\n");
  const CommandResult last = runCommand("ffmpeg -nostdin -v error -sseof -1 -i " + test::shellQuote(repaired) +
                                        " -map 0:v:0 -f framemd5 - 2>&1");
  const std::vector<std::string> want = videoFrameMd5s(original);
  ASSERT_EQ(want.size(), pictures.size());
  ASSERT_FALSE(last.out.empty());
  const std::string lastLine = last.out.substr(last.out.rfind('\n', last.out.size() - 2) + 1);
  EXPECT_EQ(lastLine.substr(lastLine.rfind(',') + 1), want[(kPictures - 1) % want.size()] + "\n") << last.out;
  EXPECT_EQ(audioMd5(repaired), audioMd5(original));
}

}  // namespace
}  // namespace vr
