// AAC frames found by trial decoding in a stretch of raw frames from a real ffmpeg encode.
// Mono frames start with a single-channel element, whose first byte is often 0x00 like the
// filler in front of them. (Camera layouts are repaired end to end.)
#include <gtest/gtest.h>

#include "engine/File.h"
#include "engine/RepairFile.h"
#include "support/TestMedia.h"

namespace vr {
namespace {

// Every frame behind zero filler is found, nothing in the garbage after it; none without a
// decoder configuration or in an empty stretch; a stop ends the search with no result.
TEST(AACAnalysis, FindsEveryFrameBehindZeroFillerAndNothingInTheGarbageAfter) {
  if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  for (const char* channels : {"0.4*sin(440*2*PI*t)", "0.4*sin(440*2*PI*t)|0.4*sin(660*2*PI*t)"}) {
    SCOPED_TRACE(channels);
    test::TempDir dir;
    const std::string adts = dir.file("a.aac"), reference = dir.file("ref.mov");
    // 48 kHz AAC, and the same stream in a movie whose sample entry gives the decoder
    // configuration.
    ASSERT_EQ(test::runCommand("ffmpeg -nostdin -v error -y -f lavfi -i 'aevalsrc=" + std::string(channels) +
                               ":s=48000:d=1' -c:a aac -b:a 128k -f adts " + test::shellQuote(adts) +
                               " && ffmpeg -nostdin -v error -y -i " + test::shellQuote(adts) + " -c copy -f mov " +
                               test::shellQuote(reference)).status, 0);
    // The raw frames (ADTS headers dropped) behind 200 zero bytes, after 1000 bytes that are
    // not looked at, then garbage.
    const Bytes a = test::readFileBytes(adts);
    Bytes file(1200, 0x5A);
    std::fill(file.begin() + 1000, file.end(), 0);
    std::vector<std::pair<uint64_t, uint64_t>> expected, got;
    for (size_t pos = 0; pos + 7 <= a.size();) {
      const size_t header = (a[pos + 1] & 1) ? 7 : 9;
      const size_t length = (size_t(a[pos + 3] & 3) << 11) | (size_t(a[pos + 4]) << 3) | (a[pos + 5] >> 5);
      ASSERT_TRUE(a[pos] == 0xFF && length > header && pos + length <= a.size()) << pos;
      expected.emplace_back(file.size(), length - header);
      file.insert(file.end(), a.begin() + long(pos + header), a.begin() + long(pos + length));
      pos += length;
    }
    ASSERT_GT(expected.size(), 40u);
    file.insert(file.end(), 3, 0xFF);
    ASSERT_TRUE(test::writeFileBytes(dir.file("stretch.bin"), file));
    FileHandle fh = FileHandle::openForReading(dir.file("stretch.bin"));
    RepairFile repair;
    repair.healthyFile = File::parseFileAtPath(reference);
    ASSERT_TRUE(repair.healthyFile->decoderSpecificInfo());

    auto found = repair.analyseAACInFileHandle(fh, 1000, file.size() - 1000);
    ASSERT_TRUE(found);
    for (const Sample& s : *found) got.emplace_back(s.sampleType == kSampleTypeAAC ? s.sampleOffset : 0, s.sampleSize);
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(repair.analyseAACInFileHandle(fh, 1200, 0)->empty());
    EXPECT_TRUE(RepairFile().analyseAACInFileHandle(fh, 1200, file.size() - 1200)->empty());
    repair.setStopflag(true);
    EXPECT_FALSE(repair.analyseAACInFileHandle(fh, 1200, file.size() - 1200));
  }
}

}  // namespace
}  // namespace vr
