// The sample copy, past the page cache in aligned blocks or through it: the same bytes
// either way, across block boundaries, with the bytes already in the file kept, zeros
// past the end of the damaged file, and a failed write reported.
#include <gtest/gtest.h>

#include <random>

#include "engine/SampleCopier.h"
#include "support/TestMedia.h"

namespace vr {
namespace {

struct Range {
  uint64_t offset, length;
};

class SampleCopierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.ok());
    input.resize(9 << 20);
    std::mt19937 rng(21);
    for (auto& b : input) b = uint8_t(rng());
    inputPath = dir.file("damaged.bin");
    ASSERT_TRUE(test::writeFileBytes(inputPath, input));
  }

  // What the output should hold: `head`, then each range's bytes (zeros past the end).
  Bytes expected(const Bytes& head, const std::vector<Range>& ranges) const {
    Bytes out = head;
    for (const Range& r : ranges)
      for (uint64_t i = 0; i < r.length; ++i) out.push_back(r.offset + i < input.size() ? input[r.offset + i] : 0);
    return out;
  }

  test::TempDir dir;
  Bytes input;
  std::string inputPath;
};

TEST_F(SampleCopierTest, SameBytesThroughEitherPath) {
  const Bytes head = {0, 0, 0, 1, 'm', 'd', 'a', 't', 9, 9, 9, 9, 9, 9, 9, 9};
  // Merged neighbours, a range longer than a block, one lying alike within its pages, one
  // running past the end of the damaged file, and a last one that leaves a partial block.
  const std::vector<Range> ranges = {{36, 1000},   {1036, 5 << 20},         {7, 3},
                                     {4096 * 3 + 16, 3 << 20}, {input.size() - 100, 5000}, {500, 12345}};
  for (bool direct : {true, false}) {
    SCOPED_TRACE(direct ? "direct" : "page cache");
    const std::string outputPath = dir.file(direct ? "direct.mov" : "cached.mov");
    FileHandle in = FileHandle::openForReading(inputPath);
    FileHandle out = FileHandle::createForWriting(outputPath);
    ASSERT_EQ(out.writeAt(0, head.data(), head.size()), head.size());
    SampleCopier copier(in, out, outputPath, head.size(), direct);
    if (!direct) {
      EXPECT_FALSE(copier.writesDirectly());
    }
    uint64_t position = head.size();
    for (const Range& r : ranges) {
      EXPECT_EQ(copier.position(), position);
      copier.add(r.offset, r.length);
      position += r.length;
    }
    copier.finish();
    EXPECT_EQ(copier.position(), position);
    EXPECT_FALSE(copier.failed());
    out.close();
    EXPECT_TRUE(test::readFileBytes(outputPath) == expected(head, ranges));
  }
}

// A stop finishes the copy early: what was added is all there, and nothing else.
TEST_F(SampleCopierTest, FinishingEarlyKeepsWhatWasAdded) {
  const std::string outputPath = dir.file("stopped.mov");
  FileHandle in = FileHandle::openForReading(inputPath);
  FileHandle out = FileHandle::createForWriting(outputPath);
  const Bytes head(16, 0);
  ASSERT_EQ(out.writeAt(0, head.data(), head.size()), head.size());
  {
    SampleCopier copier(in, out, outputPath, head.size());
    copier.add(100, (4 << 20) + 7);
    copier.finish();
  }
  out.close();
  EXPECT_TRUE(test::readFileBytes(outputPath) == expected(head, {{100, (4 << 20) + 7}}));
}

TEST_F(SampleCopierTest, AFullDiskIsAFailure) {
  for (bool direct : {true, false}) {
    FileHandle in = FileHandle::openForReading(inputPath);
    FileHandle out = FileHandle::openForUpdating("/dev/full");
    if (!out.isOpen()) GTEST_SKIP() << "no /dev/full";
    SampleCopier copier(in, out, "/dev/full", 0, direct);
    copier.add(0, 6 << 20);
    copier.finish();
    EXPECT_TRUE(copier.failed()) << (direct ? "direct" : "page cache");
  }
}

}  // namespace
}  // namespace vr
