// How the scan groups NAL units into samples, where a run ends, and the run-length coding
// of the sample-to-chunk lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <random>

#include "StreamFixtures.h"
#include "atoms/MovieBuilder.h"
#include "atoms/SampleTableAtoms.h"
#include "engine/IndexPlan.h"
#include "engine/File.h"
#include "engine/RepairFile.h"
#include "support/TestMedia.h"

namespace vr {
namespace {

using test::Unit;

struct ChainResult {
  int32_t units = 0;
  uint64_t nalCount = 0;
  uint64_t pictures = 0;
  SampleList records;
};

ChainResult chainAt(const Bytes& data, const ReferenceParameterSets& ref, uint64_t offset = 0, uint8_t n = 4) {
  test::TempDir dir;
  EXPECT_TRUE(test::writeFileBytes(dir.file("chain.bin"), data));
  FileHandle fh = FileHandle::openForReading(dir.file("chain.bin"));
  RepairFile repair;
  ChainResult r;
  r.units = repair.getNaluAtOffset(offset, r.records, fh, n, &r.nalCount, &r.pictures, data.size(), ref);
  return r;
}

struct Record {
  uint64_t offset;
  uint64_t size;
  bool picture;
};

void expectRecords(const ChainResult& r, const std::vector<Record>& expected, const char* name) {
  ASSERT_EQ(r.records.size(), expected.size()) << name;
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(r.records[i].sampleOffset, expected[i].offset) << name << " record " << i;
    EXPECT_EQ(r.records[i].sampleSize, expected[i].size) << name << " record " << i;
    EXPECT_EQ(r.records[i].picture, expected[i].picture) << name << " record " << i;
  }
}

TEST(NaluChain, H264SlicesOfOnePictureMakeOneSampleAndParameterSetsAreNotSamples) {
  using namespace test::h264;
  const auto ref = reference();
  // SPS, PPS, SEI (one 16-byte message), an IDR picture of three slices, two P pictures
  // of three slices.
  const Bytes sei = test::fromHex("060510" "00112233445566778899aabbccddeeff" "80");
  const Bytes data = test::layout({{&kSPS, 26}, {&kPPS, 8}, {&sei, 24},
                                   {&kIDR[0], 300}, {&kIDR[1], 200}, {&kIDR[2], 250},
                                   {&kP1[0], 150}, {&kP1[1], 120}, {&kP1[2], 130},
                                   {&kP2[0], 90}, {&kP2[1], 80}, {&kP2[2], 70}});
  const ChainResult r = chainAt(data, ref);
  EXPECT_EQ(r.units, 12);
  EXPECT_EQ(r.nalCount, 12u);
  // An in-band SPS is stored like the PPS and the SEI: with the picture that follows.
  EXPECT_EQ(r.pictures, 3u);
  expectRecords(r, {{0, 26, false}, {26, 8, false}, {34, 24, false}, {58, 750, true}, {808, 400, true},
                    {1208, 240, true}},
                "in-band parameter sets");
  EXPECT_EQ(r.records[0].nal.NALType, 7);
  EXPECT_EQ(r.records[3].nal.NALType, 5);
  EXPECT_EQ(r.records[3].sampleType, kSampleTypeH264);
  // A prefix unit (type 14) in front of every slice belongs to the slice's picture.
  const Bytes idrPrefix = test::fromHex("6ec0800720"), pPrefix = test::fromHex("4e80800720");
  const ChainResult prefixed = chainAt(test::layout({{&idrPrefix, 9}, {&kIDR[0], 300}, {&idrPrefix, 9},
                                                      {&kIDR[1], 200}, {&pPrefix, 9}, {&kP1[0], 150}}),
                                       ref);
  EXPECT_EQ(prefixed.pictures, 2u);
  expectRecords(prefixed, {{0, 9, false}, {9, 509, true}, {518, 9, false}, {527, 150, true}}, "prefix units");
}

TEST(NaluChain, RunEndsAtUnitsThatCannotBelongToIt) {
  using namespace test::h264;
  const auto ref = reference();
  const Bytes garbage = test::fromHex("ffffffffffffffff"), aud = test::fromHex("0910ff");
  struct Case {
    const char* name;
    Bytes data;
    int32_t units;
  };
  Bytes cutShort = test::layout({{&kIDR[0], 300}, {&kP1[0], 300}});
  cutShort.resize(450);  // the second picture runs past the end of the file
  Bytes behindGarbage = test::layout({{&kIDR[0], 300}, {&kP1[0], 300}});
  behindGarbage.insert(behindGarbage.begin() + 300, garbage.begin(), garbage.end());
  const std::vector<Case> cases = {
      {"complete", test::layout({{&kIDR[0], 300}, {&kP1[0], 300}}), 2},
      {"cut short", cutShort, 1},
      {"garbage between", behindGarbage, 1},
      {"largest unit taken", test::layout({{&kIDR[0], 300}, {&kP1[0], 2'199'999}}), 2},
      {"unit over the limit", test::layout({{&kIDR[0], 300}, {&kP1[0], 2'200'000}}), 1},
      {"first unit over the limit", test::layout({{&kIDR[0], 2'200'000}, {&kP1[0], 300}}), 0},
      {"nothing at the offset", garbage, 0},
      // Units without a picture must parse to their length, and a run ends with a picture.
      {"SEI whose message overruns it", test::layout({{&kIDR[0], 300}, {&kSEI, 40}, {&kP1[0], 300}}), 1},
      {"delimiter with no picture behind", test::layout({{&kIDR[0], 300}, {&aud, 6}, {&garbage, 8}}), 1},
      {"delimiter of two bytes", test::layout({{&kIDR[0], 300}, {&aud, 7}, {&kP1[0], 300}}), 1},
  };
  for (const auto& c : cases) {
    const ChainResult r = chainAt(c.data, ref);
    EXPECT_EQ(r.units, c.units) << c.name;
    EXPECT_EQ(r.records.size(), size_t(c.units)) << c.name;
  }
}

TEST(NaluChain, H265ParameterSetsTravelWithTheirPicture) {
  using namespace test::h265;
  const auto ref = reference();
  // Further slice segments of a picture: the same slices with first_slice_segment_in_pic_flag
  // 0 (a 64x64 picture is one coding tree block, so no segment address follows).
  Bytes idrSegment = kIDR, trailSegment = kTrail;
  const Bytes sei = test::fromHex("4e010510" "00112233445566778899aabbccddeeff" "80");
  idrSegment[2] &= 0x7F;
  trailSegment[2] &= 0x7F;
  struct Case {
    const char* name;
    std::vector<Unit> units;
    uint64_t pictures;
    std::vector<Record> records;
  };
  const std::vector<Case> cases = {
      {"parameter sets merged with the IDR slice",
       {{&kVPS, 30}, {&kSPS, 50}, {&kPPS, 12}, {&kIDR, 500}, {&kTrail, 100}},
       2,
       {{0, 592, true}, {592, 100, true}}},
      {"SEI between the parameter sets and the IDR slice",
       {{&kVPS, 30}, {&kSPS, 50}, {&kPPS, 12}, {&sei, 25}, {&kIDR, 500}, {&kTrail, 100}},
       2,
       {{0, 92, false}, {92, 25, false}, {117, 500, true}, {617, 100, true}}},
      {"delimiters before each picture",
       {{&kAUD, 7}, {&kIDR, 500}, {&kAUD, 7}, {&kTrail, 100}},
       2,
       {{0, 7, false}, {7, 500, true}, {507, 7, false}, {514, 100, true}}},
      {"pictures of two slice segments",
       {{&kIDR, 300}, {&idrSegment, 200}, {&kTrail, 100}, {&trailSegment, 50}},
       2,
       {{0, 500, true}, {500, 150, true}}},
      {"segmented IDR picture behind parameter sets",
       {{&kVPS, 30}, {&kSPS, 50}, {&kPPS, 12}, {&kIDR, 300}, {&idrSegment, 200}, {&kTrail, 100}},
       2,
       {{0, 592, true}, {592, 100, true}}},
  };
  for (const auto& c : cases) {
    const ChainResult r = chainAt(test::layout(c.units), ref);
    EXPECT_EQ(r.units, int32_t(c.units.size())) << c.name;
    EXPECT_EQ(r.pictures, c.pictures) << c.name;
    expectRecords(r, c.records, c.name);
    for (const Sample& s : r.records) EXPECT_EQ(s.sampleType, kSampleTypeH265) << c.name;
  }
}

TEST(SampleToChunk, NewEntryOnlyWhenTheCountChanges) {
  struct Case {
    std::vector<uint32_t> perChunk;
    std::vector<std::pair<uint32_t, uint32_t>> entries;  // first chunk, samples per chunk
  };
  const std::vector<Case> cases = {
      {{}, {}},
      {{5}, {{1, 5}}},
      {{3, 3, 3}, {{1, 3}}},
      {{3, 4, 4, 3}, {{1, 3}, {2, 4}, {4, 3}}},
      {{15, 15, 15, 7}, {{1, 15}, {4, 7}}},
  };
  for (const auto& c : cases) {
    std::vector<std::shared_ptr<SampleToChunkEntery>> list;
    for (size_t i = 0; i < c.perChunk.size(); ++i)
      addSampleToChunkEntry(list, uint32_t(i + 1), c.perChunk[i]);
    ASSERT_EQ(list.size(), c.entries.size());
    for (size_t i = 0; i < list.size(); ++i) {
      EXPECT_EQ(list[i]->firstChunk, c.entries[i].first);
      EXPECT_EQ(list[i]->samplesPerChunk, c.entries[i].second);
      EXPECT_EQ(list[i]->sampleDescID, 1u);
    }
  }
}


// A small H.264 recording made by ffmpeg (every picture behind an access unit delimiter)
// and its video packets, in file order.
struct Recording {
  std::string path;
  Bytes bytes;
  struct Packet {
    uint64_t pos, size;
    int64_t pts;
  };
  std::vector<Packet> pictures;
};

const char* const kH264 = "-c:v libx264 -g 10 -bf 0 -x264-params aud=1";

std::optional<Recording> record(const test::TempDir& dir, const std::string& name, const std::string& audio,
                                const std::string& video = kH264) {
  Recording r;
  r.path = dir.file(name);
  const std::string cmd = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x64:rate=25:duration=1 " + audio +
                          " -pix_fmt yuv420p " + video + " " + test::shellQuote(r.path);
  if (test::runCommand(cmd).status != 0) return std::nullopt;
  r.bytes = test::readFileBytes(r.path);
  for (const std::string& line :
       test::splitLines(test::runCommand("ffprobe -v error -select_streams v:0 -show_entries packet=pts,pos,size "
                                         "-of compact=p=0:nk=0 " + test::shellQuote(r.path)).out)) {
    unsigned long pos = 0, size = 0;
    long pts = 0;
    if (std::sscanf(line.c_str(), "pts=%ld|size=%lu|pos=%lu", &pts, &size, &pos) == 3)
      r.pictures.push_back({pos, size, pts});
  }
  return r;
}

// A damaged file made of a recording's pictures: ftyp and mdat headers, two lone
// delimiters and garbage, then the pictures with a stretch of "audio" after every fifth
// (stretches[k] bytes of 0x11 after the k-th group), then `tail`.
struct Damaged {
  Bytes bytes;
  std::vector<uint64_t> pictureOffsets;
};

Damaged layOut(const Recording& r, const std::vector<uint64_t>& stretches, const Bytes& tail = {}) {
  Damaged d;
  d.bytes = test::fromHex("0000001466747970717420200000000071742020" "00000000" "6d646174");
  const Bytes aud = test::fromHex("000000020910");
  for (int i = 0; i < 2; ++i) d.bytes.insert(d.bytes.end(), aud.begin(), aud.end());
  d.bytes.insert(d.bytes.end(), 16, 0xFF);
  for (size_t i = 0; i < r.pictures.size(); ++i) {
    d.pictureOffsets.push_back(d.bytes.size());
    d.bytes.insert(d.bytes.end(), r.bytes.begin() + long(r.pictures[i].pos),
                   r.bytes.begin() + long(r.pictures[i].pos + r.pictures[i].size));
    if (i % 5 == 4 && i / 5 < stretches.size()) d.bytes.insert(d.bytes.end(), stretches[i / 5], 0x11);
  }
  d.bytes.insert(d.bytes.end(), tail.begin(), tail.end());
  return d;
}

std::unique_ptr<RepairFile> scan(const test::TempDir& dir, const Recording& r, const Damaged& d) {
  auto repair = std::make_unique<RepairFile>();
  repair->healthyFile = File::parseFileAtPath(r.path);
  EXPECT_TRUE(test::writeFileBytes(dir.file("damaged.bin"), d.bytes));
  auto corrupt = File::initWithFileType(kFileTypeCorrupted, dir.file("damaged.bin"));
  repair->analyseDataForAVC1AndHVC1InFile(*corrupt, repair->healthyFile->audioCodec);
  return repair;
}

// PCM stretches, big- or little-endian: one chunk each, counted in frames of the
// reference's channel count, run-length coded; the stretch behind the last run counts
// too and ends at an index left behind the media data.
TEST(Scan, PcmStretchesAreChunksOfWholeFrames) {
  if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  struct Case {
    const char* name;
    const char* audio;  // ffmpeg options of the reference's sound
    uint64_t codec;
    uint64_t frameBytes;
  };
  const Case cases[] = {
      {"twos mono", "-ac 1 -c:a pcm_s16be", kAudioCodecTwos, 2},
      {"twos stereo", "-ac 2 -c:a pcm_s16be", kAudioCodecTwos, 4},
      {"sowt stereo", "-ac 2 -c:a pcm_s16le", kAudioCodecSowt, 4},
      {"sowt mono", "-ac 1 -c:a pcm_s16le", kAudioCodecSowt, 2},
  };
  // Two equal stretches, one without a whole frame, a longer one; the tail is followed by
  // a movie atom that must not be taken as audio.
  const std::vector<uint64_t> stretches = {4000, 4000, 1, 6002};
  const uint64_t tail = 2000;
  const Bytes index = test::fromHex("00000018" "6d6f6f76" "00000010" "6d766864" "0000000000000000");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const auto rec = record(dir, "ref.mov",
                            std::string("-f lavfi -i 'aevalsrc=0.3*sin(440*2*PI*t):s=48000:d=1' ") + c.audio);
    ASSERT_TRUE(rec);
    ASSERT_EQ(rec->pictures.size(), 25u);
    Bytes tailBytes(tail, 0x22);
    tailBytes.insert(tailBytes.end(), index.begin(), index.end());
    const auto repair = scan(dir, *rec, layOut(*rec, stretches, tailBytes));
    ASSERT_EQ(repair->healthyFile->audioCodec, c.codec);

    std::vector<uint64_t> sizes;
    for (const Sample& s : repair->audioSampleArray) {
      EXPECT_EQ(s.sampleType, kSampleTypePCM);
      sizes.push_back(s.sampleSize);
    }
    // Whole frames only: a stereo stretch of 6002 bytes keeps 6000.
    const uint64_t kept = 6002 / c.frameBytes * c.frameBytes;
    EXPECT_EQ(sizes, (std::vector<uint64_t>{4000, 4000, kept, tail}));
    EXPECT_EQ(repair->audioSampleCount, 4000u * 2 + kept + tail);
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    for (const auto& e : repair->audioRequest->stscEntries) runs.emplace_back(e->firstChunk, e->samplesPerChunk);
    const uint32_t f = uint32_t(c.frameBytes);
    EXPECT_EQ(runs, (std::vector<std::pair<uint32_t, uint32_t>>{{1, 4000 / f}, {3, 6002 / f}, {4, tail / f}}));
    // Five runs, four audio chunks, the last behind the last run.
    ASSERT_EQ(repair->sampleArray.size(), 9u);
    EXPECT_TRUE(repair->sampleArray.back().audio);

    // Space reserved behind the recording is no audio: the last stretch is taken no
    // longer than the longest between runs.
    const auto reserved = scan(dir, *rec, layOut(*rec, stretches, Bytes(100000, 0)));
    ASSERT_FALSE(reserved->audioSampleArray.empty());
    EXPECT_EQ(reserved->audioSampleArray.back().sampleSize, kept);

    // When the media-data header says where the media data ends, the whole tail up to
    // there is audio, however long.
    Damaged sized = layOut(*rec, stretches, Bytes(9000, 0x22));
    writeBE32(sized.bytes.data() + 20, uint32_t(sized.bytes.size() - 20));
    const auto whole = scan(dir, *rec, sized);
    ASSERT_FALSE(whole->audioSampleArray.empty());
    EXPECT_EQ(whole->audioSampleArray.back().sampleSize, 9000u);
  }
}

// A picture alone between two pieces of audio (the muxer's layout without delimiters) is
// taken when whole audio frames lead to the next picture in decoding order or to the end
// of the media data, and only then.
TEST(Scan, LonePicturesAreTakenOnlyWithCompany) {
  if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  test::TempDir dir;
  const auto rec = record(dir, "ref.mov", "-f lavfi -i 'aevalsrc=0.3*sin(440*2*PI*t):s=48000:d=1' -ac 2 -c:a pcm_s16le",
                          "-c:v libx264 -g 10 -bf 0");
  ASSERT_TRUE(rec);
  ASSERT_EQ(rec->pictures.size(), 25u);
  std::mt19937 noise(7);
  auto noiseBytes = [&](size_t n) {
    Bytes b(n);
    for (uint8_t& x : b) x = uint8_t(noise());
    return b;
  };
  // Pictures in the given order, each followed by `audio` bytes.
  auto interleaved = [&](const std::vector<size_t>& order, size_t audio) {
    Bytes d = test::fromHex("0000001466747970717420200000000071742020" "00000000" "6d646174");
    for (size_t i : order) {
      const auto& p = rec->pictures[i];
      d.insert(d.end(), rec->bytes.begin() + long(p.pos), rec->bytes.begin() + long(p.pos + p.size));
      d.insert(d.end(), audio, 0x11);
    }
    return d;
  };
  std::vector<size_t> inOrder(25), shuffled(25);
  for (size_t i = 0; i < 25; ++i) inOrder[i] = i;
  shuffled = inOrder;
  std::shuffle(shuffled.begin() + 1, shuffled.end(), std::mt19937(3));
  Bytes alone = noiseBytes(200000);
  const auto& third = rec->pictures[3];
  std::copy(rec->bytes.begin() + long(third.pos), rec->bytes.begin() + long(third.pos + third.size),
            alone.begin() + 100000);
  struct Case {
    const char* name;
    Bytes data;
    uint64_t atLeast, atMost;  // pictures found
  };
  // The first picture carries the encoder's SEI, so it is a run of two units anyway.
  const Case cases[] = {
      {"picture by picture, whole frames", interleaved(inOrder, 1920), 25, 25},
      {"no audio between", interleaved(inOrder, 0), 25, 25},
      {"decoding order broken", interleaved(shuffled, 1920), 1, 8},
      {"one picture in random bytes", alone, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto repair = scan(dir, *rec, Damaged{c.data, {}});
    EXPECT_GE(repair->videoSampleCount, c.atLeast);
    EXPECT_LE(repair->videoSampleCount, c.atMost);
  }
}

}  // namespace
}  // namespace vr
