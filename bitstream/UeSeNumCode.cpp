#include "bitstream/UeSeNumCode.h"

#include <bit>

namespace vr {

void BitCursor::skipBits(uint64_t n) {
  const uint64_t end = uint64_t(size) * 8;
  uint64_t pos = bitOffset() + n;
  if (pos > end || pos < n) pos = end;  // second test: wrap-around
  bytePos = uint32_t(pos >> 3);
  bitPos = uint32_t(pos & 7);
}

uint32_t BitCursor::peek32() const {
  // 40 bits starting at the current byte cover any 32 bits from any bit position.
  uint64_t w = 0;
  const uint64_t p = bytePos;
  if (bytes != nullptr && p + 5 <= size) {
    for (int i = 0; i < 5; ++i) w = (w << 8) | bytes[p + i];
  } else {
    for (uint64_t i = 0; i < 5; ++i) w = (w << 8) | ((bytes != nullptr && p + i < size) ? bytes[p + i] : 0u);
  }
  return uint32_t(w >> (8 - bitPos));
}

RbspBytes::RbspBytes(const uint8_t* bytes, uint32_t size) {
  if (bytes == nullptr || size == 0) return;
  uint8_t* out = small_.data();
  if (size > small_.size()) {
    large_.resize(size);
    out = large_.data();
  }
  uint32_t n = 0;
  uint32_t zeros = 0;
  for (uint32_t i = 0; i < size; ++i) {
    const uint8_t b = bytes[i];
    if (zeros >= 2 && b == 0x03) {
      zeros = 0;
      continue;
    }
    zeros = (b == 0) ? zeros + 1 : 0;
    out[n++] = b;
  }
  data_ = out;
  size_ = n;
}

uint32_t UeSeNumCode::getBitInBytes(BitCursor& c) {
  if (c.bytePos >= c.size || c.bytes == nullptr) return 0;
  const uint32_t bit = (c.bytes[c.bytePos] >> (7 - c.bitPos)) & 1u;
  if (++c.bitPos > 7) {
    c.bitPos = 0;
    ++c.bytePos;
  }
  return bit;
}

uint32_t UeSeNumCode::getUnitCodeNumFromBytes(BitCursor& c, uint32_t n) {
  if (n == 0) return 0;
  if (n > 32) {
    // Only the last 32 bits can be returned; the ones before them are skipped.
    c.skipBits(n - 32);
    n = 32;
  }
  const uint32_t v = c.peek32();
  c.skipBits(n);
  return n == 32 ? v : (v >> (32 - n));
}

uint32_t UeSeNumCode::getUEVCodeNumFromBytes(BitCursor& c) {
  const uint32_t w = c.peek32();
  if (w == 0) {
    // 32 leading zeros: no 32-bit code can follow.
    if (c.bitOffset() + 32 > uint64_t(c.size) * 8) {
      c.cutShort = true;
    } else {
      c.failed = true;
    }
    c.skipBits(32);
    return UINT32_MAX;
  }
  const uint32_t leadingZeroBits = uint32_t(std::countl_zero(w));
  c.skipBits(leadingZeroBits + 1);
  if (leadingZeroBits == 0) return 0;
  // 2^lz - 1 + u(lz); for lz = 31 this is at most 2^32 - 2, so it never wraps.
  return ((1u << leadingZeroBits) - 1u) + getUnitCodeNumFromBytes(c, leadingZeroBits);
}

int32_t UeSeNumCode::getSEVCodeNumFromBytes(BitCursor& c) {
  const uint32_t k = getUEVCodeNumFromBytes(c);
  // (k + 1) / 2 computed without overflowing at k = 2^32 - 1.
  const uint32_t magnitude = (k >> 1) + (k & 1u);
  return (k & 1u) ? int32_t(magnitude) : -int32_t(magnitude);
}

void UeSeNumCode::profile_tier_level(int32_t profilePresentFlag, int32_t maxNumSubLayersMinus1, BitCursor& c) {
  if (profilePresentFlag != 0) {
    // profile space, tier, profile idc (8), 32 compatibility flags, 4 source flags,
    // 43 constraint bits, 1 inbld/reserved bit.
    c.skipBits(88);
  }
  c.skipBits(8);  // general_level_idc
  if (maxNumSubLayersMinus1 <= 0) return;
  const int32_t subLayers = maxNumSubLayersMinus1 > 7 ? 7 : maxNumSubLayersMinus1;
  uint8_t profilePresent[8] = {};
  uint8_t levelPresent[8] = {};
  for (int32_t i = 0; i < subLayers; ++i) {
    profilePresent[i] = uint8_t(getBitInBytes(c));
    levelPresent[i] = uint8_t(getBitInBytes(c));
  }
  for (int32_t i = subLayers; i < 8; ++i) c.skipBits(2);  // reserved_zero_2bits
  for (int32_t i = 0; i < subLayers; ++i) {
    if (profilePresent[i]) c.skipBits(88);
    if (levelPresent[i]) c.skipBits(8);
  }
}

void UeSeNumCode::scaling_list_data(BitCursor& c) {
  for (uint32_t sizeId = 0; sizeId < 4; ++sizeId) {
    for (uint32_t matrixId = 0; matrixId < 6; matrixId += (sizeId == 3) ? 3 : 1) {
      if (getBitInBytes(c) == 0) {  // scaling_list_pred_mode_flag
        getUEVCodeNumFromBytes(c);  // scaling_list_pred_matrix_id_delta
      } else {
        const uint32_t coefNum = (sizeId == 0) ? 16 : 64;
        if (sizeId > 1) getSEVCodeNumFromBytes(c);  // scaling_list_dc_coef_minus8
        for (uint32_t i = 0; i < coefNum && c.ok(); ++i) getSEVCodeNumFromBytes(c);
      }
      if (!c.ok()) return;
    }
  }
}

uint32_t UeSeNumCode::ceilLog2(int64_t v) {
  if (v <= 1) return 0;
  return uint32_t(64 - std::countl_zero(uint64_t(v - 1)));
}

}  // namespace vr
