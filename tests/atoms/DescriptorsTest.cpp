// Elementary-stream descriptors of "esds" atoms: size forms, optional ES fields and
// missing or malformed levels.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "atoms/Descriptors.h"
#include "tests/support/AtomBytes.h"

namespace vr {
namespace {

using test::hex;

// An "esds" atom around an ES-descriptor body given in hex, with a one-byte size.
Bytes esds(const std::string& body) {
  char size[3];
  std::snprintf(size, sizeof size, "%02x", unsigned(body.size() / 2));
  return hex("00000000657364730000000003" + std::string(size) + body);
}

// ffmpeg's layout for AAC-LC 48 kHz stereo at 128 kb/s: padded sizes, buffer size 500.
const Bytes kFfmpegEsds = hex(
    "00000036657364730000000003808080250002000480808017401500" "01f4" "0001f4000001f161"
    "0580808005119056e500" "068080800102");
// A decoder configuration at 96000/64000 b/s with the AudioSpecificConfig 11 90, then an
// SL descriptor.
const std::string kConfig = "0411" "4015000000" "00017700" "0000fa00" "05021190" "060102";

TEST(Descriptors, DescriptorSizeForms) {
  // field: the tag followed by the size bytes
  const struct { const char* field; bool ok; uint32_t bodyStart; uint64_t bodyLength; } cases[] = {
      {"0322", true, 2, 34},        {"0380808022", true, 5, 34},  // one byte; padded
      {"038122", true, 3, 162},                                   // two significant bytes
      {"0300", false, 2, 0},        {"0380808000", false, 5, 0},  // no body
      {"038080", false, 3, 0},      {"03", false, 1, 0},          // runs off the data
      {"03ffffffffff7f", false, 6, 0},                            // more than 32 bits
  };
  for (const auto& c : cases) {
    const Bytes field = hex(c.field);
    uint32_t start = 99;
    uint64_t length = 99;
    EXPECT_EQ(readDescriptorLength(field.data(), uint32_t(field.size()), 0, start, length), c.ok) << c.field;
    EXPECT_EQ(start, c.bodyStart) << c.field;
    EXPECT_EQ(length, c.bodyLength) << c.field;
  }
}

// Each level is found where its parent's fields put it; a missing or malformed level leaves
// what lies below it empty, while what lies above stays.
TEST(Descriptors, Levels) {
  Bytes noEs = kFfmpegEsds, esOverruns = kFfmpegEsds;
  noEs[12] = 0x04;
  esOverruns[16] = 0x40;
  const struct { const char* name; Bytes atom; uint32_t maxRate, avgRate; Bytes dsi; } cases[] = {
      {"ffmpeg", kFfmpegEsds, 128000, 127329, hex("119056e500")},
      {"no optional fields", esds("000500" + kConfig), 96000, 64000, hex("1190")},
      {"dependence and OCR fields", esds("0005a000070009" + kConfig), 96000, 64000, hex("1190")},
      {"all optional fields", esds("0005e30007027879" "0009" + kConfig), 96000, 64000, hex("1190")},
      {"no AudioSpecificConfig", esds("000500040d4015000000000177000000fa00"), 96000, 64000, {}},
      {"AudioSpecificConfig overruns", esds("00050004114015000000000177000000fa00050911900601"), 96000, 64000, {}},
      {"no decoder configuration", esds("000500060102"), 0, 0, {}},
      {"byte 12 is not an ES descriptor", noEs, 0, 0, {}},
      {"ES descriptor overruns the atom", esOverruns, 0, 0, {}},
      {"header only", Bytes(kFfmpegEsds.begin(), kFfmpegEsds.begin() + 12), 0, 0, {}},
  };
  for (const auto& c : cases) {
    auto e = EsdsDecoder::initESDSWithBytes(c.atom.data(), uint32_t(c.atom.size()));
    EXPECT_EQ(e->config() ? e->config()->maxBitrate : 0, c.maxRate) << c.name;
    EXPECT_EQ(e->config() ? e->config()->avgBitrate : 0, c.avgRate) << c.name;
    EXPECT_EQ(e->decoderSpecificInfo(), c.dsi) << c.name;
  }
  auto all = EsdsDecoder::initESDSWithBytes(cases[3].atom.data(), uint32_t(cases[3].atom.size()))->objectDesc;
  EXPECT_EQ(all->URLstring, "xy");
  auto ffmpeg = EsdsDecoder::initESDSWithBytes(kFfmpegEsds.data(), uint32_t(kFfmpegEsds.size()));
  EXPECT_EQ(ffmpeg->config()->bufferSizeDB, 500u);
}

}  // namespace
}  // namespace vr
