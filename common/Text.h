#pragma once
// Small text helpers shared by the atom readers and the front ends.
#include <cstddef>
#include <cstdint>
#include <string>

namespace vr {

// Length of the well-formed UTF-8 sequence at s[i] (1 for ASCII), or 0 when the bytes there
// are none (overlong forms, surrogates and values beyond Unicode included).
size_t utf8SequenceLength(const std::string& s, size_t i);
bool isValidUtf8(const std::string& s);
// Each byte taken as the Latin-1 character of that value, encoded as UTF-8.
std::string latin1ToUtf8(const std::string& s);

// A double truncated toward zero to an unsigned 32-bit number; NaN, negatives and
// infinities give 0 or the largest number instead of undefined conversions.
inline uint32_t truncToU32(double v) {
  if (!(v > 0)) return 0;
  if (v >= 4294967295.0) return UINT32_MAX;
  return uint32_t(v);
}

}  // namespace vr
