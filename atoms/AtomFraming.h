#pragma once
// Framing shared by every atom: the child scan that containers use to find their
// children, and the two top-level atoms read straight from a movie file: the
// file-type atom (read for the camera maker) and the media-data header.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "atoms/AtomReader.h"
#include "common/ByteOrder.h"

namespace vr {

// Header words every container starts with; bounded so a short buffer reads zeros.
inline void readAtomHeader(const uint8_t* bytes, uint32_t length, uint32_t& size, uint32_t& type) {
  size = bytes ? readBE32At(bytes, length, 0) : 0;
  type = bytes ? readBE32At(bytes, length, 4) : 0;
}

// How a container's child scan runs. The scan reads a type at p+4 while the bound holds:
// p + 8 < length (strict) or p + 8 <= length (inclusive).
struct ChildScanBounds {
  uint32_t start = 8;
  bool inclusiveEnd = false;
};

// One row of a container's child table: a child type and how the container builds it from
// the child's bytes; a row without a builder steps over children of that type by their size.
template <typename Owner>
struct ChildRow {
  uint32_t type;
  void (*build)(Owner& owner, const uint8_t* child, uint32_t size) = nullptr;
};

// What a child scan consumed: the bytes of every child built or stepped over, and the
// offset of the first byte that belongs to no such child (0 when every byte does).
struct ChildScanResult {
  uint64_t consumed = 0;
  uint64_t firstStray = 0;
};

// The child scan. At each position p the 32-bit type at p+4 is looked up in the table: a
// listed type whose 32-bit size at p is non-zero and fits inside the container is built
// (or stepped over) and the scan continues after it; otherwise the scan moves on by one
// byte. The size of an unlisted atom is never used, so a listed atom inside its payload is
// found. Builders receive a pointer into the container's bytes and copy what they keep.
template <typename Owner>
ChildScanResult scanChildren(const uint8_t* bytes, uint32_t length, ChildScanBounds bounds,
                             std::span<const ChildRow<Owner>> rows, Owner& owner) {
  ChildScanResult result;
  if (bytes == nullptr) return result;
  uint64_t p = bounds.start;
  auto inBound = [&](uint64_t pos) { return bounds.inclusiveEnd ? pos + 8 <= length : pos + 8 < length; };
  while (inBound(p)) {
    const uint32_t type = readBE32(bytes + p + 4);
    const uint32_t size = readBE32(bytes + p);
    const ChildRow<Owner>* row = nullptr;
    for (const auto& r : rows)
      if (r.type == type) {
        row = &r;
        break;
      }
    if (row != nullptr && size != 0 && p + size <= length) {
      if (row->build != nullptr) row->build(owner, bytes + p, size);
      result.consumed += size;
      p += size;
      continue;
    }
    if (result.firstStray == 0) result.firstStray = p;
    p += 1;
  }
  return result;
}
template <typename Owner, size_t N>
ChildScanResult scanChildren(const uint8_t* bytes, uint32_t length, ChildScanBounds bounds,
                             const ChildRow<Owner> (&rows)[N], Owner& owner) {
  return scanChildren(bytes, length, bounds, std::span<const ChildRow<Owner>>(rows), owner);
}

// File-type atom: kept byte for byte; read only to recognise the camera maker.
class Ftyp {
 public:
  static std::shared_ptr<Ftyp> initFtypWithBytes(const uint8_t* bytes, uint32_t length);
  void readBytes(const uint8_t* bytes, uint32_t length);

  uint32_t size = 0;
  uint32_t type = 0;
  std::string manufacture;
  Bytes writeData;
};

// Media-data atom header: type, 64-bit size (header included) and the atom's offset in the
// file. The payload stays in the file.
class Mdat {
 public:
  // Takes the first 16 bytes at the atom's position; refuses a header whose size is 0.
  static std::shared_ptr<Mdat> initMdatWithBytes(const uint8_t* bytes, uint32_t length, uint64_t offset);
  void readBytes(const uint8_t* bytes, uint32_t length);

  uint32_t type = 0;
  uint64_t size = 0;
  uint64_t offsetInFile = 0;
};

}  // namespace vr
