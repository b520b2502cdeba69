#pragma once
// Byte-level helpers for the atom tests: hex text, big-endian words, atoms around a
// payload, the atoms of one type inside a movie atom, byte-exact builder tables and the
// bounds workout every byte constructor goes through.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "common/ByteOrder.h"

namespace vr::test {

// "00 00 00 14 76 6D ..." -> bytes; anything but hex digits is ignored.
inline Bytes hex(std::string_view text) {
  std::string digits;
  for (char c : text)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  Bytes out;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return out;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
inline Bytes be16(uint16_t v) { return Bytes{uint8_t(v >> 8), uint8_t(v)}; }
inline Bytes be32(uint32_t v) { return Bytes{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
inline Bytes zeros(size_t n) { return Bytes(n, 0); }
inline Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }
inline Bytes words(std::initializer_list<uint32_t> values) {
  Bytes out;
  for (uint32_t v : values) appendBE32(out, v);
  return out;
}

// An atom of the given four-character type around `payload`, with a 32-bit size.
inline Bytes box(std::string_view type, const Bytes& payload) {
  return cat({be32(uint32_t(8 + payload.size())), text(type.substr(0, 4)), payload});
}
// A full atom: version and flags word, then the payload.
inline Bytes fullBox(std::string_view type, uint32_t versionFlags, const Bytes& payload) {
  return box(type, cat({be32(versionFlags), payload}));
}
// A table atom: version and flags, entry count, then the entry bytes.
inline Bytes tableAtom(std::string_view type, uint32_t count, const Bytes& entries, uint32_t versionFlag = 0) {
  return fullBox(type, versionFlag, cat({be32(count), entries}));
}
inline Bytes tableAtom(std::string_view type, uint32_t count, std::string_view entriesHex, uint32_t versionFlag = 0) {
  return tableAtom(type, count, hex(entriesHex), versionFlag);
}

// The bytes of every atom of type `want` in p[0, n), descending through the containers
// that lead to the header and sample-table atoms.
inline void collectAtoms(const uint8_t* p, size_t n, uint32_t want, std::vector<Bytes>& out) {
  static const uint32_t containers[] = {fourCC("moov"), fourCC("trak"), fourCC("mdia"), fourCC("minf"),
                                        fourCC("dinf"), fourCC("edts"), fourCC("stbl")};
  for (size_t pos = 0; pos + 8 <= n;) {
    const uint32_t size = readBE32(p + pos), type = readBE32(p + pos + 4);
    if (size < 8 || size > n - pos) break;
    if (type == want) out.emplace_back(p + pos, p + pos + size);
    for (uint32_t c : containers)
      if (type == c) collectAtoms(p + pos + 8, size - 8, want, out);
    pos += size;
  }
}
inline std::vector<Bytes> collectAtoms(const Bytes& data, const char (&want)[5]) {
  std::vector<Bytes> out;
  collectAtoms(data.data(), data.size(), fourCC(want), out);
  return out;
}

// A builder's output beside the bytes it must be, for tables of byte-exact cases.
struct Built { const char* name; uint64_t size; Bytes bytes, expected; };  // size: as the atom states it
template <typename T>
Built built(const char* name, const std::shared_ptr<T>& a, std::string_view expected) {
  return {name, a->size, a->writeableData, hex(expected)};
}

// Each builder wrote exactly the expected bytes and states their length as its size.
template <size_t N>
void expectBuilt(const Built (&cases)[N]) {
  for (const Built& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.bytes, c.expected);
    EXPECT_EQ(c.size, c.bytes.size());
  }
}

// Hands `parse` every prefix of `atom` and `rounds` random byte strings shorter than
// `maxLength`, each in a heap block of exactly its length, so that the sanitizer build
// catches any read outside. Every other random string has its first 20 bytes set to all
// ones: huge sizes and counts.
inline void readEveryPrefixAndGarbage(const Bytes& atom, const std::function<void(const uint8_t*, uint32_t)>& parse,
                                      std::mt19937& rng, size_t maxLength = 80, int rounds = 200) {
  for (size_t len = 0; len <= atom.size(); ++len) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[len]);
    if (len) std::memcpy(exact.get(), atom.data(), len);
    parse(exact.get(), uint32_t(len));
    if (len == 0) parse(nullptr, 64);
  }
  for (int round = 0; round < rounds; ++round) {
    const size_t len = rng() % maxLength;
    std::unique_ptr<uint8_t[]> garbage(new uint8_t[len]);
    for (size_t i = 0; i < len; ++i) garbage[i] = uint8_t(rng());
    if (len >= 20 && (round & 1)) std::memset(garbage.get(), 0xFF, 20);
    parse(garbage.get(), uint32_t(len));
  }
}

}  // namespace vr::test
