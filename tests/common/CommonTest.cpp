// Bounded byte-order reads, the positioned file reads every engine relies on, and the log.
#include <cstring>

#include <gtest/gtest.h>

#include "common/ByteOrder.h"
#include "common/FileIO.h"
#include "support/TestMedia.h"

namespace vr {
namespace {

// Every parser reads through these: a field that does not fit reads as zero.
TEST(ByteOrder, BoundedReadsOfFieldsThatDoNotFitReadAsZero) {
  const uint8_t b[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  EXPECT_EQ(readBE32At(b, 8, 4), 0x05060708u);
  EXPECT_EQ(readBE32At(b, 8, 5), 0u);
  EXPECT_EQ(readBE32At(b, 8, ~size_t(0) - 1), 0u);
  EXPECT_EQ(readBE64At(b, 7, 0), 0u);
}

TEST(FileHandle, ShortReadsAtTheEndReadAsZeros) {
  test::TempDir dir;
  const std::string p = dir.file("f.bin");
  test::writeFileBytes(p, Bytes{1, 2, 3, 4, 5});
  FileHandle f = FileHandle::openForReading(p);
  EXPECT_EQ(f.size(), 5u);
  EXPECT_EQ(f.readAt(3, 10), (Bytes{4, 5}));
  EXPECT_TRUE(f.readAt(5, 10).empty() && f.readAt(uint64_t(1) << 40, 10).empty());
  uint8_t buf[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  f.readZeroFilled(2, buf, sizeof buf);
  EXPECT_EQ(Bytes(buf, buf + 6), (Bytes{3, 4, 5, 0, 0, 0}));
  EXPECT_FALSE(FileHandle::openForReading(dir.file("missing")).isOpen() || fileExistsAndIsReadable(dir.file("missing")));
  EXPECT_TRUE(fileExistsAndIsReadable(p) && sameFile(p, dir.path() + "/./f.bin"));

  FileHandle w = FileHandle::createForWriting(dir.file("w.bin"));
  EXPECT_EQ(w.writeAt(4, "abcd", 4), 4u);
  EXPECT_EQ(w.size(), 8u);
  EXPECT_EQ(w.readAt(0, 8), (Bytes{0, 0, 0, 0, 'a', 'b', 'c', 'd'}));
}

std::string gLogged;

TEST(Log, ControlBytesAreWrittenAsHex) {
  setLogSink([](const std::string& line) { gLogged = line; });
  const std::pair<std::string, std::string> cases[] = {
      {"plain text", "plain text"},
      {std::string("handler \"\x01\0\0\0\"", 14), "handler \"\\x01\\x00\\x00\\x00\""},
      {"tab\there\x1b[2J\x7f", "tab\\x09here\\x1b[2J\\x7f"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
  };
  for (const auto& [line, logged] : cases) {
    logLine(line);
    EXPECT_EQ(gLogged, logged);
  }
  setLogSink(nullptr);
}

}  // namespace
}  // namespace vr
