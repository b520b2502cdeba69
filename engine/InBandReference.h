#pragma once
// Repair without a reference movie. Many recorders (action cameras, drones, phones, x264
// and x265 with repeated headers) write their parameter sets into the stream in front of
// every keyframe. When the damaged movie has lost its index and no healthy reference is
// given, those sets are looked for in the media data, checked against each other and the
// slices behind them, and a reference index is built from them: the sample description
// with the found sets and length size, picture size and profile from the SPS, the frame
// rate from the SPS timing (or as the user says), and the audio format found by trying the
// common AAC configurations on the audio between the pictures (or as the user says).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/ByteOrder.h"

namespace vr {

class File;
class RepairFile;

// What the user says about a recording whose stream cannot tell it.
struct InBandOptions {
  enum class Audio { Detect, AAC, PCM, None };
  double fps = 0;  // 0: from the SPS timing, else kAssumedFps
  Audio audio = Audio::Detect;
  uint32_t rate = 0;       // audio samples per second; 0 with AAC: found by the repair
  uint32_t channels = 0;   // 0 with AAC: found by the repair
  bool bigEndian = false;  // PCM byte order ("twos" instead of "sowt")
};

inline constexpr double kAssumedFps = 30;

// Reads an audio format: "aac", "aac:RATE:CHANNELS", "pcm:RATE:CHANNELS:le|be" or "none".
// False (options unchanged) when the text is none of these.
bool parseAudioFormat(const std::string& text, InBandOptions& options);

// The parameter sets found in a damaged file's media data.
struct InBandParameterSets {
  bool hevc = false;
  uint8_t lengthSize = 4;  // bytes of each NAL unit's length prefix
  Bytes vps, sps, pps;     // whole NAL units, header included
  uint32_t width = 0;      // picture size shown (after cropping)
  uint32_t height = 0;
  std::string profile;  // "High", "Main", ...
  uint32_t fpsNum = 0;  // picture rate fpsNum / fpsDen from the SPS timing; 0 when absent
  uint32_t fpsDen = 0;
  uint32_t keyframes = 0;  // groups of sets with a keyframe behind them that agree with the first
  uint64_t firstOffset = 0;
  uint64_t largestGap = 0;  // largest distance between two groups: a bound on a keyframe's size
  // Where the video behind each group ends and other bytes (audio, most likely) start.
  std::vector<uint64_t> videoEnds;
};

// Looks for length-prefixed parameter sets (length sizes 4, 2 and 1) in the media data of
// the file at path; nothing when no group of sets is followed by a keyframe that parses
// with them.
std::optional<InBandParameterSets> findInBandParameterSets(const std::string& path);

// The audio a repair without reference takes.
struct InBandAudio {
  InBandOptions::Audio kind = InBandOptions::Audio::None;
  uint32_t rate = 0;
  uint32_t channels = 0;
  bool bigEndian = false;
  bool rateKnown = false;  // AAC: the rate was given; else it is settled by the durations
  std::string how;         // "detected", "given", "assumed"
};

// Everything a repair without reference uses, and the reference index built from it.
struct InBandPlan {
  InBandParameterSets sets;
  InBandAudio audio;
  uint32_t fpsNum = 0;
  uint32_t fpsDen = 1;
  bool fpsAssumed = false;  // no rate in the stream and none given
  bool fpsGiven = false;
  std::shared_ptr<File> reference;

  double fps() const { return fpsDen ? double(fpsNum) / fpsDen : 0; }
  // One line each for video and audio, as the result and `info` show them.
  std::string videoSummary() const;
  std::string audioSummary() const;
};

// The plan for the damaged file at path, or nothing when it carries no usable parameter
// sets.
std::optional<InBandPlan> planInBandRepair(const std::string& path, const InBandOptions& options);

// The movie index the plan's reference consists of (video track, and the audio track when
// there is audio), as bytes of a "moov" atom.
Bytes inBandMovieAtom(const InBandPlan& plan);

// After the scan: an AAC rate not given is the one that makes the audio last as long as the
// pictures (44,100 and 48,000 Hz frames look alike); the reference is rebuilt with it.
// Reports what the repair used to the delegate.
void settleInBandRepair(RepairFile& repair, InBandPlan& plan);

}  // namespace vr
