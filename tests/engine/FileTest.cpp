// The movie file model: the windowed top-level scan on real and crafted files, the
// movie-atom plausibility rule, and the values read through the movie atom of real movies.
#include <filesystem>

#include <gtest/gtest.h>

#include "engine/File.h"
#include "support/AtomBytes.h"
#include "support/TestMedia.h"

namespace vr {
namespace {

using namespace test;

TEST(File, FindsTheIndexOfRealMovies) {
  const auto* set = findSet("h264-aac-mov");
  const auto* hevc = findSet("h265-aac-mp4");
  if (!set || !hevc) GTEST_SKIP() << "no test media";
  const struct { std::string path; uint64_t codec; } cases[] = {  // codec 0: no movie atom
      {set->orig(), kVideoCodecH264},                             // index after the media data
      {specialFile("faststart.mov"), kVideoCodecH264},      // index first
      {specialFile("mdat64.mov"), kVideoCodecH264},         // 64-bit media-data size
      {specialFile("moovtext.mov"), kVideoCodecH264},       // "moov" text inside the media data
      {specialFile("big-damaged-mdat.mov"), kVideoCodecH264},  // > 100 windows, media-data header broken
      {hevc->ref(), kVideoCodecH265},
      {set->lost(), 0},
      {set->cut(), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto f = File::parseFileAtPath(c.path);
    ASSERT_TRUE(f && f->ftyp);
    EXPECT_EQ(f->moov() != nullptr, c.codec != 0);
    if (!c.codec) continue;
    // codecs, NAL length size, H.264 and H.265 parameter sets, decoders, tracks
    EXPECT_EQ(std::vector<uint64_t>({f->videoCodec, f->audioCodec, f->AVCOneNaluSizeLength(), f->SPS() && f->PPS(),
                                     f->VPS() && f->SPS265() && f->PPS265(), f->videoDecoder && f->audioDecoder,
                                     f->numberOfTracks()}),
              std::vector<uint64_t>({c.codec, kAudioCodecAAC, 4, c.codec == kVideoCodecH264,
                                     c.codec == kVideoCodecH265, 1, 2}));
  }
  // The media-data header is recorded with its real size, also in the 64-bit form.
  const std::string mdat64 = specialFile("mdat64.mov");
  auto f = File::parseFileAtPath(mdat64);
  auto atom = findTopLevelAtom(mdat64, "mdat");
  ASSERT_TRUE(f->mdat && atom);
  EXPECT_EQ(std::pair(f->mdat->offsetInFile, f->mdat->size), std::pair(atom->offset, atom->size));
  EXPECT_EQ(atom->headerSize, 16u);
}

TEST(File, TinyAndEmptyFilesYieldNoAtoms) {
  TempDir dir;
  for (size_t size : {0u, 1u, 20u, 24u, 25u, 60u}) {
    SCOPED_TRACE(size);
    Bytes b = box("free", zeros(size >= 8 ? size - 8 : 0));
    b.resize(size);
    const std::string p = dir.file("tiny" + std::to_string(size));
    writeFileBytes(p, b);
    auto f = File::parseFileAtPath(p);
    EXPECT_FALSE(f->moov() || f->ftyp || f->mdat);
  }
  EXPECT_FALSE(File::parseFileAtPath(dir.file("missing"))->moov());
}

TEST(File, LargeFillerIsScannedByteByByte) {
  const auto* set = findSet("h264-aac-mov");
  if (!set) GTEST_SKIP() << "no test media";
  const Bytes moov = topLevelAtomBytes(set->ref(), "moov"), ftyp = topLevelAtomBytes(set->ref(), "ftyp");
  ASSERT_FALSE(moov.empty());
  // A "free" atom that wraps a movie atom: under 5 % of the file it is jumped over and the
  // movie atom inside is never seen; at 5 % or more it is scanned and the movie atom found.
  for (bool large : {false, true}) {
    SCOPED_TRACE(large);
    const Bytes free = box("free", cat({zeros(8), moov, zeros(8)}));
    Bytes file = cat({ftyp, free});
    // Tail padding decides the filler's share of the file.
    file = cat({file, box("skip", zeros((large ? file.size() * 3 : free.size() * 40) - file.size() - 8))});
    TempDir dir;
    writeFileBytes(dir.file("f.mov"), file);
    auto f = File::parseFileAtPath(dir.file("f.mov"));
    EXPECT_EQ(f->moov() != nullptr, large);
    EXPECT_TRUE(f->ftyp);
  }
}

TEST(File, MoovPlausibilityRule) {
  const struct { const char *at12, *at20; bool valid; } cases[] = {
      {"mvhd", "xxxx", true}, {"trak", "xxxx", true}, {"udta", "xxxx", true}, {"uuid", "xxxx", true},
      {"free", "xxxx", true}, {"xxxx", "mvhd", true}, {"xxxx", "trak", true}, {"xxxx", "xxxx", false},
      {"MVHD", "tkhd", false},
  };
  for (const auto& c : cases) {
    Bytes b(24, 0);
    std::copy(c.at12, c.at12 + 4, b.begin() + 12);
    std::copy(c.at20, c.at20 + 4, b.begin() + 20);
    EXPECT_EQ(File::validMoovInnerTagInBytes(b.data(), b.size()), c.valid) << c.at12 << " " << c.at20;
  }
  Bytes shortCandidate = {0, 0, 0, 8, 'm', 'o', 'o', 'v', 0, 0, 0, 0, 'm', 'v', 'h', 'd'};
  EXPECT_TRUE(File::validMoovInnerTagInBytes(shortCandidate.data(), shortCandidate.size()));
  EXPECT_FALSE(File::validMoovInnerTagInBytes(shortCandidate.data(), 12));
}

TEST(File, CraftedSizesNeitherLoopNorAllocate) {
  TempDir dir;
  // A 64-bit media-data size close to 2^64: added to its offset it would wrap around and
  // send the scan back to the same header forever.
  Bytes wrap = cat({box("ftyp", zeros(12)), zeros(80), hex("00000001 6D646174 FFFFFFFFFFFFFFCE")});
  wrap.resize(4096, 0);
  writeFileBytes(dir.file("wrap.mov"), wrap);
  auto f = File::parseFileAtPath(dir.file("wrap.mov"));
  EXPECT_FALSE(f->mdat);
  EXPECT_FALSE(f->moov());

  // A user-data atom that claims 768 MB of a sparse file is not read into memory.
  const std::string sparse = dir.file("sparse.mov");
  writeFileBytes(sparse, cat({box("ftyp", zeros(12)), zeros(80), hex("30000000 75647461")}));
  std::filesystem::resize_file(sparse, uint64_t(1) << 30);
  f = File::parseFileAtPath(sparse);
  EXPECT_FALSE(f->udta);
  EXPECT_TRUE(f->ftyp);
}

}  // namespace
}  // namespace vr
