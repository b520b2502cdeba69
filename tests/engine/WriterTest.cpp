// The writer's output layout, chunk offsets and sample sizes, on hand-made scan results.
#include <gtest/gtest.h>

#include <random>

#include "atoms/MovieBuilder.h"
#include "engine/RepairFile.h"
#include "support/AtomBytes.h"
#include "support/TestMedia.h"

namespace vr {
namespace {

Sample video(uint64_t offset, uint64_t size, bool picture, uint8_t type = kSampleTypeH264) {
  Sample s = Sample::initWithSampleType(type, offset, size, nullptr);
  s.picture = picture;
  s.nal.NALType = picture ? 5 : 6;
  return s;
}
Sample audio(uint64_t offset, uint64_t size, uint8_t type = kSampleTypeAAC) {
  return Sample::initWithSampleType(type, offset, size, nullptr);
}

// A scan result: chunks given as lists of records, in output order.
struct Chunk { bool isAudio; std::vector<Sample> records; };

TEST(Writer, LayoutOffsetsAndSizes) {
  test::TempDir dir;
  Bytes input(20000);
  std::mt19937 rng(3);
  for (auto& b : input) b = uint8_t(rng());
  const std::string inputPath = dir.file("damaged.bin"), outputPath = dir.file("repaired.mov");
  ASSERT_TRUE(test::writeFileBytes(inputPath, input));
  // offsets and sizes of the video samples, then of the sound samples
  struct Case { const char* name; std::vector<Chunk> chunks; std::vector<uint64_t> videoOffsets; std::vector<uint32_t> videoSizes;
                std::vector<uint64_t> audioOffsets; std::vector<uint32_t> audioSizes; };
  const std::vector<Case> cases = {
      {"parameter sets go with the picture after them",
       {{false, {video(0, 26, false), video(26, 8, false), video(34, 500, true)}}},
       {16}, {534}, {}, {}},
      {"interleaved video, AAC and PCM; a trailing SEI stays with its picture",
       {{false, {video(100, 300, true), video(400, 50, false)}},
        {true, {audio(450, 10), audio(460, 11), audio(471, 12)}},
        {false, {video(483, 20, false), video(503, 100, true, kSampleTypeH265), video(603, 60, true)}},
        {true, {audio(663, 1000, kSampleTypePCM)}}},
       {16, 16 + 350 + 33}, {350, 120, 60}, {16 + 350, 16 + 350 + 33 + 180}, {10, 11, 12}},
      {"records apart in the damaged file are copied back to back",
       {{true, {audio(5000, 7), audio(5100, 9), audio(6000, 4)}}, {false, {video(10, 40, true), video(900, 41, true)}}},
       {16 + 20}, {40, 41}, {16}, {7, 9, 4}},
      {"a record cut short by the end of the damaged file reads as zeros",
       {{false, {video(19900, 300, true)}}, {true, {audio(0, 10)}}},
       {16}, {300}, {316}, {10}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(test::writeFileBytes(outputPath, Bytes(100000, 0xAB)));  // the repair replaces it whole
    RepairFile repair;
    Bytes body;
    for (const Chunk& chunk : c.chunks) {
      SampleList& list = chunk.isAudio ? repair.audioSampleArray : repair.videoSampleArray;
      repair.sampleArray.push_back(SampleChunk{chunk.isAudio, list.size(), chunk.records.size()});
      list.insert(list.end(), chunk.records.begin(), chunk.records.end());
      for (const Sample& s : chunk.records)
        for (uint64_t i = s.sampleOffset; i < s.endOffset(); ++i) body.push_back(i < input.size() ? input[i] : 0);
    }
    repair.writeSampleAtPath(outputPath, inputPath);
    ASSERT_TRUE(repair.videoRequest && repair.audioRequest);
    EXPECT_EQ(std::tuple(repair.videoRequest->stcoEntries, repair.videoRequest->stszEntries,
                         repair.audioRequest->stcoEntries, repair.audioRequest->stszEntries),
              std::tuple(c.videoOffsets, c.videoSizes, c.audioOffsets, c.audioSizes));
    // Without a reference there is no index to append: the file is the media-data atom,
    // every record's bytes in chunk order.
    Bytes expected = {0, 0, 0, 1, 'm', 'd', 'a', 't'};
    appendBE64(expected, 16 + body.size());
    EXPECT_EQ(test::readFileBytes(outputPath), test::cat({expected, body}));
  }
}

}  // namespace
}  // namespace vr
