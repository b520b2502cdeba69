// Media-data analysis: the scan that turns a damaged file whose index is lost into chunks
// of video and audio samples.
//
// Cameras interleave their media data: a stretch of video NAL units (several pictures),
// then a stretch of audio, then video again. The scan walks the file from its first byte;
// wherever at least two NAL units of the reference's stream follow each other it records
// a video run (one chunk), and the bytes between two runs are cut into audio samples by
// the reference's audio format.
#include <algorithm>
#include <limits>

#include "atoms/MovieBuilder.h"
#include "atoms/SampleDescriptions.h"
#include "atoms/SampleTableAtoms.h"
#include "bitstream/SPS.h"
#include "bitstream/SPS_265.h"
#include "bitstream/SliceHeader.h"
#include "bitstream/SliceHeader_265.h"
#include "engine/AacFrameReader.h"
#include "engine/AudioStretchQueue.h"
#include "engine/ByteWindow.h"
#include "engine/File.h"
#include "engine/NALU.h"
#include "engine/RepairFile.h"
#include "engine/ScanRules.h"

namespace vr {

using namespace scan;

namespace {

// The AAC search behind the last run covers at least this much.
constexpr uint64_t kMinAACTail = 1 << 20;

// Units in front of a picture: VPS, SPS, PPS, several SEI, a delimiter, prefixes.
constexpr uint32_t kMaxLeadingUnits = 16;
// Units without a picture are never longer (the probe rejects them).
constexpr uint32_t kMaxNonPictureUnit = 1000;

// Bytes read per refill of the probe's window.
constexpr size_t kScanWindow = 1 << 20;

// Audio between two pictures of a movie interleaved picture by picture: far more than any
// muxer writes there (about two AAC frames, or a few kilobytes of PCM, a picture).
constexpr uint32_t kMaxFramesBetweenPictures = 256;
constexpr uint64_t kMaxPcmBetweenPictures = 512 * 1024;
constexpr uint64_t kMinPcmReach = 64 * 1024;

// First offset at which the whole percentage of progress through `total` exceeds `percent`.
uint64_t offsetOfNextPercent(int32_t percent, uint64_t total) {
  const unsigned __int128 next = (unsigned __int128)(uint32_t(percent + 1)) * total;
  return uint64_t((next + 99) / 100);
}

}  // namespace

void RepairFile::reportProgress(uint64_t done, uint64_t total) {
  if (total == 0 || delegate == nullptr) return;
  const int32_t percent = int32_t(done * 100 / total);
  if (percent == lastProgressSent) return;
  lastProgressSent = percent;
  delegate->repairFileCurrentTaskProgress(percent);
}

std::shared_ptr<NALU> RepairFile::isNaluAtOffset(uint64_t offset, FileHandle& fileHandle, uint8_t withLangthSize,
                                                 const ReferenceParameterSets& reference) {
  uint8_t window[kNaluProbeWindow] = {};
  getBytesFromFileHandle(fileHandle, offset, kNaluProbeWindow, window);
  return NALU::initNALUWithBytes(window, kNaluProbeWindow, withLangthSize, reference);
}

int32_t RepairFile::getNaluAtOffset(uint64_t offset, SampleList& sampleArray, FileHandle& fileHandle,
                                    uint8_t sizeBytesLength, uint64_t* nalCount, uint64_t* sampleCount,
                                    uint64_t inputFileSize, const ReferenceParameterSets& reference) {
  ByteWindow window(fileHandle, inputFileSize, 64 * 1024, kMaxNonPictureUnit);
  return getNaluAtOffset(offset, sampleArray, window, sizeBytesLength, nalCount, sampleCount, inputFileSize,
                         reference);
}

int32_t RepairFile::getNaluAtOffset(uint64_t offset, SampleList& sampleArray, ByteWindow& window,
                                    uint8_t sizeBytesLength, uint64_t* nalCount, uint64_t* sampleCount,
                                    uint64_t inputFileSize, const ReferenceParameterSets& reference) {
  const bool hevc = reference.isHEVC();
  NALU unit;
  NALU previous;
  bool havePrevious = false;
  bool insidePicture = false;
  NALU lastPicture;
  bool haveLastPicture = false;
  uint64_t x = offset;
  int32_t count = 0;

  const size_t chainStart = sampleArray.size();
  uint32_t nonPictureUnits = 0;
  auto probeAt = [&](uint64_t at) {
    // A unit must lie inside the file: one cut short by the end of a truncated recording
    // is not taken.
    return at < inputFileSize &&
           unit.probe(window.at(at, kNaluProbeWindow), kNaluProbeWindow, sizeBytesLength, reference, maxNalSize) &&
           unit.nalSize <= inputFileSize - at;
  };
  // A chain ends with a picture: a unit that leads a picture (parameter set, SEI,
  // delimiter, prefix) with none behind it is no part of the stream, just bytes that
  // parse as one.
  auto endChain = [&]() {
    while (sampleArray.size() > chainStart && !sampleArray.back().picture) {
      sampleArray.pop_back();
      --count;
    }
    return count;
  };

  if (!probeAt(x)) return 0;
  for (;;) {
    if (stopflag()) return 0;
    waitWhilePaused();
    if (nalCount) *nalCount += 1;

    bool merge = false;
    bool newPicture = false;  // the unit makes its record hold a picture
    if (!hevc) {
      // Further slices of the picture the previous slice belongs to: same type, slice
      // type and frame number, later in the picture (a prefix unit may stand between).
      const bool afterPrefix = havePrevious && previous.NALType == 14 && haveLastPicture;
      const NALU& slice = afterPrefix ? lastPicture : previous;
      merge = havePrevious && slice.NALType == unit.NALType && slice.sliceType == unit.sliceType &&
              slice.frameNum == unit.frameNum && slice.firstMBInSlice < unit.firstMBInSlice;
      if (merge && afterPrefix && sampleArray.size() >= chainStart + 2 && !sampleArray.back().picture) {
        // The prefix between two slices of one picture belongs to it.
        const uint64_t prefixSize = sampleArray.back().sampleSize;
        sampleArray.pop_back();
        sampleArray.back().sampleSize += prefixSize;
      }
      // A slice of another layer or view travels with the picture in front of it.
      if (!merge && unit.NALType == 20 && havePrevious && isPicture(previous, false)) merge = true;
      // Parameter sets, SEI and delimiters are not pictures: they travel with the next one.
      newPicture = !merge && isPicture(unit, false);
    } else {
      const bool isSlice = unit.isNamed(NaluName::Slice);
      insidePicture = insidePicture && isSlice;
      if (havePrevious && insidePicture && unit.firstMBInSlice == 0 && unit.NALType == previous.NALType) {
        merge = true;  // a further slice segment of the current picture
      } else if (havePrevious && previous.isNamed(NaluName::Slice) &&
                 (unit.isNamed(NaluName::Unspecified) || unit.NALType == 40)) {
        merge = true;  // unspecified units and suffix SEI close the picture in front of them
      } else if (havePrevious &&
                 (previous.isNamed(NaluName::VPS) || previous.isNamed(NaluName::SPS) ||
                  previous.isNamed(NaluName::PPS)) &&
                 (isSlice || unit.isNamed(NaluName::VPS) || unit.isNamed(NaluName::SPS) ||
                  unit.isNamed(NaluName::PPS))) {
        // A parameter-set group and the slice after it form one sample. The slice makes
        // the group a picture, and later segments of that picture join it too.
        merge = true;
        if (isSlice && !sampleArray.empty() && !sampleArray.back().picture) {
          newPicture = true;
          insidePicture = unit.firstMBInSlice == 1;
        }
      }
      if (!merge) {
        newPicture = isSlice;
        if (isSlice && unit.firstMBInSlice == 1) insidePicture = true;
      }
    }

    // A picture of a run starts with its first slice and continues the decoding order of
    // the run's previous picture; a unit that does neither (one that merely parses, in
    // garbage or in the payload of a large picture) is no part of the stream and ends the
    // run in front of it.
    if (newPicture && isPicture(unit, hevc)) {
      if (!startsPicture(unit, hevc) || (haveLastPicture && !continuesAfter(lastPicture, unit, reference))) {
        if (nalCount) *nalCount -= 1;
        return endChain();
      }
      lastPicture = unit;
      haveLastPicture = true;
    }

    // A picture is led by a few units at most (parameter sets, SEI, a delimiter, a
    // prefix); a long chain of units without one is bytes that happen to parse.
    nonPictureUnits = newPicture || merge ? 0 : nonPictureUnits + 1;
    if (nonPictureUnits > kMaxLeadingUnits) {
      if (nalCount) *nalCount -= 1;
      return endChain();
    }
    if (merge && !sampleArray.empty()) {
      Sample& last = sampleArray.back();
      last.sampleSize += unit.nalSize;
      if (newPicture) last.picture = true;
      if (isKeyframe(unit, hevc)) last.sync = true;
    } else {
      sampleArray.push_back(makeRecord(unit, x, hevc));
    }
    if (newPicture && sampleCount) *sampleCount += 1;

    if (count < std::numeric_limits<int32_t>::max()) ++count;
    x += unit.nalSize;
    previous = unit;
    havePrevious = true;
    if (count == std::numeric_limits<int32_t>::max() || !probeAt(x)) return endChain();
  }
}

void RepairFile::analyseDataForAVC1AndHVC1InFile(File& corrupt, uint64_t audioCodec) {
  FileHandle input = FileHandle::openForReading(corrupt.filePath);
  const uint64_t fileSize = input.isOpen() ? input.size() : 0;
  videoSampleArray.clear();
  audioSampleArray.clear();
  sampleArray.clear();
  forgetWalkedAudio();
  outcome = ScanOutcome{};

  ReferenceParameterSets reference;
  const uint8_t n = uint8_t(healthyFile ? healthyFile->AVCOneNaluSizeLength() : 0);
  bool usable = false;
  if (healthyFile && healthyFile->moov()) {
    if (healthyFile->videoCodec == kVideoCodecH265) {
      reference.vps = healthyFile->VPS();
      reference.sps265 = healthyFile->SPS265();
      reference.pps265 = healthyFile->PPS265();
      usable = reference.vps && reference.sps265 && reference.pps265;
    } else {
      reference.sps = healthyFile->SPS();
      reference.pps = healthyFile->PPS();
      usable = reference.sps && reference.pps;
    }
  }
  if (!usable) {
    if (delegate) delegate->moveBackToSelectReferenceFile();
    setStopflag(true);
    return;
  }
  const uint64_t skip = healthyFile->numberOfTracks() < 3 ? 0 : healthyFile->getSampleSkip();
  maxNalSize = maxUnitSize(*healthyFile);
  furtherSamples = furtherSamplesOf(*healthyFile);

  audioSampleCount = 0;
  videoSampleCount = 0;
  bool leadingAudioChecked = false;
  if (delegate) delegate->repairFileDidStartPerformingTask(kTaskLocating);
  lastProgressSent = -1;

  ByteWindow window(input, fileSize, kScanWindow, kMaxAacFrame);
  const bool hevc = reference.isHEVC();
  const uint32_t referenceLayer = hevc ? reference.sps265->NLayerId : 0;
  uint64_t nextProgress = 0;  // offset at which the percentage next changes
  const uint64_t dataStart = mediaDataStart(input, fileSize);
  const uint64_t dataEnd = std::max(dataStart, mediaDataLimit(input, fileSize));
  const bool pcm = audioCodec == kAudioCodecTwos || audioCodec == kAudioCodecSowt;
  const uint32_t bytesPerFrame = pcmBytesPerFrame(healthyFile.get());
  const auto dsi = healthyFile->decoderSpecificInfo();
  const Bytes audioConfig = dsi ? dsi->decoderSpecificInfo : Bytes();

  // AAC stretches are analysed beside the scan (each with a decoder of its own, so they do
  // not depend on each other). The scan leaves a placeholder chunk for each and puts the
  // frames in as the analyses finish, in file order; a stretch without frames makes no
  // chunk.
  struct PendingAudio {
    size_t chunk;  // index of the placeholder in sampleArray
    size_t ticket;
  };
  std::vector<PendingAudio> pendingAudio;
  size_t nextPending = 0;
  std::optional<AudioStretchQueue> aac;
  if (audioCodec == kAudioCodecAAC) {
    const unsigned workers = audioAnalysisThreads ? audioAnalysisThreads : AudioStretchQueue::defaultWorkers();
    aac.emplace([this](FileHandle& handle, uint64_t from,
                       uint64_t size) { return analyseAACInFileHandle(handle, from, size); },
                corrupt.filePath, input, workers);
  }
  auto addAACChunk = [&](uint64_t from, uint64_t size, bool atFront) {
    const size_t ticket = aac->submit(from, size, takeWalkedAudio(from, size));
    if (atFront) {
      // Only the audio in front of the first run goes there, submitted before any other.
      sampleArray.insert(sampleArray.begin(), SampleChunk{true, 0, 0});
      for (PendingAudio& p : pendingAudio) ++p.chunk;
      pendingAudio.insert(pendingAudio.begin() + ptrdiff_t(nextPending), PendingAudio{0, ticket});
    } else {
      pendingAudio.push_back(PendingAudio{sampleArray.size(), ticket});
      sampleArray.push_back(SampleChunk{true, 0, 0});
    }
  };
  // Audio written before the first video run becomes the first chunk; it is looked for
  // once, when the second run is found or after the scan. The file's own atom headers in
  // front of the media data are left out.
  auto addLeadingAudio = [&]() {
    if (leadingAudioChecked || videoSampleCount == 0) return;
    leadingAudioChecked = true;
    const uint64_t firstVideo = videoSampleArray.front().sampleOffset;
    const uint64_t from = std::min(dataStart, firstVideo);
    addAACChunk(from, firstVideo - from, true);
  };
  // Puts in the frames of the stretches analysed so far, in file order; with `wait`, of
  // all of them. False when the analysis was stopped.
  auto collectAAC = [&](bool wait) {
    for (; nextPending < pendingAudio.size(); ++nextPending) {
      const PendingAudio& p = pendingAudio[nextPending];
      if (!wait && !aac->ready(p.ticket)) return true;
      auto frames = aac->take(p.ticket);
      if (!frames) return false;
      if (frames->empty()) continue;  // the placeholder stays empty
      audioSampleCount += frames->size();
      sampleArray[p.chunk] = SampleChunk{true, audioSampleArray.size(), frames->size()};
      audioSampleArray.insert(audioSampleArray.end(), frames->begin(), frames->end());
    }
    return true;
  };

  // Chunks that nothing will change any more, from the first: all of them, but for AAC
  // those up to the first stretch still being decoded, and none before the audio in front
  // of the first run has its place.
  auto settledChunks = [&]() -> size_t {
    if (!aac) return sampleArray.size();
    if (!leadingAudioChecked) return 0;
    return nextPending < pendingAudio.size() ? pendingAudio[nextPending].chunk : sampleArray.size();
  };

  // PCM (big-endian "twos" or little-endian "sowt"): the whole stretch is one chunk of
  // whole frames. The bytes of further tracks (a timecode sample per cycle) close the
  // stretch and are left out; a stretch without a whole frame besides them holds no audio.
  uint64_t pcmFrames = 0;
  const double fps = healthyFile->videoFPS();
  const uint64_t leadingPcmMinimum =
      std::max<uint64_t>(1, fps > 0 ? uint64_t(healthyFile->audioTrackTimeScale() / fps) * bytesPerFrame : 0);
  auto addPcmChunk = [&](uint64_t from, uint64_t size) {
    const uint64_t frames = (size > skip ? size - skip : 0) / bytesPerFrame;
    if (frames == 0) return;
    const uint64_t kept = frames * bytesPerFrame;
    audioSampleCount += kept;
    pcmFrames += frames;
    sampleArray.push_back(SampleChunk{true, audioSampleArray.size(), 1});
    audioSampleArray.push_back(Sample::initWithSampleType(kSampleTypePCM, from, kept, nullptr));
  };

  // A picture alone between two pieces of audio (muxers that interleave picture by picture
  // write one) is taken only on strong evidence: its slice header parses against the
  // reference and starts the picture, the bytes behind it are whole audio of the
  // reference's format, and right after them comes either the end of the media data or
  // the next item of the stream: a parameter set, SEI or delimiter, or a picture whose
  // decoding order continues this one's. A unit that merely parses, in garbage or in
  // audio, has no such company.
  uint64_t longestGap = 0;  // longest stretch between two runs
  uint64_t lastItemStart = 0;  // where the item after the last lone picture starts
  std::unique_ptr<AacFrameReader> walkReader;
  NALU follower;
  auto followsAt = [&](uint64_t x, const NALU& picture) {
    if (x >= fileSize || certainlyNoUnit(window.at(x, kNaluProbeWindow), n, hevc, referenceLayer, maxNalSize))
      return false;
    // A unit that the end of a recording cut short still starts the next item.
    if (!follower.probe(window.at(x, kNaluProbeWindow), kNaluProbeWindow, n, reference, maxNalSize) ||
        (follower.nalSize > fileSize - x && dataEnd < fileSize))
      return false;
    if (isPicture(follower, hevc)) return startsPicture(follower, hevc) && continuesAfter(picture, follower, reference);
    // Parameter sets, SEI and delimiters lead a picture: another unit follows right behind.
    const uint64_t behind = x + follower.nalSize;
    NALU second;
    return behind < fileSize &&
           !certainlyNoUnit(window.at(behind, kNaluProbeWindow), n, hevc, referenceLayer, maxNalSize) &&
           second.probe(window.at(behind, kNaluProbeWindow), kNaluProbeWindow, n, reference, maxNalSize);
  };
  // A sample of varying size of a further track (a still image, telemetry) ends the
  // frames at x: the next picture in decoding order, or audio frames that lead to it,
  // are looked for within the largest such sample the reference holds. Only audio that
  // has begun (frames found already) is followed so, which keeps pictures that merely
  // parse in random data cheap. Audio frames found are added to `frames`; 0 when nothing
  // is found.
  auto resumeBehindOtherSample = [&](uint64_t x, const NALU& picture, SampleList& frames) -> uint64_t {
    if (furtherSamples.largest == 0 || !walkReader || frames.empty()) return 0;
    const uint64_t limit = std::min(dataEnd, x + 2 * uint64_t(furtherSamples.largest) + 64);
    for (uint64_t y = x + 1; y < limit; ++y) {
      if (followsAt(y, picture)) return y;
      SampleList more;
      for (uint64_t z = y; more.size() < kMaxFramesBetweenPictures && z < dataEnd;) {
        const size_t length = size_t(std::min<uint64_t>(dataEnd - z, kMaxAacFrame));
        const size_t used = walkReader->frameSize(window.at(z, length), length);
        if (used == 0) break;
        more.push_back(Sample::initWithSampleType(kSampleTypeAAC, z, used, nullptr));
        z += used;
        if (z < dataEnd && followsAt(z, picture)) {
          frames.insert(frames.end(), more.begin(), more.end());
          return z;
        }
      }
    }
    return 0;
  };
  // Where the item after the lone picture ending at `end` starts (dataEnd for the end of
  // the media data), or nothing. Audio that runs up to the end of the media data, where
  // nothing follows to check against, counts only for a picture the previous one named
  // as its successor (`announced`).
  auto itemAfterLonePicture = [&](const NALU& picture, uint64_t end, bool announced) -> std::optional<uint64_t> {
    if (end >= dataEnd) return end == dataEnd ? std::optional<uint64_t>(end) : std::nullopt;
    if (followsAt(end, picture)) return end;
    if (audioCodec == kAudioCodecAAC) {
      // The frames walked here are handed to the stretch's analysis later. One decoder
      // serves every walk: where a frame ends does not depend on the frames before it, and
      // setting up a decoder for each of thousands of pictures would cost more than the
      // decoding.
      if (!walkReader) walkReader = std::make_unique<AacFrameReader>(audioConfig);
      AacFrameReader& reader = *walkReader;
      SampleList frames;
      uint64_t x = end;
      for (uint32_t i = 0; reader.usable() && i < kMaxFramesBetweenPictures && x < dataEnd; ++i) {
        const size_t length = size_t(std::min<uint64_t>(dataEnd - x, kMaxAacFrame));
        const uint8_t* bytes = window.at(x, length);
        const size_t used = reader.frameSize(bytes, length);
        if (used == 0) {
          // A sample of a further track (timecode, text, data) between the frames.
          uint64_t further = furtherSampleAt(bytes, length, reader);
          if (further == 0) further = stillImageAt(window, x, dataEnd);
          if (further == 0) {
            if (const uint64_t resumed = resumeBehindOtherSample(x, picture, frames)) {
              rememberWalkedAudio(end, resumed - end, std::move(frames));
              return resumed;
            }
            break;
          }
          x += further;
          if (x < dataEnd && followsAt(x, picture)) {
            rememberWalkedAudio(end, x - end, std::move(frames));
            return x;
          }
          continue;
        }
        frames.push_back(Sample::initWithSampleType(kSampleTypeAAC, x, used, nullptr));
        x += used;
        if (x < dataEnd && followsAt(x, picture)) {
          rememberWalkedAudio(end, x - end, std::move(frames));
          return x;
        }
      }
      // The audio runs up to the end of the media data (a recording cut short ends inside
      // a frame).
      if (announced && x <= dataEnd && dataEnd - x < kMaxAacFrame && !frames.empty()) return dataEnd;
      return std::nullopt;
    }
    if (pcm) {
      // PCM cannot be told from other bytes, so the search stays near what the stretches
      // between pictures have been so far: far beyond, a unit that parses by chance would
      // be taken as the next picture and the pictures before it skipped.
      const uint64_t reach = std::min(std::max(2 * longestGap, kMinPcmReach), kMaxPcmBetweenPictures);
      const uint64_t limit = std::min(dataEnd, end + reach);
      for (uint64_t x = end + bytesPerFrame; x < limit; x += bytesPerFrame)
        if (followsAt(x, picture)) return x;
      if (announced && dataEnd - end <= reach) return dataEnd;
    }
    return std::nullopt;
  };
  NALU lone;
  // The first slice of the last picture among the records from `first` on, into `unit`.
  auto lastPictureOfRun = [&](size_t first, NALU& unit) {
    for (size_t i = videoSampleArray.size(); i-- > first;) {
      const Sample& record = videoSampleArray[i];
      if (!record.picture) continue;
      for (uint64_t x = record.sampleOffset; x < record.endOffset(); x += unit.nalSize) {
        if (!unit.probe(window.at(x, kNaluProbeWindow), kNaluProbeWindow, n, reference, maxNalSize)) return false;
        if (isPicture(unit, hevc)) return true;
      }
      return false;
    }
    return false;
  };
  if (n < 4) {
    const std::string why = lengthSizeContradiction(window, n, dataStart, dataEnd, reference);
    if (stopflag()) return;
    if (!why.empty()) return refuseReference(corrupt, why);
  }
  uint64_t o = 0;
  while (o < fileSize) {
    if (stopflag()) return;
    waitWhilePaused();
    if (o >= nextProgress) {
      reportProgress(o, fileSize);
      nextProgress = offsetOfNextPercent(int32_t(o * 100 / fileSize), fileSize);
    }

    // Most offsets of unmatched data fail on the length prefix or the header byte; only a
    // plausible unit goes on to the chain builder, which probes it in full. They are
    // stepped over in a tight loop of local values (up to the next progress report, and
    // 1 MiB at most between two looks at the stop flag).
    if (n == 0 || n > 4) {
      ++o;
      continue;
    }
    {
      const uint64_t stopAt = std::min({fileSize, std::max(nextProgress, o + 1), o + (uint64_t(1) << 20)});
      const uint8_t length = n;
      const bool h = hevc;
      const uint32_t layer = referenceLayer;
      const uint32_t limit = maxNalSize;
      // With 4-byte lengths below 2^24 a unit starts with a zero byte: only those are looked at.
      const bool zeroLed = length == 4 && limit < (1u << 24) + 4;
      uint64_t x = o;
      while (x < stopAt) {
        if (zeroLed && (x = window.find(x, stopAt, 0)) >= stopAt) break;
        if (!certainlyNoUnit(window.at(x, kNaluProbeWindow), length, h, layer, limit)) break;
        ++x;
      }
      if (x != o) {
        o = x;
        continue;
      }
    }

    const size_t runStart = videoSampleArray.size();
    uint64_t units = 0;
    uint64_t k = 0;
    const int32_t consumed = getNaluAtOffset(o, videoSampleArray, window, n, &units, &k, fileSize, reference);
    // A run of two units or more that holds a picture is taken as it is; a single unit
    // only when it is a picture with the company described above. A chain that holds no
    // picture would make a chunk of no samples.
    // With length prefixes of one or two bytes nearly every byte is a plausible length, so
    // audio and garbage chain into runs of several units by chance: there every run needs
    // the company of a lone picture, checked behind its last picture.
    std::optional<uint64_t> next;
    const bool shortPrefix = n < 4;
    if (consumed == 1 && k == 1 && lone.probe(window.at(o, kNaluProbeWindow), kNaluProbeWindow, n, reference,
                                              maxNalSize) &&
        startsPicture(lone, hevc))
      next = itemAfterLonePicture(lone, o + lone.nalSize, o == lastItemStart);
    else if (shortPrefix && consumed >= 2 && k > 0 && lastPictureOfRun(runStart, lone))
      next = itemAfterLonePicture(lone, videoSampleArray.back().endOffset(), o == lastItemStart);
    if ((consumed < 2 || k == 0 || shortPrefix) && !next) {
      videoSampleArray.resize(runStart);
      if (stopflag()) return;
      ++o;
      continue;
    }

    const uint64_t runOffset = videoSampleArray[runStart].sampleOffset;
    // PCM written before the first run (a phone may write all its sound first) is the
    // first chunk; nothing has been written ahead yet. A muxer writes at least a picture's
    // duration of sound at a time: fewer bytes there are something else.
    if (runStart == 0 && pcm && runOffset > dataStart && runOffset - dataStart >= leadingPcmMinimum)
      addPcmChunk(dataStart, runOffset - dataStart);
    if (runStart > 0) {
      const uint64_t gapStart = videoSampleArray[runStart - 1].endOffset();
      const uint64_t gap = runOffset - gapStart;
      longestGap = std::max(longestGap, gap);
      if (pcm) {
        addPcmChunk(gapStart, gap);
      } else if (audioCodec == kAudioCodecAAC) {
        addLeadingAudio();
        addAACChunk(gapStart, gap, false);
        if (!collectAAC(false)) return;
      }
    }

    videoSampleCount += k;
    sampleArray.push_back(SampleChunk{false, runStart, videoSampleArray.size() - runStart});
    o = videoSampleArray.back().endOffset();
    // The audio behind a lone picture has been walked already: the scan goes on where the
    // next item starts.
    lastItemStart = next ? *next : 0;
    if (next && *next > o && *next < dataEnd) o = *next;
    writeAhead(settledChunks(), corrupt.filePath);
  }

  // The stretch behind the last run is audio too: a recording ends with the audio written
  // after its last pictures. It ends with the media data, and PCM also where a unit of a
  // further run begins that the end of a truncated file cut short (AAC frames are told
  // from video by decoding). A camera interleaves evenly, so the last stretch is no
  // longer than the others: what lies beyond (space the camera reserved, say) is not
  // taken as PCM, nor searched for AAC frames far beyond.
  // A phone may write all its audio first and then its pictures as one run.
  if (aac) addLeadingAudio();
  if (!videoSampleArray.empty() && (pcm || audioCodec == kAudioCodecAAC)) {
    const uint64_t tailStart = videoSampleArray.back().endOffset();
    const uint64_t longest = pcm ? longestGap : std::max<uint64_t>(4 * longestGap, kMinAACTail);
    uint64_t tailEnd = std::max(tailStart, mediaDataEnd(input, window, fileSize, tailStart, longest));
    // The last picture may have been followed by the start of one that was cut short.
    if (lastItemStart > tailStart && lastItemStart < tailEnd) tailEnd = lastItemStart;
    if (pcm) {
      NALU unit;
      for (uint64_t x = tailStart; x < tailEnd; ++x) {
        if (stopflag()) return;
        if (!certainlyNoUnit(window.at(x, kNaluProbeWindow), n, hevc, referenceLayer, maxNalSize) &&
            unit.probe(window.at(x, kNaluProbeWindow), kNaluProbeWindow, n, reference, maxNalSize)) {
          tailEnd = x;
          break;
        }
      }
      addPcmChunk(tailStart, tailEnd - tailStart);
    } else {
      addAACChunk(tailStart, tailEnd - tailStart, false);
    }
  }
  if (aac) {
    if (!collectAAC(true)) return;
    // Stretches without frames leave no chunk behind (only their placeholders are empty).
    const size_t written = chunksWrittenAhead();
    size_t kept = 0;
    size_t keptWritten = 0;
    for (size_t i = 0; i < sampleArray.size(); ++i) {
      if (sampleArray[i].count == 0) continue;
      if (i < written) ++keptWritten;
      sampleArray[kept++] = sampleArray[i];
    }
    sampleArray.resize(kept);
    chunksRenumbered(keptWritten);
  }
  forgetWalkedAudio();

  // What the scan placed into samples, against the media data it looked at.
  uint64_t placed = 0;
  for (const Sample& s : videoSampleArray) placed += s.sampleSize;
  for (const Sample& s : audioSampleArray) placed += s.sampleSize;
  outcome.mediaDataBytes = dataEnd - dataStart;
  outcome.bytesInSamples = placed;
  const double videoRate = healthyFile->videoFPS();
  if (videoRate > 0) outcome.videoSeconds = double(videoSampleCount) / videoRate;
  if (pcm) {
    const uint32_t rate = healthyFile->audioTrackTimeScale();
    if (rate > 0) outcome.audioSeconds = double(pcmFrames) / rate;
  } else if (audioCodec == kAudioCodecAAC) {
    const double rate = healthyFile->audioFPS();
    if (rate > 0) outcome.audioSeconds = double(audioSampleCount) / rate;
  }

  if (const std::string why = streamContradiction(window, n, reference); !why.empty())
    return refuseReference(corrupt, why);
  std::vector<uint32_t> ranks = presentationRanks(window, n, fileSize, reference);

  audioRequest = std::make_shared<AtomCreationRequest>();
  audioRequest->requestType = kRequestTypeSound;
  videoRequest = std::make_shared<AtomCreationRequest>();
  videoRequest->requestType = kRequestTypeVideo;
  videoRequest->presentationRanks = std::move(ranks);
}

std::optional<SampleList> RepairFile::takeWalkedAudio(uint64_t offset, uint64_t size) {
  std::lock_guard<std::mutex> lock(walkedMutex_);
  auto it = walked_.find(offset);
  if (it == walked_.end() || it->second.first != size) return std::nullopt;
  SampleList frames = std::move(it->second.second);
  walked_.erase(it);
  return frames;
}

void RepairFile::rememberWalkedAudio(uint64_t offset, uint64_t size, SampleList frames) {
  std::lock_guard<std::mutex> lock(walkedMutex_);
  walked_[offset] = {size, std::move(frames)};
}

void RepairFile::forgetWalkedAudio() {
  std::lock_guard<std::mutex> lock(walkedMutex_);
  walked_.clear();
}


}  // namespace vr
