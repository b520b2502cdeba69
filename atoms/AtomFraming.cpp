#include "atoms/AtomFraming.h"

namespace vr {

std::shared_ptr<Ftyp> Ftyp::initFtypWithBytes(const uint8_t* bytes, uint32_t length) {
  auto f = std::make_shared<Ftyp>();
  if (bytes != nullptr) f->writeData.assign(bytes, bytes + length);
  f->readBytes(f->writeData.data(), uint32_t(f->writeData.size()));
  return f;
}

void Ftyp::readBytes(const uint8_t* bytes, uint32_t length) {
  if (bytes == nullptr || length <= 7) {
    size = 0;
    type = 0;
    return;
  }
  size = readBE32(bytes);
  type = readBE32(bytes + 4);
  if (length < 12) return;
  // The first maker brand by position wins, wherever it stands among the brands.
  for (uint32_t p = 8; p + 4 <= length && manufacture.empty(); ++p) {
    const uint32_t code = readBE32(bytes + p);
    if (code == fourCC("CAEP"))
      manufacture = "Canon";
    else if (code == fourCC("MSNV") || code == fourCC("XAVC"))
      manufacture = "Sony";
    else if (code == fourCC("pana"))
      manufacture = "Panasonic";
  }
}

std::shared_ptr<Mdat> Mdat::initMdatWithBytes(const uint8_t* bytes, uint32_t length, uint64_t offset) {
  auto m = std::make_shared<Mdat>();
  m->offsetInFile = offset;
  m->readBytes(bytes, length);
  if (m->size == 0) return nullptr;
  return m;
}

void Mdat::readBytes(const uint8_t* bytes, uint32_t length) {
  if (bytes == nullptr || length < 16) {
    type = 0;
    size = 0;
    return;
  }
  type = readBE32(bytes + 4);
  const uint32_t size32 = readBE32(bytes);
  size = size32 == 1 ? readBE64(bytes + 8) : size32;
}

}  // namespace vr
