// The writer's output layout, chunk offsets and sample sizes, on hand-made scan results.
#include <gtest/gtest.h>

#include <random>

#include "atoms/MovieBuilder.h"
#include "engine/RepairFile.h"
#include "support/RecordingDelegate.h"
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
struct Chunk {
  bool isAudio;
  std::vector<Sample> records;
};
void load(RepairFile& repair, const std::vector<Chunk>& chunks) {
  for (const Chunk& c : chunks) {
    SampleList& list = c.isAudio ? repair.audioSampleArray : repair.videoSampleArray;
    repair.sampleArray.push_back(SampleChunk{c.isAudio, list.size(), c.records.size()});
    list.insert(list.end(), c.records.begin(), c.records.end());
  }
}

class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.ok());
    input.resize(20000);
    std::mt19937 rng(3);
    for (auto& b : input) b = uint8_t(rng());
    inputPath = dir.file("damaged.bin");
    outputPath = dir.file("repaired.mov");
    ASSERT_TRUE(test::writeFileBytes(inputPath, input));
  }

  // The media data the writer should produce: the header, then every record's bytes in
  // chunk order (zeros where the damaged file ends).
  Bytes expectedOutput(const RepairFile& repair) const {
    Bytes body;
    for (const SampleChunk& chunk : repair.sampleArray)
      for (const Sample& s : samplesOfChunk(chunk, repair.videoSampleArray, repair.audioSampleArray))
        for (uint64_t i = 0; i < s.sampleSize; ++i)
          body.push_back(s.sampleOffset + i < input.size() ? input[size_t(s.sampleOffset + i)] : 0);
    Bytes out;
    appendBE32(out, 1);
    appendBE32(out, fourCC("mdat"));
    appendBE64(out, 16 + body.size());
    out.insert(out.end(), body.begin(), body.end());
    return out;
  }

  test::TempDir dir;
  Bytes input;
  std::string inputPath;
  std::string outputPath;
};

TEST_F(WriterTest, LayoutOffsetsAndSizes) {
  struct Case {
    const char* name;
    std::vector<Chunk> chunks;
    std::vector<uint64_t> videoOffsets;
    std::vector<uint32_t> videoSizes;
    std::vector<uint64_t> audioOffsets;
    std::vector<uint32_t> audioSizes;
  };
  const std::vector<Case> cases = {
      {"parameter sets go with the picture after them",
       {{false, {video(0, 26, false), video(26, 8, false), video(34, 500, true)}}},
       {16}, {534}, {}, {}},
      {"interleaved video, AAC and PCM; a trailing SEI stays with its picture",
       {{false, {video(100, 300, true), video(400, 50, false)}},
        {true, {audio(450, 10), audio(460, 11), audio(471, 12)}},
        {false, {video(483, 20, false), video(503, 100, true), video(603, 60, true)}},
        {true, {audio(663, 1000, kSampleTypePCM)}}},
       {16, 16 + 350 + 33}, {350, 120, 60}, {16 + 350, 16 + 350 + 33 + 180}, {10, 11, 12}},
      {"records apart in the damaged file are copied back to back",
       {{true, {audio(5000, 7), audio(5100, 9), audio(6000, 4), audio(6004, 4), audio(6008, 4)}},
        {false, {video(10, 40, true), video(900, 41, true)}}},
       {16 + 28}, {40, 41}, {16}, {7, 9, 4, 4, 4}},
      {"H.265 records",
       {{false, {video(0, 92, true, kSampleTypeH265), video(92, 40, false, kSampleTypeH265),
                 video(132, 70, true, kSampleTypeH265)}}},
       {16}, {92, 110}, {}, {}},
      {"a record cut short by the end of the damaged file reads as zeros",
       {{false, {video(19900, 300, true)}}, {true, {audio(0, 10)}}},
       {16}, {300}, {316}, {10}},
  };
  for (const auto& c : cases) {
    RepairFile repair;
    load(repair, c.chunks);
    repair.writeSampleAtPath(outputPath, inputPath);
    ASSERT_TRUE(repair.videoRequest && repair.audioRequest) << c.name;
    EXPECT_EQ(repair.videoRequest->stcoEntries, c.videoOffsets) << c.name;
    EXPECT_EQ(repair.videoRequest->stszEntries, c.videoSizes) << c.name;
    EXPECT_EQ(repair.audioRequest->stcoEntries, c.audioOffsets) << c.name;
    EXPECT_EQ(repair.audioRequest->stszEntries, c.audioSizes) << c.name;
    EXPECT_EQ(repair.videoRequest->requestType, 2u) << c.name;
    EXPECT_EQ(repair.audioRequest->requestType, 1u) << c.name;
    // Without a reference there is no index to append: the file is the media-data atom.
    const Bytes expected = expectedOutput(repair);
    EXPECT_EQ(repair.fileSize1, expected.size()) << c.name;
    EXPECT_EQ(test::readFileBytes(outputPath), expected) << c.name;
  }
}

TEST_F(WriterTest, ReplacesAnExistingFile) {
  ASSERT_TRUE(test::writeFileBytes(outputPath, Bytes(100000, 0xAB)));
  RepairFile repair;
  load(repair, {{false, {video(0, 64, true)}}});
  repair.writeSampleAtPath(outputPath, inputPath);
  EXPECT_EQ(test::readFileBytes(outputPath), expectedOutput(repair));
}

// A stop ends the copy at the next record: the header stays a placeholder and no index
// follows.
class StopOnWriting : public test::RecordingDelegate {
 public:
  explicit StopOnWriting(RepairFile& r) : repair(r) {}
  void repairFileDidStartPerformingTask(const std::string& task) override {
    RecordingDelegate::repairFileDidStartPerformingTask(task);
    if (task == kTaskWriting) repair.setStopflag(true);
  }
  RepairFile& repair;
};

TEST_F(WriterTest, StopLeavesThePlaceholderAndNoIndex) {
  RepairFile repair;
  StopOnWriting delegate(repair);
  repair.delegate = &delegate;
  load(repair, {{false, {video(0, 64, true)}}, {true, {audio(64, 10)}}});
  repair.writeSampleAtPath(outputPath, inputPath);
  EXPECT_EQ(test::readFileBytes(outputPath), Bytes(16, 0));
  EXPECT_EQ(delegate.tasks, std::vector<std::string>{kTaskWriting});
}

}  // namespace
}  // namespace vr
