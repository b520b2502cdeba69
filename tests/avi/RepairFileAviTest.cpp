// Unit tests of the AVI repair engine on synthetic files whose every byte is known.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <sstream>
#include <thread>

#include "AviTestSupport.h"

namespace vr {
namespace {

using namespace avitest;
using test::readFileBytes;
using test::RecordingDelegate;
using test::TempDir;

void writeFile(const std::string& path, const Bytes& b) { ASSERT_TRUE(test::writeFileBytes(path, b)); }

// Little-endian byte builder: tags, 32-bit numbers, zeros, raw bytes, chunks (padded to even sizes).
struct B {
  Bytes b;
  B& t(const char* s) { return raw(Bytes(s, s + 4)); }
  B& n(uint64_t v) { return appendLE32(b, uint32_t(v)), *this; }
  B& n8(uint64_t v) { return n(v).n(0); }
  B& z(size_t k) { return b.insert(b.end(), k, 0), *this; }
  B& raw(const Bytes& r) { return b.insert(b.end(), r.begin(), r.end()), *this; }
  B& chunk(const char* tag, uint32_t size, uint8_t v) { return t(tag).n(size).z(0).b.insert(b.end(), size, v), z(size & 1); }
};

// Stream formats: a 40-byte bitmap header with compression "MJPG", an 18-byte wave format.
Bytes videoFormat() { return B().n(40).n(320).n(240).n(0x00180001).t("MJPG").n(320 * 240 * 3).z(16).b; }
Bytes audioFormat() { return B().n(0x00010001).n(22050).n(44100).n(0x00100002).z(2).b; }
const char* const kAudioHandler = "\xFF\x01\x02\x03";  // not valid UTF-8
constexpr uint32_t kVideoStart = 5, kAudioStart = 7;   // stream header bytes 28..31

// A synthetic AVI: header list with a video and an audio stream, a JUNK chunk that makes the
// file larger than 512 KiB, and a movi list holding the given payload.
struct SyntheticAvi {
  bool audioStream = true;
  const char* videoHandler = "MJPG";
  uint32_t avihSize = 56, videoStrhSize = 56;  // size fields of the main and the video stream header
  size_t videoStrhExtra = 0;                   // bytes past the usual 56 in the video stream header
  uint32_t videoScale = 1, videoRate = 25;
  Bytes vformat = videoFormat(), aformat = audioFormat();
  size_t junk = 530000;
  Bytes movi{};

  Bytes build() const {
    B h;
    h.t("hdrl").t("avih").n(avihSize);
    for (uint32_t v : {40000u, 1000000u, 0u, 0x10u, 99u, 0u, 2u, 0u, 320u, 240u, 0u, 0u, 0u, 0u}) h.n(v);
    const auto strl = [&](const char* type, const char* handler, uint32_t scale, uint32_t rate, uint32_t start,
                          const Bytes& f, uint32_t strhSize, size_t extra) {
      h.t("LIST").n(76 + extra + f.size()).t("strl").t("strh").n(strhSize).t(type).t(handler).z(12);
      h.n(scale).n(rate).n(start).n(3).n(4096).n(0xFFFFFFFF).n(0).z(8 + extra).t("strf").n(f.size()).raw(f);
    };
    strl("vids", videoHandler, videoScale, videoRate, kVideoStart, vformat, videoStrhSize, videoStrhExtra);
    if (audioStream) strl("auds", kAudioHandler, 1, 22050, kAudioStart, aformat, 56, 0);
    const size_t size = 4 + 8 + h.b.size() + 8 + junk + 12 + movi.size();
    return B().t("RIFF").n(size).t("AVI ").t("LIST").n(h.b.size()).raw(h.b).t("JUNK").n(junk).z(junk).t("LIST").n(4 + movi.size()).t("movi").raw(movi).b;
  }
};

Bytes withField(Bytes f, size_t at, uint32_t v) { return writeLE32(f.data() + at, v), f; }

// The worked example: video chunks of 100 and 51 bytes and an audio chunk of 10 bytes,
// interleaved in the damaged file and followed by a JUNK chunk.
Bytes workedExampleMovi() { return B().chunk("00dc", 100, 0xA1).chunk("01wb", 10, 0xB2).chunk("00dc", 51, 0xC3).t("JUNK").n(0).b; }

// The exact file the engine must write for the worked example: headers that agree with the
// chunks written (PCM counted in sample blocks), the odd video chunk followed by a pad byte,
// standard indexes, an OpenDML header and the legacy index of the single RIFF list.
Bytes expectedWorkedExampleOutput(bool db) {
  const char* vid = db ? "00db" : "00dc";
  B e;
  e.t("RIFF").n(1012).t("AVI ").t("LIST").n(658).t("hdrl");
  e.t("avih").n(56).n(40000).n(2012).n(0).n(0x10).n(2).n(0).n(2).n(108).n(320).n(240).z(16);
  e.t("LIST").n(164).t("strl").t("strh").n(56).t("vids").t("MJPG").z(12);
  e.n(1).n(25).n(0).n(2).n(100).n(0).n(0).z(8).t("strf").n(40).raw(videoFormat());
  e.t("indx").n(40).n(4).n(1).t(vid).z(12).n8(690).n(48).n(2);
  e.t("LIST").n(142).t("strl").t("strh").n(56).t("auds").t(kAudioHandler).z(12);
  e.n(1).n(22050).n(0).n(5).n(10).n(0).n(2).z(8).t("strf").n(18).raw(audioFormat());
  e.t("indx").n(40).n(4).n(1).t("01wb").z(12).n8(738).n(40).n(5);
  e.t("LIST").n(260).t("odml").t("dmlh").n(248).n(2).z(244);
  e.t("LIST").n(278).t("movi");
  e.t("ix00").n(40).n(0x01000002).n(2).t(vid).n8(778).z(4).n(8).n(100).n(116).n(51);
  e.t("ix01").n(32).n(0x01000002).n(1).t("01wb").n8(946).z(4).n(8).n(10);
  e.chunk(vid, 100, 0xA1).chunk(vid, 51, 0xC3).chunk("01wb", 10, 0xB2);
  e.t("idx1").n(48).t(vid).n(0x10).n(92).n(100).t(vid).n(0x10).n(200).n(51).t("01wb").n(0x10).n(260).n(10);
  return e.b;
}

// Records every report and hands each progress report to `hook`, so that a test can stop or
// pause the engine at a chosen point.
struct Engine : RecordingDelegate {
  RepairFileAvi engine;
  RecordingDelegate& d = *this;
  std::function<void(int32_t percent)> hook;
  Engine() { engine.delegate = this; }
  void repairFileCurrentTaskProgress(int32_t percent) override {
    RecordingDelegate::repairFileCurrentTaskProgress(percent);
    if (hook) hook(percent);
  }
  void repair(const std::string& in, const std::string& out) { engine.retrieveAudioVideoSamplesForFileAtPath(in, out); }
};

TEST(RepairFileAviValidity, TagsInTheFirstTenKiB) {
  TempDir dir;
  writeFile(dir.file("db.bin"), B().t("00db").z(2044).b);
  const struct { const char* name; size_t size; std::vector<std::pair<size_t, const char*>> tags; bool valid, db; } cases[] = {
      {"1023 bytes starting with RIFF", 1023, {{0, "RIFF"}}, false, false}, {"1024 bytes starting with RIFF", 1024, {{0, "RIFF"}}, true, false},
      {"first tag past 10 KiB", 20000, {{10240, "RIFF"}, {12000, "movi"}}, false, false}, {"missing file", 0, {}, false, false},
      {"first tag 00db", 4096, {{700, "00db"}, {900, "RIFF"}}, true, true}, {"00dc before 00db", 4096, {{100, "00dc"}, {900, "00db"}}, true, false},
      {"tag at the last position of the tenth KiB", 12000, {{9 * 1024 + 1020, "strh"}}, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file("check.bin");
    std::filesystem::remove(path);
    Bytes b(c.size, 0x11);
    for (const auto& [pos, t] : c.tags) std::memcpy(b.data() + pos, t, 4);
    if (c.size) writeFile(path, b);
    RepairFileAvi r;
    ASSERT_TRUE(r.fileValidityCheckAtPath(dir.file("db.bin")) && r.db());  // must not leak into the next check
    EXPECT_EQ(r.fileValidityCheckAtPath(path), c.valid);
    EXPECT_EQ(r.db(), c.db);
  }
}

std::vector<std::string> gLog;  // log lines of the last run, kept instead of printed

TEST(RepairFileAviRun, WorkedExampleIsWrittenByteForByte) {
  setLogSink([](const std::string& line) { gLog.push_back(line); });
  TempDir dir;
  writeFile(dir.file("in.avi"), SyntheticAvi{.movi = workedExampleMovi()}.build());
  writeFile(dir.file("db.bin"), B().t("00db").z(2044).b);
  for (bool db : {false, true}) {
    SCOPED_TRACE(db ? "validity check met 00db first" : "validity check met RIFF first");
    Engine run;
    ASSERT_TRUE(run.engine.fileValidityCheckAtPath(db ? dir.file("db.bin") : dir.file("in.avi")));
    run.repair(dir.file("in.avi"), dir.file("out.avi"));
    EXPECT_TRUE(run.d.errors.empty());
    EXPECT_EQ(completions(run.d), 1u);
    EXPECT_EQ(readFileBytes(dir.file("out.avi")), expectedWorkedExampleOutput(db));
    // The three phases in order, the attributes after the first, and progress from 10 to 100.
    EXPECT_EQ(run.d.snapshot(), (std::vector<std::string>{"task:Analyzing the file..", "attr:video=MJPG", "attr:audio=",
                                                          "attr:track=2", "task:Locating audio / video data forks..",
                                                          "task:Repairing the file..", "complete"}));
    std::vector<int32_t> distinct = run.d.progress;
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    EXPECT_EQ(distinct, (std::vector<int32_t>{10, 50, 70, 80, 100}));
  }
  // The audio handler holds control bytes (FF 01 02 03); the log shows them escaped.
  setLogSink(nullptr);
  ASSERT_FALSE(gLog.empty());
  for (const std::string& line : gLog)
    EXPECT_TRUE(std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) << line;
}

TEST(RepairFileAviRun, WrittenFilesKeepTheRiffRules) {
  QuietLog quiet;
  TempDir dir;
  const Bytes junk = B().t("JUNK").n(0).b;
  // Many chunks of odd and even sizes, interleaved as a camera writes them.
  B many;
  for (uint32_t k = 0; k < 40; ++k) many.chunk("00dc", 301 + k, uint8_t(k)).chunk("01wb", 33 + 2 * (k % 2), uint8_t(k));
  many.raw(junk);
  // MPEG-1 layer 3 frames of 417 bytes (128 kbit/s, 44.1 kHz), one or two to a chunk.
  const Bytes mp3Format = B().n(0x00020055).n(44100).n(16000).n(1).raw({12, 0}).z(12).b;
  const Bytes frame = B().raw({0xFF, 0xFB, 0x90, 0x44}).raw(Bytes(413, 0x55)).b;
  B oneFrame, twoFrames;
  for (int k = 0; k < 10; ++k) {
    oneFrame.chunk("00dc", 100, 1).t("01wb").n(417).raw(frame).z(1);
    twoFrames.chunk("00dc", 100, 1).t("01wb").n(834).raw(frame).raw(frame);
  }
  // Stream header lengths count frames and PCM sample blocks; MPEG audio is counted in frames
  // when every chunk is one frame, else in bytes at the rate the frames give (8,340 bytes for
  // 23,040 samples at 44.1 kHz). The summary: RIFF lists, video length and dmlh frames, audio
  // length, sample size, scale/rate.
  const struct { const char* name; Bytes movi; uint64_t riffListLimit; const char* summary; Bytes aformat = audioFormat(); } cases[] = {
      {"no audio chunks", B().chunk("00dc", 100, 1).chunk("00dc", 51, 2).raw(junk).b, 1u << 30, "1 2/2 0 2 1/22050"},
      {"several RIFF lists", many.b, 4096, "5 40/40 680 2 1/22050"},
      {"one chunk per RIFF list", many.b, 64, "80 40/40 680 2 1/22050"},
      {"MP3, one frame per chunk", oneFrame.raw(junk).b, 1u << 30, "1 10/10 10 0 1152/44100", mp3Format},
      {"MP3, two frames per chunk", twoFrames.raw(junk).b, 1u << 30, "1 10/10 8340 1 1/15963", mp3Format},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir.file("in.avi"), SyntheticAvi{.aformat = c.aformat, .movi = c.movi}.build());
    Engine run;
    run.engine.riffListLimit = c.riffListLimit;
    run.repair(dir.file("in.avi"), dir.file("out.avi"));
    ASSERT_EQ(completions(run.d), 1u);
    const Bytes out = readFileBytes(dir.file("out.avi"));
    const AviWalk w = walkAvi(out);
    EXPECT_EQ(w.problems, std::vector<std::string>{});
    std::ostringstream got;
    got << w.riffLists << " " << w.length[0] << "/" << w.totalFrames << " " << w.length[1] << " " << w.sampleSize[1] << " "
        << w.scale[1] << "/" << w.rate[1];
    EXPECT_EQ(got.str(), c.summary);
    EXPECT_EQ(std::make_pair(w.indexed[0], w.indexed[1]),
              std::make_pair(size_t(run.engine.videosamplecount), size_t(run.engine.audiosamplecount)));
    EXPECT_GT(w.legacyIndexed, 0u);
    // No RIFF list is larger than the limit (unless the limit is below a single chunk).
    for (size_t p = 0; c.riffListLimit >= 4096 && p + 8 <= out.size(); p += 8 + readLE32(out.data() + p + 4))
      EXPECT_LE(readLE32(out.data() + p + 4), c.riffListLimit);
  }
}

TEST(RepairFileAviRun, FilesWithoutWhatTheRebuildNeedsAreRefused) {
  QuietLog quiet;
  TempDir dir;
  const Bytes chunks = B().chunk("00dc", 100, 1).chunk("01wb", 10, 2).t("JUNK").n(0).b;
  const auto sized = [](Bytes b, size_t size) { return b.resize(size, 0), b; };
  const Bytes small = SyntheticAvi{.junk = 500000, .movi = chunks}.build();
  const auto avi = [&](SyntheticAvi a) { return a.movi = chunks, a.build(); };
  const Bytes good = avi({});
  const Bytes vf = videoFormat(), af = audioFormat();
  // withReference: the good file is given as the reference.
  const struct { const char* name; Bytes file; bool repaired, outputIsInput = false, withReference = false; } cases[] = {
      {"exactly 512 KiB", sized(small, 524288), false}, {"one byte more than 512 KiB", sized(small, 524289), true},
      {"no audio stream", avi({.audioStream = false}), false}, {"video handler all zero", avi({.videoHandler = "\0\0\0\0"}), false},
      {"no chunk at all", SyntheticAvi{.movi = B().t("JUNK").n(0).b}.build(), false}, {"no file", Bytes{}, false},
      {"output path names the damaged file", good, false, true}, {"main header of size 4 (not used)", avi({.avihSize = 4}), true},
      // Stream descriptions are checked before use.
      {"stream header of size 4", avi({.videoStrhSize = 4}), false}, {"longer stream header", avi({.videoStrhSize = 64, .videoStrhExtra = 8}), true},
      {"audio format of 7 bytes", avi({.aformat = Bytes(af.begin(), af.begin() + 7)}), false},
      {"video format of 7 bytes", avi({.vformat = Bytes(vf.begin(), vf.begin() + 7)}), false},
      {"width 1761608000", avi({.vformat = withField(vf, 4, 1761608000)}), false},
      {"height 0", avi({.vformat = withField(vf, 8, 0)}), false}, {"uncompressed bitmap", avi({.vformat = withField(vf, 16, 0)}), false},
      {"video rate 0", avi({.videoRate = 0}), false}, {"video scale 0", avi({.videoScale = 0}), false}, {"100,000 frames per second", avi({.videoRate = 100000}), false},
      {"PCM block of 3 bytes for mono 16-bit", avi({.aformat = withField(af, 12, 0x00100003)}), false},
      {"no audio channels", avi({.aformat = withField(af, 0, 0x00000001)}), false},
      {"sample rate 4 billion", avi({.aformat = withField(af, 4, 0xFFFFFFF0)}), false},
      // A healthy file from the same camera stands in for descriptions that cannot be used.
      {"stream header of size 4, with a reference", avi({.videoStrhSize = 4}), true, false, true},
      {"no audio stream, with a reference", avi({.audioStream = false}), true, false, true},
      {"video rate 0, with a reference", avi({.videoRate = 0}), true, false, true},
  };
  writeFile(dir.file("good.avi"), good);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string in = dir.file("in.avi"), out = c.outputIsInput ? in : dir.file("out.avi");
    std::filesystem::remove(in), std::filesystem::remove(out);
    if (!c.file.empty()) writeFile(in, c.file);
    // The engine first repairs a good file: nothing found there may carry over to the next run.
    Engine run;
    run.repair(dir.file("good.avi"), dir.file("good-out.avi"));
    ASSERT_TRUE(run.d.completed);
    RecordingDelegate second;
    run.engine.delegate = &second;
    run.engine.retrieveAudioVideoSamplesForFileAtPath(in, out, c.withReference ? dir.file("good.avi") : "");
    EXPECT_EQ(second.completed.load(), c.repaired);
    EXPECT_EQ(failedWith(second, 107), !c.repaired);
    // What is written is what the good file gives: its descriptions, the chunks found.
    EXPECT_EQ(readFileBytes(out), c.outputIsInput ? c.file : c.repaired ? readFileBytes(dir.file("good-out.avi")) : Bytes{});
  }
}

TEST(RepairFileAviRun, WhichChunksTheDataScanTakes) {
  QuietLog quiet;
  TempDir dir;
  const Bytes junk = B().t("JUNK").n(0).b;
  const struct { const char* name; Bytes movi; uint64_t video, audio; } cases[] = {
      {"size 0", B().chunk("00dc", 0, 0).raw(junk).b, 0, 0}, {"size 1", B().chunk("00dc", 1, 0x41).raw(junk).b, 1, 0},
      {"size 9,999,999", B().chunk("00dc", 9999999, 0x41).raw(junk).b, 1, 0}, {"size 10,000,000", B().chunk("00dc", 10000000, 0x41).raw(junk).b, 0, 0},
      {"pad byte then 01wb", B().chunk("00db", 51, 0x41).chunk("01wb", 10, 0x42).raw(junk).b, 1, 1},
      {"three stray bytes then a tag", B().chunk("00dc", 52, 0x41).t("xyz\0").raw(junk).b, 0, 0},
      {"followed by the legacy index", B().chunk("00dc", 52, 0x41).t("idx1").n(0).b, 1, 0},
      {"followed by a standard index", B().chunk("01wb", 52, 0x41).t("ix00").n(0).b, 0, 1},
      {"ending at the end of the file", B().chunk("00dc", 52, 0x41).chunk("00dc", 52, 0x41).b, 2, 0},
      {"pad byte at the end of the file", B().chunk("00dc", 52, 0x41).chunk("01wb", 51, 0x41).b, 1, 1},
      {"cut inside the data", B().chunk("00dc", 52, 0x41).t("00dc").n(52).z(40).b, 1, 0}, {"in the last KiB of a file of whole KiBs", {}, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SyntheticAvi s{.movi = c.movi};
    if (c.movi.empty()) {
      // Zeros ahead of one chunk, so that the file ends at a KiB boundary just after it.
      s.movi = B().chunk("00dc", 20, 0x41).raw(junk).b;
      s.movi.insert(s.movi.begin(), (1024 - s.build().size() % 1024) % 1024, 0);
      ASSERT_EQ(s.build().size() % 1024, 0u);
    }
    writeFile(dir.file("in.avi"), s.build());
    Engine run;
    run.repair(dir.file("in.avi"), dir.file("out.avi"));
    EXPECT_EQ(std::make_pair(run.engine.videosamplecount.load(), run.engine.audiosamplecount.load()), std::make_pair(c.video, c.audio));
    EXPECT_EQ(run.d.completed.load(), c.video + c.audio > 0);
  }
}

// The worked example in a fresh folder, with the engine's diagnostics quiet.
class RepairFileAviWorkedExample : public ::testing::Test {
 protected:
  void SetUp() override { writeFile(dir.file("in.avi"), SyntheticAvi{.movi = workedExampleMovi()}.build()); }
  QuietLog quiet;
  TempDir dir;
  Engine run;
};

TEST_F(RepairFileAviWorkedExample, ChunksThatCannotBeReadAreLeftOutOfTheIndexes) {
  run.repair(dir.file("in.avi"), dir.file("out.avi"));
  ASSERT_EQ(completions(run.d), 1u);
  // Entries whose data lies partly or wholly past the end of the damaged file, between and
  // after the real ones: the file written must be the one written without them.
  const uint64_t inSize = std::filesystem::file_size(dir.file("in.avi"));
  auto &v = run.engine.videoChunks(), &a = run.engine.audioChunks();
  v.offsets.insert(v.offsets.begin() + 1, inSize - 20);
  v.sizes.insert(v.sizes.begin() + 1, 100);
  v.add(inSize + 4096, 8);
  a.add(UINT64_MAX - 4, 16);
  a.offsets.insert(a.offsets.begin(), 0);
  a.sizes.insert(a.sizes.begin(), UINT64_MAX - 2);

  FileHandle in = FileHandle::openForReading(dir.file("in.avi"));
  run.engine.constructRIFFListWithFileHandle(in, dir.file("out2.avi"));
  EXPECT_EQ(completions(run.d), 2u);
  EXPECT_EQ(run.engine.videosamplecount + run.engine.audiosamplecount, 3u);
  EXPECT_EQ(readFileBytes(dir.file("out2.avi")), expectedWorkedExampleOutput(false));
}

TEST_F(RepairFileAviWorkedExample, AFailedWriteIsError106AndLeavesADeviceAlone) {
  // /dev/full (reached through a link, so that a fault removes only the link) takes the
  // file's creation and refuses every write, as a full disk does.
  const std::string out = dir.file("full.avi");
  std::filesystem::create_symlink("/dev/full", out);
  run.repair(dir.file("in.avi"), out);
  EXPECT_TRUE(failedWith(run.d, 106));
  EXPECT_FALSE(run.d.completed);
  EXPECT_TRUE(std::filesystem::is_symlink(out));
}

// A stop during the data scan ends the run after the headers and reports nothing; a pause
// holds the run until cleared, and the run then writes the whole file.
TEST_F(RepairFileAviWorkedExample, StopAndPause) {
  run.hook = [&](int32_t percent) { if (percent == 70) run.engine.setStopflag(true); };
  run.repair(dir.file("in.avi"), dir.file("out.avi"));
  EXPECT_TRUE(run.d.errors.empty());
  EXPECT_FALSE(run.d.completed);
  EXPECT_EQ(run.d.progress.back(), 80);

  Engine paused;
  std::thread resumer;
  std::atomic<size_t> atPause{0}, atResume{0};
  paused.hook = [&](int32_t percent) {
    if (percent != 70 || resumer.joinable()) return;
    paused.engine.setPauseRepairingAVI(true);
    atPause = paused.progressCount();
    resumer = std::thread([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(1200));
      atResume = paused.progressCount();
      paused.engine.setPauseRepairingAVI(false);
    });
  };
  paused.repair(dir.file("in.avi"), dir.file("out.avi"));
  resumer.join();
  EXPECT_EQ(atResume.load(), atPause.load());  // nothing happened while paused
  EXPECT_TRUE(paused.completed);
  EXPECT_EQ(readFileBytes(dir.file("out.avi")), expectedWorkedExampleOutput(false));
}

}  // namespace
}  // namespace vr
