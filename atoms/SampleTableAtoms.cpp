#include "atoms/SampleTableAtoms.h"

#include <algorithm>
#include <limits>

#include "atoms/AtomReader.h"

namespace vr {

namespace {

constexpr uint64_t kMaxAtomSize = std::numeric_limits<uint32_t>::max();

// The four header words every table atom starts with.
void appendTableHeader(Bytes& out, uint64_t total, uint32_t type, uint32_t versionFlag, uint32_t count) {
  out.reserve(total);
  appendBE32(out, uint32_t(total));
  appendBE32(out, type);
  appendBE32(out, versionFlag);
  appendBE32(out, count);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Entries

std::shared_ptr<TimeToSampleEntery> TimeToSampleEntery::initTTSEnteryWithSampleCount(uint32_t sampleCount,
                                                                                   uint32_t sampleDuration) {
  auto e = std::make_shared<TimeToSampleEntery>();
  e->sampleCount = sampleCount;
  e->sampleDuration = sampleDuration;
  e->writeableData = e->convertSelfToData();
  return e;
}

void TimeToSampleEntery::readBytes(const uint8_t* bytes, uint32_t size) {
  const AtomReader r(bytes, size);
  sampleCount = r.u32(0);
  sampleDuration = r.u32(4);
}

Bytes TimeToSampleEntery::convertSelfToData() const {
  Bytes out;
  out.reserve(kSize);
  appendBE32(out, sampleCount);
  appendBE32(out, sampleDuration);
  return out;
}

std::shared_ptr<SampleToChunkEntery> SampleToChunkEntery::initWithFirstChunk(uint32_t firstChunk,
                                                                           uint32_t samplePerChunk,
                                                                           uint32_t sampleDescID) {
  auto e = std::make_shared<SampleToChunkEntery>();
  e->firstChunk = firstChunk;
  e->samplesPerChunk = samplePerChunk;
  e->sampleDescID = sampleDescID;
  e->asignWritableData();
  return e;
}

void SampleToChunkEntery::readBytes(const uint8_t* bytes, uint32_t size) {
  const AtomReader r(bytes, size);
  firstChunk = r.u32(0);
  samplesPerChunk = r.u32(4);
  sampleDescID = r.u32(8);
}

Bytes SampleToChunkEntery::convertSelfToData() const {
  Bytes out;
  out.reserve(kSize);
  appendBE32(out, firstChunk);
  appendBE32(out, samplesPerChunk);
  appendBE32(out, sampleDescID);
  return out;
}

void SampleToChunkEntery::asignWritableData() { writeableData = convertSelfToData(); }

std::shared_ptr<CompositionOffsetEntery> CompositionOffsetEntery::initCOEnteryWithBytes(const uint8_t* bytes,
                                                                                       uint32_t size) {
  auto e = std::make_shared<CompositionOffsetEntery>();
  e->readBytes(bytes, size);
  e->createWirteableData();
  return e;
}

void CompositionOffsetEntery::readBytes(const uint8_t* bytes, uint32_t size) {
  const AtomReader r(bytes, size);
  sampleCount = r.u32(0);
  compositionOffset = r.u32(4);
}

void CompositionOffsetEntery::createWirteableData() {
  writeableData.clear();
  writeableData.reserve(kSize);
  appendBE32(writeableData, sampleCount);
  appendBE32(writeableData, compositionOffset);
}

// ---------------------------------------------------------------------------------------
// Stts

std::shared_ptr<Stts> Stts::initSTTSWithSampleCount(uint32_t sampleCount, uint32_t sampleDuration) {
  auto a = std::make_shared<Stts>();
  a->entries.push_back(TimeToSampleEntery::initTTSEnteryWithSampleCount(sampleCount, sampleDuration));
  a->numberOfEntries = 1;
  a->size = 16 + TimeToSampleEntery::kSize;
  a->writeableData = a->convertSelfToData();
  return a;
}

void Stts::readBytes(const uint8_t* bytes, uint32_t length) {
  const AtomReader r(bytes, length);
  r.fullHeader(size, type, version_Flag);
  numberOfEntries = r.u32(12);
  entries = r.readEntries<TimeToSampleEntery>(numberOfEntries, TimeToSampleEntery::initTTSEnteryWithBytes);
}

Bytes Stts::convertSelfToData() const {
  const size_t count = std::min<size_t>(numberOfEntries, entries.size());
  Bytes out;
  appendTableHeader(out, 16 + uint64_t(TimeToSampleEntery::kSize) * count, type, version_Flag, uint32_t(count));
  for (size_t i = 0; i < count; ++i) {
    appendBE32(out, entries[i]->sampleCount);
    appendBE32(out, entries[i]->sampleDuration);
  }
  return out;
}

uint32_t Stts::getOneSampleDuration() const {
  return entries.empty() || !entries.front() ? 0 : entries.front()->sampleDuration;
}

// ---------------------------------------------------------------------------------------
// Stsc

std::shared_ptr<Stsc> Stsc::initSTSCWithSampleToChunkTable(
    const std::vector<std::shared_ptr<SampleToChunkEntery>>& table) {
  const uint64_t total = 16 + uint64_t(SampleToChunkEntery::kSize) * table.size();
  if (total > kMaxAtomSize) return nullptr;
  auto a = std::make_shared<Stsc>();
  a->SampleToChunkTable.reserve(table.size());
  for (const auto& e : table)
    if (e) a->SampleToChunkTable.push_back(e);
  a->asignWritableData();
  return a;
}

void Stsc::readBytes(const uint8_t* bytes, uint32_t length) {
  const AtomReader r(bytes, length);
  r.fullHeader(size, type, version_Flag);
  numberOfEntries = r.u32(12);
  SampleToChunkTable = r.readEntries<SampleToChunkEntery>(numberOfEntries, SampleToChunkEntery::initSTCEnteryWithBytes);
}

Bytes Stsc::convertSelfToData() const {
  const size_t count = SampleToChunkTable.size();
  Bytes out;
  appendTableHeader(out, 16 + uint64_t(SampleToChunkEntery::kSize) * count, type, version_Flag, uint32_t(count));
  for (const auto& e : SampleToChunkTable) {
    e->asignWritableData();
    appendBytes(out, e->writeableData);
  }
  return out;
}

void Stsc::asignWritableData() {
  numberOfEntries = uint32_t(SampleToChunkTable.size());
  size = uint32_t(16 + uint64_t(SampleToChunkEntery::kSize) * SampleToChunkTable.size());
  writeableData = convertSelfToData();
}

// ---------------------------------------------------------------------------------------
// Stsz

std::shared_ptr<Stsz> Stsz::initSTSZWithSampleSizeTable(const std::vector<uint32_t>& sampleSizes) {
  const uint64_t total = 20 + 4 * uint64_t(sampleSizes.size());
  if (total > kMaxAtomSize) return nullptr;
  auto a = std::make_shared<Stsz>();
  a->sampleSize = 0;
  a->SampleSizeTable = sampleSizes;
  a->numberOfEntries = uint32_t(sampleSizes.size());
  a->size = uint32_t(total);
  a->writeableData = a->convertSelfToData();
  return a;
}

std::shared_ptr<Stsz> Stsz::initSTSZWithSampleCount(uint32_t sampleCount, uint32_t sampleSize) {
  auto a = std::make_shared<Stsz>();
  a->sampleSize = sampleSize;
  a->numberOfEntries = sampleCount;
  a->size = 20;
  a->writeableData = a->convertSelfToData();
  return a;
}

void Stsz::readBytes(const uint8_t* bytes, uint32_t length) {
  const AtomReader r(bytes, length);
  r.fullHeader(size, type, version_Flag);
  sampleSize = r.u32(12);
  numberOfEntries = r.u32(16);
  SampleSizeTable = r.ints<uint32_t>(numberOfEntries, 20);
}

Bytes Stsz::convertSelfToData() const {
  // A fixed sample size has no table; otherwise the count is that of the sizes written.
  const size_t count = sampleSize == 0 ? std::min<size_t>(numberOfEntries, SampleSizeTable.size()) : 0;
  const uint32_t countField = sampleSize == 0 ? uint32_t(count) : numberOfEntries;
  const uint64_t total = 20 + 4 * uint64_t(count);
  Bytes out;
  out.reserve(total);
  appendBE32(out, uint32_t(total));
  appendBE32(out, type);
  appendBE32(out, version_Flag);
  appendBE32(out, sampleSize);
  appendBE32(out, countField);
  for (size_t i = 0; i < count; ++i) appendBE32(out, SampleSizeTable[i]);
  return out;
}

// ---------------------------------------------------------------------------------------
// Stco

std::shared_ptr<Stco> Stco::initSTCOWithBytes(const uint8_t* bytes, uint32_t size, bool isCO64) {
  auto a = std::make_shared<Stco>();
  a->readBytes(bytes, size, isCO64);
  return a;
}

std::shared_ptr<Stco> Stco::initWithChunkOffsetTable(const std::vector<uint64_t>& offsets) {
  const uint64_t total = 16 + 8 * uint64_t(offsets.size());
  if (total > kMaxAtomSize) return nullptr;
  auto a = std::make_shared<Stco>();
  a->type = fourCC("co64");
  a->isCO64 = true;
  a->chunkOffsetTable = offsets;
  a->numberOfEntries = uint32_t(offsets.size());
  a->size = uint32_t(total);
  a->writeableData = a->convertSelfToData();
  return a;
}

void Stco::readBytes(const uint8_t* bytes, uint32_t length, bool co64) {
  const AtomReader r(bytes, length);
  isCO64 = co64;
  r.fullHeader(size, type, version_Flag);
  numberOfEntries = r.u32(12);
  chunkOffsetTable = r.ints<uint64_t>(numberOfEntries, 16, co64 ? 8 : 4);
}

Bytes Stco::convertSelfToData() const {
  const size_t width = isCO64 ? 8 : 4;
  Bytes out;
  appendTableHeader(out, 16 + uint64_t(width) * chunkOffsetTable.size(), isCO64 ? fourCC("co64") : fourCC("stco"),
                    version_Flag, uint32_t(chunkOffsetTable.size()));
  for (uint64_t off : chunkOffsetTable) {
    if (isCO64)
      appendBE64(out, off);
    else
      appendBE32(out, uint32_t(off));
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// Ctts

std::shared_ptr<Ctts> Ctts::initCTTSWithBytes(const uint8_t* bytes, uint32_t size) {
  auto a = std::make_shared<Ctts>();
  a->readBytes(bytes, size);
  a->createWiteableData();
  return a;
}

void Ctts::readBytes(const uint8_t* bytes, uint32_t length) {
  const AtomReader r(bytes, length);
  r.fullHeader(size, type, version_Flag);
  numberOfEntries = r.u32(12);
  compositionOffsetTable =
      r.readEntries<CompositionOffsetEntery>(numberOfEntries, CompositionOffsetEntery::initCOEnteryWithBytes);
}

void Ctts::createWiteableData() {
  // The table is carried into a new movie as it stands, so `size` must describe exactly
  // the bytes written; it differs from the size read only for a malformed table.
  const uint64_t total = 16 + uint64_t(CompositionOffsetEntery::kSize) * compositionOffsetTable.size();
  size = uint32_t(total);
  writeableData.clear();
  appendTableHeader(writeableData, total, type, version_Flag, uint32_t(compositionOffsetTable.size()));
  for (const auto& e : compositionOffsetTable) {
    e->createWirteableData();
    appendBytes(writeableData, e->writeableData);
  }
}

// ---------------------------------------------------------------------------------------
// Stss

void Stss::readBytes(const uint8_t* bytes, uint32_t length) {
  const AtomReader r(bytes, length);
  r.fullHeader(size, type, version_Flag);
  numberOfEntries = r.u32(12);
  syncSampleTable = r.ints<uint32_t>(numberOfEntries, 16);
}

void Stss::createWriteableData() {
  const uint64_t total = 16 + 4 * uint64_t(syncSampleTable.size());
  size = uint32_t(total);
  writeableData.clear();
  appendTableHeader(writeableData, total, type, version_Flag, uint32_t(syncSampleTable.size()));
  for (uint32_t s : syncSampleTable) appendBE32(writeableData, s);
}

// ---------------------------------------------------------------------------------------
// Sdtp

void Sdtp::readBytes(const uint8_t* bytes, uint32_t length) {
  const AtomReader r(bytes, length);
  r.fullHeader(size, type, versionFlag);
  Data.clear();
  const size_t end = std::min<size_t>(size, r.n);
  if (end > 12) Data.assign(r.p + 12, r.p + end);
}

}  // namespace vr
