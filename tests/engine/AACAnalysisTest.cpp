// AAC frames found by trial decoding in a stretch of raw frames from a real ffmpeg encode.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/File.h"
#include "engine/RepairFile.h"
#include "support/TestMedia.h"

namespace vr {
namespace {

// The raw frames of an ADTS stream (headers dropped), in order.
std::vector<Bytes> adtsPayloads(const Bytes& adts) {
  std::vector<Bytes> frames;
  size_t pos = 0;
  while (pos + 7 <= adts.size() && adts[pos] == 0xFF && (adts[pos + 1] & 0xF0) == 0xF0) {
    const bool crc = (adts[pos + 1] & 1) == 0;
    const size_t length = (size_t(adts[pos + 3] & 3) << 11) | (size_t(adts[pos + 4]) << 3) | (adts[pos + 5] >> 5);
    const size_t header = crc ? 9 : 7;
    if (length < header || pos + length > adts.size()) break;
    frames.emplace_back(adts.begin() + long(pos + header), adts.begin() + long(pos + length));
    pos += length;
  }
  return frames;
}

// Stereo frames start with a channel-pair element; mono ones with a single-channel element,
// whose first byte is often 0x00.
class AACAnalysisTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    ASSERT_TRUE(dir.ok());
    const std::string adts = dir.file("a.aac");
    reference = dir.file("ref.mov");
    // 48 kHz AAC, and the same stream in a movie whose sample entry gives the decoder
    // configuration.
    const std::string source = GetParam() == 2 ? "'aevalsrc=0.4*sin(440*2*PI*t)|0.4*sin(660*2*PI*t):s=48000:d=1'"
                                               : "'aevalsrc=0.4*sin(440*2*PI*t):s=48000:d=1'";
    ASSERT_EQ(test::runCommand("ffmpeg -nostdin -v error -y -f lavfi -i " + source + " -c:a aac -b:a 128k " +
                               "-f adts " + test::shellQuote(adts) + " && ffmpeg -nostdin -v error -y -i " +
                               test::shellQuote(adts) + " -c copy -f mov " + test::shellQuote(reference))
                  .status,
              0);
    frames = adtsPayloads(test::readFileBytes(adts));
    ASSERT_GT(frames.size(), 40u);
    repair.healthyFile = File::parseFileAtPath(reference);
    ASSERT_TRUE(repair.healthyFile->decoderSpecificInfo());
  }

  test::TempDir dir;
  std::string reference;
  std::vector<Bytes> frames;
  RepairFile repair;
};

// Every frame behind zero filler is found, nothing in the garbage after it; the same frames
// at the very end of the file; none without a decoder configuration or in an empty stretch;
// a stop ends the search with no result.
TEST_P(AACAnalysisTest, FindsEveryFrameBehindZeroFillerAndNothingInTheGarbageAfter) {
  Bytes stretch(200, 0);
  std::vector<std::pair<uint64_t, uint64_t>> expected;
  for (const Bytes& f : frames) {
    expected.emplace_back(1000 + stretch.size(), f.size());
    stretch.insert(stretch.end(), f.begin(), f.end());
  }
  stretch.insert(stretch.end(), 3, 0xFF);
  Bytes file(1000 + stretch.size(), 0x5A);  // bytes before the stretch are not looked at
  std::copy(stretch.begin(), stretch.end(), file.begin() + 1000);
  ASSERT_TRUE(test::writeFileBytes(dir.file("stretch.bin"), file));
  FileHandle fh = FileHandle::openForReading(dir.file("stretch.bin"));

  auto found = repair.analyseAACInFileHandle(fh, 1000, stretch.size());
  ASSERT_TRUE(found);
  std::vector<std::pair<uint64_t, uint64_t>> got;
  for (const Sample& s : *found) {
    EXPECT_EQ(s.sampleType, kSampleTypeAAC);
    got.emplace_back(s.sampleOffset, s.sampleSize);
  }
  EXPECT_EQ(got, expected);
  auto tail = repair.analyseAACInFileHandle(fh, 1200, file.size() - 1200);
  ASSERT_TRUE(tail);
  EXPECT_EQ(tail->size(), frames.size());
  EXPECT_TRUE(repair.analyseAACInFileHandle(fh, 1200, 0)->empty());
  EXPECT_TRUE(RepairFile().analyseAACInFileHandle(fh, 1200, file.size() - 1200)->empty());
  repair.setStopflag(true);
  EXPECT_FALSE(repair.analyseAACInFileHandle(fh, 1200, file.size() - 1200));
}

INSTANTIATE_TEST_SUITE_P(Channels, AACAnalysisTest, ::testing::Values(2, 1),
                         [](const auto& info) { return info.param == 2 ? "Stereo" : "Mono"; });

}  // namespace
}  // namespace vr
