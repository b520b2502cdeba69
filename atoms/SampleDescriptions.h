#pragma once
// The sample-description atom ("stsd") of a track's sample table: it names the codec and
// carries the decoder configuration. A repaired movie gets the reference's "stsd" back
// byte for byte (stsdData); a reference made from the parameter sets found in a stream is
// built from one entry.
//
// Codec numbers (track level, CodecNumbers.h) set by the entry type: 1001 "avc1", 1002 "mp4a",
// 1003 "sowt", 1004 "twos", 1005 "hvc1"; 0 when none was recognised.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "atoms/AtomReader.h"
#include "atoms/CodecNumbers.h"
#include "atoms/Descriptors.h"

namespace vr {

class SPS;
class PPS;
class VPS_265;
class SPS_265;
class PPS_265;

// "avcC": the H.264 decoder configuration record.
class AVCDecoderConfigurationRecord {
 public:
  // Parses the whole "avcC" atom; never refuses (nothing is read from an empty buffer).
  static std::shared_ptr<AVCDecoderConfigurationRecord> initAVCCWithBytes(const uint8_t* bytes, uint32_t size) {
    return readAtomCopy<AVCDecoderConfigurationRecord>(bytes, size);
  }
  // A new record of one SPS and one PPS (whole NAL units) for samples with NAL lengths of
  // lengthSize bytes; profile, compatibility and level are the SPS's. Read back from its
  // bytes, which `writeableData` holds. Empty pointer when the SPS is shorter than 4 bytes,
  // a set is empty or longer than 65535 bytes, or the length size is not 1, 2 or 4.
  static std::shared_ptr<AVCDecoderConfigurationRecord> initAVCCWithParameterSets(const Bytes& sps, const Bytes& pps,
                                                                                  uint8_t lengthSize);
  void readBytes(const uint8_t* bytes, uint32_t size);

  uint32_t size = 0;
  uint32_t type = 0;                         // "avcC"
  uint8_t configurationVersion = 0;          // byte 8
  uint8_t AVCProfileIndication = 0;          // byte 9
  uint8_t profile_compatibility = 0;         // byte 10
  uint8_t AVCLevelIndication = 0;            // byte 11
  uint8_t lengthSizeMinusOne = 0;            // byte 12 & 0x03
  uint32_t numOfSequenceParameterSets = 0;   // byte 13 & 0x1F
  uint16_t sequenceParameterSetLength = 0;   // length field of the last SPS read
  Bytes sequenceParameterSetNALUnit;         // last SPS NAL unit, header byte included
  uint32_t numOfPictureParameterSets = 0;    // the whole count byte
  uint16_t pictureParameterSetLength = 0;    // length field of the last PPS read
  Bytes pictureParameterSetNALUnit;          // last PPS NAL unit, header byte included
  std::shared_ptr<vr::SPS> sps;              // parsed last SPS, or null
  std::shared_ptr<vr::PPS> pps;              // parsed last PPS, or null
  std::string problem;  // the first thing that keeps the record from serving a repair, or empty
  Bytes writeableData;  // set when built
};

// "hvcC": the H.265 decoder configuration record. Only the array count is read from the
// fixed part; the parameter sets are found by their NAL-unit header bytes.
class HVCDecoderConfigurationRecord {
 public:
  // Parses the whole "hvcC" atom; width and height of the sample entry go to the SPS
  // parser. Null when the atom is shorter than 31 bytes or declares fewer than 3 arrays.
  static std::shared_ptr<HVCDecoderConfigurationRecord> initHVCDecoderWithBytes(const uint8_t* bytes, uint32_t size,
                                                                                uint32_t width, uint32_t height);
  // A new record of one VPS, SPS and PPS (whole NAL units) for samples with NAL lengths of
  // lengthSize bytes: profile, tier, level and temporal layers are the SPS's, chroma format
  // and bit depths as given (the SPS holds them behind fields of variable length). Only the
  // length size and `writeableData` are set. Empty pointer when a set is shorter than its
  // 2-byte header or longer than 65535 bytes, or the length size is not 1, 2 or 4.
  static std::shared_ptr<HVCDecoderConfigurationRecord> initHVCCWithParameterSets(
      const Bytes& vps, const Bytes& sps, const Bytes& pps, uint8_t lengthSize, uint8_t chromaFormat,
      uint8_t bitDepthLuma, uint8_t bitDepthChroma);
  void readBytes(const uint8_t* bytes, uint32_t size);

  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t size = 0;
  uint32_t type = 0;  // "hvcC"
  uint8_t lengthSizeMinusOne = 3;  // byte 29 & 0x03
  uint8_t numOfVPS = 0;   // low byte of the unit count of the VPS array
  uint8_t numOfSPS = 0;
  uint8_t numOfPPS = 0;
  uint16_t vpsSize = 0;   // length of the last unit of each kind read
  uint16_t spsSize = 0;
  uint16_t ppsSize = 0;
  std::shared_ptr<vr::VPS_265> vps;  // parsed last VPS, or null
  std::shared_ptr<vr::SPS_265> sps;
  std::shared_ptr<vr::PPS_265> pps;
  std::string problem;  // the first thing that keeps the record from serving a repair, or empty
  Bytes writeableData;  // set when built

 private:
  // Walks the arrays as declared and notes the first that overruns the atom or holds a
  // parameter set that does not parse.
  void checkArrays(const uint8_t* bytes, uint32_t len);
};

// Fields common to video and sound sample entries, and the queries the sample description
// forwards to its first entry. Queries that do not apply to an entry's kind yield 0 or
// nothing.
class SampleDescriptionEntery {
 public:
  virtual ~SampleDescriptionEntery() = default;

  virtual bool isVideo() const = 0;
  // Video: lengthSizeMinusOne of the "avcC" or "hvcC" (3 for an "hvc1" entry without one).
  // Sound: 0.
  virtual uint32_t lengthSizeMinusOne() const { return 0; }
  // Video: "%dx%d" of width and height. Sound: empty.
  virtual std::string getResolution() const { return {}; }
  // "mp4a": the AudioSpecificConfig bytes. Otherwise empty.
  virtual Bytes decoderSpecificInfo() const { return {}; }

  uint32_t size = 0;                        // entry size in bytes
  uint32_t dataFormat = 0;                  // entry type four-character code
  std::array<uint8_t, 4> reserved1{};       // kept as the raw bytes
  std::array<uint8_t, 2> reserved2{};       // kept as the raw bytes
  uint16_t dataReferenceIndex = 0;
  uint16_t version = 0;
  uint16_t revisionLevel = 0;
  uint32_t vendor = 0;
  Bytes writeableData;  // set when built

 protected:
  // The fields every sample entry starts with, from size to vendor (bytes 0 to 23).
  void readEntryHeader(const uint8_t* bytes, uint32_t len);
};

// Video sample entry ("avc1", "hvc1").
class VideoSampleDescriptionEntery : public SampleDescriptionEntery {
 public:
  // Parses the whole entry; never refuses.
  static std::shared_ptr<VideoSampleDescriptionEntery> initVSDEnteryWithBytes(const uint8_t* bytes, uint32_t size) {
    return readAtomCopy<VideoSampleDescriptionEntery>(bytes, size);
  }
  // A new entry of the given format ("avc1", "hvc1") and picture size followed by the given
  // atoms (its configuration record): data reference 1, 72 dpi, one frame per sample,
  // 24-bit colour, no colour table. Read back from its bytes, which `writeableData` holds.
  static std::shared_ptr<VideoSampleDescriptionEntery> initWithFormat(uint32_t format, uint16_t width,
                                                                      uint16_t height, const Bytes& extensions);
  void readBytes(const uint8_t* bytes, uint32_t size);

  bool isVideo() const override { return true; }
  uint32_t lengthSizeMinusOne() const override;
  std::string getResolution() const override;

  uint32_t temporalQuality = 0;
  uint32_t spatialQuality = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint32_t horizontalResolution = 0;  // 16.16 fixed point, raw
  uint32_t verticalResolution = 0;    // 16.16 fixed point, raw
  uint32_t dataSize = 0;
  uint16_t frameCount = 0;
  std::string compressorName;  // the 32-byte field from its count byte up to the first zero byte
  uint16_t depth = 0;
  int16_t colorTableID = 0;
  // The configuration record found among the extension atoms; at most one is set, a later
  // record replacing an earlier one.
  std::shared_ptr<AVCDecoderConfigurationRecord> avcDecoder;
  std::shared_ptr<HVCDecoderConfigurationRecord> hvcDecoder;
};

// Sound sample entry ("mp4a", "sowt", "twos").
class AudioSampleDescriptionEntery : public SampleDescriptionEntery {
 public:
  // Parses the whole entry; never refuses.
  static std::shared_ptr<AudioSampleDescriptionEntery> initASDEnteryWithBytes(const uint8_t* bytes, uint32_t size) {
    return readAtomCopy<AudioSampleDescriptionEntery>(bytes, size);
  }
  // A new version 0 entry of the given format ("mp4a", "sowt", "twos") with 16-bit samples
  // followed by the given atoms (an "esds"): data reference 1, the rate as 16.16 (0 when it
  // does not fit). Read back from its bytes, which `writeableData` holds.
  static std::shared_ptr<AudioSampleDescriptionEntery> initWithFormat(uint32_t format, uint16_t channels,
                                                                      uint32_t rate, const Bytes& extensions);
  void readBytes(const uint8_t* bytes, uint32_t size);

  bool isVideo() const override { return false; }
  Bytes decoderSpecificInfo() const override;

  uint16_t numberOfChannels = 0;
  uint16_t sampleSize = 0;  // bits per sample
  uint16_t compressionID = 0;
  uint16_t packetSize = 0;
  uint32_t sampleRate = 0;  // 16.16 fixed point, raw
  std::shared_ptr<EsdsDecoder> decoder;  // "mp4a" only; null when no usable "esds"
};

// The "stsd" atom.
class Stsd {
 public:
  // Keeps a copy of the whole atom in stsdData and parses the entries; never refuses.
  static std::shared_ptr<Stsd> initSTSDWithBytes(const uint8_t* bytes, uint32_t size);
  // A sample description of one built entry, read back from its bytes.
  static std::shared_ptr<Stsd> initSTSDWithEntry(const SampleDescriptionEntery& entry);
  void readBytes(const uint8_t* bytes, uint32_t size);

  // The first entry, or null when the table is empty.
  std::shared_ptr<SampleDescriptionEntery> getDecoder() const;
  // For codec 1001 or 1005: the first entry's lengthSizeMinusOne + 1; otherwise 0.
  uint32_t avc1NaluSizeLength() const;
  // H.264 parameter sets: for codec 1001 or 1005, those of the first entry's "avcC"; else null.
  std::shared_ptr<vr::SPS> SPS() const;
  std::shared_ptr<vr::PPS> PPS() const;
  // H.265 parameter sets: for codec 1001 or 1005, those of the first entry's "hvcC"; else null.
  std::shared_ptr<vr::VPS_265> VPS() const;
  std::shared_ptr<vr::SPS_265> SPS265() const;
  std::shared_ptr<vr::PPS_265> PPS265() const;
  // For codec 1002 with an AudioSpecificConfig: a wrapper holding its bytes; otherwise null.
  std::shared_ptr<DecoderSpecifiInfoWrapper> decoderSpecificInfo() const;
  // The first entry's "%dx%d"; empty when the table is empty or the first entry is sound.
  std::string getResolution() const;
  // The serialised form: the atom exactly as it was read.
  Bytes convertSelfToData() const { return stsdData; }

  uint32_t size = 0;
  uint32_t type = 0;  // "stsd"
  uint32_t version_Flag = 0;
  uint32_t numberOfEntries = 0;  // as read from the header
  std::vector<std::shared_ptr<SampleDescriptionEntery>> sampleDescriptionTable;  // recognised entries, file order
  Bytes stsdData;             // copy of the whole atom as read; written unchanged into a repaired movie
  uint64_t codecFormat = 0;   // codec number of the last recognised entry, 0 when none
};

}  // namespace vr
