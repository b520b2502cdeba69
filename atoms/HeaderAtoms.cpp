#include "atoms/HeaderAtoms.h"

#include "atoms/AtomReader.h"

namespace vr {

namespace {

constexpr uint32_t kFlagsMask = 0x00FFFFFF;

void appendMatrix(Bytes& out, const uint32_t (&m)[9]) {
  for (uint32_t v : m) appendBE32(out, v);
}

// The head of a movie, track or media header, read in either version: what the file said
// is kept in sizeInFile and versionInFile, the rest describes the version 0 form written.
// Version 1 widens the two times and the duration to 64 bits; between the times and the
// duration lie the 32-bit `middle` fields. Returns the offset after the duration.
template <typename Atom>
size_t readVersionedHeader(const AtomReader& r, Atom& a, std::initializer_list<uint32_t*> middle) {
  a.sizeInFile = r.u32(0);
  a.type = r.u32(4);
  const uint32_t vf = r.u32(8);
  a.versionInFile = uint8_t(vf >> 24);
  a.version_Flag = vf & kFlagsMask;
  a.size = Atom::kVersion0Size;
  const size_t width = a.versionInFile == 1 ? 8 : 4;
  auto time = [&](size_t at) { return width == 8 ? r.u64Saturated(at) : r.u32(at); };
  a.creationTime = time(12);
  a.modificationTime = time(12 + width);
  size_t o = 12 + 2 * width;
  for (uint32_t* field : middle) {
    *field = r.u32(o);
    o += 4;
  }
  a.duration = time(o);
  return o + width;
}

// The start of the version 0 form: size, type, version 0 with the flags kept, the two times.
template <typename Atom>
Bytes version0Head(const Atom& a) {
  Bytes out;
  out.reserve(Atom::kVersion0Size);
  appendBE32(out, Atom::kVersion0Size);
  appendBE32(out, a.type);
  appendBE32(out, a.version_Flag & kFlagsMask);
  appendBE32(out, a.creationTime);
  appendBE32(out, a.modificationTime);
  return out;
}

// The nine display-matrix elements at offset `at`, in file order.
template <typename Atom>
void readMatrix(const AtomReader& r, size_t at, Atom& a) {
  uint32_t* m[9] = {&a.matrix_A, &a.matrix_B, &a.matrix_U, &a.matrix_C, &a.matrix_D,
                    &a.matrix_V, &a.matrix_X, &a.matrix_Y, &a.matrix_W};
  for (size_t i = 0; i < 9; ++i) *m[i] = r.u32(at + 4 * i);
}

// The identity display matrix: 1 and 1 in 16.16, w 1 in 2.30.
template <typename Atom>
void setIdentityMatrix(Atom& a) {
  a.matrix_A = a.matrix_D = 0x10000;
  a.matrix_W = 0x40000000;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Mvhd

std::shared_ptr<Mvhd> Mvhd::initMVHDWithTimeScale(uint32_t timeScale, uint32_t duration, uint32_t nextTrackID) {
  auto a = std::make_shared<Mvhd>();
  a->timescale = timeScale;
  a->prefferedRate = 0x10000;
  a->preferredVolume = 0x100;
  setIdentityMatrix(*a);
  a->nextTrackID = nextTrackID;
  a->setDuration(duration);
  return a;
}

void Mvhd::readBytes(const uint8_t* bytes, uint32_t length) {
  const AtomReader r(bytes, length);
  const size_t o = readVersionedHeader(r, *this, {&timescale});
  prefferedRate = r.u32(o);
  preferredVolume = r.u16(o + 4);
  reserved1 = r.u16(o + 6);
  reserved2 = r.u64(o + 8);
  readMatrix(r, o + 16, *this);
  previewTime = r.u32(o + 52);
  previewDuration = r.u32(o + 56);
  posterTime = r.u32(o + 60);
  selectionTime = r.u32(o + 64);
  selectionDuration = r.u32(o + 68);
  currentTime = r.u32(o + 72);
  nextTrackID = r.u32(o + 76);
}

Bytes Mvhd::convertSelfToData() const {
  Bytes out = version0Head(*this);
  appendBE32(out, timescale);
  appendBE32(out, duration);
  appendBE32(out, prefferedRate);
  appendBE16(out, preferredVolume);
  appendBE16(out, reserved1);
  appendBE64(out, reserved2);
  appendMatrix(out, {matrix_A, matrix_B, matrix_U, matrix_C, matrix_D, matrix_V, matrix_X, matrix_Y, matrix_W});
  appendBE32(out, previewTime);
  appendBE32(out, previewDuration);
  appendBE32(out, posterTime);
  appendBE32(out, selectionTime);
  appendBE32(out, selectionDuration);
  appendBE32(out, currentTime);
  appendBE32(out, nextTrackID);
  return out;
}

void Mvhd::setDuration(uint32_t newDuration) {
  duration = newDuration;
  writeableData = convertSelfToData();
}

// ---------------------------------------------------------------------------------------
// Tkhd

std::shared_ptr<Tkhd> Tkhd::initTKHDWithTrackID(uint32_t trackID, uint32_t duration, bool sound, uint32_t width,
                                                uint32_t height) {
  auto a = std::make_shared<Tkhd>();
  a->version_Flag = 0xF;
  a->trackID = trackID;
  a->volume = sound ? 0x100 : 0;
  setIdentityMatrix(*a);
  a->trackWidth = width << 16;
  a->trackHeight = height << 16;
  a->setDuration(duration);
  return a;
}

void Tkhd::readBytes(const uint8_t* bytes, uint32_t length) {
  const AtomReader r(bytes, length);
  const size_t o = readVersionedHeader(r, *this, {&trackID, &reserved1});
  reserved2 = r.u64(o);
  layer = r.u16(o + 8);
  alternateGroup = r.u16(o + 10);
  volume = r.u16(o + 12);
  resreved3 = r.u16(o + 14);
  readMatrix(r, o + 16, *this);
  trackWidth = r.u32(o + 52);
  trackHeight = r.u32(o + 56);
}

Bytes Tkhd::convertSelfToData() const {
  Bytes out = version0Head(*this);
  appendBE32(out, trackID);
  appendBE32(out, reserved1);
  appendBE32(out, duration);
  appendBE64(out, reserved2);
  appendBE16(out, layer);
  appendBE16(out, alternateGroup);
  appendBE16(out, volume);
  appendBE16(out, resreved3);
  appendMatrix(out, {matrix_A, matrix_B, matrix_U, matrix_C, matrix_D, matrix_V, matrix_X, matrix_Y, matrix_W});
  appendBE32(out, trackWidth);
  appendBE32(out, trackHeight);
  return out;
}

void Tkhd::setDuration(uint32_t newDuration) {
  duration = newDuration;
  writeableData = convertSelfToData();
}

// ---------------------------------------------------------------------------------------
// Mdhd

std::shared_ptr<Mdhd> Mdhd::initMDHDWithDuration(uint32_t duration, uint32_t timeScale, uint32_t language,
                                                 uint32_t quality) {
  auto a = std::make_shared<Mdhd>();
  a->timescale = timeScale;
  a->duration = duration;
  a->language = uint16_t(language);
  a->quality = uint16_t(quality);
  a->writeableData = a->convertSelfToData();
  return a;
}

void Mdhd::readBytes(const uint8_t* bytes, uint32_t length) {
  const AtomReader r(bytes, length);
  const size_t o = readVersionedHeader(r, *this, {&timescale});
  language = r.u16(o);
  quality = r.u16(o + 2);
}

Bytes Mdhd::convertSelfToData() const {
  Bytes out = version0Head(*this);
  appendBE32(out, timescale);
  appendBE32(out, duration);
  appendBE16(out, language);
  appendBE16(out, quality);
  return out;
}

// ---------------------------------------------------------------------------------------
// Hdlr

std::shared_ptr<Hdlr> Hdlr::initHDLRWithComponentType(uint32_t componentType, uint32_t componentSubtype,
                                                      uint32_t handlerNameSize, const std::string& handlerName) {
  auto a = std::make_shared<Hdlr>();
  a->componentType = componentType;
  a->componentSubtype = componentSubtype;
  a->nameStringSize = uint8_t(handlerNameSize);
  a->handlerName = handlerName;
  a->name_CString = 0;
  a->writeableData = a->convertSelfToData();
  return a;
}

void Hdlr::readBytes(const uint8_t* bytes, uint32_t length) {
  const AtomReader r(bytes, length);
  r.fullHeader(size, type, version_Flag);
  componentType = r.u32(12);
  componentSubtype = r.u32(16);
  componentManufacturer = r.u32(20);
  componentFlags = r.u32(24);
  componentFlagsMask = r.u32(28);
  nameStringSize = r.u8(32);
  handlerName.clear();
  name_CString = 0;
  // The name is a counted (QuickTime) string; an MP4-style zero-terminated name usually
  // does not fit its "length" and is left unread. Nothing uses the name.
  if (nameStringSize != 0) {
    if (r.n >= 33 && r.n - 33 >= nameStringSize)
      handlerName.assign(reinterpret_cast<const char*>(r.p + 33), nameStringSize);
  } else {
    name_CString = r.u8(33);
  }
}

Bytes Hdlr::convertSelfToData() const {
  Bytes out;
  out.reserve(kBuiltSize);
  appendBE32(out, kBuiltSize);
  appendBE32(out, type);
  appendBE32(out, version_Flag);
  appendBE32(out, componentType);
  appendBE32(out, componentSubtype);
  appendBE32(out, componentManufacturer);
  appendBE32(out, componentFlags);
  appendBE32(out, componentFlagsMask);
  out.push_back(nameStringSize);
  out.push_back(name_CString);
  return out;
}

// ---------------------------------------------------------------------------------------
// Vmhd, Smhd

void Vmhd::readBytes(const uint8_t* bytes, uint32_t length) {
  const AtomReader r(bytes, length);
  r.fullHeader(size, type, version_Flag);
  graphicsMode = r.u16(12);
  opColor_R = r.u16(14);
  opColor_G = r.u16(16);
  opColor_B = r.u16(18);
}

Bytes Vmhd::convertSelfToData() const {
  Bytes out;
  out.reserve(kSize);
  appendBE32(out, kSize);
  appendBE32(out, type);
  appendBE32(out, version_Flag);
  appendBE16(out, graphicsMode);
  appendBE16(out, opColor_R);
  appendBE16(out, opColor_G);
  appendBE16(out, opColor_B);
  return out;
}

void Smhd::readBytes(const uint8_t* bytes, uint32_t length) {
  const AtomReader r(bytes, length);
  r.fullHeader(size, type, version_Flag);
  balance = r.u16(12);
  reserved = r.u16(14);
}

Bytes Smhd::convertSelfToData() const {
  Bytes out;
  out.reserve(kSize);
  appendBE32(out, kSize);
  appendBE32(out, type);
  appendBE32(out, version_Flag);
  appendBE16(out, balance);
  appendBE16(out, reserved);
  return out;
}

// ---------------------------------------------------------------------------------------
// Gmhd

void Gmhd::readBytes(const uint8_t* bytes, uint32_t length) {
  const AtomReader r(bytes, length);
  size = r.u32(0);
  type = r.u32(4);
}

// ---------------------------------------------------------------------------------------
// DrefEntry, Dref

std::shared_ptr<DrefEntry> DrefEntry::initWithType(uint32_t entryType) {
  auto a = std::make_shared<DrefEntry>();
  a->type = entryType;
  a->version_Flags = 1;
  a->writeableData = a->convertSelfToData();
  return a;
}

void DrefEntry::readBytes(const uint8_t* bytes, uint32_t length) {
  const AtomReader r(bytes, length);
  r.fullHeader(size, type, version_Flags);
}

Bytes DrefEntry::convertSelfToData() const {
  Bytes out;
  out.reserve(kBuiltSize);
  appendBE32(out, kBuiltSize);
  appendBE32(out, type);
  appendBE32(out, version_Flags);
  return out;
}

std::shared_ptr<Dref> Dref::initDREFWithDrefEnteryType(uint32_t entryType) {
  auto a = std::make_shared<Dref>();
  a->entries.push_back(DrefEntry::initWithType(entryType));
  a->numberOfEntries = 1;
  a->size = 16 + DrefEntry::kBuiltSize;
  a->writeableData = a->convertSelfToData();
  return a;
}

void Dref::readBytes(const uint8_t* bytes, uint32_t length) {
  const AtomReader r(bytes, length);
  r.fullHeader(size, type, version_Flag);
  numberOfEntries = r.u32(12);
  entries.clear();
  // Each entry is a small atom with its own size. One that is shorter than its own header
  // or runs past the data reference ends the list (a size of 0 would never advance).
  uint64_t off = 16;
  for (uint32_t i = 0; i < numberOfEntries; ++i) {
    if (off + 4 > r.n) break;
    const uint32_t s = readBE32(r.p + off);
    if (s < DrefEntry::kBuiltSize || off + s > r.n) break;
    entries.push_back(DrefEntry::initDrefEnteryWithBytes(r.p + off, s));
    off += s;
  }
}

Bytes Dref::convertSelfToData() const {
  Bytes out;
  out.reserve(16 + DrefEntry::kBuiltSize * entries.size());
  appendBE32(out, uint32_t(16 + DrefEntry::kBuiltSize * entries.size()));
  appendBE32(out, type);
  appendBE32(out, version_Flag);
  appendBE32(out, uint32_t(entries.size()));
  for (const auto& e : entries) appendBytes(out, e->convertSelfToData());
  return out;
}

// ---------------------------------------------------------------------------------------
// EditListEntery, Elst

std::shared_ptr<EditListEntery> EditListEntery::initWithTrackDuration(uint32_t trackDuration, uint32_t mediaTime,
                                                                     uint32_t mediaRate) {
  auto a = std::make_shared<EditListEntery>();
  a->trackDuration = trackDuration;
  a->mediaTime = mediaTime;
  a->mediaRate = mediaRate & 0xFFFF;
  a->createWriteableData();
  return a;
}

void EditListEntery::readBytes(const uint8_t* bytes, uint32_t length) {
  const AtomReader r(bytes, length);
  trackDuration = r.u32(0);
  mediaTime = r.u32(4);
  mediaRate = r.u32(8) >> 16;
}

void EditListEntery::createWriteableData() {
  writeableData.clear();
  writeableData.reserve(kSize);
  appendBE32(writeableData, trackDuration);
  appendBE32(writeableData, mediaTime);
  appendBE32(writeableData, (mediaRate & 0xFFFF) << 16);
}

std::shared_ptr<Elst> Elst::initELSTWithEditListTable(const std::vector<std::shared_ptr<EditListEntery>>& table) {
  auto a = std::make_shared<Elst>();
  for (const auto& e : table)
    if (e) a->editListTable.push_back(e);
  a->numberOfEntries = uint32_t(a->editListTable.size());
  a->creteWriteableData();
  return a;
}

void Elst::readBytes(const uint8_t* bytes, uint32_t length) {
  const AtomReader r(bytes, length);
  r.fullHeader(size, type, version_Flag);
  numberOfEntries = r.u32(12);
  editListTable = r.readEntries<EditListEntery>(numberOfEntries, EditListEntery::initELEnteryWithBytes);
}

void Elst::creteWriteableData() {
  const size_t total = 16 + EditListEntery::kSize * editListTable.size();
  size = uint32_t(total);
  writeableData.clear();
  writeableData.reserve(total);
  appendBE32(writeableData, uint32_t(total));
  appendBE32(writeableData, type);
  appendBE32(writeableData, version_Flag);
  appendBE32(writeableData, uint32_t(editListTable.size()));
  for (const auto& e : editListTable) {
    e->createWriteableData();
    appendBytes(writeableData, e->writeableData);
  }
}

}  // namespace vr
