#pragma once
// Reads raw AAC frames one after another. Movie media data holds AAC frames without
// headers; where one frame ends is known only by decoding it. A reader is set up from the
// reference's AudioSpecificConfig and then told the bytes at a frame boundary: it answers
// how many bytes the frame there uses, or 0 when no frame of the reference's stream
// starts there.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/ByteOrder.h"

namespace vr {

// Longest AAC frame: 6144 bits per channel, eight channels.
inline constexpr size_t kMaxAacFrame = 6144;

class AacFrameReader {
 public:
  // A fresh decoder for the configuration given; usable() is false when it cannot start.
  explicit AacFrameReader(const Bytes& audioSpecificConfig);
  ~AacFrameReader();
  AacFrameReader(const AacFrameReader&) = delete;
  AacFrameReader& operator=(const AacFrameReader&) = delete;

  // The reader of the calling thread for this configuration, kept from one stretch to the
  // next: setting up a decoder costs as much as decoding a few frames, and where a frame
  // ends does not depend on the frames decoded before it.
  static AacFrameReader& ofThisThread(const Bytes& audioSpecificConfig);

  bool usable() const { return handle_ != nullptr; }
  // True when the byte at `bytes` is filler that cannot start a frame: a zero byte cannot
  // start a stereo frame, whose first element is a channel pair (id 1). A mono or
  // multichannel frame starts with a single-channel element (id 0, first byte 0x00 or
  // 0x01) followed by the rest of its global gain, which is not zero in practice; two zero
  // bytes are filler there.
  bool filler(const uint8_t* bytes, size_t length) const;
  // Bytes of the frame at `bytes` (at most `length`), or 0 when none decodes there. A
  // frame of a mono or stereo configuration opens with its one channel element (or a
  // data, program-configuration or fill element): bytes that open with another are no
  // frame of this stream and are not decoded, which also spares the decoder a channel
  // layout it would then have to be replaced for.
  size_t frameSize(const uint8_t* bytes, size_t length);

 private:
  void* handle_ = nullptr;
  unsigned char asc_[2] = {};
  bool zeroNeverStartsAFrame_ = false;
  // Syntactic elements (by their 3-bit id) that may open a frame of this configuration.
  uint8_t firstElements_ = 0xFF;
};

}  // namespace vr
