// AAC stretches are analysed on worker threads beside the scan. However many workers
// there are and in whatever order they finish, the scan must come out exactly as one
// stretch after the other would make it: same chunks in the same places, same frames,
// same sample-to-chunk entries, also where stretches hold no frame (garbage) and for the
// audio in front of the first run.
#include <gtest/gtest.h>

#include "atoms/MovieBuilder.h"
#include "atoms/SampleTableAtoms.h"
#include "engine/File.h"
#include "engine/RepairFile.h"
#include "support/TestMedia.h"

namespace vr {
namespace {

std::unique_ptr<RepairFile> scanWith(const test::MediaSet& set, const std::string& damaged, unsigned workers) {
  auto repair = std::make_unique<RepairFile>();
  repair->audioAnalysisThreads = workers;
  repair->healthyFile = File::parseFileAtPath(set.ref());
  auto corrupt = File::initWithFileType(kFileTypeCorrupted, damaged);
  repair->analyseDataForAVC1AndHVC1InFile(*corrupt, repair->healthyFile->audioCodec);
  return repair;
}

// Chunks, with the offsets and sizes of their records, and the audio sample-to-chunk list.
std::vector<std::string> layout(const RepairFile& r) {
  std::vector<std::string> lines;
  for (const SampleChunk& chunk : r.sampleArray) {
    std::string line = chunk.audio ? "A" : "V";
    for (const Sample& s : samplesOfChunk(chunk, r.videoSampleArray, r.audioSampleArray))
      line += " " + std::to_string(s.sampleOffset) + "+" + std::to_string(s.sampleSize);
    lines.push_back(line);
  }
  if (r.audioRequest)
    for (const auto& e : r.audioRequest->stscEntries)
      lines.push_back("stsc " + std::to_string(e->firstChunk) + " " + std::to_string(e->samplesPerChunk));
  lines.push_back("counts " + std::to_string(r.audioSampleCount) + " " + std::to_string(r.videoSampleCount));
  return lines;
}

TEST(ParallelAudio, AnyNumberOfWorkersGivesTheScanOfOne) {
  const auto sets = test::setsWhere(
      [](const test::MediaSet& s) { return s.audio == "aac" && (s.variant == "plain" || s.monoAAC()); });
  if (sets.empty()) GTEST_SKIP() << "no test media";
  for (const test::MediaSet& set : sets) {
    for (const std::string& damaged : {set.lost(), set.cut(), set.garbage()}) {
      const auto one = scanWith(set, damaged, 1);
      const auto expected = layout(*one);
      ASSERT_FALSE(one->audioSampleArray.empty()) << damaged;
      // Every stretch with frames is a chunk of its own, numbered in file order.
      uint64_t previousEnd = 0;
      for (const SampleChunk& chunk : one->sampleArray) {
        const auto records = samplesOfChunk(chunk, one->videoSampleArray, one->audioSampleArray);
        ASSERT_FALSE(records.empty()) << damaged;
        EXPECT_GE(records.front().sampleOffset, previousEnd) << damaged;
        previousEnd = records.back().endOffset();
      }
      for (unsigned workers : {3u}) EXPECT_EQ(layout(*scanWith(set, damaged, workers)), expected) << damaged;
    }
  }
}

}  // namespace
}  // namespace vr
