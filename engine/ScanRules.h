#pragma once
// The rules the scan of a damaged movie goes by: what counts as a picture, a keyframe and
// the next picture in decoding order; where the media data lies; and what the reference
// tells about the bytes between the chunks. The scan (MediaAnalysis.cpp), the picture
// order and the checks of the reference against the damaged data share them.
#include <cstdint>

#include "engine/ByteWindow.h"
#include "engine/NALU.h"
#include "engine/RepairFile.h"
#include "engine/Sample.h"

namespace vr {

class File;
class FileHandle;
class SPS;
class SPS_265;

namespace scan {

bool isPicture(const NALU& unit, bool hevc);
// A keyframe: an IDR picture (H.264) or an intra random-access point (H.265).
bool isKeyframe(const NALU& unit, bool hevc);
// The unit is the first slice of a picture.
bool startsPicture(const NALU& unit, bool hevc);
// The picture `next` may follow `picture` in decoding order. H.264: a keyframe, or a
// frame number equal to the previous one or one above it (non-reference pictures do not
// count up). H.265: a keyframe, or an order count close to the previous one's.
bool continuesAfter(const NALU& picture, const NALU& next, const ReferenceParameterSets& reference);
// What the reference's tracks other than its first video and sound track store between
// the chunks (see RepairFile::furtherSamples).
RepairFile::FurtherSamples furtherSamplesOf(const File& reference);
// Limit on the size of a unit (see ScanRules.cpp).
uint32_t maxUnitSize(const File& reference);
Sample makeRecord(const NALU& unit, uint64_t offset, bool hevc);
// Bytes of one PCM frame of the reference's sound track (see ScanRules.cpp).
uint32_t pcmBytesPerFrame(const File* reference);

// Where media data can start in the damaged file: behind its file-type atom, filler and
// the media-data header; anything else ends the walk of the top-level atoms there.
uint64_t mediaDataStart(FileHandle& file, uint64_t fileSize);
// Where the media data ends: at the end the media-data header gives, when the file starts
// with readable atoms up to it and that end lies within the file; else at the end of the
// file (a recording cut short, or a header whose size was lost).
uint64_t mediaDataLimit(FileHandle& file, uint64_t fileSize);
// Where the media data after the last video run (at `from`) ends (see ScanRules.cpp).
uint64_t mediaDataEnd(FileHandle& file, ByteWindow& window, uint64_t fileSize, uint64_t from, uint64_t maxLength);

// The parts of a sequence parameter set that slices are read with: an in-band set that
// differs in them describes another stream than the reference's.
bool sameSliceLayout(const SPS& a, const SPS& b);
bool sameSliceLayout(const SPS_265& a, const SPS_265& b);

// The probe's cheapest rejections, on the header and the length prefix alone, for the
// scan's inner loop: true only where the probe would reject too. Most offsets of unmatched
// data end here, without building a unit.
inline bool certainlyNoUnit(const uint8_t* b, uint8_t n, bool hevc, uint32_t referenceLayer, uint32_t maxNalSize) {
  uint64_t size = 0;
  for (uint8_t i = 0; i < n; ++i) size = (size << 8) | b[i];
  size += n;
  if (size > maxNalSize) return true;
  if (!hevc) {
    const uint8_t h = b[n];
    if (h & 0x80) return true;
    const uint32_t type = h & 0x1F;
    const uint32_t nri = (h >> 5) & 3;
    // Slices, parameter sets, SEI, delimiters, the ends of sequence and stream, filler,
    // and the extension types 13 to 23 but the auxiliary slice (19).
    constexpr uint32_t kTypes = (1u << 1) | (0x00FFFFE0u & ~(1u << 19));
    if (((kTypes >> type) & 1) == 0) return true;
    if ((type == 5 || type == 7 || type == 8) && nri == 0) return true;
    if ((type == 6 || (type >= 9 && type <= 12)) && nri != 0) return true;
    return type >= 6 && type != 20 && size > 800;
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

// The first slice of a picture's record into `unit` (parameter sets, SEI and delimiters
// may stand in front of it, and `visit` sees each unit on the way); false when there is
// none or a unit does not parse.
template <typename Visit>
bool firstSliceOf(const Sample& record, ByteWindow& window, uint8_t n, const ReferenceParameterSets& reference,
                  uint32_t maxNalSize, NALU& unit, Visit visit) {
  for (uint64_t x = record.sampleOffset; x < record.endOffset() && x < window.fileSize(); x += unit.nalSize) {
    if (!unit.probe(window.at(x, kNaluProbeWindow), kNaluProbeWindow, n, reference, maxNalSize) || unit.nalSize == 0)
      return false;
    if (!visit(unit)) return false;
    if (isPicture(unit, reference.isHEVC())) return true;
  }
  return false;
}
inline bool firstSliceOf(const Sample& record, ByteWindow& window, uint8_t n, const ReferenceParameterSets& reference,
                         uint32_t maxNalSize, NALU& unit) {
  return firstSliceOf(record, window, n, reference, maxNalSize, unit, [](const NALU&) { return true; });
}

}  // namespace scan
}  // namespace vr
