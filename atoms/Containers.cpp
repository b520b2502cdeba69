#include "atoms/Containers.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "atoms/Descriptors.h"

namespace vr {

namespace {

constexpr uint32_t kUdta = fourCC("udta");

// Header words every container starts with; bounded so a short buffer reads zeros.
void readHeader(const uint8_t* bytes, uint32_t length, uint32_t& size, uint32_t& type) {
  size = bytes ? readBE32At(bytes, length, 0) : 0;
  type = bytes ? readBE32At(bytes, length, 4) : 0;
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

// A double truncated toward zero to an unsigned 32-bit number; NaN and negatives give 0,
// values beyond the range the largest number.
uint32_t truncToU32(double v) {
  if (!(v > 0)) return 0;
  if (v >= 4294967295.0) return UINT32_MAX;
  return uint32_t(v);
}

bool isValidUtf8(const std::string& s) {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    const uint8_t c = uint8_t(s[i]);
    size_t extra;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const uint8_t cc = uint8_t(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
    static const uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

std::string latin1ToUtf8(const std::string& s) {
  std::string out;
  out.reserve(s.size() * 2);
  for (char ch : s) {
    const uint8_t c = uint8_t(ch);
    if (c < 0x80) {
      out.push_back(char(c));
    } else {
      out.push_back(char(0xC0 | (c >> 6)));
      out.push_back(char(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Udta

std::shared_ptr<Udta> Udta::initUDTAWithBytes(const uint8_t* bytes, uint32_t size) {
  auto atom = std::make_shared<Udta>();
  atom->readBytes(bytes, size);
  return atom;
}

void Udta::readBytes(const uint8_t* bytes, uint32_t length) {
  readHeader(bytes, length, size, type);
  if (bytes == nullptr || length < 16) return;
  scanChildren(bytes, length, ChildScanBounds{8, true}, {fourCC("manu"), fourCC("modl")}, {},
               [&](uint32_t childType, const uint8_t* child, uint32_t childSize, bool) {
                 // The payload follows the 8-byte header; its length is a 16-bit count.
                 const uint32_t payload = childSize >= 8 ? childSize - 8 : 0;
                 const uint16_t len = payload > 0xFFFF ? 0xFFFF : uint16_t(payload);
                 std::string text = getTheDetailsFromBlock(child + 8, len);
                 if (childType == fourCC("manu"))
                   manufacture = std::move(text);
                 else
                   device = std::move(text);
               });
}

std::string Udta::getTheDetailsFromBlock(const uint8_t* block, uint16_t size) {
  std::string raw;
  if (block == nullptr) return raw;
  raw.reserve(size);
  for (uint32_t i = 0; i < size; ++i) {
    const uint8_t b = block[i];
    if (b == 0x15) {
      ++i;  // a 0x15 marker and the byte after it carry no text
      continue;
    }
    if (b == 0) continue;
    raw.push_back(char(b));
  }
  return isValidUtf8(raw) ? raw : latin1ToUtf8(raw);
}

// ---------------------------------------------------------------------------------------
// Meta

std::shared_ptr<Meta> Meta::initMetaWithByte(const uint8_t* bytes, uint32_t size) {
  auto atom = std::make_shared<Meta>();
  atom->readBytes(bytes, size);
  return atom;
}

void Meta::readBytes(const uint8_t* bytes, uint32_t length) {
  readHeader(bytes, length, size, type);
  if (bytes == nullptr || length < 17) return;
  scanChildren(bytes, length, ChildScanBounds{8, false}, {fourCC("xml ")}, {},
               [&](uint32_t, const uint8_t* child, uint32_t childSize, bool) {
                 // Payload: after the child's header and its version-and-flags word.
                 if (childSize > 12) parserXMLDadta(child + 12, childSize - 12);
               });
}

namespace {

void metaStartElement(void* ctx, const xmlChar* /*localname*/, const xmlChar* /*prefix*/, const xmlChar* /*uri*/,
                      int /*nbNamespaces*/, const xmlChar** /*namespaces*/, int nbAttributes, int /*nbDefaulted*/,
                      const xmlChar** attributes) {
  auto* meta = static_cast<Meta*>(ctx);
  if (meta == nullptr || attributes == nullptr) return;
  // Each attribute is five pointers: local name, prefix, URI, value start, value end.
  for (int i = 0; i < nbAttributes; ++i) {
    const xmlChar** a = attributes + 5 * i;
    if (a[0] == nullptr || a[3] == nullptr || a[4] == nullptr || a[4] < a[3]) continue;
    const char* name = reinterpret_cast<const char*>(a[0]);
    std::string value(reinterpret_cast<const char*>(a[3]), size_t(a[4] - a[3]));
    if (std::strcmp(name, "manufacturer") == 0)
      meta->manufacture = std::move(value);
    else if (std::strcmp(name, "modelName") == 0)
      meta->device = std::move(value);
  }
}

void metaSilentError(void*, xmlErrorPtr) {}

}  // namespace

void Meta::parserXMLDadta(const uint8_t* xml, uint32_t length) {
  if (xml == nullptr || length == 0) return;
  xmlSAXHandler sax;
  std::memset(&sax, 0, sizeof(sax));
  sax.initialized = XML_SAX2_MAGIC;
  sax.startElementNs = &metaStartElement;
  sax.serror = &metaSilentError;

  // The atom itself is the SAX user data handed to the element callback.
  xmlParserCtxtPtr ctxt = xmlCreatePushParserCtxt(&sax, this, nullptr, 0, nullptr);
  if (ctxt == nullptr) return;
  // Never fetch anything from the network and never load external DTDs.
  xmlCtxtUseOptions(ctxt, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);

  constexpr uint32_t kChunk = 1u << 20;
  uint32_t done = 0;
  while (done < length) {
    const uint32_t n = std::min(kChunk, length - done);
    const bool last = done + n == length;
    if (xmlParseChunk(ctxt, reinterpret_cast<const char*>(xml + done), int(n), last ? 1 : 0) != 0) break;
    if (ctxt->disableSAX) break;
    done += n;
  }
  xmlFreeParserCtxt(ctxt);
}

// ---------------------------------------------------------------------------------------
// Dinf

std::shared_ptr<Dinf> Dinf::initDINFWithBytes(const uint8_t* bytes, uint32_t size) {
  auto atom = std::make_shared<Dinf>();
  atom->readBytes(bytes, size);
  return atom;
}

void Dinf::readBytes(const uint8_t* bytes, uint32_t length) {
  readHeader(bytes, length, size, type);
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

Bytes Dinf::convertSelfToData() const {
  Bytes out;
  appendBE32(out, size);
  appendBE32(out, type);
  if (dref) appendBytes(out, dref->writeableData);
  return out;
}

// ---------------------------------------------------------------------------------------
// Edts

std::shared_ptr<Edts> Edts::initEDTSWithBytes(const uint8_t* bytes, uint32_t size) {
  auto atom = std::make_shared<Edts>();
  atom->readBytes(bytes, size);
  return atom;
}

void Edts::readBytes(const uint8_t* bytes, uint32_t length) {
  readHeader(bytes, length, size, type);
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

void Edts::createWriteableData() {
  writeableData.clear();
  appendBE32(writeableData, size);
  appendBE32(writeableData, type);
  if (elst) appendBytes(writeableData, elst->writeableData);
}

// ---------------------------------------------------------------------------------------
// Stbl

std::shared_ptr<Stbl> Stbl::initSTBLWithBytes(const uint8_t* bytes, uint32_t size) {
  auto atom = std::make_shared<Stbl>();
  atom->readBytes(bytes, size);
  // Every byte of the table must belong to a child it consumed.
  if (uint64_t(atom->testSize) + 8 != atom->size) return nullptr;
  return atom;
}

void Stbl::readBytes(const uint8_t* bytes, uint32_t length) {
  readHeader(bytes, length, size, type);
  testSize = 0;
  if (bytes == nullptr || length < 9) return;
  scanChildren(
      bytes, length, ChildScanBounds{8, true},
      {fourCC("stsd"), fourCC("stts"), fourCC("stsc"), fourCC("stsz"), fourCC("stss"), fourCC("ctts"),
       fourCC("sdtp"), fourCC("stco"), fourCC("co64"), kUdta},
      {fourCC("free"), fourCC("skip"), fourCC("sgpd"), fourCC("sbgp"), fourCC("cslg"), fourCC("csgm"),
       fourCC("sdps")},
      [&](uint32_t t, const uint8_t* child, uint32_t childSize, bool steppedOver) {
        testSize += childSize;
        if (steppedOver) return;
        switch (t) {
          case fourCC("stsd"): stsd = Stsd::initSTSDWithBytes(child, childSize); break;
          case fourCC("stts"): stts = Stts::initSTTSWithBytes(child, childSize); break;
          case fourCC("stsc"): stsc = Stsc::initSTSCWithBytes(child, childSize); break;
          case fourCC("stsz"): stsz = Stsz::initSTSZWithBytes(child, childSize); break;
          case fourCC("stss"): stss = Stss::initSTSSWithBytes(child, childSize); break;
          case fourCC("ctts"): ctts = Ctts::initCTTSWithBytes(child, childSize); break;
          case fourCC("sdtp"): sdtp = Sdtp::initSDTPWithBytes(child, childSize); break;
          case fourCC("stco"): stco = Stco::initSTCOWithBytes(child, childSize, false); break;
          case fourCC("co64"): stco = Stco::initSTCOWithBytes(child, childSize, true); break;
          case kUdta: udta = Udta::initUDTAWithBytes(child, childSize); break;
          default: break;
        }
      });
}

std::string Stbl::getResolution() const { return stsd ? stsd->getResolution() : std::string(); }

uint32_t Stbl::getSampleSize() const { return stsz ? stsz->sampleSize : 0; }

uint32_t Stbl::getSamplePerChunk() const {
  if (!stsc || stsc->SampleToChunkTable.empty() || !stsc->SampleToChunkTable.front()) return 0;
  return stsc->SampleToChunkTable.front()->samplesPerChunk;
}

Bytes Stbl::convertSelfToData() const {
  Bytes out;
  appendBE32(out, size);
  appendBE32(out, type);
  if (stsd) appendBytes(out, stsd->stsdData);
  if (stss) appendBytes(out, stss->writeableData);
  if (ctts) appendBytes(out, ctts->writeableData);
  if (stts) appendBytes(out, stts->writeableData);
  if (stsc) appendBytes(out, stsc->writeableData);
  if (stsz) appendBytes(out, stsz->writeableData);
  if (stco) appendBytes(out, stco->writeableData);
  if (sdtp) appendBytes(out, sdtp->writeableData);
  return out;
}

// ---------------------------------------------------------------------------------------
// Minf

std::shared_ptr<Minf> Minf::initMINFWithBytes(const uint8_t* bytes, uint32_t size) {
  auto atom = std::make_shared<Minf>();
  atom->readBytes(bytes, size);
  if (!atom->stbl) return nullptr;
  return atom;
}

void Minf::readBytes(const uint8_t* bytes, uint32_t length) {
  readHeader(bytes, length, size, type);
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
  scanChildren(bytes, length, ChildScanBounds{start, true},
               {fourCC("dinf"), fourCC("gmin"), fourCC("hdlr"), fourCC("stbl"), kUdta}, {},
               [&](uint32_t t, const uint8_t* child, uint32_t childSize, bool) {
                 switch (t) {
                   case fourCC("dinf"): dinf = Dinf::initDINFWithBytes(child, childSize); break;
                   case fourCC("gmin"): gmin = Gmin::initGMINWithBytes(child, childSize); break;
                   case fourCC("hdlr"): hdlr = Hdlr::initHDLRWithBytes(child, childSize); break;
                   case fourCC("stbl"):
                     stbl = Stbl::initSTBLWithBytes(child, childSize);
                     if (stbl && stbl->udta) udta = stbl->udta;
                     break;
                   case kUdta: udta = Udta::initUDTAWithBytes(child, childSize); break;
                   default: break;
                 }
               });
}

std::string Minf::getResolution() const { return stbl ? stbl->getResolution() : std::string(); }

Bytes Minf::convertSelfToData() const {
  Bytes out;
  appendBE32(out, size);
  appendBE32(out, type);
  // Only video and sound media headers are written; a base media header never is.
  if (auto* v = std::get_if<std::shared_ptr<Vmhd>>(&mediaHeader); v && *v) appendBytes(out, (*v)->writeableData);
  if (auto* s = std::get_if<std::shared_ptr<Smhd>>(&mediaHeader); s && *s) appendBytes(out, (*s)->writeableData);
  if (hdlr) appendBytes(out, hdlr->writeableData);
  if (dinf) appendBytes(out, dinf->writeableData);
  if (stbl) appendBytes(out, stbl->writeableData);
  return out;
}

// ---------------------------------------------------------------------------------------
// Mdia

std::shared_ptr<Mdia> Mdia::initMDIAWithBytes(const uint8_t* bytes, uint32_t size) {
  auto atom = std::make_shared<Mdia>();
  atom->readBytes(bytes, size);
  if (!atom->minf) return nullptr;
  return atom;
}

void Mdia::readBytes(const uint8_t* bytes, uint32_t length) {
  readHeader(bytes, length, size, type);
  uint32_t t = 0;
  if (!fixedFirstChildFits(bytes, length, t)) return;
  mdhd = Mdhd::initMDHDWithBytes(bytes + 8, t);
  scanChildren(bytes, length, ChildScanBounds{8 + t, false}, {fourCC("minf"), fourCC("hdlr")}, {kUdta},
               [&](uint32_t childType, const uint8_t* child, uint32_t childSize, bool steppedOver) {
                 if (steppedOver) return;  // the media's own user data is not kept
                 if (childType == fourCC("minf")) {
                   minf = Minf::initMINFWithBytes(child, childSize);
                   if (minf && minf->udta) udta = minf->udta;
                 } else {
                   hdlr = Hdlr::initHDLRWithBytes(child, childSize);
                 }
               });
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

Bytes Mdia::convertSelfToData() const {
  Bytes out;
  appendBE32(out, size);
  appendBE32(out, type);
  if (mdhd) appendBytes(out, mdhd->writeableData);
  if (hdlr) appendBytes(out, hdlr->writeableData);
  if (minf) appendBytes(out, minf->writeableData);
  return out;
}

// ---------------------------------------------------------------------------------------
// Trak

std::shared_ptr<Trak> Trak::initTRAKWithBytes(const uint8_t* bytes, uint32_t size) {
  auto atom = std::make_shared<Trak>();
  atom->readBytes(bytes, size);
  if (!atom->mdia) return nullptr;
  return atom;
}

void Trak::readBytes(const uint8_t* bytes, uint32_t length) {
  readHeader(bytes, length, size, type);
  uint32_t t = 0;
  // Without a track header that fits there is no media either: the track is refused.
  if (!fixedFirstChildFits(bytes, length, t)) return;
  tkhd = Tkhd::initTKHDWithBytes(bytes + 8, t);
  scanChildren(bytes, length, ChildScanBounds{8 + t, false}, {fourCC("edts"), kUdta, fourCC("mdia")}, {},
               [&](uint32_t childType, const uint8_t* child, uint32_t childSize, bool) {
                 switch (childType) {
                   case fourCC("edts"): edts = Edts::initEDTSWithBytes(child, childSize); break;
                   case kUdta: udta = Udta::initUDTAWithBytes(child, childSize); break;
                   case fourCC("mdia"):
                     mdia = Mdia::initMDIAWithBytes(child, childSize);
                     if (mdia && mdia->udta) udta = mdia->udta;
                     break;
                   default: break;
                 }
               });
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

Bytes Trak::convertSelfToData() const {
  Bytes out;
  appendBE32(out, size);
  appendBE32(out, type);
  if (tkhd) appendBytes(out, tkhd->writeableData);
  if (edts) appendBytes(out, edts->writeableData);
  if (mdia) appendBytes(out, mdia->writeableData);
  return out;
}

// ---------------------------------------------------------------------------------------
// Moov

std::shared_ptr<Moov> Moov::initMOOVWithData(const uint8_t* bytes, uint32_t size) {
  if (bytes == nullptr || size == 0) return nullptr;
  auto atom = std::make_shared<Moov>();
  if (!atom->readData(bytes, size)) return nullptr;
  return atom;
}

bool Moov::readData(const uint8_t* bytes, uint32_t length) {
  readHeader(bytes, length, size, type);
  bool refused = false;
  scanChildren(bytes, length, ChildScanBounds{8, false}, {fourCC("trak"), fourCC("mvhd"), kUdta},
               {fourCC("uuid")}, [&](uint32_t t, const uint8_t* child, uint32_t childSize, bool steppedOver) {
                 if (refused || steppedOver) return;
                 switch (t) {
                   case fourCC("trak"): {
                     auto trak = Trak::initTRAKWithBytes(child, childSize);
                     if (!trak) {
                       refused = true;  // one broken track refuses the whole movie
                       return;
                     }
                     tracks.push_back(trak);
                     if (trak->udta) udta = trak->udta;
                     break;
                   }
                   case fourCC("mvhd"): mvhd = Mvhd::initMVHDWithBytes(child, childSize); break;
                   case kUdta: udta = Udta::initUDTAWithBytes(child, childSize); break;
                   default: break;
                 }
               });
  return !refused;
}

std::shared_ptr<Trak> Moov::getTrakWithType(uint64_t kind) const {
  for (const auto& t : tracks)
    if (t && t->trackType == kind) return t;
  return nullptr;
}

uint64_t Moov::getVideoCodecFormat() const {
  auto t = getTrakWithType(kMediaKindVideo);
  if (!t) return 0;
  if (t->trackCodecFormat == kTrackCodecAVC1) return kMovieVideoH264;
  if (t->trackCodecFormat == kTrackCodecHVC1) return kMovieVideoH265;
  return 0;
}

uint64_t Moov::getAudioCodecFormat() const {
  auto t = getTrakWithType(kMediaKindSound);
  if (!t) return 0;
  const uint64_t c = t->trackCodecFormat;
  return (c == kTrackCodecMP4A || c == kTrackCodecSOWT || c == kTrackCodecTWOS) ? c : 0;
}

TrackDecoder Moov::getTrackDecoderWith(uint64_t kind) const {
  auto t = getTrakWithType(kind);
  return t ? t->trackDecoder : nullptr;
}

double Moov::videoTrackFPS() const {
  auto t = getTrakWithType(kMediaKindVideo);
  return t ? t->trakFPS : 0;
}

double Moov::audioTrackFPS() const {
  auto t = getTrakWithType(kMediaKindSound);
  return t ? t->trakFPS : 0;
}

uint32_t Moov::videoTrackTimeScale() const {
  auto t = getTrakWithType(kMediaKindVideo);
  return t ? t->trakMediaTimeScale : 0;
}

uint32_t Moov::audioTrackTimeScale() const {
  auto t = getTrakWithType(kMediaKindSound);
  return t ? t->trakMediaTimeScale : 0;
}

uint32_t Moov::getOneSampleDurationOfTackType(uint64_t kind) const {
  auto t = getTrakWithType(kind);
  return t ? t->oneSampleDuration : 0;
}

namespace {
// The video track's sample description when its codec is avc1 or hvc1.
const Stsd* videoDescription(const Moov& m) {
  auto t = m.getTrakWithType(kMediaKindVideo);
  if (!t) return nullptr;
  if (t->trackCodecFormat != kTrackCodecAVC1 && t->trackCodecFormat != kTrackCodecHVC1) return nullptr;
  return t->sampleDescription();
}
// The sound track and its sample description when its codec is mp4a.
const Trak* aacTrack(const Moov& m, const Stsd** sd) {
  auto t = m.getTrakWithType(kMediaKindSound);
  if (!t || t->trackCodecFormat != kTrackCodecMP4A) return nullptr;
  *sd = t->sampleDescription();
  return t.get();
}
}  // namespace

uint32_t Moov::getAVCOneNALUSizeLength() const {
  const Stsd* sd = videoDescription(*this);
  return sd ? sd->avc1NaluSizeLength() : 0;
}

std::shared_ptr<vr::SPS> Moov::SPS() const {
  const Stsd* sd = videoDescription(*this);
  return sd ? sd->SPS() : nullptr;
}

std::shared_ptr<vr::PPS> Moov::PPS() const {
  const Stsd* sd = videoDescription(*this);
  return sd ? sd->PPS() : nullptr;
}

std::shared_ptr<vr::VPS_265> Moov::VPS() const {
  auto t = getTrakWithType(kMediaKindVideo);
  if (!t || t->trackCodecFormat != kTrackCodecHVC1) return nullptr;
  const Stsd* sd = t->sampleDescription();
  return sd ? sd->VPS() : nullptr;
}

std::shared_ptr<vr::SPS_265> Moov::SPS265() const {
  const Stsd* sd = videoDescription(*this);
  return sd ? sd->SPS265() : nullptr;
}

std::shared_ptr<vr::PPS_265> Moov::PPS265() const {
  const Stsd* sd = videoDescription(*this);
  return sd ? sd->PPS265() : nullptr;
}

std::string Moov::getResolution() const {
  auto t = getTrakWithType(kMediaKindVideo);
  return t ? t->getResolution() : std::string("Missing");
}

namespace {
// Bytes of one audio sample at a bitrate: bits/s / timescale x sample duration / 8.
uint32_t audioBytesPerSample(uint32_t bitrate, const Trak& t) {
  if (t.trakMediaTimeScale == 0) return 0;
  return truncToU32(double(bitrate) / double(t.trakMediaTimeScale) * double(t.oneSampleDuration) * 0.125);
}
}  // namespace

uint32_t Moov::getAverageAudioSize() const {
  const Stsd* sd = nullptr;
  const Trak* t = aacTrack(*this, &sd);
  return (t && sd) ? audioBytesPerSample(sd->getAvgAudioBitRate(), *t) : 0;
}

uint32_t Moov::getMaxAudioSize() const {
  const Stsd* sd = nullptr;
  const Trak* t = aacTrack(*this, &sd);
  return (t && sd) ? audioBytesPerSample(sd->getMaxAudioBitRate(), *t) : 0;
}

std::shared_ptr<DecoderSpecifiInfoWrapper> Moov::decodeSpecificInfo() const {
  const Stsd* sd = nullptr;
  const Trak* t = aacTrack(*this, &sd);
  return (t && sd) ? sd->decoderSpecificInfo() : nullptr;
}

uint32_t Moov::aacSampleMean() const {
  const Stsd* sd = nullptr;
  const Trak* t = aacTrack(*this, &sd);
  return t ? t->getSampleSize() : 0;
}

uint32_t Moov::duration() const { return mvhd ? mvhd->duration : 0; }

uint32_t Moov::getSampleSkip() const {
  uint32_t skip = 0;
  for (size_t i = 2; i < tracks.size(); ++i)
    if (tracks[i]) skip += tracks[i]->getSampleSize() * tracks[i]->getSamplePerChunk();
  return skip;
}

}  // namespace vr
