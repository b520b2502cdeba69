#include "bitstream/UeSeNumCode.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace vr {
namespace {

using test::BitWriter;
using U = UeSeNumCode;

// Short codes are read by every parameter-set and slice test; here the longest ones.
TEST(UeSeNumCode, ExpGolombCodesAtTheirLimits) {
  // 31 leading zeros still make a 32-bit value; 32 make none, and the cursor stays failed.
  BitWriter big, bigger, tooBig;
  big.u(31, 0).bit(1).u(31, 1);
  bigger.u(31, 0).bit(1).u(31, 0x7FFFFFFF);
  tooBig.u(32, 0).bit(1).u(8, 0);
  BitCursor c(big.data().data(), 8), s(bigger.data().data(), 8), t(tooBig.data().data(), 6);
  EXPECT_EQ(U::getUEVCodeNumFromBytes(c), 0x80000000u);
  EXPECT_EQ(c.bitOffset(), 63u);
  EXPECT_EQ(U::getSEVCodeNumFromBytes(s), INT32_MIN + 1);  // k even: -(k+1)/2
  EXPECT_EQ(U::getUEVCodeNumFromBytes(t), UINT32_MAX);
  EXPECT_TRUE(t.failed && !t.cutShort);
  U::getBitInBytes(t);
  EXPECT_TRUE(t.failed);
}

TEST(UeSeNumCode, FixedWidthReadsAndTheEndOfTheBytes) {
  const uint8_t b[] = {0xA5, 0x3C, 0xFF, 0x00, 0x81};
  BitCursor c(b, sizeof b, 1);
  c.bitPos = 3;  // from bit 4 of 0x3C (0011 1100)
  EXPECT_EQ(U::getBitInBytes(c), 1u);
  EXPECT_EQ(U::getUnitCodeNumFromBytes(c, 0), 0u);
  EXPECT_EQ(U::getUnitCodeNumFromBytes(c, 12), 0xCFFu);
  BitCursor d(b, sizeof b);  // u(n) with n > 32 consumes n bits and returns the last 32
  EXPECT_EQ(U::getUnitCodeNumFromBytes(d, 36), 0x53CFF008u);
  EXPECT_EQ(d.bitOffset(), 36u);

  // Past the end: zeros, no hang, and a cut rather than noise.
  BitCursor e(b + 2, 1);
  EXPECT_EQ(U::getUnitCodeNumFromBytes(e, 12), 0xFF0u);
  EXPECT_TRUE(e.atEnd());
  EXPECT_EQ(U::getUnitCodeNumFromBytes(e, 0xFFFFFFFFu), 0u);
  EXPECT_EQ(e.bytePos, 1u);
  EXPECT_EQ(U::getUEVCodeNumFromBytes(e), UINT32_MAX);
  EXPECT_TRUE(e.cutShort && !e.failed);
  // Only the given length is read, even when more memory follows.
  const uint8_t two[] = {0x00, 0x80};
  BitCursor f(two, 1);
  EXPECT_EQ(U::getUEVCodeNumFromBytes(f), UINT32_MAX);
  EXPECT_TRUE(f.cutShort && !f.ok());
  BitCursor empty(nullptr, 0);
  EXPECT_EQ(U::getBitInBytes(empty) + U::getUEVCodeNumFromBytes(empty), UINT32_MAX);
}

// Sub-layer syntax, which single-layer encoders never write.
TEST(UeSeNumCode, ProfileTierLevelBitCounts) {
  // subLayerFlags: (profile present, level present) of each sub-layer
  const struct { int32_t profilePresent, maxSubLayersMinus1; std::vector<std::pair<int, int>> subLayerFlags; uint64_t expectedBits; } rows[] = {
      {1, 0, {}, 96}, {0, 0, {}, 8}, {1, 1, {{0, 0}}, 96 + 2 + 14}, {1, 1, {{1, 1}}, 96 + 2 + 14 + 88 + 8},
      {1, 2, {{0, 1}, {1, 0}}, 96 + 4 + 12 + 8 + 88}, {1, 6, {{0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}}, 96 + 12 + 4},
  };
  for (const auto& r : rows) {
    BitWriter w;
    if (r.profilePresent) w.u(32, 0x01600000).u(32, 0).u(24, 0);
    w.u(8, 93);
    if (r.maxSubLayersMinus1 > 0) {
      for (auto [p, l] : r.subLayerFlags) w.bit(uint32_t(p)).bit(uint32_t(l));
      for (int i = r.maxSubLayersMinus1; i < 8; ++i) w.u(2, 0);
      for (auto [p, l] : r.subLayerFlags) {
        if (p) w.u(32, 0xFFFFFFFF).u(32, 0xFFFFFFFF).u(24, 0xFFFFFF);
        if (l) w.u(8, 0xFF);
      }
    }
    w.u(32, 0xFFFFFFFF);
    BitCursor c(w.data().data(), uint32_t(w.data().size()));
    U::profile_tier_level(r.profilePresent, r.maxSubLayersMinus1, c);
    EXPECT_EQ(c.bitOffset(), r.expectedBits) << r.maxSubLayersMinus1;
  }
}

}  // namespace
}  // namespace vr
