#include "engine/LonePictureWalk.h"

#include <algorithm>

#include "engine/AacFrameReader.h"
#include "engine/ByteWindow.h"
#include "engine/RepairFile.h"
#include "engine/ScanRules.h"

namespace vr {

using namespace scan;

namespace {

// Audio between two pictures of a movie interleaved picture by picture: far more than any
// muxer writes there (about two AAC frames, or a few kilobytes of PCM, a picture).
constexpr uint32_t kMaxFramesBetweenPictures = 256;
constexpr uint64_t kMaxPcmBetweenPictures = 512 * 1024;
constexpr uint64_t kMinPcmReach = 64 * 1024;

}  // namespace

LonePictureWalk::LonePictureWalk(const RepairFile& repair, ByteWindow& window, const ReferenceParameterSets& reference,
                                 Stream stream)
    : repair_(repair), window_(window), reference_(reference), stream_(std::move(stream)),
      hevc_(reference.isHEVC()) {}

LonePictureWalk::~LonePictureWalk() = default;

bool LonePictureWalk::follows(uint64_t x, const NALU& picture) {
  const uint8_t n = stream_.lengthSize;
  const uint32_t limit = repair_.maxNalSize;
  auto plausible = [&](uint64_t at, NALU& unit) {
    return at < stream_.fileSize &&
           !certainlyNoUnit(window_.at(at, kNaluProbeWindow), n, hevc_, stream_.referenceLayer, limit) &&
           unit.probe(window_.at(at, kNaluProbeWindow), kNaluProbeWindow, n, reference_, limit);
  };
  // A unit that the end of a recording cut short still starts the next item.
  if (!plausible(x, follower_) || (follower_.nalSize > stream_.fileSize - x && stream_.dataEnd < stream_.fileSize))
    return false;
  if (isPicture(follower_, hevc_))
    return startsPicture(follower_, hevc_) && continuesAfter(picture, follower_, reference_);
  // Parameter sets, SEI and delimiters lead a picture: another unit follows right behind.
  return plausible(x + follower_.nalSize, second_);
}

std::optional<uint64_t> LonePictureWalk::itemAfter(const NALU& picture, uint64_t end, bool announced,
                                                   uint64_t longestGap) {
  if (end >= stream_.dataEnd) return end == stream_.dataEnd ? std::optional<uint64_t>(end) : std::nullopt;
  if (follows(end, picture)) return end;
  switch (stream_.audio) {
    case Audio::AAC: return afterAAC(picture, end, announced);
    case Audio::PCM: return afterPCM(picture, end, announced, longestGap);
    case Audio::None: break;
  }
  return std::nullopt;
}

std::optional<uint64_t> LonePictureWalk::afterAAC(const NALU& picture, uint64_t end, bool announced) {
  if (!reader_) reader_ = std::make_unique<AacFrameReader>(stream_.audioConfig);
  const uint64_t dataEnd = stream_.dataEnd;
  SampleList frames;
  uint64_t x = end;
  for (uint32_t i = 0; reader_->usable() && i < kMaxFramesBetweenPictures && x < dataEnd; ++i) {
    const size_t length = size_t(std::min<uint64_t>(dataEnd - x, kMaxAacFrame));
    const uint8_t* bytes = window_.at(x, length);
    const size_t used = reader_->frameSize(bytes, length);
    if (used == 0) {
      // A sample of a further track (timecode, text, data) between the frames.
      uint64_t further = repair_.furtherSampleAt(bytes, length, *reader_);
      if (further == 0) further = repair_.stillImageAt(window_, x, dataEnd);
      if (further == 0) {
        if (const uint64_t resumed = resumeBehindOtherSample(x, picture, frames))
          return walked(end, resumed, std::move(frames));
        break;
      }
      x += further;
      if (x < dataEnd && follows(x, picture)) return walked(end, x, std::move(frames));
      continue;
    }
    frames.push_back(Sample::initWithSampleType(kSampleTypeAAC, x, used, nullptr));
    x += used;
    if (x < dataEnd && follows(x, picture)) return walked(end, x, std::move(frames));
  }
  // The audio runs up to the end of the media data (a recording cut short ends inside a
  // frame).
  if (announced && x <= dataEnd && dataEnd - x < kMaxAacFrame && !frames.empty()) return dataEnd;
  return std::nullopt;
}

// A sample of varying size of a further track (a still image, telemetry) ends the frames
// at x: the next picture in decoding order, or audio frames that lead to it, are looked
// for within the largest such sample the reference holds. Only audio that has begun
// (frames found already) is followed so, which keeps pictures that merely parse in random
// data cheap. Audio frames found are added to `frames`; 0 when nothing is found.
uint64_t LonePictureWalk::resumeBehindOtherSample(uint64_t x, const NALU& picture, SampleList& frames) {
  const uint64_t dataEnd = stream_.dataEnd;
  if (repair_.furtherSamples.largest == 0 || frames.empty()) return 0;
  const uint64_t limit = std::min(dataEnd, x + repair_.furtherSamples.reach());
  for (uint64_t y = x + 1; y < limit; ++y) {
    if (follows(y, picture)) return y;
    SampleList more;
    for (uint64_t z = y; more.size() < kMaxFramesBetweenPictures && z < dataEnd;) {
      const size_t length = size_t(std::min<uint64_t>(dataEnd - z, kMaxAacFrame));
      const size_t used = reader_->frameSize(window_.at(z, length), length);
      if (used == 0) break;
      more.push_back(Sample::initWithSampleType(kSampleTypeAAC, z, used, nullptr));
      z += used;
      if (z < dataEnd && follows(z, picture)) {
        frames.insert(frames.end(), more.begin(), more.end());
        return z;
      }
    }
  }
  return 0;
}

// PCM cannot be told from other bytes, so the search stays near what the stretches between
// pictures have been so far: far beyond, a unit that parses by chance would be taken as the
// next picture and the pictures before it skipped.
std::optional<uint64_t> LonePictureWalk::afterPCM(const NALU& picture, uint64_t end, bool announced,
                                                  uint64_t longestGap) {
  const uint64_t reach = std::min(std::max(2 * longestGap, kMinPcmReach), kMaxPcmBetweenPictures);
  const uint64_t limit = std::min(stream_.dataEnd, end + reach);
  for (uint64_t x = end + stream_.pcmFrameBytes; x < limit; x += stream_.pcmFrameBytes)
    if (follows(x, picture)) return x;
  if (announced && stream_.dataEnd - end <= reach) return stream_.dataEnd;
  return std::nullopt;
}

std::optional<uint64_t> LonePictureWalk::walked(uint64_t end, uint64_t next, SampleList frames) {
  walked_[end] = {next - end, std::move(frames)};
  return next;
}

std::optional<SampleList> LonePictureWalk::takeWalked(uint64_t offset, uint64_t size) {
  auto it = walked_.find(offset);
  if (it == walked_.end() || it->second.first != size) return std::nullopt;
  SampleList frames = std::move(it->second.second);
  walked_.erase(it);
  return frames;
}

}  // namespace vr
