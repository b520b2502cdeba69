#pragma once
// Byte-order helpers. Movie atoms store integers big-endian, RIFF/AVI little-endian;
// every read and write of a file-format integer goes through these functions.
#include <cstdint>
#include <cstddef>
#include <span>
#include <vector>

namespace vr {

using Bytes = std::vector<uint8_t>;

inline uint16_t readBE16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t readBE24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }
inline uint32_t readBE32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline uint64_t readBE64(const uint8_t* p) { return (uint64_t(readBE32(p)) << 32) | readBE32(p + 4); }

inline uint16_t readLE16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t readLE32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t readLE64(const uint8_t* p) { return uint64_t(readLE32(p)) | (uint64_t(readLE32(p + 4)) << 32); }

// Bounded reads: a field that does not lie entirely inside [0, size) reads as 0.
inline uint8_t readU8At(const uint8_t* p, size_t size, size_t off) { return off < size ? p[off] : 0; }
inline uint16_t readBE16At(const uint8_t* p, size_t size, size_t off) {
  return (off <= size && size - off >= 2) ? readBE16(p + off) : 0;
}
inline uint32_t readBE32At(const uint8_t* p, size_t size, size_t off) {
  return (off <= size && size - off >= 4) ? readBE32(p + off) : 0;
}
inline uint64_t readBE64At(const uint8_t* p, size_t size, size_t off) {
  return (off <= size && size - off >= 8) ? readBE64(p + off) : 0;
}
inline uint32_t readLE32At(const uint8_t* p, size_t size, size_t off) {
  return (off <= size && size - off >= 4) ? readLE32(p + off) : 0;
}

inline void appendBE16(Bytes& out, uint16_t v) {
  out.push_back(uint8_t(v >> 8));
  out.push_back(uint8_t(v));
}
inline void appendBE24(Bytes& out, uint32_t v) {
  out.push_back(uint8_t(v >> 16));
  out.push_back(uint8_t(v >> 8));
  out.push_back(uint8_t(v));
}
inline void appendBE32(Bytes& out, uint32_t v) {
  out.push_back(uint8_t(v >> 24));
  out.push_back(uint8_t(v >> 16));
  out.push_back(uint8_t(v >> 8));
  out.push_back(uint8_t(v));
}
inline void appendBE64(Bytes& out, uint64_t v) {
  appendBE32(out, uint32_t(v >> 32));
  appendBE32(out, uint32_t(v));
}
inline void appendLE16(Bytes& out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
inline void appendLE32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
inline void appendBytes(Bytes& out, std::span<const uint8_t> b) { out.insert(out.end(), b.begin(), b.end()); }

inline void writeBE32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}
inline void writeBE64(uint8_t* p, uint64_t v) {
  writeBE32(p, uint32_t(v >> 32));
  writeBE32(p + 4, uint32_t(v));
}
inline void writeLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Four-character codes are held as the big-endian value of their four ASCII bytes.
constexpr uint32_t fourCC(const char (&s)[5]) {
  return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) | (uint32_t(uint8_t(s[2])) << 8) |
         uint32_t(uint8_t(s[3]));
}

}  // namespace vr
