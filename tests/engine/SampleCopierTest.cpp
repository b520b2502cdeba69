// The sample copy, past the page cache in aligned blocks or through it: the same bytes
// either way, across block boundaries, with the bytes already in the file kept, zeros
// past the end of the damaged file, a partial last block, and a failed write reported.
#include <gtest/gtest.h>

#include <random>

#include "engine/SampleCopier.h"
#include "support/TestMedia.h"

namespace vr {
namespace {

TEST(SampleCopier, SameBytesThroughEitherPathAndFullDisksFail) {
  test::TempDir dir;
  Bytes input(9 << 20);
  std::mt19937 rng(21);
  for (auto& b : input) b = uint8_t(rng());
  const std::string inputPath = dir.file("damaged.bin");
  ASSERT_TRUE(test::writeFileBytes(inputPath, input));
  const Bytes head = {0, 0, 0, 1, 'm', 'd', 'a', 't', 9, 9, 9, 9, 9, 9, 9, 9};
  // Merged neighbours, a range longer than a block, one lying alike within its pages, one
  // running past the end of the damaged file, and a last one that leaves a partial block.
  const std::vector<std::pair<uint64_t, uint64_t>> ranges = {
      {36, 1000}, {1036, 5 << 20}, {7, 3}, {4096 * 3 + 16, 3 << 20}, {input.size() - 100, 5000}, {500, 12345}};
  Bytes expected = head;
  for (const auto& [offset, length] : ranges)
    for (uint64_t i = offset; i < offset + length; ++i) expected.push_back(i < input.size() ? input[i] : 0);

  for (bool direct : {true, false}) {
    SCOPED_TRACE(direct ? "direct" : "page cache");
    const std::string outputPath = dir.file(direct ? "direct.mov" : "cached.mov");
    FileHandle in = FileHandle::openForReading(inputPath);
    FileHandle out = FileHandle::createForWriting(outputPath);
    ASSERT_EQ(out.writeAt(0, head.data(), head.size()), head.size());
    {
      SampleCopier copier(in, out, outputPath, head.size(), direct);
      uint64_t position = head.size();
      for (const auto& [offset, length] : ranges) {
        EXPECT_EQ(copier.position(), position);
        copier.add(offset, length);
        position += length;
      }
      copier.finish();
      EXPECT_EQ(copier.position(), position);
      EXPECT_FALSE(copier.failed());
    }
    out.close();
    EXPECT_TRUE(test::readFileBytes(outputPath) == expected);

    FileHandle full = FileHandle::openForUpdating("/dev/full");
    if (!full.isOpen()) continue;
    SampleCopier failing(in, full, "/dev/full", 0, direct);
    failing.add(0, 6 << 20);
    failing.finish();
    EXPECT_TRUE(failing.failed());
  }
}

}  // namespace
}  // namespace vr
