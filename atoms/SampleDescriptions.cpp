#include "atoms/SampleDescriptions.h"

#include "atoms/AtomReader.h"

#include <algorithm>
#include <cstdio>

#include "bitstream/PPS.h"
#include "bitstream/PPS_265.h"
#include "bitstream/SPS.h"
#include "bitstream/SPS_265.h"
#include "bitstream/VPS_265.h"

namespace vr {

namespace {

// Offset of the extension atoms in a video sample entry, and the shortest entry searched.
constexpr uint32_t kVideoExtensionsStart = 86;
constexpr uint32_t kVideoMinSearchedEntry = 87;
// Offset from which an "mp4a" entry is searched for its "esds", and the shortest entry searched.
constexpr uint32_t kAudioSearchStart = 36;
constexpr uint32_t kAudioMinSearchedEntry = 41;
// Shortest "hvcC" accepted, offset of its array count, and where its parameter-set search starts.
constexpr uint32_t kHvcCMinSize = 31;
constexpr uint32_t kHvcCArrayCountOffset = 30;
constexpr uint32_t kHvcCSearchStart = 31;
// A configuration atom that cannot hold its own header is not taken.
constexpr uint32_t kAtomHeaderSize = 8;

enum class HevcParameterSet { VPS, SPS, PPS };

bool validLengthSize(uint8_t n) { return n == 1 || n == 2 || n == 4; }

// A parameter set of a configuration record: its 16-bit length and the unit.
void appendParameterSet(Bytes& out, const Bytes& unit) {
  appendBE16(out, uint16_t(unit.size()));
  appendBytes(out, unit);
}

// A new sample entry of the given format with data reference 1, the fields of its kind and
// the extension atoms, read back from its bytes, which it keeps.
template <typename Entry>
std::shared_ptr<Entry> builtEntry(uint32_t format, const Bytes& fields, const Bytes& extensions) {
  Bytes bytes;
  appendBE32(bytes, uint32_t(24 + fields.size() + extensions.size()));
  appendBE32(bytes, format);
  bytes.insert(bytes.end(), 6, 0);  // reserved
  appendBE16(bytes, 1);             // data reference index
  bytes.insert(bytes.end(), 8, 0);  // version, revision level, vendor
  appendBytes(bytes, fields);
  appendBytes(bytes, extensions);
  auto built = readAtomCopy<Entry>(bytes.data(), uint32_t(bytes.size()));
  built->writeableData = std::move(bytes);
  return built;
}

// An atom's bytes with its size field set to their length.
Bytes sized(Bytes atom) {
  writeBE32(atom.data(), uint32_t(atom.size()));
  return atom;
}

}  // namespace

// ---- AVCDecoderConfigurationRecord ----

void AVCDecoderConfigurationRecord::readBytes(const uint8_t* bytes, uint32_t len) {
  if (bytes == nullptr || len == 0) return;
  size = readBE32At(bytes, len, 0);
  type = readBE32At(bytes, len, 4);
  configurationVersion = readU8At(bytes, len, 8);
  AVCProfileIndication = readU8At(bytes, len, 9);
  profile_compatibility = readU8At(bytes, len, 10);
  AVCLevelIndication = readU8At(bytes, len, 11);
  lengthSizeMinusOne = readU8At(bytes, len, 12) & 0x03;
  numOfSequenceParameterSets = readU8At(bytes, len, 13) & 0x1F;
  auto note = [&](std::string what) {
    if (problem.empty()) problem = "avcC: " + std::move(what);
  };
  if (configurationVersion != 1) note("version " + std::to_string(configurationVersion) + " is not 1");
  if (lengthSizeMinusOne == 2) note("length size 3 is not 1, 2 or 4");

  uint64_t pos = 14;
  // Reads one length-prefixed parameter set at pos. A length field outside the atom leaves
  // pos where it is; a unit that overruns leaves pos just after its length field.
  auto readUnit = [&](const char* kind, uint32_t i, uint32_t count, uint16_t& unitLength, Bytes& unit, auto&& build) {
    const std::string which = std::string(kind) + " " + std::to_string(i + 1) + " of " + std::to_string(count);
    if (pos + 2 > len) return note(which + " runs past the end of the atom");
    unitLength = readBE16(bytes + pos);
    pos += 2;
    if (unitLength == 0) return note(which + " is empty");
    if (pos + unitLength > len) return note(which + " runs past the end of the atom");
    unit.assign(bytes + pos, bytes + pos + unitLength);
    pos += unitLength;
    if (!build()) note(which + " does not parse");
  };

  for (uint32_t i = 0; i < numOfSequenceParameterSets; ++i)
    readUnit("SPS", i, numOfSequenceParameterSets, sequenceParameterSetLength, sequenceParameterSetNALUnit, [&] {
      sps = SPS::initSPSWithBytes(sequenceParameterSetNALUnit.data(), uint32_t(sequenceParameterSetNALUnit.size()));
      return sps != nullptr;
    });

  if (pos >= len) note("the PPS count lies past the end of the atom");
  numOfPictureParameterSets = readU8At(bytes, len, pos);
  pos += 1;
  for (uint32_t i = 0; i < numOfPictureParameterSets; ++i)
    readUnit("PPS", i, numOfPictureParameterSets, pictureParameterSetLength, pictureParameterSetNALUnit, [&] {
      pps = PPS::initPPSWithBytes(pictureParameterSetNALUnit.data(), uint32_t(pictureParameterSetNALUnit.size()));
      return pps != nullptr;
    });
}

std::shared_ptr<AVCDecoderConfigurationRecord> AVCDecoderConfigurationRecord::initAVCCWithParameterSets(
    const Bytes& sps, const Bytes& pps, uint8_t lengthSize) {
  if (sps.size() < 4 || sps.size() > 0xFFFF || pps.empty() || pps.size() > 0xFFFF || !validLengthSize(lengthSize))
    return nullptr;
  Bytes atom;
  appendBE32(atom, 0);
  appendBE32(atom, fourCC("avcC"));
  // Version 1, then profile, compatibility and level, which follow the SPS's header byte.
  atom.insert(atom.end(), {1, sps[1], sps[2], sps[3], uint8_t(0xFC | (lengthSize - 1)), 0xE0 | 1});
  appendParameterSet(atom, sps);
  atom.push_back(1);
  appendParameterSet(atom, pps);
  atom = sized(std::move(atom));
  auto r = initAVCCWithBytes(atom.data(), uint32_t(atom.size()));
  r->writeableData = std::move(atom);
  return r;
}

// ---- HVCDecoderConfigurationRecord ----

std::shared_ptr<HVCDecoderConfigurationRecord> HVCDecoderConfigurationRecord::initHVCCWithParameterSets(
    const Bytes& vps, const Bytes& sps, const Bytes& pps, uint8_t lengthSize, uint8_t chromaFormat,
    uint8_t bitDepthLuma, uint8_t bitDepthChroma) {
  for (const Bytes* unit : {&vps, &sps, &pps})
    if (unit->size() < 3 || unit->size() > 0xFFFF) return nullptr;
  if (!validLengthSize(lengthSize)) return nullptr;
  Bytes atom;
  appendBE32(atom, 0);
  appendBE32(atom, fourCC("hvcC"));
  atom.push_back(1);  // version
  // General profile space, tier, profile, compatibility, constraint flags and level: the
  // 12 bytes of the SPS's profile_tier_level, behind its 2-byte header and the byte that
  // holds the VPS id, the sub-layer count and the temporal nesting flag.
  const RbspBytes rbsp(sps.data(), uint32_t(sps.size()));
  for (uint32_t i = 3; i < 15; ++i) atom.push_back(readU8At(rbsp.data(), rbsp.size(), i));
  appendBE16(atom, 0xF000);  // no minimum spatial segmentation
  atom.push_back(0xFC);      // parallelism unknown
  atom.push_back(uint8_t(0xFC | (chromaFormat & 3)));
  atom.push_back(uint8_t(0xF8 | ((bitDepthLuma - 8) & 7)));
  atom.push_back(uint8_t(0xF8 | ((bitDepthChroma - 8) & 7)));
  appendBE16(atom, 0);  // average frame rate not given
  const uint32_t subLayers = (sps[2] >> 1) & 7;
  const uint32_t temporalIdNested = sps[2] & 1;
  atom.push_back(uint8_t(((subLayers + 1) << 3) | (temporalIdNested << 2) | (lengthSize - 1)));
  const std::pair<uint8_t, const Bytes*> arrays[] = {{32, &vps}, {33, &sps}, {34, &pps}};
  atom.push_back(uint8_t(std::size(arrays)));
  for (const auto& [nalType, unit] : arrays) {
    atom.push_back(uint8_t(0x80 | nalType));  // every set of its kind is in the array
    appendBE16(atom, 1);
    appendParameterSet(atom, *unit);
  }
  auto r = std::make_shared<HVCDecoderConfigurationRecord>();
  r->lengthSizeMinusOne = uint8_t(lengthSize - 1);
  r->writeableData = sized(std::move(atom));
  return r;
}

std::shared_ptr<HVCDecoderConfigurationRecord> HVCDecoderConfigurationRecord::initHVCDecoderWithBytes(
    const uint8_t* bytes, uint32_t size, uint32_t width, uint32_t height) {
  if (bytes == nullptr || size < kHvcCMinSize || bytes[kHvcCArrayCountOffset] < 3) return nullptr;
  auto r = std::make_shared<HVCDecoderConfigurationRecord>();
  r->width = width;
  r->height = height;
  const Bytes copy(bytes, bytes + size);
  r->readBytes(copy.data(), uint32_t(copy.size()));
  return r;
}

void HVCDecoderConfigurationRecord::readBytes(const uint8_t* bytes, uint32_t len) {
  if (bytes == nullptr || len < kHvcCMinSize) return;
  size = readBE32(bytes);
  type = readBE32(bytes + 4);
  lengthSizeMinusOne = bytes[kHvcCArrayCountOffset - 1] & 0x03;
  if (lengthSizeMinusOne == 2) problem = "hvcC: length size 3 is not 1, 2 or 4";
  checkArrays(bytes, len);
  if (len < kHvcCSearchStart + 3) return;

  // The arrays are not walked: the search looks for the first byte of a VPS, SPS or PPS
  // NAL-unit header (types 32, 33, 34, so bytes 0x40 to 0x45). In a well-formed array that
  // byte is preceded by the unit's 2-byte length and, for the first unit, by the 2-byte
  // unit count.
  uint64_t p = kHvcCSearchStart;
  while (p < uint64_t(len) - 2) {
    const uint8_t nalType = bytes[p] >> 1;
    if (nalType < 0x20 || nalType > 0x22) {
      ++p;
      continue;
    }
    const HevcParameterSet kind =
        nalType == 0x20 ? HevcParameterSet::VPS : (nalType == 0x21 ? HevcParameterSet::SPS : HevcParameterSet::PPS);
    const uint8_t count = bytes[p - 3];
    switch (kind) {
      case HevcParameterSet::VPS: numOfVPS = count; break;
      case HevcParameterSet::SPS: numOfSPS = count; break;
      case HevcParameterSet::PPS: numOfPPS = count; break;
    }
    if (count == 0) {
      ++p;
      continue;
    }
    uint64_t unit = p;
    uint64_t end = p + 1;
    for (uint32_t i = 0; i < count; ++i) {
      // The length field of unit i sits right before it; unit 0's was checked by the search.
      if (unit > len) break;
      const uint16_t unitLength = readBE16(bytes + unit - 2);
      switch (kind) {
        case HevcParameterSet::VPS: vpsSize = unitLength; break;
        case HevcParameterSet::SPS: spsSize = unitLength; break;
        case HevcParameterSet::PPS: ppsSize = unitLength; break;
      }
      end = unit + unitLength;
      if (unitLength != 0 && end <= len) {
        const Bytes nal(bytes + unit, bytes + end);
        const uint8_t* d = nal.data();
        const uint32_t n = uint32_t(nal.size());
        switch (kind) {
          case HevcParameterSet::VPS: vps = VPS_265::initVPS265WithBytes(d, n); break;
          case HevcParameterSet::SPS: sps = SPS_265::initSPS265WithBytes(d, n, width, height); break;
          case HevcParameterSet::PPS: pps = PPS_265::initPPS265WithBytes(d, n, sps); break;
        }
      }
      // The next unit starts after the following 2-byte length field.
      unit = end + 2;
    }
    // Resume right after the last unit handled; an empty unit still moves the search on.
    p = end > p ? end : p + 1;
  }
}

void HVCDecoderConfigurationRecord::checkArrays(const uint8_t* bytes, uint32_t len) {
  const uint32_t arrays = bytes[kHvcCArrayCountOffset];
  uint64_t p = kHvcCSearchStart;
  std::shared_ptr<SPS_265> lastSps;
  for (uint32_t a = 0; a < arrays && problem.empty(); ++a) {
    const std::string which = "array " + std::to_string(a + 1) + " of " + std::to_string(arrays);
    if (p + 3 > len) {
      problem = "hvcC: " + which + " runs past the end of the atom";
      return;
    }
    const uint8_t nalType = bytes[p] & 0x3F;
    const uint32_t count = readBE16(bytes + p + 1);
    p += 3;
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t unitLength = p + 2 <= len ? readBE16(bytes + p) : 0;
      if (p + 2 > len || p + 2 + unitLength > len) {
        problem = "hvcC: " + which + " runs past the end of the atom";
        return;
      }
      const uint8_t* d = bytes + p + 2;
      bool parses = true;
      if (nalType == 32) parses = VPS_265::initVPS265WithBytes(d, unitLength) != nullptr;
      if (nalType == 33) parses = (lastSps = SPS_265::initSPS265WithBytes(d, unitLength, width, height)) != nullptr;
      if (nalType == 34) parses = PPS_265::initPPS265WithBytes(d, unitLength, lastSps) != nullptr;
      if (!parses) {
        problem = "hvcC: a parameter set of type " + std::to_string(nalType) + " does not parse";
        return;
      }
      p += 2 + unitLength;
    }
  }
}

void SampleDescriptionEntery::readEntryHeader(const uint8_t* bytes, uint32_t len) {
  size = readBE32At(bytes, len, 0);
  dataFormat = readBE32At(bytes, len, 4);
  for (size_t i = 0; i < reserved1.size(); ++i) reserved1[i] = readU8At(bytes, len, 8 + i);
  for (size_t i = 0; i < reserved2.size(); ++i) reserved2[i] = readU8At(bytes, len, 12 + i);
  dataReferenceIndex = readBE16At(bytes, len, 14);
  version = readBE16At(bytes, len, 16);
  revisionLevel = readBE16At(bytes, len, 18);
  vendor = readBE32At(bytes, len, 20);
}

// ---- VideoSampleDescriptionEntery ----

std::shared_ptr<VideoSampleDescriptionEntery> VideoSampleDescriptionEntery::initWithFormat(uint32_t format,
                                                                                         uint16_t width,
                                                                                         uint16_t height,
                                                                                         const Bytes& extensions) {
  Bytes fields(8, 0);  // temporal and spatial quality
  appendBE16(fields, width);
  appendBE16(fields, height);
  appendBE32(fields, 72 << 16);  // horizontal and vertical resolution
  appendBE32(fields, 72 << 16);
  appendBE32(fields, 0);               // data size
  appendBE16(fields, 1);               // frames per sample
  fields.insert(fields.end(), 32, 0);  // no compressor name
  appendBE16(fields, 24);              // depth
  appendBE16(fields, 0xFFFF);          // no colour table
  return builtEntry<VideoSampleDescriptionEntery>(format, fields, extensions);
}

void VideoSampleDescriptionEntery::readBytes(const uint8_t* bytes, uint32_t len) {
  if (bytes == nullptr) return;
  // Fixed fields; any that lie beyond a short entry stay 0.
  readEntryHeader(bytes, len);
  temporalQuality = readBE32At(bytes, len, 24);
  spatialQuality = readBE32At(bytes, len, 28);
  width = readBE16At(bytes, len, 32);
  height = readBE16At(bytes, len, 34);
  horizontalResolution = readBE32At(bytes, len, 36);
  verticalResolution = readBE32At(bytes, len, 40);
  dataSize = readBE32At(bytes, len, 44);
  frameCount = readBE16At(bytes, len, 48);
  // The 32-byte compressor-name field, taken from its first byte (the Pascal count byte
  // included) up to the first zero byte.
  compressorName.clear();
  for (uint32_t i = 50; i < 82 && i < len && bytes[i] != 0; ++i) compressorName.push_back(char(bytes[i]));
  depth = readBE16At(bytes, len, 82);
  colorTableID = int16_t(readBE16At(bytes, len, 84));

  if (dataFormat != fourCC("avc1") && dataFormat != fourCC("hvc1")) return;
  if (len < kVideoMinSearchedEntry) return;

  // Byte-by-byte search of the extension area for the configuration records. Only "colr"
  // atoms are stepped over whole; a record or "colr" whose size does not fit (or cannot
  // hold an atom header) is passed by one byte.
  uint64_t p = kVideoExtensionsStart;
  while (p + kAtomHeaderSize <= len) {
    const uint32_t atomType = readBE32(bytes + p + 4);
    const uint32_t atomSize = readBE32(bytes + p);
    const bool fits = atomSize >= kAtomHeaderSize && p + atomSize <= len;
    if (atomType == fourCC("avcC") && fits) {
      avcDecoder = AVCDecoderConfigurationRecord::initAVCCWithBytes(bytes + p, atomSize);
      hvcDecoder.reset();
      p += atomSize;
    } else if (atomType == fourCC("hvcC") && fits) {
      auto record = HVCDecoderConfigurationRecord::initHVCDecoderWithBytes(bytes + p, atomSize, width, height);
      if (record) {
        hvcDecoder = std::move(record);
        avcDecoder.reset();
      }
      p += atomSize;
    } else if (atomType == fourCC("colr") && fits) {
      p += atomSize;
    } else {
      p += 1;
    }
  }
}

uint32_t VideoSampleDescriptionEntery::lengthSizeMinusOne() const {
  if (dataFormat == fourCC("avc1")) return avcDecoder ? avcDecoder->lengthSizeMinusOne : 0;
  // The samples are written as found, so their length prefix must be the one the copied
  // "hvcC" declares.
  if (dataFormat == fourCC("hvc1")) return hvcDecoder ? hvcDecoder->lengthSizeMinusOne : 3;
  return 0;
}

std::string VideoSampleDescriptionEntery::getResolution() const {
  char text[32];
  std::snprintf(text, sizeof text, "%dx%d", int(width), int(height));
  return text;
}

// ---- AudioSampleDescriptionEntery ----

std::shared_ptr<AudioSampleDescriptionEntery> AudioSampleDescriptionEntery::initWithFormat(uint32_t format,
                                                                                         uint16_t channels,
                                                                                         uint32_t rate,
                                                                                         const Bytes& extensions) {
  Bytes fields;
  appendBE16(fields, channels);
  appendBE16(fields, 16);  // bits per sample
  appendBE32(fields, 0);   // compression id and packet size
  appendBE32(fields, rate <= 0xFFFF ? rate << 16 : 0);
  return builtEntry<AudioSampleDescriptionEntery>(format, fields, extensions);
}

void AudioSampleDescriptionEntery::readBytes(const uint8_t* bytes, uint32_t len) {
  if (bytes == nullptr) return;
  readEntryHeader(bytes, len);
  numberOfChannels = readBE16At(bytes, len, 24);
  sampleSize = readBE16At(bytes, len, 26);
  compressionID = readBE16At(bytes, len, 28);
  packetSize = readBE16At(bytes, len, 30);
  sampleRate = readBE32At(bytes, len, 32);

  if (dataFormat == fourCC("mp4a")) {
    if (len < kAudioMinSearchedEntry) return;
    // Searching byte by byte finds the "esds" whatever the sound-description version
    // and however deeply it is nested (for example inside a "wave" atom).
    uint64_t p = kAudioSearchStart;
    while (p + kAtomHeaderSize <= len) {
      const uint32_t atomSize = readBE32(bytes + p);
      if (readBE32(bytes + p + 4) == fourCC("esds") && atomSize >= kAtomHeaderSize && p + atomSize <= len) {
        decoder = EsdsDecoder::initESDSWithBytes(bytes + p, atomSize);
        p += atomSize;
      } else {
        p += 1;
      }
    }
  }
}

Bytes AudioSampleDescriptionEntery::decoderSpecificInfo() const {
  if (dataFormat != fourCC("mp4a") || !decoder) return {};
  return decoder->decoderSpecificInfo();
}

// ---- Stsd ----

std::shared_ptr<Stsd> Stsd::initSTSDWithBytes(const uint8_t* bytes, uint32_t size) {
  auto s = std::make_shared<Stsd>();
  if (bytes != nullptr) s->stsdData.assign(bytes, bytes + size);
  s->readBytes(s->stsdData.data(), uint32_t(s->stsdData.size()));
  return s;
}

std::shared_ptr<Stsd> Stsd::initSTSDWithEntry(const SampleDescriptionEntery& entry) {
  Bytes atom;
  appendBE32(atom, uint32_t(16 + entry.writeableData.size()));
  appendBE32(atom, fourCC("stsd"));
  appendBE32(atom, 0);
  appendBE32(atom, 1);
  appendBytes(atom, entry.writeableData);
  return initSTSDWithBytes(atom.data(), uint32_t(atom.size()));
}

void Stsd::readBytes(const uint8_t* bytes, uint32_t len) {
  if (bytes == nullptr) return;
  size = readBE32At(bytes, len, 0);
  type = readBE32At(bytes, len, 4);
  version_Flag = readBE32At(bytes, len, 8);
  numberOfEntries = readBE32At(bytes, len, 12);

  uint64_t p = 16;
  for (uint32_t i = 0; i < numberOfEntries; ++i) {
    // The entry's header must lie within the atom and its declared size must cover at
    // least that header (so the walk always advances) without running past the end.
    if (p + kAtomHeaderSize > len) break;
    const uint32_t entrySize = readBE32(bytes + p);
    if (entrySize < kAtomHeaderSize || p + entrySize > len) break;
    // The entry types understood, their codec numbers and whether they describe video.
    static constexpr struct {
      uint32_t type;
      uint64_t codec;
      bool video;
    } kEntries[] = {{fourCC("avc1"), kTrackCodecAVC1, true},  {fourCC("hvc1"), kTrackCodecHVC1, true},
                    {fourCC("mp4a"), kTrackCodecMP4A, false}, {fourCC("sowt"), kTrackCodecSOWT, false},
                    {fourCC("twos"), kTrackCodecTWOS, false}};
    const uint32_t entryType = readBE32(bytes + p + 4);
    const auto* known =
        std::find_if(std::begin(kEntries), std::end(kEntries), [&](const auto& e) { return e.type == entryType; });
    if (known == std::end(kEntries)) break;
    const uint64_t codec = known->codec;
    std::shared_ptr<SampleDescriptionEntery> entry;
    if (known->video)
      entry = VideoSampleDescriptionEntery::initVSDEnteryWithBytes(bytes + p, entrySize);
    else
      entry = AudioSampleDescriptionEntery::initASDEnteryWithBytes(bytes + p, entrySize);
    sampleDescriptionTable.push_back(std::move(entry));
    codecFormat = codec;
    p += entrySize;
  }
}

std::shared_ptr<SampleDescriptionEntery> Stsd::getDecoder() const {
  return sampleDescriptionTable.empty() ? nullptr : sampleDescriptionTable.front();
}

namespace {

bool isVideoCodec(uint64_t codec) { return codec == kTrackCodecAVC1 || codec == kTrackCodecHVC1; }

std::shared_ptr<VideoSampleDescriptionEntery> firstVideoEntry(const Stsd& stsd) {
  if (!isVideoCodec(stsd.codecFormat)) return nullptr;
  return std::dynamic_pointer_cast<VideoSampleDescriptionEntery>(stsd.getDecoder());
}

std::shared_ptr<AudioSampleDescriptionEntery> firstAacEntry(const Stsd& stsd) {
  if (stsd.codecFormat != kTrackCodecMP4A) return nullptr;
  return std::dynamic_pointer_cast<AudioSampleDescriptionEntery>(stsd.getDecoder());
}

// A parameter set of the first video entry's configuration record, when it has that record.
template <auto Record, auto Set>
auto parameterSet(const Stsd& stsd) {
  const auto v = firstVideoEntry(stsd);
  return v && (*v.*Record) ? (*v.*Record).get()->*Set : nullptr;
}

}  // namespace

uint32_t Stsd::avc1NaluSizeLength() const {
  if (!isVideoCodec(codecFormat)) return 0;
  const auto first = getDecoder();
  return first ? first->lengthSizeMinusOne() + 1 : 0;
}

std::shared_ptr<vr::SPS> Stsd::SPS() const {
  return parameterSet<&VideoSampleDescriptionEntery::avcDecoder, &AVCDecoderConfigurationRecord::sps>(*this);
}
std::shared_ptr<vr::PPS> Stsd::PPS() const {
  return parameterSet<&VideoSampleDescriptionEntery::avcDecoder, &AVCDecoderConfigurationRecord::pps>(*this);
}
std::shared_ptr<vr::VPS_265> Stsd::VPS() const {
  return parameterSet<&VideoSampleDescriptionEntery::hvcDecoder, &HVCDecoderConfigurationRecord::vps>(*this);
}
std::shared_ptr<vr::SPS_265> Stsd::SPS265() const {
  return parameterSet<&VideoSampleDescriptionEntery::hvcDecoder, &HVCDecoderConfigurationRecord::sps>(*this);
}
std::shared_ptr<vr::PPS_265> Stsd::PPS265() const {
  return parameterSet<&VideoSampleDescriptionEntery::hvcDecoder, &HVCDecoderConfigurationRecord::pps>(*this);
}

std::shared_ptr<DecoderSpecifiInfoWrapper> Stsd::decoderSpecificInfo() const {
  const auto a = firstAacEntry(*this);
  if (!a) return nullptr;
  Bytes info = a->decoderSpecificInfo();
  if (info.empty()) return nullptr;
  auto w = std::make_shared<DecoderSpecifiInfoWrapper>();
  w->decoderSpecificInfo = std::move(info);
  return w;
}

std::string Stsd::getResolution() const {
  const auto first = getDecoder();
  return first ? first->getResolution() : std::string{};
}

}  // namespace vr
