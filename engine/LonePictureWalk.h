#pragma once
// Pictures alone in their chunk. Muxers that interleave picture by picture write one
// picture, then its audio, then the next picture. A picture alone between two pieces of
// audio is taken only on strong evidence: its slice header parses against the reference
// and starts the picture, the bytes behind it are whole audio of the reference's format,
// and right after them comes either the end of the media data or the next item of the
// stream: a parameter set, SEI or delimiter, or a picture whose decoding order continues
// this one's. A unit that merely parses, in garbage or in audio, has no such company.
//
// The AAC frames walked behind a picture are kept until the scan hands the stretch to
// its analysis, so that they are not decoded twice.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "common/ByteOrder.h"
#include "engine/NALU.h"
#include "engine/Sample.h"

namespace vr {

class AacFrameReader;
class ByteWindow;
class RepairFile;

class LonePictureWalk {
 public:
  enum class Audio { None, AAC, PCM };
  struct Stream {
    uint8_t lengthSize = 4;       // of the NAL length prefixes
    uint32_t referenceLayer = 0;  // H.265 layer id of the reference's stream
    uint64_t fileSize = 0;
    uint64_t dataEnd = 0;  // end of the media data
    Audio audio = Audio::None;
    Bytes audioConfig;             // AAC AudioSpecificConfig
    uint32_t pcmFrameBytes = 1;    // bytes of one PCM frame
  };
  // `repair` tells what the reference's further tracks store between the chunks.
  LonePictureWalk(const RepairFile& repair, ByteWindow& window, const ReferenceParameterSets& reference,
                  Stream stream);
  ~LonePictureWalk();
  LonePictureWalk(const LonePictureWalk&) = delete;
  LonePictureWalk& operator=(const LonePictureWalk&) = delete;

  // Where the item after the lone `picture` ending at `end` starts (the end of the media
  // data when nothing follows), or nothing. Audio that runs up to the end of the media
  // data, where nothing follows to check against, counts only for a picture the previous
  // one named as its successor (`announced`). PCM is searched within twice the longest
  // stretch between two runs so far (`longestGap`).
  std::optional<uint64_t> itemAfter(const NALU& picture, uint64_t end, bool announced, uint64_t longestGap);
  // True when the next item of the stream after `picture` starts at x.
  bool follows(uint64_t x, const NALU& picture);
  // The AAC frames walked over [offset, offset + size), once; nothing when that stretch
  // was not walked.
  std::optional<SampleList> takeWalked(uint64_t offset, uint64_t size);

 private:
  std::optional<uint64_t> afterAAC(const NALU& picture, uint64_t end, bool announced);
  std::optional<uint64_t> afterPCM(const NALU& picture, uint64_t end, bool announced, uint64_t longestGap);
  uint64_t resumeBehindOtherSample(uint64_t x, const NALU& picture, SampleList& frames);
  std::optional<uint64_t> walked(uint64_t end, uint64_t next, SampleList frames);

  const RepairFile& repair_;
  ByteWindow& window_;
  const ReferenceParameterSets& reference_;
  const Stream stream_;
  const bool hevc_;
  // One decoder serves every walk: where a frame ends does not depend on the frames before
  // it, and setting up a decoder for each of thousands of pictures would cost more than
  // the decoding.
  std::unique_ptr<AacFrameReader> reader_;
  NALU follower_;
  NALU second_;
  std::map<uint64_t, std::pair<uint64_t, SampleList>> walked_;  // by first offset: size, frames
};

}  // namespace vr
