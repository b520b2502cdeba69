#include "atoms/Containers.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "atoms/Descriptors.h"

namespace vr {

namespace {

constexpr uint32_t kUdta = fourCC("udta");

// Refuses an atom, telling the caller why when it asks.
template <typename T>
std::shared_ptr<T> refuse(std::string* why, std::string reason) {
  if (why != nullptr) *why = std::move(reason);
  return nullptr;
}

// The serialised bytes of a child; none for an absent one.
template <typename T>
std::span<const uint8_t> bytesOf(const std::shared_ptr<T>& atom) {
  return atom ? std::span<const uint8_t>(atom->writeableData) : std::span<const uint8_t>();
}

// A container's serialised form: its 8-byte header, then its children's bytes in order.
Bytes containerBytes(uint32_t size, uint32_t type, std::initializer_list<std::span<const uint8_t>> children) {
  Bytes out;
  appendBE32(out, size);
  appendBE32(out, type);
  for (const auto& c : children) appendBytes(out, c);
  return out;
}

// A container built from its children gets its serialised form and the size that says.
template <typename Atom>
void storeWriteableData(Atom& atom) {
  atom.writeableData = atom.convertSelfToData();
  atom.size = uint32_t(std::min<size_t>(atom.writeableData.size(), UINT32_MAX));
  writeBE32(atom.writeableData.data(), atom.size);
}

// A four-character code as text, with bytes that are no printable ASCII shown as '?'.
std::string codeText(uint32_t code) {
  std::string t(4, '?');
  for (int i = 0; i < 4; ++i) {
    const char c = char(code >> (24 - 8 * i));
    if (c >= 0x20 && c < 0x7F) t[i] = c;
  }
  return t;
}

// Size of the fixed first child at offset 8 when it fits inside the container.
bool fixedFirstChildFits(const uint8_t* bytes, uint32_t length, uint32_t& childSize) {
  if (bytes == nullptr || length < 12) return false;
  childSize = readBE32(bytes + 8);
  return uint64_t(8) + childSize <= length;
}

// Media time scale / duration x count, 0 for a zero duration.
double samplesPerSecond(uint32_t timescale, uint32_t duration, uint32_t count) {
  if (duration == 0) return 0;
  return double(timescale) / double(duration) * double(count);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Dinf

void Dinf::readBytes(const uint8_t* bytes, uint32_t length) {
  readAtomHeader(bytes, length, size, type);
  uint32_t t = 0;
  if (fixedFirstChildFits(bytes, length, t)) dref = Dref::initDREFWithBytes(bytes + 8, t);
}

std::shared_ptr<Dinf> Dinf::initDINFWithDrefEnteryType(uint32_t entryType) {
  auto atom = std::make_shared<Dinf>();
  atom->type = fourCC("dinf");
  atom->dref = Dref::initDREFWithDrefEnteryType(entryType);
  atom->size = (atom->dref ? atom->dref->size : 0) + 8;
  atom->writeableData = atom->convertSelfToData();
  return atom;
}

Bytes Dinf::convertSelfToData() const { return containerBytes(size, type, {bytesOf(dref)}); }

// ---------------------------------------------------------------------------------------
// Edts

void Edts::readBytes(const uint8_t* bytes, uint32_t length) {
  readAtomHeader(bytes, length, size, type);
  uint32_t t = 0;
  if (fixedFirstChildFits(bytes, length, t)) elst = Elst::initELSTWithBytes(bytes + 8, t);
}

std::shared_ptr<Edts> Edts::initWDTSWithDuration(uint32_t duration, uint32_t delta) {
  auto atom = std::make_shared<Edts>();
  atom->type = fourCC("edts");
  std::vector<std::shared_ptr<EditListEntery>> table{EditListEntery::initWithTrackDuration(duration, delta, 1)};
  atom->elst = Elst::initELSTWithEditListTable(table);
  atom->size = (atom->elst ? atom->elst->size : 0) + 8;
  atom->createWriteableData();
  return atom;
}

void Edts::createWriteableData() { writeableData = containerBytes(size, type, {bytesOf(elst)}); }

// ---------------------------------------------------------------------------------------
// Stbl

std::shared_ptr<Stbl> Stbl::initSTBLWithBytes(const uint8_t* bytes, uint32_t size, std::string* why) {
  auto atom = std::make_shared<Stbl>();
  atom->readBytes(bytes, size);
  // Every byte of the table must belong to a child it consumed.
  if (uint64_t(atom->testSize) + 8 == atom->size) return atom;
  if (atom->strayOffset != 0)
    return refuse<Stbl>(why, "stbl: the bytes at offset " + std::to_string(atom->strayOffset) + " ('" +
                                 codeText(readBE32At(bytes, size, atom->strayOffset + 4)) +
                                 "') belong to no child it reads");
  return refuse<Stbl>(why, "stbl: its children fill " + std::to_string(uint64_t(atom->testSize) + 8) + " of the " +
                               std::to_string(atom->size) + " bytes its size gives");
}

namespace {
// Children of a sample table: the tables it reads and the types it steps over.
constexpr ChildRow<Stbl> kStblChildren[] = {
    {fourCC("stsd"), [](Stbl& s, const uint8_t* c, uint32_t n) { s.stsd = Stsd::initSTSDWithBytes(c, n); }},
    {fourCC("stts"), [](Stbl& s, const uint8_t* c, uint32_t n) { s.stts = Stts::initSTTSWithBytes(c, n); }},
    {fourCC("stsc"), [](Stbl& s, const uint8_t* c, uint32_t n) { s.stsc = Stsc::initSTSCWithBytes(c, n); }},
    {fourCC("stsz"), [](Stbl& s, const uint8_t* c, uint32_t n) { s.stsz = Stsz::initSTSZWithBytes(c, n); }},
    {fourCC("stss"), [](Stbl& s, const uint8_t* c, uint32_t n) { s.stss = Stss::initSTSSWithBytes(c, n); }},
    {fourCC("ctts"), [](Stbl& s, const uint8_t* c, uint32_t n) { s.ctts = Ctts::initCTTSWithBytes(c, n); }},
    {fourCC("sdtp"), [](Stbl& s, const uint8_t* c, uint32_t n) { s.sdtp = Sdtp::initSDTPWithBytes(c, n); }},
    {fourCC("stco"), [](Stbl& s, const uint8_t* c, uint32_t n) { s.stco = Stco::initSTCOWithBytes(c, n, false); }},
    {fourCC("co64"), [](Stbl& s, const uint8_t* c, uint32_t n) { s.stco = Stco::initSTCOWithBytes(c, n, true); }},
    {kUdta, [](Stbl& s, const uint8_t* c, uint32_t n) { s.udta = Udta::initUDTAWithBytes(c, n); }},
    {fourCC("free")}, {fourCC("skip")}, {fourCC("sgpd")}, {fourCC("sbgp")},
    {fourCC("cslg")}, {fourCC("csgm")}, {fourCC("sdps")},
};
}  // namespace

void Stbl::readBytes(const uint8_t* bytes, uint32_t length) {
  readAtomHeader(bytes, length, size, type);
  testSize = 0;
  if (bytes == nullptr || length < 9) return;
  const ChildScanResult scan = scanChildren(bytes, length, ChildScanBounds{8, true}, kStblChildren, *this);
  testSize = uint32_t(scan.consumed);
  strayOffset = scan.firstStray;
}

std::string Stbl::getResolution() const { return stsd ? stsd->getResolution() : std::string(); }

uint32_t Stbl::getSampleSize() const { return stsz ? stsz->sampleSize : 0; }

uint32_t Stbl::getSamplePerChunk() const {
  if (!stsc || stsc->SampleToChunkTable.empty() || !stsc->SampleToChunkTable.front()) return 0;
  return stsc->SampleToChunkTable.front()->samplesPerChunk;
}

void Stbl::createWriteableData() { storeWriteableData(*this); }

Bytes Stbl::convertSelfToData() const {
  const auto description = stsd ? std::span<const uint8_t>(stsd->stsdData) : std::span<const uint8_t>();
  return containerBytes(size, type, {description, bytesOf(stss), bytesOf(ctts), bytesOf(stts), bytesOf(stsc),
                                     bytesOf(stsz), bytesOf(stco)});
}

// ---------------------------------------------------------------------------------------
// Minf

std::shared_ptr<Minf> Minf::initMINFWithBytes(const uint8_t* bytes, uint32_t size, std::string* why) {
  auto atom = std::make_shared<Minf>();
  atom->readBytes(bytes, size);
  if (!atom->stbl) return refuse<Minf>(why, atom->refusal.empty() ? "minf has no stbl" : atom->refusal);
  return atom;
}

namespace {
constexpr ChildRow<Minf> kMinfChildren[] = {
    {fourCC("dinf"), [](Minf& m, const uint8_t* c, uint32_t n) { m.dinf = Dinf::initDINFWithBytes(c, n); }},
    {fourCC("hdlr"), [](Minf& m, const uint8_t* c, uint32_t n) { m.hdlr = Hdlr::initHDLRWithBytes(c, n); }},
    {fourCC("stbl"),
     [](Minf& m, const uint8_t* c, uint32_t n) {
       m.stbl = Stbl::initSTBLWithBytes(c, n, &m.refusal);
       if (m.stbl && m.stbl->udta) m.udta = m.stbl->udta;
     }},
    {kUdta, [](Minf& m, const uint8_t* c, uint32_t n) { m.udta = Udta::initUDTAWithBytes(c, n); }},
    {fourCC("gmin")},
};
}  // namespace

void Minf::readBytes(const uint8_t* bytes, uint32_t length) {
  readAtomHeader(bytes, length, size, type);
  if (bytes == nullptr) return;
  // The child at offset 8 is the media-type header, typed by its own code.
  uint32_t start = 8;
  const uint32_t headerType = readBE32At(bytes, length, 12);
  const uint32_t s = readBE32At(bytes, length, 8);
  const bool fits = length >= 16 && s != 0 && uint64_t(8) + s <= length;
  if (fits && headerType == fourCC("vmhd")) {
    mediaHeader = Vmhd::initVMHDWithBytes(bytes + 8, s);
    minfMediaType = kMediaKindVideo;
    start = 8 + s;
  } else if (fits && headerType == fourCC("smhd")) {
    mediaHeader = Smhd::initSMHDWithBytes(bytes + 8, s);
    minfMediaType = kMediaKindSound;
    start = 8 + s;
  } else if (fits && headerType == fourCC("gmhd")) {
    mediaHeader = Gmhd::initGMHDWithBytes(bytes + 8, s);
    minfMediaType = kMediaKindOther;
    start = 8 + s;
  }
  scanChildren(bytes, length, ChildScanBounds{start, true}, kMinfChildren, *this);
}

std::string Minf::getResolution() const { return stbl ? stbl->getResolution() : std::string(); }

void Minf::createWriteableData() { storeWriteableData(*this); }

Bytes Minf::convertSelfToData() const {
  // Only video and sound media headers are written; a base media header never is.
  const auto* v = std::get_if<std::shared_ptr<Vmhd>>(&mediaHeader);
  const auto* s = std::get_if<std::shared_ptr<Smhd>>(&mediaHeader);
  return containerBytes(size, type, {v ? bytesOf(*v) : bytesOf(*s), bytesOf(hdlr), bytesOf(dinf), bytesOf(stbl)});
}

// ---------------------------------------------------------------------------------------
// Mdia

std::shared_ptr<Mdia> Mdia::initMDIAWithBytes(const uint8_t* bytes, uint32_t size, std::string* why) {
  auto atom = std::make_shared<Mdia>();
  atom->readBytes(bytes, size);
  if (!atom->minf) return refuse<Mdia>(why, atom->refusal.empty() ? "mdia has no minf" : atom->refusal);
  return atom;
}

namespace {
// The media's own user data is stepped over and not kept.
constexpr ChildRow<Mdia> kMdiaChildren[] = {
    {fourCC("minf"),
     [](Mdia& m, const uint8_t* c, uint32_t n) {
       m.minf = Minf::initMINFWithBytes(c, n, &m.refusal);
       if (m.minf && m.minf->udta) m.udta = m.minf->udta;
     }},
    {fourCC("hdlr"), [](Mdia& m, const uint8_t* c, uint32_t n) { m.hdlr = Hdlr::initHDLRWithBytes(c, n); }},
    {kUdta},
};
}  // namespace

void Mdia::readBytes(const uint8_t* bytes, uint32_t length) {
  readAtomHeader(bytes, length, size, type);
  uint32_t t = 0;
  if (!fixedFirstChildFits(bytes, length, t)) return;
  mdhd = Mdhd::initMDHDWithBytes(bytes + 8, t);
  scanChildren(bytes, length, ChildScanBounds{8 + t, false}, kMdiaChildren, *this);
  mediaType = getMediaType();
  const uint32_t count = (minf && minf->stbl && minf->stbl->stsz) ? minf->stbl->stsz->numberOfEntries : 0;
  mdiaFPS = mdhd ? samplesPerSecond(mdhd->timescale, mdhd->duration, count) : 0;
}

uint64_t Mdia::getMediaType() const {
  if (hdlr) {
    if (hdlr->componentSubtype == fourCC("vide")) return kMediaKindVideo;
    if (hdlr->componentSubtype == fourCC("soun")) return kMediaKindSound;
  }
  return minf ? minf->minfMediaType : kMediaKindOther;
}

uint32_t Mdia::getTimeScale() const { return mdhd ? mdhd->timescale : 0; }

std::string Mdia::getResolution() const { return minf ? minf->getResolution() : std::string(); }

void Mdia::createWriteableData() { storeWriteableData(*this); }

Bytes Mdia::convertSelfToData() const {
  return containerBytes(size, type, {bytesOf(mdhd), bytesOf(hdlr), bytesOf(minf)});
}

// ---------------------------------------------------------------------------------------
// Trak

std::shared_ptr<Trak> Trak::initTRAKWithBytes(const uint8_t* bytes, uint32_t size, std::string* why) {
  auto atom = std::make_shared<Trak>();
  atom->readBytes(bytes, size);
  if (atom->mdia) return atom;
  if (!atom->refusal.empty()) return refuse<Trak>(why, atom->refusal);
  return refuse<Trak>(why, atom->tkhd ? "trak has no mdia" : "trak has no tkhd that fits inside it");
}

namespace {
constexpr ChildRow<Trak> kTrakChildren[] = {
    {fourCC("edts"), [](Trak& t, const uint8_t* c, uint32_t n) { t.edts = Edts::initEDTSWithBytes(c, n); }},
    {kUdta, [](Trak& t, const uint8_t* c, uint32_t n) { t.udta = Udta::initUDTAWithBytes(c, n); }},
    {fourCC("mdia"),
     [](Trak& t, const uint8_t* c, uint32_t n) {
       t.mdia = Mdia::initMDIAWithBytes(c, n, &t.refusal);
       if (t.mdia && t.mdia->udta) t.udta = t.mdia->udta;
     }},
};
}  // namespace

void Trak::readBytes(const uint8_t* bytes, uint32_t length) {
  readAtomHeader(bytes, length, size, type);
  uint32_t t = 0;
  // Without a track header that fits there is no media either: the track is refused.
  if (!fixedFirstChildFits(bytes, length, t)) return;
  tkhd = Tkhd::initTKHDWithBytes(bytes + 8, t);
  scanChildren(bytes, length, ChildScanBounds{8 + t, false}, kTrakChildren, *this);
  initProperties();
}

Stsd* Trak::sampleDescription() const {
  if (mdia && mdia->minf && mdia->minf->stbl) return mdia->minf->stbl->stsd.get();
  return nullptr;
}

void Trak::initProperties() {
  trackType = getTrackType();
  trackDuration = tkhd ? tkhd->duration : 0;
  const Mdhd* mh = mdia ? mdia->mdhd.get() : nullptr;
  trakMediaTimeScale = mh ? mh->timescale : 0;
  trakMediaDuration = mh ? mh->duration : 0;
  const Stbl* st = (mdia && mdia->minf) ? mdia->minf->stbl.get() : nullptr;
  sampleCount = (st && st->stsz) ? st->stsz->numberOfEntries : 0;
  oneSampleDuration = (st && st->stts) ? st->stts->getOneSampleDuration() : 0;
  trakFPS = samplesPerSecond(trakMediaTimeScale, trakMediaDuration, sampleCount);
  const Stsd* sd = st ? st->stsd.get() : nullptr;
  trackDecoder = sd ? sd->getDecoder() : nullptr;
  trackCodecFormat = sd ? sd->codecFormat : 0;
  // Raw PCM counts whole samples per second.
  if (trackCodecFormat == kTrackCodecSOWT) trakFPS = std::trunc(trakFPS);
}

uint64_t Trak::getTrackType() const {
  if (!mdia) return kMediaKindOther;
  const uint64_t kind = mdia->mediaType;
  return (kind == kMediaKindVideo || kind == kMediaKindSound) ? kind : kMediaKindOther;
}

uint32_t Trak::getTimeScale() const { return mdia ? mdia->getTimeScale() : 0; }

uint32_t Trak::getSampleSize() const {
  return (mdia && mdia->minf && mdia->minf->stbl) ? mdia->minf->stbl->getSampleSize() : 0;
}

uint32_t Trak::getSamplePerChunk() const {
  return (mdia && mdia->minf && mdia->minf->stbl) ? mdia->minf->stbl->getSamplePerChunk() : 0;
}

std::string Trak::getResolution() const { return mdia ? mdia->getResolution() : std::string(); }

void Trak::createWriteableData() { storeWriteableData(*this); }

Bytes Trak::convertSelfToData() const {
  return containerBytes(size, type, {bytesOf(tkhd), bytesOf(edts), bytesOf(mdia)});
}

// ---------------------------------------------------------------------------------------
// Moov

std::shared_ptr<Moov> Moov::initMOOVWithData(const uint8_t* bytes, uint32_t size, std::string* why) {
  if (bytes == nullptr || size == 0) return refuse<Moov>(why, "moov is empty");
  auto atom = std::make_shared<Moov>();
  if (!atom->readData(bytes, size)) return refuse<Moov>(why, atom->refusal);
  return atom;
}

namespace {
// One broken track refuses the whole movie; nothing after it is read.
constexpr ChildRow<Moov> kMoovChildren[] = {
    {fourCC("trak"),
     [](Moov& m, const uint8_t* c, uint32_t n) {
       if (!m.refusal.empty()) return;
       std::string why;
       auto trak = Trak::initTRAKWithBytes(c, n, &why);
       if (!trak) {
         m.refusal = "track " + std::to_string(m.tracks.size() + 1) + ": " + why;
         return;
       }
       m.tracks.push_back(trak);
       if (trak->udta) m.udta = trak->udta;
     }},
    {fourCC("mvhd"),
     [](Moov& m, const uint8_t* c, uint32_t n) {
       if (m.refusal.empty()) m.mvhd = Mvhd::initMVHDWithBytes(c, n);
     }},
    {kUdta,
     [](Moov& m, const uint8_t* c, uint32_t n) {
       if (m.refusal.empty()) m.udta = Udta::initUDTAWithBytes(c, n);
     }},
    {fourCC("uuid")},
};
}  // namespace

bool Moov::readData(const uint8_t* bytes, uint32_t length) {
  readAtomHeader(bytes, length, size, type);
  refusal.clear();
  scanChildren(bytes, length, ChildScanBounds{8, false}, kMoovChildren, *this);
  return refusal.empty();
}

std::shared_ptr<Trak> Moov::getTrakWithType(uint64_t kind) const {
  for (const auto& t : tracks)
    if (t && t->trackType == kind) return t;
  return nullptr;
}

namespace {
// A value of the first track of a kind; the default value without such a track.
template <typename F>
auto ofTrack(const Moov& m, uint64_t kind, F value) {
  const auto t = m.getTrakWithType(kind);
  return t ? value(*t) : decltype(value(*t)){};
}
// The video track's sample description when its codec is avc1 (or, `hevcOnly`, hvc1 alone).
const Stsd* videoDescription(const Moov& m, bool hevcOnly = false) {
  return ofTrack(m, kMediaKindVideo, [&](const Trak& t) -> const Stsd* {
    const bool avc = !hevcOnly && t.trackCodecFormat == kTrackCodecAVC1;
    return avc || t.trackCodecFormat == kTrackCodecHVC1 ? t.sampleDescription() : nullptr;
  });
}
}  // namespace

uint64_t Moov::getVideoCodecFormat() const {
  return ofTrack(*this, kMediaKindVideo, [](const Trak& t) {
    return t.trackCodecFormat == kTrackCodecAVC1 ? kVideoCodecH264
           : t.trackCodecFormat == kTrackCodecHVC1 ? kVideoCodecH265 : 0;
  });
}

uint64_t Moov::getAudioCodecFormat() const {
  return ofTrack(*this, kMediaKindSound, [](const Trak& t) {
    const uint64_t c = t.trackCodecFormat;
    return (c == kTrackCodecMP4A || c == kTrackCodecSOWT || c == kTrackCodecTWOS) ? c : 0;
  });
}

TrackDecoder Moov::getTrackDecoderWith(uint64_t kind) const {
  return ofTrack(*this, kind, [](const Trak& t) { return t.trackDecoder; });
}
double Moov::videoTrackFPS() const { return ofTrack(*this, kMediaKindVideo, [](const Trak& t) { return t.trakFPS; }); }
double Moov::audioTrackFPS() const { return ofTrack(*this, kMediaKindSound, [](const Trak& t) { return t.trakFPS; }); }
uint32_t Moov::videoTrackTimeScale() const {
  return ofTrack(*this, kMediaKindVideo, [](const Trak& t) { return t.trakMediaTimeScale; });
}
uint32_t Moov::audioTrackTimeScale() const {
  return ofTrack(*this, kMediaKindSound, [](const Trak& t) { return t.trakMediaTimeScale; });
}
uint32_t Moov::getOneSampleDurationOfTackType(uint64_t kind) const {
  return ofTrack(*this, kind, [](const Trak& t) { return t.oneSampleDuration; });
}

// Parameter sets and the NAL length size of the video sample description.
namespace {
template <auto Query>
auto ofVideoDescription(const Moov& m, bool hevcOnly = false) {
  const Stsd* sd = videoDescription(m, hevcOnly);
  return sd ? (sd->*Query)() : decltype((sd->*Query)()){};
}
}  // namespace
uint32_t Moov::getAVCOneNALUSizeLength() const { return ofVideoDescription<&Stsd::avc1NaluSizeLength>(*this); }
std::shared_ptr<vr::SPS> Moov::SPS() const { return ofVideoDescription<&Stsd::SPS>(*this); }
std::shared_ptr<vr::PPS> Moov::PPS() const { return ofVideoDescription<&Stsd::PPS>(*this); }
std::shared_ptr<vr::VPS_265> Moov::VPS() const { return ofVideoDescription<&Stsd::VPS>(*this, true); }
std::shared_ptr<vr::SPS_265> Moov::SPS265() const { return ofVideoDescription<&Stsd::SPS265>(*this); }
std::shared_ptr<vr::PPS_265> Moov::PPS265() const { return ofVideoDescription<&Stsd::PPS265>(*this); }

std::string Moov::getResolution() const {
  auto t = getTrakWithType(kMediaKindVideo);
  return t ? t->getResolution() : std::string("Missing");
}

std::shared_ptr<DecoderSpecifiInfoWrapper> Moov::decodeSpecificInfo() const {
  const auto t = getTrakWithType(kMediaKindSound);
  const Stsd* sd = t && t->trackCodecFormat == kTrackCodecMP4A ? t->sampleDescription() : nullptr;
  return sd ? sd->decoderSpecificInfo() : nullptr;
}

uint32_t Moov::duration() const { return mvhd ? mvhd->duration : 0; }

uint32_t Moov::getSampleSkip() const {
  uint32_t skip = 0;
  for (size_t i = 2; i < tracks.size(); ++i)
    if (tracks[i]) skip += tracks[i]->getSampleSize() * tracks[i]->getSamplePerChunk();
  return skip;
}

}  // namespace vr
