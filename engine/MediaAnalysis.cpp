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
#include "engine/AudioChunks.h"
#include "engine/ByteWindow.h"
#include "engine/File.h"
#include "engine/LonePictureWalk.h"
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
  if (delegate) delegate->repairFileDidStartPerformingTask(kTaskLocating);
  lastProgressSent = -1;

  ByteWindow window(input, fileSize, kScanWindow, kMaxAacFrame);
  const bool hevc = reference.isHEVC();
  const uint32_t referenceLayer = hevc ? reference.sps265->NLayerId : 0;
  uint64_t nextProgress = 0;  // offset at which the percentage next changes
  const uint64_t dataStart = mediaDataStart(input, fileSize);
  const uint64_t dataEnd = std::max(dataStart, mediaDataLimit(input, fileSize));
  const uint32_t bytesPerFrame = pcmBytesPerFrame(healthyFile.get());
  AudioChunks audio(*this, audioCodec, corrupt.filePath, input, bytesPerFrame, skip);
  const bool pcm = audio.isPCM();

  LonePictureWalk::Stream stream;
  stream.lengthSize = n;
  stream.referenceLayer = referenceLayer;
  stream.fileSize = fileSize;
  stream.dataEnd = dataEnd;
  stream.audio = pcm ? LonePictureWalk::Audio::PCM
                     : audio.isAAC() ? LonePictureWalk::Audio::AAC : LonePictureWalk::Audio::None;
  if (const auto dsi = healthyFile->decoderSpecificInfo()) stream.audioConfig = dsi->decoderSpecificInfo;
  stream.pcmFrameBytes = bytesPerFrame;
  LonePictureWalk walk(*this, window, reference, std::move(stream));

  // Audio written before the first video run becomes the first chunk; it is looked for
  // once, when the second run is found or after the scan. The file's own atom headers in
  // front of the media data are left out.
  auto addLeadingAudio = [&]() {
    if (!audio.isAAC() || audio.leadingPlaced() || videoSampleCount == 0) return;
    const uint64_t firstVideo = videoSampleArray.front().sampleOffset;
    const uint64_t from = std::min(dataStart, firstVideo);
    audio.addLeadingAAC(from, firstVideo, walk.takeWalked(from, firstVideo - from));
  };
  // PCM in front of the first run (a phone may write all its sound first) counts when it
  // lasts at least a picture: a muxer writes at least that much sound at a time, and fewer
  // bytes there are something else.
  const double fps = healthyFile->videoFPS();
  const uint64_t leadingPcmMinimum =
      std::max<uint64_t>(1, fps > 0 ? uint64_t(healthyFile->audioTrackTimeScale() / fps) * bytesPerFrame : 0);

  uint64_t longestGap = 0;     // longest stretch between two runs
  uint64_t lastItemStart = 0;  // where the item after the last lone picture starts
  NALU lone;
  // The first slice of the last picture among the records from `first` on, into `unit`.
  auto lastPictureOfRun = [&](size_t first, NALU& unit) {
    for (size_t i = videoSampleArray.size(); i-- > first;)
      if (videoSampleArray[i].picture) return firstSliceOf(videoSampleArray[i], window, n, reference, maxNalSize, unit);
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
      next = walk.itemAfter(lone, o + lone.nalSize, o == lastItemStart, longestGap);
    else if (shortPrefix && consumed >= 2 && k > 0 && lastPictureOfRun(runStart, lone))
      next = walk.itemAfter(lone, videoSampleArray.back().endOffset(), o == lastItemStart, longestGap);
    if ((consumed < 2 || k == 0 || shortPrefix) && !next) {
      videoSampleArray.resize(runStart);
      if (stopflag()) return;
      ++o;
      continue;
    }

    const uint64_t runOffset = videoSampleArray[runStart].sampleOffset;
    // PCM written before the first run is the first chunk; nothing has been written ahead
    // yet.
    if (runStart == 0 && pcm && runOffset > dataStart && runOffset - dataStart >= leadingPcmMinimum)
      audio.addPCM(dataStart, runOffset - dataStart);
    if (runStart > 0) {
      const uint64_t gapStart = videoSampleArray[runStart - 1].endOffset();
      const uint64_t gap = runOffset - gapStart;
      longestGap = std::max(longestGap, gap);
      if (pcm) {
        audio.addPCM(gapStart, gap);
      } else if (audio.isAAC()) {
        addLeadingAudio();
        audio.addAAC(gapStart, gap, walk.takeWalked(gapStart, gap));
        if (!audio.collect(false)) return;
      }
    }

    videoSampleCount += k;
    sampleArray.push_back(SampleChunk{false, runStart, videoSampleArray.size() - runStart});
    o = videoSampleArray.back().endOffset();
    // The audio behind a lone picture has been walked already: the scan goes on where the
    // next item starts.
    lastItemStart = next ? *next : 0;
    if (next && *next > o && *next < dataEnd) o = *next;
    writeAhead(audio.settled(), corrupt.filePath);
  }

  // The stretch behind the last run is audio too: a recording ends with the audio written
  // after its last pictures. It ends with the media data, and PCM also where a unit of a
  // further run begins that the end of a truncated file cut short (AAC frames are told
  // from video by decoding). A camera interleaves evenly, so the last stretch is no
  // longer than the others: what lies beyond (space the camera reserved, say) is not
  // taken as PCM, nor searched for AAC frames far beyond.
  // A phone may write all its audio first and then its pictures as one run.
  addLeadingAudio();
  if (!videoSampleArray.empty() && (pcm || audio.isAAC())) {
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
      audio.addPCM(tailStart, tailEnd - tailStart);
    } else {
      audio.addAAC(tailStart, tailEnd - tailStart, walk.takeWalked(tailStart, tailEnd - tailStart));
    }
  }
  // Stretches without frames leave no chunk behind.
  if (!audio.collect(true)) return;
  audio.dropEmpty();

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
    if (rate > 0) outcome.audioSeconds = double(audio.pcmFrames()) / rate;
  } else if (audio.isAAC()) {
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

}  // namespace vr
