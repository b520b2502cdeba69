#include "atoms/Descriptors.h"

#include "atoms/AtomReader.h"

namespace vr {

namespace {

constexpr uint8_t kTagESDescriptor = 0x03;
constexpr uint8_t kTagDecoderConfig = 0x04;
constexpr uint8_t kTagDecoderSpecificInfo = 0x05;
constexpr uint8_t kTagSyncLayerConfig = 0x06;

// Finds the body of the descriptor whose tag is at tagPos, when the body lies entirely
// within [0, limit). Returns false for a missing, empty or overrunning body; bodyStart is
// then still set to the byte after the size field when that field was complete.
bool bodyWithin(const uint8_t* data, uint32_t limit, uint32_t tagPos, uint32_t& bodyStart, uint32_t& bodyLength) {
  uint64_t len = 0;
  if (!readDescriptorLength(data, limit, tagPos, bodyStart, len)) return false;
  if (len > uint64_t(limit) - bodyStart) return false;
  bodyLength = uint32_t(len);
  return true;
}

// A descriptor with a body shorter than 128 bytes: tag, one-byte size, body.
Bytes descriptor(uint8_t tag, std::initializer_list<std::span<const uint8_t>> parts) {
  Bytes out{tag, 0};
  for (const auto& p : parts) appendBytes(out, p);
  out[1] = uint8_t(out.size() - 2);
  return out;
}

}  // namespace

Bytes aacAudioSpecificConfig(uint32_t rate, uint32_t channels) {
  uint32_t index = 3;
  for (uint32_t i = 0; i < std::size(kAacSamplingRates); ++i)
    if (kAacSamplingRates[i] == rate) index = i;
  constexpr uint32_t kObjectTypeAacLc = 2;
  const uint32_t bits = (kObjectTypeAacLc << 11) | (index << 7) | ((channels & 0xF) << 3);
  return {uint8_t(bits >> 8), uint8_t(bits)};
}

bool readDescriptorLength(const uint8_t* data, uint32_t size, uint32_t tagPos, uint32_t& bodyStart,
                          uint64_t& bodyLength) {
  bodyStart = 0;
  bodyLength = 0;
  if (data == nullptr) return false;
  uint64_t p = uint64_t(tagPos) + 1;
  uint64_t value = 0;
  while (p < size) {
    const uint8_t b = data[p++];
    value = (value << 7) | (b & 0x7F);
    // More than 32 bits of size cannot describe anything inside an atom.
    if (value > 0xFFFFFFFFull) {
      bodyStart = uint32_t(p);
      return false;
    }
    if ((b & 0x80) == 0) {
      bodyStart = uint32_t(p);
      bodyLength = value;
      return value != 0;
    }
  }
  // The size field ran off the data.
  bodyStart = size;
  return false;
}

// ---- DecoderConfigDescriptor ----

std::shared_ptr<DecoderConfigDescriptor> DecoderConfigDescriptor::initDecoderConfigDescriptorWithBytes(
    const uint8_t* bytes, uint32_t length) {
  auto d = std::make_shared<DecoderConfigDescriptor>();
  d->tag = kTagDecoderConfig;
  d->length = uint8_t(length);
  d->readBytes(bytes, length);
  return d;
}

void DecoderConfigDescriptor::readBytes(const uint8_t* bytes, uint32_t len) {
  if (bytes == nullptr) return;
  // Fixed part: 13 bytes. A shorter body leaves the fields it lacks at 0.
  objectTypeIndication = readU8At(bytes, len, 0);
  const uint8_t streamByte = readU8At(bytes, len, 1);
  streamType = streamByte >> 2;
  upStream = (streamByte >> 1) & 1;
  reserved = streamByte & 1;
  bufferSizeDB = len >= 5 ? readBE24(bytes + 2) : 0;
  maxBitrate = readBE32At(bytes, len, 5);
  avgBitrate = readBE32At(bytes, len, 9);

  if (readU8At(bytes, len, 13) != kTagDecoderSpecificInfo) return;
  uint32_t start = 0, bodyLen = 0;
  if (bodyWithin(bytes, len, 13, start, bodyLen)) decoderSpecificInfo.assign(bytes + start, bytes + start + bodyLen);
}

// ---- ObjectDescriptor ----

std::shared_ptr<ObjectDescriptor> ObjectDescriptor::initObjectDescriptorWithBytes(const uint8_t* bytes,
                                                                                  uint32_t length) {
  auto d = std::make_shared<ObjectDescriptor>();
  d->tag = kTagESDescriptor;
  d->length = uint8_t(length);
  d->readBytes(bytes, length);
  return d;
}

void ObjectDescriptor::readBytes(const uint8_t* bytes, uint32_t len) {
  if (bytes == nullptr) return;
  ES_ID = readBE16At(bytes, len, 0);
  const uint8_t flags = readU8At(bytes, len, 2);
  streamDependenceFlag = (flags >> 7) & 1;
  URLFlag = (flags >> 6) & 1;
  OCRstreamFlag = (flags >> 5) & 1;
  streamPriority = flags & 0x1F;

  uint64_t pos = 3;
  if (streamDependenceFlag == 1) {
    dependsOn_ES_ID = readBE16At(bytes, len, pos);
    pos += 2;
  }
  if (URLFlag == 1) {
    URLlength = readU8At(bytes, len, pos);
    pos += 1;
    // The text is taken only as far as the body holds it.
    const uint64_t avail = pos < len ? len - pos : 0;
    const uint64_t take = URLlength < avail ? URLlength : avail;
    if (take > 0) URLstring.assign(reinterpret_cast<const char*>(bytes + pos), size_t(take));
    pos += URLlength;
  }
  if (OCRstreamFlag == 1) {
    OCR_ES_Id = readBE16At(bytes, len, pos);
    pos += 2;
  }

  if (pos < len && bytes[pos] == kTagDecoderConfig) {
    uint32_t start = 0, bodyLen = 0;
    if (bodyWithin(bytes, len, uint32_t(pos), start, bodyLen))
      decoderConfigDescriptor = DecoderConfigDescriptor::initDecoderConfigDescriptorWithBytes(bytes + start, bodyLen);
  }
}

// ---- EsdsDecoder ----

std::shared_ptr<EsdsDecoder> EsdsDecoder::initESDSWithAudioSpecificConfig(const Bytes& audioSpecificConfig) {
  if (audioSpecificConfig.empty() || audioSpecificConfig.size() > 64) return nullptr;
  constexpr uint8_t kMpeg4Audio = 0x40;
  constexpr uint8_t kAudioStream = (5 << 2) | 1;  // stream type 5, reserved bit set
  Bytes fixed{kMpeg4Audio, kAudioStream};
  appendBE24(fixed, 6144);  // decoder buffer
  appendBE64(fixed, 0);     // maximum and average bitrate
  const Bytes config =
      descriptor(kTagDecoderConfig, {fixed, descriptor(kTagDecoderSpecificInfo, {audioSpecificConfig})});
  const Bytes esHead{0, 0, 0};  // ES id 0, no optional fields, priority 0
  const Bytes syncLayer{2};     // predefined MP4 configuration
  const Bytes es = descriptor(kTagESDescriptor, {esHead, config, descriptor(kTagSyncLayerConfig, {syncLayer})});
  Bytes atom;
  appendBE32(atom, uint32_t(12 + es.size()));
  appendBE32(atom, fourCC("esds"));
  appendBE32(atom, 0);
  appendBytes(atom, es);
  auto d = initESDSWithBytes(atom.data(), uint32_t(atom.size()));
  d->writeableData = std::move(atom);
  return d;
}

void EsdsDecoder::readBytes(const uint8_t* bytes, uint32_t len) {
  if (bytes == nullptr) return;
  size = readBE32At(bytes, len, 0);
  type = readBE32At(bytes, len, 4);
  version_flags = readBE32At(bytes, len, 8);
  if (readU8At(bytes, len, 12) != kTagESDescriptor) return;
  uint32_t start = 0, bodyLen = 0;
  if (!bodyWithin(bytes, len, 12, start, bodyLen)) return;
  const Bytes body(bytes + start, bytes + start + bodyLen);
  objectDesc = ObjectDescriptor::initObjectDescriptorWithBytes(body.data(), uint32_t(body.size()));
}

}  // namespace vr
