#include "engine/NALU.h"

#include "bitstream/PPS.h"
#include "bitstream/PPS_265.h"
#include "bitstream/SPS.h"
#include "bitstream/SPS_265.h"
#include "bitstream/SliceHeader.h"
#include "bitstream/SliceHeader_265.h"
#include "bitstream/VPS_265.h"

namespace vr {

const char* naluNameText(NaluName name) {
  switch (name) {
    case NaluName::Slice: return "Slice";
    case NaluName::SPS: return "SPS";
    case NaluName::PPS: return "PPS";
    case NaluName::VPS: return "VPS";
    case NaluName::SEI: return "SEI";
    case NaluName::AUD: return "AUD";
    case NaluName::Unspecified: return "Unspecified";
    case NaluName::None: break;
  }
  return nullptr;
}

void NALU::reset() {
  forbiddenBit = NRI = NALType = NLayerId = NTempID = nalSize = 0;
  frameNum = sliceType = firstMBInSlice = -1;
  name = NaluName::None;
  RBSP = std::monostate{};
}

std::shared_ptr<NALU> NALU::initNALUWithBytes(const uint8_t* bytes, uint32_t bytesSize, uint8_t sizeBytesLength,
                                              const ReferenceParameterSets& reference) {
  auto nalu = std::make_shared<NALU>();
  if (!nalu->probe(bytes, bytesSize, sizeBytesLength, reference)) return nullptr;
  return nalu;
}

bool NALU::probe(const uint8_t* bytes, uint32_t bytesSize, uint8_t sizeBytesLength,
                 const ReferenceParameterSets& reference, uint32_t maxNalSize) {
  reset();
  if (reference.isHEVC()) {
    if (!reference.sps265 || !reference.pps265) return false;
    return readBytesForHVC(bytes, bytesSize, sizeBytesLength, reference.vps, reference.sps265, reference.pps265,
                           maxNalSize);
  }
  if (!reference.sps || !reference.pps) return false;
  return readBytesForAVC(bytes, bytesSize, sizeBytesLength, *reference.sps, *reference.pps, maxNalSize);
}

namespace {

// Total unit size from the length prefix: prefix value plus prefix length. A prefix length
// outside 1..4, a window too short for the prefix and its header, or a total that does not
// fit 32 bits yields nothing.
bool readUnitSize(const uint8_t* bytes, uint32_t bytesSize, uint8_t n, uint32_t headerBytes, uint32_t& nalSize) {
  if (bytes == nullptr || n == 0 || n > 4 || bytesSize < uint32_t(n) + headerBytes) return false;
  uint64_t value = 0;
  for (uint8_t i = 0; i < n; ++i) value = (value << 8) | bytes[i];
  value += n;
  if (value > UINT32_MAX) return false;
  nalSize = uint32_t(value);
  return true;
}

// Reads the bytes of a unit's payload with the emulation-prevention bytes (the 3 of
// 00 00 03) left out.
class PayloadReader {
 public:
  PayloadReader(const uint8_t* bytes, uint32_t size) : bytes_(bytes), size_(size) {}
  bool atEnd() const { return pos_ >= size_; }
  uint8_t next() {
    if (zeros_ >= 2 && pos_ < size_ && bytes_[pos_] == 3) {
      ++pos_;
      zeros_ = 0;
    }
    if (pos_ >= size_) return 0;
    const uint8_t b = bytes_[pos_++];
    zeros_ = b == 0 ? zeros_ + 1 : 0;
    return b;
  }
  // Steps over n payload bytes; false when the unit ends first.
  bool skip(uint64_t n) {
    if (n > size_ - pos_) return false;  // emulation-prevention bytes only lengthen the unit
    for (; n > 0; --n) {
      if (atEnd()) return false;
      next();
    }
    return true;
  }
  // A value coded as a run of 0xFF bytes and a last byte (SEI payload type and size).
  uint64_t ffCoded() {
    uint64_t v = 0;
    uint8_t b;
    while (!atEnd() && (b = next()) == 0xFF) v += 255;
    return v + b;
  }

 private:
  const uint8_t* bytes_;
  uint32_t size_;
  uint32_t pos_ = 0;
  uint32_t zeros_ = 0;
};

// The stop bit closes the payload: the last byte ends in a one followed by zeros, and only
// zero bytes (cabac_zero_words) may follow it. False for nothing but zeros.
bool endsWithStopBit(const uint8_t* bytes, uint32_t size) {
  while (size > 0 && bytes[size - 1] == 0) --size;
  return size > 0;
}

// SEI messages (payload type, payload size, payload) one after another up to the stop bit.
bool seiMessagesFill(const uint8_t* payload, uint32_t size) {
  PayloadReader in(payload, size);
  for (int messages = 0; messages < 64; ++messages) {
    if (in.atEnd()) return false;
    in.ffCoded();
    if (in.atEnd()) return false;
    if (!in.skip(in.ffCoded())) return false;
    if (in.atEnd()) return false;
    // The stop bit byte alone, or zeros behind it, ends the unit; anything else is the
    // next message.
    PayloadReader rest = in;
    if (rest.next() == 0x80) {
      bool zeros = true;
      while (!rest.atEnd()) zeros = zeros && rest.next() == 0;
      if (zeros) return true;
    }
  }
  return false;
}

}  // namespace

bool NALU::payloadIsWhole(const uint8_t* unit, uint32_t unitBytes, bool hevc) const {
  const uint32_t header = hevc ? 2 : 1;
  if (unit == nullptr || unitBytes < header) return false;
  const uint8_t* payload = unit + header;
  const uint32_t size = unitBytes - header;
  // A delimiter holds the picture type and the stop bit; zero bytes may follow a payload.
  auto delimiter = [&] { return size >= 1 && (payload[0] & 0x1F) == 0x10 && !endsWithStopBit(payload + 1, size - 1); };
  if (hevc) {
    switch (NALType) {
      case 35: return delimiter();
      case 36: case 37: return !endsWithStopBit(payload, size);  // end of sequence, of stream
      case 38: return size > 0 && endsWithStopBit(payload, size);  // filler
      case 39: case 40: return seiMessagesFill(payload, size);
      default: return true;
    }
  }
  switch (NALType) {
    case 6: return seiMessagesFill(payload, size);
    case 9: return delimiter();
    case 10: case 11: return !endsWithStopBit(payload, size);
    case 12: {
      uint32_t i = 0;
      while (i < size && payload[i] == 0xFF) ++i;
      return i + 1 == size && payload[i] == 0x80;
    }
    case 13: case 14: case 15: case 16: case 17: case 18: case 21: case 22: case 23:
      return endsWithStopBit(payload, size);
    default: return true;
  }
}

bool NALU::readBytesForAVC(const uint8_t* bytes, uint32_t bytesSize, uint8_t n, const vr::SPS& sps, const vr::PPS& pps,
                           uint32_t maxNalSize) {
  // The header byte comes first: most offsets of unmatched data fail on it alone.
  if (bytes == nullptr || n == 0 || n > 4 || bytesSize <= n) return false;
  const uint8_t h = bytes[n];
  forbiddenBit = h >> 7;
  NRI = (h >> 5) & 3;
  NALType = h & 0x1F;
  if (forbiddenBit != 0) return false;
  switch (NALType) {
    case 1: break;
    case 5: case 7: case 8:
      if (NRI == 0) return false;
      break;
    case 6: case 9: case 10: case 11: case 12:
      if (NRI != 0) return false;
      break;
    case 13: case 14: case 15: case 16: case 17: case 18: case 20: case 21: case 22: case 23:
      // Extension and reserved types are taken only behind 4-byte lengths: with 1- or 2-byte
      // lengths nearly any bytes of audio read as such a unit of a believable size, and the
      // false unit then carries a false picture into the run.
      if (n < 4) return false;
      break;
    default:
      return false;
  }
  if (!readUnitSize(bytes, bytesSize, n, 1, nalSize)) return false;
  if (nalSize == 0 || nalSize > maxNalSize) return false;
  if (NALType >= 6 && NALType != 20 && nalSize > 800) return false;

  const uint8_t* unit = bytes + n;
  const uint32_t unitBytes = bytesSize - n;
  if (NALType == 14 || NALType == 20) {
    // The scalable (svc_extension_flag 1) or multiview header extension that follows the
    // header byte ends in reserved bits of fixed value: two ones, or a single one.
    if (nalSize < uint32_t(n) + 4 || unitBytes < 4) return false;
    const bool svc = unit[1] & 0x80;
    if (svc ? (unit[3] & 3) != 3 : (unit[3] & 1) != 1) return false;
  }
  if (NALType == 6 || (NALType >= 9 && NALType != 20)) {
    if (nalSize <= bytesSize && !payloadIsWhole(unit, nalSize - n, false)) return false;
    return true;
  }
  switch (NALType) {
    case 1:
    case 5: {
      auto header = SliceHeader::initIDRWithBytes(unit + 1, unitBytes - 1, NALType, NRI, sps, pps, judgeSliceSyntax);
      if (!header) return false;
      sliceType = header->slice_type;
      firstMBInSlice = header->first_mb_in_slice;
      frameNum = header->frame_num;
      RBSP = std::move(header);
      return true;
    }
    case 7: {
      auto set = vr::SPS::initSPSWithBytes(unit, unitBytes);
      if (!set || set->seq_parameter_set_id != sps.seq_parameter_set_id) return false;
      RBSP = std::move(set);
      return true;
    }
    case 8: {
      auto set = vr::PPS::initPPSWithBytes(unit, unitBytes);
      if (set) RBSP = std::move(set);
      return true;
    }
    default:  // 20: a slice of another layer or view, which travels with the base picture
      return true;
  }
}

bool NALU::readBytesForHVC(const uint8_t* bytes, uint32_t bytesSize, uint8_t n, const std::shared_ptr<VPS_265>& vps,
                           const std::shared_ptr<SPS_265>& spsPtr, const std::shared_ptr<PPS_265>& ppsPtr,
                           uint32_t maxNalSize) {
  if (!spsPtr || !ppsPtr) return false;
  const SPS_265& sps = *spsPtr;
  if (bytes == nullptr || n == 0 || n > 4 || bytesSize < uint32_t(n) + 2) return false;
  const uint8_t h0 = bytes[n];
  const uint8_t h1 = bytes[n + 1];
  forbiddenBit = h0 >> 7;
  NALType = (h0 >> 1) & 0x3F;
  NLayerId = (uint32_t(h0 & 1) << 5) | (h1 >> 3);
  NTempID = h1 & 7;
  if (forbiddenBit != 0 || NTempID == 0) return false;
  if (NLayerId != sps.NLayerId) return false;
  const uint32_t t = NALType;
  const bool isSlice = t <= 9 || (t >= 16 && t <= 21);
  const bool isParamOrSei = (t >= 32 && t <= 36) || t == 39 || t == 40;
  const bool isUnspecified = t >= 48;
  if (!isSlice && !isParamOrSei && !isUnspecified) return false;
  if (!readUnitSize(bytes, bytesSize, n, 2, nalSize)) return false;
  if (nalSize < 7 || nalSize > maxNalSize) return false;
  if (isParamOrSei && nalSize > 800) return false;
  if (isUnspecified && nalSize > 1000) return false;

  const uint8_t* unit = bytes + n;
  const uint32_t s = bytesSize - n - 2;  // payload bytes after the two-byte header
  if ((t >= 35 && t <= 40) && nalSize <= bytesSize && !payloadIsWhole(unit, nalSize - n, true)) return false;
  if (isSlice) {
    auto header = SliceHeader_265::initSLiceHeader265WithBytes(unit + 2, s, NALType, sps, *ppsPtr, vps);
    if (!header) return false;
    firstMBInSlice = header->first_slice_segment_in_pic_flag;
    name = NaluName::Slice;
    RBSP = std::move(header);
    return true;
  }
  switch (t) {
    case 33: {
      auto set = SPS_265::initSPS265WithBytes(unit, s, uint32_t(sps.pic_width_in_luma_samples),
                                              uint32_t(sps.pic_height_luma_samples));
      if (!set || set->seq_parameter_set_id != sps.seq_parameter_set_id) return false;
      name = NaluName::SPS;
      RBSP = std::move(set);
      return true;
    }
    case 34: {
      auto set = PPS_265::initPPS265WithBytes(unit, s, spsPtr);
      if (set) RBSP = std::move(set);
      name = NaluName::PPS;
      return true;
    }
    case 32: {
      auto set = VPS_265::initVPS265WithBytes(unit, s);
      if (set) RBSP = std::move(set);
      name = NaluName::VPS;
      return true;
    }
    case 39: case 40: name = NaluName::SEI; return true;
    case 35: name = NaluName::AUD; return true;
    case 36: case 63: name = NaluName::None; return true;
    default: name = NaluName::Unspecified; return true;  // 48..62
  }
}

}  // namespace vr
