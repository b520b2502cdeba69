#pragma once
// Bit-level reading for H.264 / H.265 headers: single bits, u(n), ue(v), se(v), and the
// H.265 structures that several parameter sets share.
//
// Bounds rule (the one place it is written down): a BitCursor carries the length of the
// bytes it reads. A bit at or past that length reads as 0 and the cursor never moves past
// the end. ue(v) gives up when it has seen 32 zero bits without a 1 (no 32-bit value can
// follow such a prefix) and returns UINT32_MAX (-1 once stored in a signed field):
//  - when those 32 bits lie inside the bytes it sets `failed`, and the parser refuses
//    its input: a header that would need such a value is noise;
//  - when they run past the end it sets `cutShort`: the bytes end inside the header
//    (the probe hands over 50-byte windows), and the parser judges the header on the
//    fields before the cut, which it needs whole; fields after the cut stay -1.
// Loops whose count comes from the bitstream are bounded by the legal range of the
// count or stop at the end of the bytes, so no input can make a parse run long.
//
// Emulation-prevention bytes (the 03 of 00 00 03) are removed with RbspBytes before the
// SPS, PPS and slice-header parsers read a unit, so that fields which happen to contain
// 00 00 are read correctly. Only the H.265 VPS reads the escaped bytes: its skip of
// profile_tier_level looks for them.
#include <array>
#include <cstdint>
#include <vector>

namespace vr {

struct BitCursor {
  BitCursor() = default;
  BitCursor(const uint8_t* b, uint32_t s, uint32_t byte = 0) : bytes(b), size(s), bytePos(byte) {
    if (bytePos > size) bytePos = size;
  }

  const uint8_t* bytes = nullptr;
  uint32_t size = 0;     // number of readable bytes
  uint32_t bytePos = 0;  // index of the byte holding the next bit
  uint32_t bitPos = 0;   // 0 = most significant bit of that byte
  bool failed = false;    // a ue(v) gave up inside the bytes; sticky
  bool cutShort = false;  // a ue(v) gave up at the end of the bytes; sticky

  bool atEnd() const { return bytePos >= size; }
  // Every ue(v) so far decoded to a value.
  bool ok() const { return !failed && !cutShort; }
  // Moves the cursor to bit 0 of byte `pos` (clamped to the end) and keeps `failed`.
  void seekByte(uint32_t pos) {
    bytePos = pos > size ? size : pos;
    bitPos = 0;
  }
  // Position counted in bits from the start of the bytes.
  uint64_t bitOffset() const { return uint64_t(bytePos) * 8 + bitPos; }
  // Advances by n bits without reading them; stops at the end.
  void skipBits(uint64_t n);
  // The next 32 bits (zeros past the end) without moving.
  uint32_t peek32() const;
};

// A NAL-unit byte range with the emulation-prevention bytes removed (H.264 / H.265
// clause 7.4.2). Short ranges, such as the probe's 50-byte windows, stay on the stack.
class RbspBytes {
 public:
  RbspBytes(const uint8_t* bytes, uint32_t size);
  RbspBytes(const RbspBytes&) = delete;
  RbspBytes& operator=(const RbspBytes&) = delete;
  const uint8_t* data() const { return data_; }
  uint32_t size() const { return size_; }

 private:
  std::array<uint8_t, 128> small_;
  std::vector<uint8_t> large_;
  const uint8_t* data_ = nullptr;
  uint32_t size_ = 0;
};

class UeSeNumCode {
 public:
  UeSeNumCode() = delete;

  // One bit, 0 or 1.
  static uint32_t getBitInBytes(BitCursor& c);
  // u(n): the next n bits, most significant first. n = 0 reads nothing and gives 0.
  // For n > 32 all n bits are consumed and the low 32 of them are returned (callers
  // only skip with such reads).
  static uint32_t getUnitCodeNumFromBytes(BitCursor& c, uint32_t n);
  // ue(v), unsigned Exp-Golomb (H.264 clause 9.1). See the bounds rule above.
  static uint32_t getUEVCodeNumFromBytes(BitCursor& c);
  // se(v), signed Exp-Golomb (H.264 clause 9.1.1): k -> (k+1)/2 for odd k, -(k+1)/2 for even k.
  static int32_t getSEVCodeNumFromBytes(BitCursor& c);

  // Skips an H.265 profile_tier_level(profilePresentFlag, maxNumSubLayersMinus1) structure:
  // 96 bits with a general profile and no sub-layers.
  static void profile_tier_level(int32_t profilePresentFlag, int32_t maxNumSubLayersMinus1, BitCursor& c);
  // Skips an H.265 scaling_list_data() structure (SPS and PPS).
  static void scaling_list_data(BitCursor& c);

  // ceil(log2(v)) for v >= 1, 0 for v <= 1: the width of fields that index v entries.
  static uint32_t ceilLog2(int64_t v);
};

// The two-byte H.265 NAL unit header shared by the parameter sets: forbidden bit, unit
// type, layer id and temporal id. Missing bytes read as zero.
template <typename ParameterSet>
void readNalHeader265(const uint8_t* bytes, uint32_t size, ParameterSet& ps) {
  const uint8_t h0 = size > 0 ? bytes[0] : 0;
  const uint8_t h1 = size > 1 ? bytes[1] : 0;
  ps.forbiddenBit = h0 >> 7;
  ps.NALType = (h0 >> 1) & 0x3F;
  ps.NLayerId = ((h0 & 1u) << 5) | (h1 >> 3);
  ps.NTempID = h1 & 7u;
}

}  // namespace vr
