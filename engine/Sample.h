#pragma once
// A sample found in the damaged file: where it lies, how long it is and what it holds.
//
// A repair of a long recording finds hundreds of thousands of samples, so a record is kept
// small and inline: offset, size, type and the two facts of its first NAL unit that sample
// sizing needs (the unit type and, for H.265, its name). The full probe result (`NALU`)
// lives only while a chain is being built. Chunks are ranges over the flat per-track lists.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vr {

class NALU;

// Sample types.
inline constexpr uint8_t kSampleTypeH264 = 0;
inline constexpr uint8_t kSampleTypeH265 = 1;
inline constexpr uint8_t kSampleTypeAAC = 2;
inline constexpr uint8_t kSampleTypePCM = 3;

// Name given to an H.265 NAL unit by its type (see NALU::setName); None in H.264 mode and
// for H.265 types 36 and 63.
enum class NaluName : uint8_t { None, Slice, SPS, PPS, VPS, SEI, AUD, Unspecified };

// The name as text, or nullptr for None.
const char* naluNameText(NaluName name);

// What a sample record keeps of its first NAL unit.
struct NalFacts {
  uint8_t NALType = 0;
  NaluName name = NaluName::None;
};

class Sample {
 public:
  // A record of the given type; for video, `nalu` is the first unit of the group.
  static Sample initWithSampleType(uint64_t sampleType, uint64_t sampleOffsetInFile, uint64_t sizeOfTheSample,
                                   const NALU* nalu);

  bool isVideo() const { return sampleType == kSampleTypeH264 || sampleType == kSampleTypeH265; }
  uint64_t endOffset() const { return sampleOffset + sampleSize; }

  uint64_t sampleOffset = 0;
  uint64_t sampleSize = 0;
  uint8_t sampleType = kSampleTypeH264;  // 0 H.264 unit group, 1 H.265 unit group, 2 AAC frame, 3 PCM stretch
  NalFacts nal;                          // first unit of a video group; zero for audio
  // The video group holds a coded picture and so is a sample of its own. Groups without
  // one (parameter sets, SEI, delimiters) are stored with the next picture of their chunk.
  bool picture = false;
  // The picture is a keyframe (H.264 IDR, H.265 intra random-access point).
  bool sync = false;
};

using SampleList = std::vector<Sample>;

// One chunk of the output: a range of consecutive records of the video or the audio list.
struct SampleChunk {
  bool audio = false;
  size_t first = 0;  // index of the first record in its track's list
  size_t count = 0;
};

// The records of a chunk.
inline std::span<const Sample> samplesOfChunk(const SampleChunk& chunk, const SampleList& video,
                                              const SampleList& audio) {
  const SampleList& list = chunk.audio ? audio : video;
  if (chunk.first > list.size() || list.size() - chunk.first < chunk.count) return {};
  return std::span<const Sample>(list.data() + chunk.first, chunk.count);
}

}  // namespace vr
