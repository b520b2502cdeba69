#pragma once
// Bounded big-endian reads over one atom's bytes, for the atoms' byte factories: a field
// that lies past the end of the bytes reads as 0, and nothing outside them is read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "common/ByteOrder.h"

namespace vr {

struct AtomReader {
  const uint8_t* p;
  size_t n;
  AtomReader(const uint8_t* bytes, uint32_t size) : p(bytes), n(bytes != nullptr ? size : 0) {}
  uint8_t u8(size_t off) const { return readU8At(p, n, off); }
  uint16_t u16(size_t off) const { return readBE16At(p, n, off); }
  uint32_t u32(size_t off) const { return readBE32At(p, n, off); }
  uint64_t u64(size_t off) const { return readBE64At(p, n, off); }
  // A 64-bit time or duration of a version 1 header, held in 32 bits.
  uint32_t u64Saturated(size_t off) const {
    const uint64_t v = u64(off);
    return v > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max() : uint32_t(v);
  }
  // The size, type and version-and-flags words a full atom starts with.
  void fullHeader(uint32_t& size, uint32_t& type, uint32_t& versionFlag) const {
    size = u32(0);
    type = u32(4);
    versionFlag = u32(8);
  }
  // How many of `count` entries of `width` bytes from offset `first` lie wholly inside.
  size_t entriesThatFit(uint32_t count, size_t first, size_t width) const {
    const size_t fit = n > first ? (n - first) / width : 0;
    return std::min<size_t>(count, fit);
  }
  // The big-endian integers of `width` bytes (4 or 8) from offset `first`, as many of
  // `count` as lie wholly inside.
  template <typename Int>
  std::vector<Int> ints(uint32_t count, size_t first, size_t width = sizeof(Int)) const {
    std::vector<Int> out(entriesThatFit(count, first, width));
    for (size_t i = 0; i < out.size(); ++i) out[i] = Int(width == 8 ? u64(first + i * 8) : u32(first + i * 4));
    return out;
  }
  // The entries of a table of fixed-width entries that start at offset 16, each built by
  // the entry class's byte constructor; only entries that lie wholly inside are read.
  template <typename Entry, typename Factory>
  auto readEntries(uint32_t count, Factory factory) const {
    std::vector<std::shared_ptr<Entry>> out;
    const size_t fit = entriesThatFit(count, 16, Entry::kSize);
    out.reserve(fit);
    for (size_t i = 0; i < fit; ++i) out.push_back(factory(p + 16 + i * Entry::kSize, uint32_t(Entry::kSize)));
    return out;
  }
};

// The byte constructor of most atoms: a new object filled by its reader from the bytes of
// one whole atom. The copying form parses a private copy of exactly those bytes.
template <typename Atom>
std::shared_ptr<Atom> readAtom(const uint8_t* bytes, uint32_t size) {
  auto atom = std::make_shared<Atom>();
  atom->readBytes(bytes, size);
  return atom;
}
template <typename Atom>
std::shared_ptr<Atom> readAtomCopy(const uint8_t* bytes, uint32_t size) {
  const Bytes copy = bytes != nullptr ? Bytes(bytes, bytes + size) : Bytes();
  return readAtom<Atom>(copy.data(), uint32_t(copy.size()));
}

// A new atom of default fields, complete with its serialised form.
template <typename Atom>
std::shared_ptr<Atom> builtDefault() {
  auto atom = std::make_shared<Atom>();
  atom->writeableData = atom->convertSelfToData();
  return atom;
}

}  // namespace vr
