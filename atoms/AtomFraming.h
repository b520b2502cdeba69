#pragma once
// Framing shared by every atom: the child scan that containers use to find their
// children, and the two top-level atoms read straight from a movie file: the
// file-type atom (read for the camera maker) and the media-data header.
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "common/ByteOrder.h"

namespace vr {

// How a container's child scan runs. The scan reads a type at p+4 while the bound holds:
// p + 8 < length (strict) or p + 8 <= length (inclusive).
struct ChildScanBounds {
  uint32_t start = 8;
  bool inclusiveEnd = false;
};

// The child scan. At each position p the 32-bit type at p+4 is looked up: a type in
// `built` or `steppedOver` whose 32-bit size at p is non-zero and fits inside the
// container is handed to onChild(type, bytesOfChild, sizeOfChild, steppedOver) and the scan
// continues after it; otherwise the scan moves on by one byte. The size of an
// unrecognised atom is never used, so a recognised atom inside its payload is found.
// onChild receives a pointer into the container's bytes; constructors copy what they keep.
template <typename OnChild>
void scanChildren(const uint8_t* bytes, uint32_t length, ChildScanBounds bounds, std::initializer_list<uint32_t> built,
                  std::initializer_list<uint32_t> steppedOver, OnChild&& onChild) {
  if (bytes == nullptr) return;
  uint64_t p = bounds.start;
  auto inBound = [&](uint64_t pos) { return bounds.inclusiveEnd ? pos + 8 <= length : pos + 8 < length; };
  while (inBound(p)) {
    const uint32_t type = readBE32(bytes + p + 4);
    bool isBuilt = false, isStepped = false;
    for (uint32_t t : built) isBuilt |= (t == type);
    if (!isBuilt)
      for (uint32_t t : steppedOver) isStepped |= (t == type);
    if (isBuilt || isStepped) {
      const uint32_t size = readBE32(bytes + p);
      if (size != 0 && p + size <= length) {
        onChild(type, bytes + p, size, isStepped);
        p += size;
        continue;
      }
    }
    p += 1;
  }
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
