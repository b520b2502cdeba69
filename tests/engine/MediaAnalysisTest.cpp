// How the scan groups NAL units into samples, where a run ends, and how it takes the
// stretches between runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <cstdio>
#include <optional>
#include <random>

#include "StreamFixtures.h"
#include "atoms/MovieBuilder.h"
#include "atoms/SampleTableAtoms.h"
#include "engine/File.h"
#include "engine/IndexPlan.h"
#include "engine/RepairFile.h"
#include "support/TestMedia.h"

namespace vr {
namespace {

using test::Unit;

struct ChainResult { int32_t units = 0; uint64_t nalCount = 0, pictures = 0; SampleList records; };

ChainResult chainAt(const Bytes& data, const ReferenceParameterSets& ref, uint64_t offset = 0, uint8_t n = 4) {
  test::TempDir dir;
  EXPECT_TRUE(test::writeFileBytes(dir.file("chain.bin"), data));
  FileHandle fh = FileHandle::openForReading(dir.file("chain.bin"));
  RepairFile repair;
  ChainResult r;
  r.units = repair.getNaluAtOffset(offset, r.records, fh, n, &r.nalCount, &r.pictures, data.size(), ref);
  return r;
}

// The records of a run as (offset, size, picture).
using Records = std::vector<std::tuple<uint64_t, uint64_t, bool>>;
Records recordsOf(const ChainResult& r) {
  Records out;
  for (const Sample& s : r.records) out.emplace_back(s.sampleOffset, s.sampleSize, s.picture);
  return out;
}

// A prefix unit (type 14) in front of every slice belongs to the slice's picture. Slices,
// in-band parameter sets and SEI are grouped on real streams by the end-to-end repairs.
TEST(NaluChain, H264PrefixUnitsBelongToTheirSlicesPicture) {
  using namespace test::h264;
  const Bytes idrPrefix = test::hex("6ec0800720"), pPrefix = test::hex("4e80800720");
  const ChainResult prefixed = chainAt(test::layout({{&idrPrefix, 9}, {&kIDR[0], 300}, {&idrPrefix, 9},
                                                      {&kIDR[1], 200}, {&pPrefix, 9}, {&kP, 150}}),
                                       reference());
  EXPECT_EQ(std::pair(prefixed.units, prefixed.pictures), std::pair(6, uint64_t(2)));
  EXPECT_EQ(recordsOf(prefixed), (Records{{0, 9, false}, {9, 509, true}, {518, 9, false}, {527, 150, true}}));
}

TEST(NaluChain, RunEndsAtUnitsThatCannotBelongToIt) {
  using namespace test::h264;
  const auto ref = reference();
  const Bytes garbage = test::hex("ffffffffffffffff"), aud = test::hex("0910ff");
  struct Case { const char* name; Bytes data; int32_t units; };
  Bytes cutShort = test::layout({{&kIDR[0], 300}, {&kP, 300}});
  cutShort.resize(450);  // the second picture runs past the end of the file
  Bytes behindGarbage = test::layout({{&kIDR[0], 300}, {&kP, 300}});
  behindGarbage.insert(behindGarbage.begin() + 300, garbage.begin(), garbage.end());
  const std::vector<Case> cases = {
      {"complete", test::layout({{&kIDR[0], 300}, {&kP, 300}}), 2},
      {"cut short", cutShort, 1},
      {"garbage between", behindGarbage, 1},
      {"largest unit taken", test::layout({{&kIDR[0], 300}, {&kP, 2'199'999}}), 2},
      {"unit over the limit", test::layout({{&kIDR[0], 300}, {&kP, 2'200'000}}), 1},
      {"first unit over the limit", test::layout({{&kIDR[0], 2'200'000}, {&kP, 300}}), 0},
      {"nothing at the offset", garbage, 0},
      // Units without a picture must parse to their length, and a run ends with a picture.
      {"SEI whose message overruns it", test::layout({{&kIDR[0], 300}, {&kSEI, 40}, {&kP, 300}}), 1},
      {"delimiter with no picture behind", test::layout({{&kIDR[0], 300}, {&aud, 6}, {&garbage, 8}}), 1},
      {"delimiter of two bytes", test::layout({{&kIDR[0], 300}, {&aud, 7}, {&kP, 300}}), 1},
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
  const Bytes sei = test::hex("4e010510" "00112233445566778899aabbccddeeff" "80");
  idrSegment[2] &= 0x7F;
  trailSegment[2] &= 0x7F;
  struct Case { const char* name; std::vector<Unit> units; uint64_t pictures; Records records; };
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
    EXPECT_EQ(recordsOf(r), c.records) << c.name;
    for (const Sample& s : r.records) EXPECT_EQ(s.sampleType, kSampleTypeH265) << c.name;
  }
}

// A small H.264 recording made by ffmpeg and its pictures' bytes, in file order.
struct Recording { std::string path; std::vector<Bytes> pictures; };

std::optional<Recording> record(const test::TempDir& dir, const std::string& audio, const std::string& video) {
  Recording r{dir.file("ref.mov"), {}};
  if (test::runCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x64:rate=25:duration=1 " + audio +
                       " -pix_fmt yuv420p " + video + " " + test::shellQuote(r.path)).status != 0)
    return std::nullopt;
  const Bytes bytes = test::readFileBytes(r.path);
  for (const std::string& line : test::splitLines(test::runCommand("ffprobe -v error -select_streams v:0 "
       "-show_entries packet=pos,size -of compact=p=0:nk=0 " + test::shellQuote(r.path)).out)) {
    unsigned long pos = 0, size = 0;
    if (std::sscanf(line.c_str(), "size=%lu|pos=%lu", &size, &pos) == 2)
      r.pictures.emplace_back(bytes.begin() + long(pos), bytes.begin() + long(pos + size));
  }
  return r;
}

// A damaged file: ftyp and mdat headers, `lead`, the recording's pictures in the given
// order, each followed by audio[k] bytes of "audio" (0x11), then `tail`.
Bytes layOut(const Recording& r, const std::vector<size_t>& order, const std::vector<uint64_t>& audio,
             const Bytes& lead = {}, const Bytes& tail = {}) {
  Bytes d = test::cat({test::hex("0000001466747970717420200000000071742020" "00000000" "6d646174"), lead});
  for (size_t k = 0; k < order.size(); ++k) {
    d.insert(d.end(), r.pictures[order[k]].begin(), r.pictures[order[k]].end());
    d.insert(d.end(), audio[k], 0x11);
  }
  return test::cat({d, tail});
}

std::unique_ptr<RepairFile> scan(const test::TempDir& dir, const Recording& r, const Bytes& damaged) {
  auto repair = std::make_unique<RepairFile>();
  repair->healthyFile = File::parseFileAtPath(r.path);
  EXPECT_TRUE(test::writeFileBytes(dir.file("damaged.bin"), damaged));
  auto corrupt = File::initWithFileType(kFileTypeCorrupted, dir.file("damaged.bin"));
  repair->analyseDataForAVC1AndHVC1InFile(*corrupt, repair->healthyFile->audioCodec);
  return repair;
}

const char* const kTone = "-f lavfi -i 'aevalsrc=0.3*sin(440*2*PI*t):s=48000:d=1' ";

// PCM stretches, big- or little-endian: one chunk each, counted in frames of the
// reference's channel count, run-length coded; the stretch behind the last run counts
// too and ends at an index left behind the media data.
TEST(Scan, PcmStretchesAreChunksOfWholeFrames) {
  if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  struct Case { const char* name; const char* audio; uint64_t codec, frameBytes; };  // audio: ffmpeg options
  const Case cases[] = {
      {"twos mono", "-ac 1 -c:a pcm_s16be", kAudioCodecTwos, 2},
      {"twos stereo", "-ac 2 -c:a pcm_s16be", kAudioCodecTwos, 4},
      {"sowt stereo", "-ac 2 -c:a pcm_s16le", kAudioCodecSowt, 4},
      {"sowt mono", "-ac 1 -c:a pcm_s16le", kAudioCodecSowt, 2},
  };
  // Behind two lone delimiters and garbage, the pictures with a stretch after every fifth:
  // two equal stretches, one without a whole frame, a longer one; the tail is followed by
  // a movie atom that must not be taken as audio.
  std::vector<size_t> order(25);
  std::iota(order.begin(), order.end(), 0);
  std::vector<uint64_t> stretches(25, 0);
  stretches[4] = stretches[9] = 4000, stretches[14] = 1, stretches[19] = 6002;
  const Bytes lead = test::cat({test::hex("000000020910 000000020910"), Bytes(16, 0xFF)});
  auto pcmFile = [&](const Recording& rec, const Bytes& tail) { return layOut(rec, order, stretches, lead, tail); };
  const uint64_t tail = 2000;
  const Bytes index = test::hex("00000018" "6d6f6f76" "00000010" "6d766864" "0000000000000000");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const auto rec = record(dir, kTone + std::string(c.audio), "-c:v libx264 -g 10 -bf 0 -x264-params aud=1");
    ASSERT_TRUE(rec);
    ASSERT_EQ(rec->pictures.size(), 25u);
    const auto repair = scan(dir, *rec, pcmFile(*rec, test::cat({Bytes(tail, 0x22), index})));
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
    const uint32_t f = uint32_t(c.frameBytes);
    const IndexPlan plan = planIndex(repair->sampleArray, repair->videoSampleArray, repair->audioSampleArray, f, 16);
    for (const auto& e : plan.audio.stsc) runs.emplace_back(e->firstChunk, e->samplesPerChunk);
    EXPECT_EQ(runs, (std::vector<std::pair<uint32_t, uint32_t>>{{1, 4000 / f}, {3, 6002 / f}, {4, tail / f}}));
    // Five runs, four audio chunks, the last behind the last run.
    ASSERT_EQ(repair->sampleArray.size(), 9u);
    EXPECT_TRUE(repair->sampleArray.back().audio);

    // Space reserved behind the recording is no audio: the last stretch is taken no
    // longer than the longest between runs.
    const auto reserved = scan(dir, *rec, pcmFile(*rec, Bytes(100000, 0)));
    ASSERT_FALSE(reserved->audioSampleArray.empty());
    EXPECT_EQ(reserved->audioSampleArray.back().sampleSize, kept);

    // When the media-data header says where the media data ends, the whole tail up to
    // there is audio, however long.
    Bytes sized = pcmFile(*rec, Bytes(9000, 0x22));
    writeBE32(sized.data() + 20, uint32_t(sized.size() - 20));
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
  const auto rec = record(dir, kTone + std::string("-ac 2 -c:a pcm_s16le"), "-c:v libx264 -g 10 -bf 0");
  ASSERT_TRUE(rec);
  ASSERT_EQ(rec->pictures.size(), 25u);
  std::vector<size_t> inOrder(25);
  std::iota(inOrder.begin(), inOrder.end(), 0);
  std::vector<size_t> shuffled = inOrder;
  std::shuffle(shuffled.begin() + 1, shuffled.end(), std::mt19937(3));
  const std::vector<uint64_t> frames(25, 1920), none(25, 0);
  Bytes alone(200000);
  std::mt19937 noise(7);
  for (uint8_t& x : alone) x = uint8_t(noise());
  std::copy(rec->pictures[3].begin(), rec->pictures[3].end(), alone.begin() + 100000);
  struct Case { const char* name; Bytes data; uint64_t atLeast, atMost; };  // pictures found
  // The first picture carries the encoder's SEI, so it is a run of two units anyway.
  const Case cases[] = {
      {"picture by picture, whole frames", layOut(*rec, inOrder, frames), 25, 25},
      {"no audio between", layOut(*rec, inOrder, none), 25, 25},
      {"decoding order broken", layOut(*rec, shuffled, frames), 1, 8},
      {"one picture in random bytes", alone, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto repair = scan(dir, *rec, c.data);
    EXPECT_GE(repair->videoSampleCount, c.atLeast);
    EXPECT_LE(repair->videoSampleCount, c.atMost);
  }
}

}  // namespace
}  // namespace vr
