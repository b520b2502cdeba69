#pragma once
// The MPEG-4 elementary-stream descriptor carried by an "mp4a" sound sample entry in its
// "esds" atom: the ES descriptor (tag 0x03), its decoder-configuration descriptor (tag
// 0x04) with the AAC AudioSpecificConfig (tag 0x05) inside; what follows (the sync-layer
// configuration) is not read. A repaired file gets the reference's "esds" inside the
// verbatim copy of its sample description; a reference made from a stream's own parameters
// builds one from an AudioSpecificConfig.
#include <cstdint>
#include <memory>
#include <string>

#include "atoms/AtomReader.h"

namespace vr {

// The sampling rates an AudioSpecificConfig names by its 4-bit frequency index.
inline constexpr uint32_t kAacSamplingRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                                 22050, 16000, 12000, 11025, 8000,  7350};

// The two-byte AudioSpecificConfig of AAC-LC at the given rate (48 kHz when the rate has
// no index) and channel configuration (1 mono, 2 stereo).
Bytes aacAudioSpecificConfig(uint32_t rate, uint32_t channels);

// Reads the size field of a descriptor whose tag is at data[tagPos]. The size is the
// expandable form of ISO/IEC 14496-1: each byte adds its low 7 bits, a set top bit means
// another byte follows. This covers the one-byte form and the padded 0x80 0x80 0x80 nn
// form that muxers write. On success bodyStart is the first body byte and bodyLength the
// body length; false when the field runs off the data or the body is empty. Whether the
// body fits is left to the caller.
bool readDescriptorLength(const uint8_t* data, uint32_t size, uint32_t tagPos, uint32_t& bodyStart,
                          uint64_t& bodyLength);

// Decoder-configuration descriptor (tag 0x04).
class DecoderConfigDescriptor {
 public:
  // Parses a descriptor body (tag and size bytes excluded); never refuses.
  static std::shared_ptr<DecoderConfigDescriptor> initDecoderConfigDescriptorWithBytes(const uint8_t* bytes,
                                                                                       uint32_t length);
  void readBytes(const uint8_t* bytes, uint32_t length);

  uint8_t tag = 4;                   // always 4
  uint8_t length = 0;                // low 8 bits of the body length
  uint8_t objectTypeIndication = 0;  // byte 0 (0x40 = MPEG-4 audio)
  uint32_t streamType = 0;           // byte 1, bits 7-2
  uint32_t upStream = 0;             // byte 1, bit 1
  uint32_t reserved = 0;             // byte 1, bit 0
  uint32_t bufferSizeDB = 0;         // bytes 2-4
  uint32_t maxBitrate = 0;           // bytes 5-8
  uint32_t avgBitrate = 0;           // bytes 9-12
  Bytes decoderSpecificInfo;         // body of the tag-0x05 descriptor at byte 13; empty when absent
};

// ES descriptor (tag 0x03).
class ObjectDescriptor {
 public:
  // Parses a descriptor body (tag and size bytes excluded); never refuses.
  static std::shared_ptr<ObjectDescriptor> initObjectDescriptorWithBytes(const uint8_t* bytes, uint32_t length);
  void readBytes(const uint8_t* bytes, uint32_t length);

  uint8_t tag = 3;                  // always 3
  uint8_t length = 0;               // low 8 bits of the body length
  uint16_t ES_ID = 0;               // bytes 0-1
  uint8_t streamDependenceFlag = 0;  // byte 2, bit 7
  uint8_t URLFlag = 0;              // byte 2, bit 6
  uint8_t OCRstreamFlag = 0;        // byte 2, bit 5
  uint32_t streamPriority = 0;      // byte 2, bits 4-0
  uint16_t dependsOn_ES_ID = 0;     // present when streamDependenceFlag is 1
  uint8_t URLlength = 0;            // present when URLFlag is 1
  std::string URLstring;            // URLlength bytes of text
  uint16_t OCR_ES_Id = 0;           // present when OCRstreamFlag is 1
  std::shared_ptr<DecoderConfigDescriptor> decoderConfigDescriptor;  // or null
};

// The "esds" atom.
class EsdsDecoder {
 public:
  // Parses the whole atom (header included); never refuses.
  static std::shared_ptr<EsdsDecoder> initESDSWithBytes(const uint8_t* bytes, uint32_t size) {
    return readAtomCopy<EsdsDecoder>(bytes, size);
  }
  // A new "esds" for MPEG-4 audio with the given AudioSpecificConfig (1 to 64 bytes): ES
  // id 0, a 6 KiB decoder buffer, bitrates not given, the MP4 sync-layer configuration.
  // Read back from its bytes, which `writeableData` holds; empty pointer for a config of
  // another length.
  static std::shared_ptr<EsdsDecoder> initESDSWithAudioSpecificConfig(const Bytes& audioSpecificConfig);
  void readBytes(const uint8_t* bytes, uint32_t size);

  // The decoder configuration (bitrates, AudioSpecificConfig), or null when a level is missing.
  const DecoderConfigDescriptor* config() const {
    return objectDesc ? objectDesc->decoderConfigDescriptor.get() : nullptr;
  }
  // The AudioSpecificConfig bytes; empty when a level is missing.
  Bytes decoderSpecificInfo() const { return config() ? config()->decoderSpecificInfo : Bytes{}; }

  uint32_t size = 0;
  uint32_t type = 0;            // "esds"
  uint32_t version_flags = 0;
  std::shared_ptr<ObjectDescriptor> objectDesc;  // null when the ES descriptor is missing or malformed
  Bytes writeableData;                           // set when built
};

// Hands the AAC decoder-specific information out of the sample description. It carries
// its own copy of the bytes, so their length travels with them and the holder does not
// depend on the lifetime of the atom tree.
class DecoderSpecifiInfoWrapper {
 public:
  Bytes decoderSpecificInfo;  // never empty when handed out
};

}  // namespace vr
