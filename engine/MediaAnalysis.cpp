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
#include "atoms/SampleTableAtoms.h"
#include "bitstream/SPS_265.h"
#include "engine/ByteWindow.h"
#include "engine/File.h"
#include "engine/NALU.h"
#include "engine/RepairFile.h"

namespace vr {

namespace {

// A unit larger than this ends a run: no camera writes one, and garbage that happens to
// look like a slice header often carries a huge length.
constexpr uint32_t kMaxNalSize = 2'199'999;

// Bytes read per refill of the probe's window.
constexpr size_t kScanWindow = 1 << 20;

bool isPicture(const NALU& unit, bool hevc) {
  return hevc ? unit.isNamed(NaluName::Slice) : (unit.NALType == 1 || unit.NALType == 5);
}

Sample makeRecord(const NALU& unit, uint64_t offset, bool hevc) {
  Sample s = Sample::initWithSampleType(hevc ? kSampleTypeH265 : kSampleTypeH264, offset, unit.nalSize, &unit);
  s.picture = isPicture(unit, hevc);
  return s;
}

// The probe's cheapest rejections, on the header and the length prefix alone, for the
// scan's inner loop: true only where the probe would reject too. Most offsets of unmatched
// data end here, without building a unit.
inline bool certainlyNoUnit(const uint8_t* b, uint8_t n, bool hevc, uint32_t referenceLayer) {
  uint64_t size = 0;
  for (uint8_t i = 0; i < n; ++i) size = (size << 8) | b[i];
  size += n;
  if (size > kMaxNalSize) return true;
  if (!hevc) {
    const uint8_t h = b[n];
    if (h & 0x80) return true;
    const uint32_t type = h & 0x1F;
    const uint32_t nri = (h >> 5) & 3;
    constexpr uint32_t kTypes = (1u << 1) | (1u << 5) | (1u << 6) | (1u << 7) | (1u << 8) | (1u << 9);
    if (((kTypes >> type) & 1) == 0) return true;
    if ((type == 5 || type == 7 || type == 8) && nri == 0) return true;
    if ((type == 6 || type == 9) && nri != 0) return true;
    return type >= 6 && size > 800;
  }
  const uint8_t h0 = b[n];
  const uint8_t h1 = b[n + 1];
  if ((h0 & 0x80) || (h1 & 7) == 0) return true;
  if (((uint32_t(h0 & 1) << 5) | (h1 >> 3)) != referenceLayer) return true;
  const uint32_t type = (h0 >> 1) & 0x3F;
  constexpr uint64_t kTypes = 0x3FFull | (0x3Full << 16) | (0x1Full << 32) | (1ull << 39) | (1ull << 40) |
                              (0xFFFFull << 48);
  if (((kTypes >> type) & 1) == 0) return true;
  if (size < 7) return true;
  if (type >= 32 && type <= 40 && size > 800) return true;
  return type >= 48 && size > 1000;
}

// First offset at which the whole percentage of progress through `total` exceeds `percent`.
uint64_t offsetOfNextPercent(int32_t percent, uint64_t total) {
  const unsigned __int128 next = (unsigned __int128)(uint32_t(percent + 1)) * total;
  return uint64_t((next + 99) / 100);
}

// Where media data can start in the damaged file. A recording that lost its index still
// begins with its file-type atom and the media-data header (sometimes with filler or a
// broken index in between); those bytes are no audio. Well-formed top-level atoms at the
// start are stepped over, and the media-data header too; anything else ends the walk.
uint64_t mediaDataStart(FileHandle& file, uint64_t fileSize) {
  uint64_t pos = 0;
  for (int atoms = 0; atoms < 16 && fileSize - pos >= 8; ++atoms) {
    uint8_t h[16] = {};
    file.readZeroFilled(pos, h, sizeof h);
    uint64_t size = readBE32(h);
    const uint32_t type = readBE32(h + 4);
    uint64_t header = 8;
    if (size == 1) {
      size = readBE64(h + 8);
      header = 16;
    }
    if (type == fourCC("mdat")) {
      const bool plausible = (size == 0 || size >= header) && fileSize - pos >= header;
      return plausible ? pos + header : pos;
    }
    const bool skippable = type == fourCC("ftyp") || type == fourCC("wide") || type == fourCC("free") ||
                           type == fourCC("skip") || type == fourCC("moov") || type == fourCC("uuid") ||
                           type == fourCC("udta") || type == fourCC("meta");
    if (!skippable || size < header || size > fileSize - pos) return pos;
    pos += size;
  }
  return pos;
}

}  // namespace

void RepairFile::addSampleToChunkEntry(std::vector<std::shared_ptr<SampleToChunkEntery>>& list, uint32_t chunk,
                                       uint32_t samples) {
  if (!list.empty() && list.back() && list.back()->samplesPerChunk == samples) return;
  if (auto entry = SampleToChunkEntery::initWithFirstChunk(chunk, samples, 1)) list.push_back(std::move(entry));
}

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
  ByteWindow window(fileHandle, inputFileSize, 64 * 1024, 64);
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
  uint64_t x = offset;
  int32_t count = 0;

  auto probeAt = [&](uint64_t at) {
    // A unit must lie inside the file: one cut short by the end of a truncated recording
    // is not taken.
    return at < inputFileSize &&
           unit.probe(window.at(at, kNaluProbeWindow), kNaluProbeWindow, sizeBytesLength, reference, kMaxNalSize) &&
           unit.nalSize <= inputFileSize - at;
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
      // type and frame number, later in the picture.
      merge = havePrevious && previous.NALType == unit.NALType && previous.sliceType == unit.sliceType &&
              previous.frameNum == unit.frameNum && previous.firstMBInSlice < unit.firstMBInSlice;
      // Parameter sets, SEI and delimiters are not pictures: they travel with the next one.
      newPicture = !merge && isPicture(unit, false);
    } else {
      const bool isSlice = unit.isNamed(NaluName::Slice);
      insidePicture = insidePicture && isSlice;
      if (havePrevious && insidePicture && unit.firstMBInSlice == 0 && unit.NALType == previous.NALType) {
        merge = true;  // a further slice segment of the current picture
      } else if (havePrevious && previous.isNamed(NaluName::Slice) && unit.isNamed(NaluName::Unspecified)) {
        merge = true;
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

    if (merge && !sampleArray.empty()) {
      Sample& last = sampleArray.back();
      last.sampleSize += unit.nalSize;
      if (newPicture) last.picture = true;
    } else {
      sampleArray.push_back(makeRecord(unit, x, hevc));
    }
    if (newPicture && sampleCount) *sampleCount += 1;

    if (count < std::numeric_limits<int32_t>::max()) ++count;
    x += unit.nalSize;
    previous = unit;
    havePrevious = true;
    if (count == std::numeric_limits<int32_t>::max() || !probeAt(x)) return count;
  }
}

void RepairFile::analyseDataForAVC1AndHVC1InFile(File& corrupt, uint64_t audioCodec) {
  FileHandle input = FileHandle::openForReading(corrupt.filePath);
  const uint64_t fileSize = input.isOpen() ? input.size() : 0;
  videoSampleArray.clear();
  audioSampleArray.clear();
  sampleArray.clear();
  std::vector<std::shared_ptr<SampleToChunkEntery>> videoStsc;
  std::vector<std::shared_ptr<SampleToChunkEntery>> audioStsc;

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

  audioSampleCount = 0;
  videoSampleCount = 0;
  uint32_t audioChunks = 0;
  uint32_t videoChunks = 0;
  bool leadingAudioChecked = false;
  if (delegate) delegate->repairFileDidStartPerformingTask(kTaskLocating);
  lastProgressSent = -1;

  ByteWindow window(input, fileSize, kScanWindow, 64);
  const bool hevc = reference.isHEVC();
  const uint32_t referenceLayer = hevc ? reference.sps265->NLayerId : 0;
  uint64_t nextProgress = 0;  // offset at which the percentage next changes

  // Adds an AAC chunk of the frames found in [from, from + size); false when stopped.
  auto addAACChunk = [&](uint64_t from, uint64_t size, bool atFront) {
    auto frames = analyseAACInFileHandle(input, from, size);
    if (!frames) return false;
    if (frames->empty()) return true;
    ++audioChunks;
    audioSampleCount += frames->size();
    addSampleToChunkEntry(audioStsc, audioChunks, uint32_t(frames->size()));
    SampleChunk chunk{true, audioSampleArray.size(), frames->size()};
    audioSampleArray.insert(audioSampleArray.end(), frames->begin(), frames->end());
    if (atFront)
      sampleArray.insert(sampleArray.begin(), chunk);
    else
      sampleArray.push_back(chunk);
    return true;
  };

  uint64_t o = 0;
  while (o < fileSize) {
    if (stopflag()) return;
    waitWhilePaused();
    if (o >= nextProgress) {
      reportProgress(o, fileSize);
      nextProgress = offsetOfNextPercent(int32_t(o * 100 / fileSize), fileSize);
    }

    // Most offsets of unmatched data fail on the length prefix or the header byte; only a
    // plausible unit goes on to the chain builder, which probes it in full.
    if (n == 0 || n > 4 || certainlyNoUnit(window.at(o, kNaluProbeWindow), n, hevc, referenceLayer)) {
      ++o;
      continue;
    }

    const size_t runStart = videoSampleArray.size();
    uint64_t units = 0;
    uint64_t k = 0;
    const int32_t consumed = getNaluAtOffset(o, videoSampleArray, window, n, &units, &k, fileSize, reference);
    // A single isolated unit never makes a run, and neither does a chain that holds no
    // picture (it would make a chunk of no samples).
    if (consumed < 2 || k == 0) {
      videoSampleArray.resize(runStart);
      if (stopflag()) return;
      ++o;
      continue;
    }

    const uint64_t runOffset = videoSampleArray[runStart].sampleOffset;
    if (runStart > 0) {
      const uint64_t gapStart = videoSampleArray[runStart - 1].endOffset();
      const uint64_t gap = runOffset - gapStart;
      if (audioCodec == kAudioCodecTwos) {
        // Big-endian PCM: the whole stretch is one sample; the index takes the reference's
        // chunking for it. An empty stretch holds no audio.
        if (gap > 0) {
          sampleArray.push_back(SampleChunk{true, audioSampleArray.size(), 1});
          audioSampleArray.push_back(Sample::initWithSampleType(kSampleTypePCM, gapStart, gap, nullptr));
        }
      } else if (audioCodec == kAudioCodecSowt) {
        // Little-endian PCM: the bytes of further tracks (a timecode sample per cycle)
        // close the stretch and are left out. A stretch no longer than them holds no audio.
        const uint32_t frames = uint32_t(gap) / 4;
        if (gap > skip && frames > 0) {
          ++audioChunks;
          audioSampleCount += gap - skip;
          addSampleToChunkEntry(audioStsc, audioChunks, frames);
          sampleArray.push_back(SampleChunk{true, audioSampleArray.size(), 1});
          audioSampleArray.push_back(Sample::initWithSampleType(kSampleTypePCM, gapStart, gap - skip, nullptr));
        }
      } else if (audioCodec == kAudioCodecAAC) {
        // Audio written before the first video run is looked for once a run has been
        // found and while no audio has been: it becomes the first chunk.
        // The file's own atom headers in front of the media data are left out.
        if (audioSampleArray.empty() && videoSampleCount != 0 && !leadingAudioChecked) {
          leadingAudioChecked = true;
          const uint64_t firstVideo = videoSampleArray.front().sampleOffset;
          const uint64_t from = std::min(mediaDataStart(input, fileSize), firstVideo);
          if (!addAACChunk(from, firstVideo - from, true)) return;
        }
        if (!addAACChunk(gapStart, gap, false)) return;
      }
    }

    ++videoChunks;
    videoSampleCount += k;
    addSampleToChunkEntry(videoStsc, videoChunks, uint32_t(k));
    sampleArray.push_back(SampleChunk{false, runStart, videoSampleArray.size() - runStart});
    o = videoSampleArray.back().endOffset();
  }

  audioRequest = std::make_shared<AtomCreationRequest>();
  audioRequest->requestType = 1;
  audioRequest->stscEntries = std::move(audioStsc);
  videoRequest = std::make_shared<AtomCreationRequest>();
  videoRequest->requestType = 2;
  videoRequest->stscEntries = std::move(videoStsc);
}

}  // namespace vr
