// The NAL-unit probe's accept and reject rules, on windows built from real units.
#include <gtest/gtest.h>

#include <random>

#include "engine/ByteWindow.h"
#include "engine/NALU.h"
#include "engine/RepairFile.h"
#include "StreamFixtures.h"
#include "support/TestMedia.h"

namespace vr {
namespace {

using test::hex;

// A 50-byte probe window: prefix of n bytes holding `value`, then the unit bytes.
Bytes window(uint64_t value, const Bytes& unit, int n = 4) {
  Bytes w;
  for (int i = n - 1; i >= 0; --i) w.push_back(uint8_t(value >> (8 * i)));
  w.insert(w.end(), unit.begin(), unit.end());
  w.resize(kNaluProbeWindow, 0);
  return w;
}

// The unit with its first byte replaced.
Bytes withHeader(Bytes unit, uint8_t header) { return unit[0] = header, unit; }

// nalSize, type and setName (H.265; nullptr: no name) are checked when accepted.
struct ProbeCase { const char* name; Bytes window; uint8_t n; bool accepted; uint32_t nalSize, type; const char* setName; };

void probe(const std::vector<ProbeCase>& cases, const ReferenceParameterSets& ref) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto unit = NALU::initNALUWithBytes(c.window.data(), uint32_t(c.window.size()), c.n, ref);
    ASSERT_EQ(unit != nullptr, c.accepted);
    if (unit) {
      EXPECT_EQ(std::tuple(unit->nalSize, unit->NALType, std::string(unit->setName() ? unit->setName() : "")),
                std::tuple(c.nalSize, c.type, std::string(c.setName ? c.setName : ""))); }
  }
}

TEST(NALUProbe, H264AcceptAndRejectRules) {
  using namespace test::h264;
  const auto ref = reference();
  ASSERT_TRUE(ref.sps && ref.pps);
  const Bytes idrNri0 = withHeader(kIDR[0], 0x05);
  const Bytes idrWithPSlice = withHeader(kP, 0x65);  // an IDR must be an I slice
  const std::vector<ProbeCase> cases = {
      {"IDR behind a 4096 prefix", window(4096, kIDR[0]), 4, true, 4100, 5, nullptr},
      {"non-IDR slice", window(200, kP), 4, true, 204, 1, nullptr},
      {"IDR with nal_ref_idc 0", window(4096, idrNri0), 4, false, 0, 0, nullptr},
      {"IDR header over a P slice", window(4096, idrWithPSlice), 4, false, 0, 0, nullptr},
      {"SEI of 800 bytes", window(796, kSEI), 4, true, 800, 6, nullptr},
      {"SEI of 801 bytes", window(797, kSEI), 4, false, 0, 0, nullptr},
      {"SEI with nal_ref_idc 1", window(100, withHeader(kSEI, 0x26)), 4, false, 0, 0, nullptr},
      {"in-band SPS of the reference", window(uint32_t(kSPS.size()), kSPS), 4, true, 26, 7, nullptr},
      // The reference SPS with seq_parameter_set_id 1 (coded "010" instead of "1").
      {"SPS of another id", window(22, hex("6742c00a568426c044000000c004000000c0c83c489a")), 4, false, 0, 0, nullptr},
      {"PPS is not checked", window(3, hex("68ffff")), 4, true, 7, 8, nullptr},
      {"PPS with nal_ref_idc 0", window(3, hex("08ce0f")), 4, false, 0, 0, nullptr},
      {"access unit delimiter", window(2, hex("0910")), 4, true, 6, 9, nullptr},
      {"forbidden bit", window(4096, withHeader(kIDR[0], 0xE5)), 4, false, 0, 0, nullptr},
      {"slice data partition", window(4096, withHeader(kIDR[0], 0x62)), 4, false, 0, 0, nullptr},
      {"filler data", window(10, hex("0cffffff")), 4, false, 0, 0, nullptr},
      {"two-byte prefix", window(4096, kIDR[0], 2), 2, true, 4098, 5, nullptr},
      {"one-byte prefix", window(200, kP, 1), 1, true, 201, 1, nullptr},
      {"length that overflows 32 bits", window(0xFFFFFFFFu, hex("0910")), 4, false, 0, 0, nullptr},
      {"zeros", Bytes(kNaluProbeWindow, 0), 4, false, 0, 0, nullptr},
  };
  probe(cases, ref);
}

TEST(NALUProbe, H265AcceptAndRejectRules) {
  using namespace test::h265;
  const auto ref = reference();
  ASSERT_TRUE(ref.vps && ref.sps265 && ref.pps265);
  const std::vector<ProbeCase> cases = {
      {"IDR slice", window(1000, kIDR), 4, true, 1004, 20, "Slice"},
      {"trailing slice", window(500, kTrail), 4, true, 504, 1, "Slice"},
      {"in-band VPS", window(uint32_t(kVPS.size()), kVPS), 4, true, 28, 32, "VPS"},
      {"in-band SPS", window(uint32_t(kSPS.size()), kSPS), 4, true, 45, 33, "SPS"},
      {"in-band PPS", window(uint32_t(kPPS.size()), kPPS), 4, true, 11, 34, "PPS"},
      {"VPS with temporal id plus 1 of 0", window(24, hex("40000c01ffff")), 4, false, 0, 0, nullptr},
      {"SEI of 800 bytes", window(796, kSEI), 4, true, 800, 39, "SEI"},
      {"SEI of 801 bytes", window(797, kSEI), 4, false, 0, 0, nullptr},
      {"suffix SEI", window(21, hex("50010510" "00112233445566778899aabbccddeeff" "80")), 4, true, 25, 40, "SEI"},
      {"SEI of layer 1", window(20, hex("4e0905ff")), 4, false, 0, 0, nullptr},
      {"reserved type 22", window(100, hex("2c01af1d")), 4, false, 0, 0, nullptr},
      {"delimiter of 7 bytes", window(3, kAUD), 4, true, 7, 35, "AUD"},
      {"unit of 6 bytes", window(2, kAUD), 4, false, 0, 0, nullptr},
      {"end of sequence has no name", window(10, hex("4801")), 4, true, 14, 36, nullptr},
      {"unspecified type 48", window(996, hex("6001")), 4, true, 1000, 48, "Unspecified"},
      {"unspecified type 48 over 1000 bytes", window(997, hex("6001")), 4, false, 0, 0, nullptr},
      {"unspecified type 63 has no name", window(50, hex("7e01")), 4, true, 54, 63, nullptr},
      // first_slice_segment_in_pic_flag 1, no_output_of_prior_pics_flag 0, then a
      // picture-parameter-set id of 64.
      {"slice with PPS id 64", window(1000, hex("28018082")), 4, false, 0, 0, nullptr},
      {"two-byte prefix", window(1000, kIDR, 2), 2, true, 1002, 20, "Slice"},
  };
  probe(cases, ref);
}

// A probe near the end of the file sees the missing bytes as zeros; past the end it sees
// nothing it could accept.
TEST(NALUProbe, ReadsTheFileZeroPaddedAtItsEnd) {
  test::TempDir dir;
  const Bytes data = test::layout({{&test::h264::kIDR[0], 300}, {&test::h264::kPPS, 8}});
  ASSERT_TRUE(test::writeFileBytes(dir.file("end.bin"), data));
  FileHandle fh = FileHandle::openForReading(dir.file("end.bin"));
  RepairFile repair;
  const auto ref = test::h264::reference();
  auto pps = repair.isNaluAtOffset(300, fh, 4, ref);
  ASSERT_TRUE(pps);
  EXPECT_EQ(std::pair(pps->NALType, pps->nalSize), std::pair(8u, 8u));
  EXPECT_TRUE(repair.isNaluAtOffset(0, fh, 4, ref));
  EXPECT_FALSE(repair.isNaluAtOffset(308, fh, 4, ref));
  EXPECT_FALSE(repair.isNaluAtOffset(1u << 20, fh, 4, ref));
}

// The scan's buffered reads give every offset exactly the bytes a read there would, zero-
// padded past the end, whatever the refill pattern; moving on through the file reads it once
// in growing pieces, and hopping from one unit's header to the next, far behind it, reads
// little more than the headers' surroundings.
TEST(ByteWindow, GivesEveryOffsetTheFileBytesAndReadsOnlyWhatTheScanMovesThrough) {
  test::TempDir dir;
  Bytes data(4 << 20);
  std::mt19937 rng(11);
  for (auto& b : data) b = uint8_t(rng());
  ASSERT_TRUE(test::writeFileBytes(dir.file("big.bin"), data));
  FileHandle fh = FileHandle::openForReading(dir.file("big.bin"));
  auto check = [&](ByteWindow& w, uint64_t o, size_t n) {
    const uint8_t* got = w.at(o, n);
    for (size_t i = 0; i < n; ++i)
      if (got[i] != (o + i < data.size() ? data[o + i] : 0)) return false;
    return true;
  };
  for (size_t capacity : {64u, 100u, 4096u}) {  // small windows over the file's last 1000 bytes
    const uint64_t base = data.size() - 1000;
    ByteWindow w(fh, data.size(), capacity, 50);
    std::vector<uint64_t> offsets;
    for (uint64_t o = 0; o < 1100; ++o) offsets.push_back(base + o);
    for (uint64_t o : {5u, 900u, 10u, 977u, 999u, 1000u, 3000u, 0u}) offsets.push_back(base + o);
    for (uint64_t o : offsets) ASSERT_TRUE(check(w, o, 50)) << "capacity " << capacity << " offset " << o;
    EXPECT_LT(w.refills(), 1100u / 8) << "capacity " << capacity;
  }
  ByteWindow sequential(fh, data.size(), 1 << 20, 64);
  for (uint64_t o = 0; o < data.size() + 100; o += 7) ASSERT_TRUE(check(sequential, o, 64)) << o;
  EXPECT_LT(sequential.bytesRead(), data.size() + (64 << 10));
  EXPECT_LT(sequential.refills(), 20u);
  ByteWindow hopping(fh, data.size(), 1 << 20, 64);
  for (uint64_t o = 3; o < data.size(); o += 50'000) {
    ASSERT_TRUE(check(hopping, o, 64)) << o;
    ASSERT_TRUE(check(hopping, o + 6, 64)) << o;  // the unit right behind a delimiter
  }
  EXPECT_LT(hopping.bytesRead(), data.size() / 2);
  ByteWindow mixed(fh, data.size(), 1 << 20, 64);  // hops, steps back and runs, past the end
  std::uniform_int_distribution<uint64_t> anywhere(0, data.size() + 1000);
  for (int i = 0; i < 2000; ++i) {
    uint64_t o = anywhere(rng);
    for (int step = 0; step < 50; ++step, o += 13) ASSERT_TRUE(check(mixed, o, 64)) << o;
  }
}

}  // namespace
}  // namespace vr
