#pragma once
// NAL unit probing. Movie media data stores H.264 and H.265 NAL units behind a big-endian
// length prefix of 1 to 4 bytes instead of start codes. Given the bytes at some offset of a
// damaged file, the probe decides whether a unit of the reference's stream starts there:
// the header must be plausible for the codec and, for slices and sequence parameter sets,
// the payload must parse with the reference's parameter sets. An accepted unit carries its
// total size, so the next unit can be probed right behind it, and the fields that group
// units into pictures.
#include <cstdint>
#include <memory>
#include <variant>

#include "engine/Sample.h"

namespace vr {

class SPS;
class PPS;
class SliceHeader;
class VPS_265;
class SPS_265;
class PPS_265;
class SliceHeader_265;

// Bytes each probe looks at: length prefix, NAL header and the start of the payload.
inline constexpr uint32_t kNaluProbeWindow = 50;

// The reference stream's parameter sets. A VPS selects the H.265 rules (with sps265 and
// pps265); without one the H.264 rules apply (with sps and pps).
struct ReferenceParameterSets {
  std::shared_ptr<vr::SPS> sps;
  std::shared_ptr<vr::PPS> pps;
  std::shared_ptr<VPS_265> vps;
  std::shared_ptr<SPS_265> sps265;
  std::shared_ptr<PPS_265> pps265;

  bool isHEVC() const { return vps != nullptr; }
  // True when the sets the chosen rules need are all present.
  bool complete() const { return isHEVC() ? (sps265 && pps265) : (sps && pps); }
};

class NALU {
 public:
  // The parsed header object of the unit, when it has one.
  using ParsedHeader =
      std::variant<std::monostate, std::shared_ptr<SliceHeader>, std::shared_ptr<vr::SPS>, std::shared_ptr<vr::PPS>,
                   std::shared_ptr<SliceHeader_265>, std::shared_ptr<SPS_265>, std::shared_ptr<PPS_265>,
                   std::shared_ptr<VPS_265>>;

  // Probes a window that starts at the length prefix (normally kNaluProbeWindow bytes,
  // zero-padded at the end of the file). Returns the unit, or nothing when rejected.
  static std::shared_ptr<NALU> initNALUWithBytes(const uint8_t* bytes, uint32_t bytesSize, uint8_t sizeBytesLength,
                                                 const ReferenceParameterSets& reference);

  // The probe into an existing object (no allocation for a rejected offset). Units whose
  // total size exceeds maxNalSize are rejected before their payload is parsed.
  bool probe(const uint8_t* bytes, uint32_t bytesSize, uint8_t sizeBytesLength, const ReferenceParameterSets& reference,
             uint32_t maxNalSize = UINT32_MAX);

  bool readBytesForAVC(const uint8_t* bytes, uint32_t bytesSize, uint8_t sizeBytesLength, const vr::SPS& sps,
                       const vr::PPS& pps, uint32_t maxNalSize = UINT32_MAX);
  bool readBytesForHVC(const uint8_t* bytes, uint32_t bytesSize, uint8_t sizeBytesLength,
                       const std::shared_ptr<VPS_265>& vps, const std::shared_ptr<SPS_265>& sps,
                       const std::shared_ptr<PPS_265>& pps, uint32_t maxNalSize = UINT32_MAX);

  // For a unit that carries neither a picture nor a parameter set: true when its payload
  // parses to exactly its length (an access unit delimiter's one byte ending in the stop
  // bit, SEI messages whose sizes add up to the unit, an end of sequence without payload,
  // filler bytes). `unit` holds the whole unit behind its length prefix, `unitBytes` long.
  // Other units pass. The probe applies it whenever the window holds the whole unit.
  bool payloadIsWhole(const uint8_t* unit, uint32_t unitBytes, bool hevc) const;

  // "Slice", "SPS", "PPS", "VPS", "SEI", "AUD", "Unspecified" (H.265 only), or nullptr.
  const char* setName() const { return naluNameText(name); }
  void setSetName(NaluName n) { name = n; }
  bool isNamed(NaluName n) const { return name == n; }

  uint32_t forbiddenBit = 0;
  uint32_t NRI = 0;
  uint32_t NALType = 0;
  uint32_t NLayerId = 0;
  uint32_t NTempID = 0;
  uint32_t nalSize = 0;  // length-prefix value plus the prefix length
  int32_t frameNum = -1;
  int32_t sliceType = -1;
  int32_t firstMBInSlice = -1;  // H.264 first_mb_in_slice, H.265 first_slice_segment_in_pic_flag
  // Set by the caller, kept across probes: H.264 slices are judged on the rest of their
  // header too (SliceHeader::restFits), which the checks of the reference need.
  bool judgeSliceSyntax = false;
  NaluName name = NaluName::None;
  ParsedHeader RBSP;

 private:
  void reset();
};

}  // namespace vr
