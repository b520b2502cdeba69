// Checks of the reference against the damaged data: a reference that does not describe
// the damaged stream asks for another one instead of ending in pictures that do not decode.
#include "bitstream/SPS.h"
#include "bitstream/SPS_265.h"
#include "bitstream/SliceHeader.h"
#include "bitstream/SliceHeader_265.h"
#include "engine/File.h"
#include "engine/ScanRules.h"

namespace vr {

using namespace scan;

namespace {

// Media data looked at for the length prefixes the stream really uses.
constexpr uint64_t kLengthProbeSpan = 1 << 20;
// Pictures of one chain that settle it: a chain of that many pictures in decoding order
// does not happen by chance.
constexpr uint64_t kPicturesThatSettle = 3;

}  // namespace


std::string RepairFile::lengthSizeContradiction(ByteWindow& window, uint8_t n, uint64_t from, uint64_t to,
                                                const ReferenceParameterSets& reference) {
  // Short prefixes read as plausible lengths almost anywhere, so a stream with longer
  // ones would be crawled through byte by byte and cut into pictures that are none. A
  // few pictures in decoding order, whether in one chain or in chunks of their own, tell
  // that the stream's own prefixes are longer.
  const bool hevc = reference.isHEVC();
  const uint32_t layer = hevc ? reference.sps265->NLayerId : 0;
  auto picturesInOrder = [&](uint8_t size, uint64_t span) {
    SampleList scratch;
    NALU last, unit;
    uint64_t streak = 0;
    const uint64_t end = std::min(to, from + span);
    for (uint64_t x = from; x < end && !stopflag();) {
      if (certainlyNoUnit(window.at(x, kNaluProbeWindow), size, hevc, layer, maxNalSize)) {
        ++x;
        continue;
      }
      scratch.clear();
      getNaluAtOffset(x, scratch, window, size, nullptr, nullptr, window.fileSize(), reference);
      for (const Sample& record : scratch) {
        if (!record.picture || !firstSliceOf(record, window, size, reference, maxNalSize, unit)) continue;
        streak = streak > 0 && continuesAfter(last, unit, reference) ? streak + 1 : 1;
        last = unit;
        if (streak >= kPicturesThatSettle) return true;
      }
      x = scratch.empty() ? x + 1 : scratch.back().endOffset();
    }
    return false;
  };
  // Read with 2-byte lengths, a stream of 1-byte ones still chains often enough to show
  // pictures by chance; 4-byte lengths do not.
  if (n < 4 && picturesInOrder(4, kLengthProbeSpan))
    return "the damaged movie's NAL units carry 4-byte lengths, the reference declares " + std::to_string(n);
  return {};
}

std::string RepairFile::streamContradiction(ByteWindow& window, uint8_t n, const ReferenceParameterSets& reference) {
  NALU unit, previous;
  unit.judgeSliceSyntax = true;
  bool havePrevious = false;
  uint64_t pairs = 0, breaks = 0, judged = 0, misfits = 0, intraJudged = 0, cabacIntra = 0;
  bool otherSets = false;
  // Parameter sets travel in front of a picture's first slice.
  auto sameSets = [&](const NALU& u) {
    const auto* sps = std::get_if<std::shared_ptr<SPS>>(&u.RBSP);
    const auto* sps265 = std::get_if<std::shared_ptr<SPS_265>>(&u.RBSP);
    otherSets = (sps && *sps && !sameSliceLayout(**sps, *reference.sps)) ||
                (sps265 && *sps265 && !sameSliceLayout(**sps265, *reference.sps265));
    return !otherSets;
  };
  for (const Sample& record : videoSampleArray) {
    const bool found = firstSliceOf(record, window, n, reference, maxNalSize, unit, sameSets);
    if (otherSets) return "the damaged movie's own parameter sets differ from the reference's";
    if (!found) continue;
    if (const auto* h = std::get_if<std::shared_ptr<SliceHeader_265>>(&unit.RBSP); h && *h && (*h)->restFits >= 0) {
      ++judged;
      if ((*h)->restFits == 0) ++misfits;
    }
    if (const auto* h = std::get_if<std::shared_ptr<SliceHeader>>(&unit.RBSP); h && *h && (*h)->restFits >= 0) {
      ++judged;
      if ((*h)->restFits == 0) ++misfits;
      // An I slice reads the same with either entropy coder up to the alignment bits; three
      // or more of them all ones are the mark of CABAC.
      if ((*h)->slice_type % 5 == 2 && ((*h)->readAsCabac == 0 || (*h)->readAsCabac >= 4)) {
        ++intraJudged;
        if ((*h)->readAsCabac >= 4) ++cabacIntra;
      }
    }
    if (havePrevious) {
      ++pairs;
      if (!continuesAfter(previous, unit, reference)) ++breaks;
    }
    previous = unit;
    havePrevious = true;
  }
  // Damage breaks the numbering once or twice; a reference that does not describe the
  // stream reads numbers at random.
  if (pairs >= kPicturesThatSettle && breaks * 4 > pairs)
    return "the picture numbering read with the reference's parameter sets jumps at random (" +
           std::to_string(breaks) + " of " + std::to_string(pairs) + " pictures)";
  // Slices of another encoding (another profile, entropy coder, list or weight syntax)
  // read with the reference's sets run out of the ranges the standard allows; a few
  // damaged ones do not.
  if (judged >= kPicturesThatSettle && misfits * 4 > judged)
    return "the slices read with the reference's parameter sets break the rules of their syntax (" +
           std::to_string(misfits) + " of " + std::to_string(judged) + " pictures)";
  if (intraJudged >= 4 && cabacIntra * 10 >= intraJudged * 9)
    return "the damaged movie's slices are coded with CABAC, the reference's parameter sets say CAVLC (" +
           std::to_string(cabacIntra) + " of " + std::to_string(intraJudged) + " intra pictures)";
  return {};
}

void RepairFile::refuseReference(const File& corrupt, const std::string& why) {
  referenceContradiction = why;
  if (corrupt.filePath == healthyFile->filePath) {
    if (delegate) delegate->moveBackToSelectReferenceFile();
  } else {
    sendErrorWithCode(kErrorInvalidHealthyFile, kMessageInvalidHealthyFile);
  }
  setStopflag(true);
}

}  // namespace vr
