// How the scan groups NAL units into samples, where a run ends, and the run-length coding
// of the sample-to-chunk lists.
#include <gtest/gtest.h>

#include <cstdio>

#include "StreamFixtures.h"
#include "atoms/MovieBuilder.h"
#include "atoms/SampleTableAtoms.h"
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
  // SPS, PPS, SEI, an IDR picture of three slices, two P pictures of three slices.
  const Bytes data = test::layout({{&kSPS, 26}, {&kPPS, 8}, {&kSEI, 100},
                                   {&kIDR[0], 300}, {&kIDR[1], 200}, {&kIDR[2], 250},
                                   {&kP1[0], 150}, {&kP1[1], 120}, {&kP1[2], 130},
                                   {&kP2[0], 90}, {&kP2[1], 80}, {&kP2[2], 70}});
  const ChainResult r = chainAt(data, ref);
  EXPECT_EQ(r.units, 12);
  EXPECT_EQ(r.nalCount, 12u);
  // An in-band SPS is stored like the PPS and the SEI: with the picture that follows.
  EXPECT_EQ(r.pictures, 3u);
  expectRecords(r, {{0, 26, false}, {26, 8, false}, {34, 100, false}, {134, 750, true}, {884, 400, true},
                    {1284, 240, true}},
                "in-band parameter sets");
  EXPECT_EQ(r.records[0].nal.NALType, 7);
  EXPECT_EQ(r.records[3].nal.NALType, 5);
  EXPECT_EQ(r.records[3].sampleType, kSampleTypeH264);
}

TEST(NaluChain, RunEndsAtUnitsThatCannotBelongToIt) {
  using namespace test::h264;
  const auto ref = reference();
  const Bytes garbage = test::fromHex("ffffffffffffffff");
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
       {{&kVPS, 30}, {&kSPS, 50}, {&kPPS, 12}, {&kSEI, 40}, {&kIDR, 500}, {&kTrail, 100}},
       2,
       {{0, 92, false}, {92, 40, false}, {132, 500, true}, {632, 100, true}}},
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
      RepairFile::addSampleToChunkEntry(list, uint32_t(i + 1), c.perChunk[i]);
    ASSERT_EQ(list.size(), c.entries.size());
    for (size_t i = 0; i < list.size(); ++i) {
      EXPECT_EQ(list[i]->firstChunk, c.entries[i].first);
      EXPECT_EQ(list[i]->samplesPerChunk, c.entries[i].second);
      EXPECT_EQ(list[i]->sampleDescID, 1u);
    }
  }
}


// The scan over a damaged file laid out from a real recording's own units: two delimiters
// that hold no picture make no run, every picture is found once and in order, and the
// stretches between runs become PCM chunks.
TEST(Scan, FindsEveryPictureAndNoRunWithoutOne) {
  if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  test::TempDir dir;
  const std::string ref = dir.file("ref.mov");
  ASSERT_EQ(test::runCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x64:rate=25:duration=1 "
                             "-f lavfi -i 'aevalsrc=0.3*sin(440*2*PI*t):s=48000:d=1' -c:v libx264 -pix_fmt yuv420p "
                             "-g 10 -bf 0 -x264-params aud=1 -c:a pcm_s16be " + test::shellQuote(ref))
                .status,
            0);
  const Bytes movie = test::readFileBytes(ref);
  std::vector<std::pair<uint64_t, uint64_t>> pictures;  // pos, size of each video packet
  for (const std::string& line :
       test::splitLines(test::runCommand("ffprobe -v error -select_streams v:0 -show_entries packet=pos,size "
                                         "-of compact=p=0:nk=0 " + test::shellQuote(ref)).out)) {
    unsigned long pos = 0, size = 0;
    if (std::sscanf(line.c_str(), "size=%lu|pos=%lu", &size, &pos) == 2) pictures.emplace_back(pos, size);
  }
  ASSERT_EQ(pictures.size(), 25u);

  // ftyp and mdat headers, two lone delimiters, garbage, then the pictures with a stretch
  // of "audio" after every fifth.
  Bytes damaged = test::fromHex("0000001466747970717420200000000071742020");
  const Bytes mdat = test::fromHex("00000000" "6d646174");
  damaged.insert(damaged.end(), mdat.begin(), mdat.end());
  const Bytes aud = test::fromHex("000000020910");
  for (int i = 0; i < 2; ++i) damaged.insert(damaged.end(), aud.begin(), aud.end());
  damaged.insert(damaged.end(), 16, 0xFF);
  std::vector<uint64_t> expectedOffsets;
  for (size_t i = 0; i < pictures.size(); ++i) {
    expectedOffsets.push_back(damaged.size());
    damaged.insert(damaged.end(), movie.begin() + long(pictures[i].first),
                   movie.begin() + long(pictures[i].first + pictures[i].second));
    if (i % 5 == 4) damaged.insert(damaged.end(), 4000, 0x11);
  }
  ASSERT_TRUE(test::writeFileBytes(dir.file("damaged.bin"), damaged));

  RepairFile repair;
  repair.healthyFile = File::parseFileAtPath(ref);
  ASSERT_EQ(repair.healthyFile->audioCodec, kAudioCodecTwos);
  auto corrupt = File::initWithFileType(kFileTypeCorrupted, dir.file("damaged.bin"));
  repair.analyseDataForAVC1AndHVC1InFile(*corrupt, repair.healthyFile->audioCodec);

  EXPECT_EQ(repair.videoSampleCount, pictures.size());
  std::vector<uint64_t> found;
  for (const Sample& s : repair.videoSampleArray)
    if (s.picture) found.push_back(s.sampleOffset);
  // One picture record inside each packet (behind the packet's delimiter and SEI, which
  // are records of their own that travel with it).
  ASSERT_EQ(found.size(), expectedOffsets.size());
  for (size_t i = 0; i < found.size(); ++i) {
    EXPECT_GT(found[i], expectedOffsets[i]) << "picture " << i;
    EXPECT_LT(found[i], expectedOffsets[i] + pictures[i].second) << "picture " << i;
  }
  EXPECT_EQ(repair.videoSampleArray.front().sampleOffset, expectedOffsets.front());
  // Five runs, with the four stretches between them as big-endian PCM.
  ASSERT_EQ(repair.sampleArray.size(), 9u);
  ASSERT_EQ(repair.audioSampleArray.size(), 4u);
  for (const Sample& s : repair.audioSampleArray) {
    EXPECT_EQ(s.sampleType, kSampleTypePCM);
    EXPECT_EQ(s.sampleSize, 4000u);
  }
  ASSERT_TRUE(repair.videoRequest && repair.audioRequest);
  ASSERT_EQ(repair.videoRequest->stscEntries.size(), 1u);
  EXPECT_EQ(repair.videoRequest->stscEntries[0]->samplesPerChunk, 5u);
  EXPECT_TRUE(repair.audioRequest->stscEntries.empty());
}

}  // namespace
}  // namespace vr
