#include "engine/ScanRules.h"

#include <algorithm>

#include "atoms/SampleDescriptions.h"
#include "atoms/SampleTableAtoms.h"
#include "bitstream/SPS.h"
#include "bitstream/SPS_265.h"
#include "bitstream/SliceHeader_265.h"
#include "common/ByteOrder.h"
#include "common/FileIO.h"
#include "engine/File.h"

namespace vr::scan {

namespace {

// The smallest limit on the size of a unit (see maxUnitSize).
constexpr uint32_t kMinMaxNalSize = 2'199'999;
// Limit on the size of a unit, in multiples of the reference's largest video sample.
constexpr uint64_t kLargestSampleFactor = 8;

}  // namespace

bool isPicture(const NALU& unit, bool hevc) {
  return hevc ? unit.isNamed(NaluName::Slice) : (unit.NALType == 1 || unit.NALType == 5);
}

// A keyframe: an IDR picture (H.264) or an intra random-access point (H.265).
bool isKeyframe(const NALU& unit, bool hevc) {
  return hevc ? unit.isNamed(NaluName::Slice) && unit.NALType >= 16 && unit.NALType <= 23 : unit.NALType == 5;
}

// The unit is the first slice of a picture.
bool startsPicture(const NALU& unit, bool hevc) {
  if (!isPicture(unit, hevc)) return false;
  return hevc ? unit.firstMBInSlice == 1 : unit.firstMBInSlice == 0;
}

// The picture `next` may follow `picture` in decoding order. H.264: a keyframe, or a
// frame number equal to the previous one or one above it (non-reference pictures do not
// count up). H.265: a keyframe, or an order count close to the previous one's.
bool continuesAfter(const NALU& picture, const NALU& next, const ReferenceParameterSets& reference) {
  const bool hevc = reference.isHEVC();
  if (isKeyframe(next, hevc)) return true;
  if (!hevc) {
    const int64_t maxFrameNum = reference.sps ? reference.sps->MaxFrameNum : 0;
    if (maxFrameNum <= 0 || picture.frameNum < 0 || next.frameNum < 0) return false;
    return next.frameNum == picture.frameNum || next.frameNum == (picture.frameNum + 1) % maxFrameNum;
  }
  const auto* a = std::get_if<std::shared_ptr<SliceHeader_265>>(&picture.RBSP);
  const auto* b = std::get_if<std::shared_ptr<SliceHeader_265>>(&next.RBSP);
  const int32_t bits = reference.sps265 ? reference.sps265->log2_max_pic_order_cnt_lsb_minus4 + 4 : 0;
  if (!a || !*a || !b || !*b || bits < 4 || bits > 16) return false;
  const int64_t maxLsb = int64_t(1) << bits;
  const bool idr = picture.NALType == 19 || picture.NALType == 20;  // order count 0, not coded
  const int64_t from = idr ? 0 : (*a)->pic_order_cnt_lsb;
  const int64_t to = (*b)->pic_order_cnt_lsb;
  if (from < 0 || to < 0) return false;
  const int64_t d = ((to - from) % maxLsb + maxLsb) % maxLsb;
  constexpr int64_t kMaxOrderStep = 34;  // a group of 16 pictures shown out of order, counted in steps of 2
  return d <= kMaxOrderStep || maxLsb - d <= kMaxOrderStep;
}

// What the reference's tracks other than its first video and sound track store between
// the chunks (see RepairFile::furtherSamples): the sizes of their samples, a few dozen at
// most, and the largest sample of a text track.
RepairFile::FurtherSamples furtherSamplesOf(const File& reference) {
  RepairFile::FurtherSamples further;
  const auto& moov = reference.moov();
  if (!moov) return further;
  const auto video = moov->getTrakWithType(kMediaKindVideo);
  const auto sound = moov->getTrakWithType(kMediaKindSound);
  for (const auto& t : moov->tracks) {
    if (!t || t == video || t == sound || !t->mdia || !t->mdia->minf || !t->mdia->minf->stbl) continue;
    const auto& stbl = *t->mdia->minf->stbl;
    if (!stbl.stsz) continue;
    std::vector<uint32_t> sizes = stbl.stsz->SampleSizeTable;
    if (stbl.stsz->sampleSize != 0) sizes.assign(1, stbl.stsz->sampleSize);
    // The first entry's format, behind the table's 16-byte header and the entry's size.
    const uint32_t format = stbl.stsd ? readBE32At(stbl.stsd->stsdData.data(), stbl.stsd->stsdData.size(), 20) : 0;
    further.stills = further.stills || format == fourCC("jpeg") || format == fourCC("mjpa");
    if (format == fourCC("text") || format == fourCC("tx3g")) {  // QuickTime and 3GPP text
      for (uint32_t size : sizes) further.maxText = std::max(further.maxText, size);
      continue;
    }
    for (uint32_t size : sizes) further.largest = std::max(further.largest, size);
    for (uint32_t size : sizes)
      if (size > 0 && further.sizes.size() < 32 &&
          std::find(further.sizes.begin(), further.sizes.end(), size) == further.sizes.end())
        further.sizes.push_back(size);
  }
  return further;
}

// Limit on the size of a unit: a multiple of the reference's largest video sample (a
// camera recording at a high bit rate writes keyframes of several megabytes), never below
// kMinMaxNalSize. It keeps garbage with a huge length from swallowing real samples.
uint32_t maxUnitSize(const File& reference) {
  uint64_t largest = 0;
  if (const auto& moov = reference.moov()) {
    const auto trak = moov->getTrakWithType(kMediaKindVideo);
    const auto stsz = trak && trak->mdia && trak->mdia->minf && trak->mdia->minf->stbl
                          ? trak->mdia->minf->stbl->stsz
                          : nullptr;
    if (stsz) {
      largest = stsz->sampleSize;
      for (uint32_t size : stsz->SampleSizeTable) largest = std::max<uint64_t>(largest, size);
    }
  }
  return uint32_t(std::clamp<uint64_t>(largest * kLargestSampleFactor, kMinMaxNalSize, UINT32_MAX / 2));
}

Sample makeRecord(const NALU& unit, uint64_t offset, bool hevc) {
  Sample s = Sample::initWithSampleType(hevc ? kSampleTypeH265 : kSampleTypeH264, offset, unit.nalSize, &unit);
  s.picture = isPicture(unit, hevc);
  s.sync = isKeyframe(unit, hevc);
  return s;
}

// Bytes of one PCM frame (one sample of every channel) of the reference's sound track:
// "sowt" and "twos" hold 16-bit samples (8-bit ones when the entry says so). A stretch
// is described as that many frames, so a mono track is not counted as half as long.
// Without a channel count the frame is taken as 16-bit stereo.
uint32_t pcmBytesPerFrame(const File* reference) {
  if (reference == nullptr) return 4;
  const auto entry = std::dynamic_pointer_cast<AudioSampleDescriptionEntery>(reference->audioDecoder);
  if (!entry || entry->numberOfChannels == 0) return 4;
  const uint32_t bytesPerSample = entry->sampleSize == 8 ? 1 : 2;
  return bytesPerSample * entry->numberOfChannels;
}

// The parts of a sequence parameter set that slices are read with: an in-band set that
// differs in them describes another stream than the reference's.
bool sameSliceLayout(const SPS& a, const SPS& b) {
  return a.profile_idc == b.profile_idc && a.chroma_format_idc == b.chroma_format_idc &&
         a.log2_max_frame_num_minus4 == b.log2_max_frame_num_minus4 && a.pic_order_cnt_type == b.pic_order_cnt_type &&
         a.log2_max_pic_order_cnt_lsb_minus4 == b.log2_max_pic_order_cnt_lsb_minus4 &&
         a.pic_width_in_mbs_minus1 == b.pic_width_in_mbs_minus1 &&
         a.pic_height_in_map_units_minus1 == b.pic_height_in_map_units_minus1 &&
         a.frame_mbs_only_flag == b.frame_mbs_only_flag;
}
bool sameSliceLayout(const SPS_265& a, const SPS_265& b) {
  return a.chroma_format_idc == b.chroma_format_idc && a.pic_width_in_luma_samples == b.pic_width_in_luma_samples &&
         a.pic_height_luma_samples == b.pic_height_luma_samples &&
         a.log2_max_pic_order_cnt_lsb_minus4 == b.log2_max_pic_order_cnt_lsb_minus4;
}

namespace {

// The one walk of the top-level atoms from the start of a damaged file towards its media
// data. A recording that lost its index still begins with its file-type atom and the
// media-data header (sometimes with filler or a broken index in between).
struct MediaDataAtom {
  uint64_t cleanEnd = 0;  // where the atoms that may precede media data end
  bool found = false;     // an "mdat" header was reached
  bool fits = false;      // ... and its size (0: up to the end of the file) fits the file
  uint64_t pos = 0;
  uint64_t header = 0;
  uint64_t size = 0;
};
MediaDataAtom walkToMediaData(FileHandle& file, uint64_t fileSize) {
  MediaDataAtom m;
  bool clean = true;
  const uint64_t stop = walkTopLevelAtoms(file, fileSize, [&](const TopLevelAtom& a) {
    if (a.type == fourCC("mdat")) {
      if (clean) m.cleanEnd = a.pos;
      m.found = true;
      m.fits = a.fits || (a.size == 0 && fileSize - a.pos >= a.header);
      m.pos = a.pos;
      m.header = a.header;
      m.size = a.size;
      return false;
    }
    const bool skippable = a.type == fourCC("ftyp") || a.type == fourCC("wide") || a.type == fourCC("free") ||
                           a.type == fourCC("skip") || a.type == fourCC("moov") || a.type == fourCC("uuid") ||
                           a.type == fourCC("udta") || a.type == fourCC("meta");
    if (clean && (!skippable || !a.fits)) {
      m.cleanEnd = a.pos;
      clean = false;
    }
    return true;
  }, 16);
  if (clean && !m.found) m.cleanEnd = stop;
  return m;
}

}  // namespace

uint64_t mediaDataStart(FileHandle& file, uint64_t fileSize) {
  const MediaDataAtom m = walkToMediaData(file, fileSize);
  if (!m.found || m.cleanEnd != m.pos) return m.cleanEnd;
  // A size beyond the end of the file is a recording cut short: the payload still starts
  // behind the header.
  const bool plausible = (m.size == 0 || m.size >= m.header) && fileSize - m.pos >= m.header;
  return plausible ? m.pos + m.header : m.pos;
}

uint64_t mediaDataLimit(FileHandle& file, uint64_t fileSize) {
  const MediaDataAtom m = walkToMediaData(file, fileSize);
  return m.found && m.fits && m.size != 0 ? m.pos + m.size : fileSize;
}

// Where the media data after the last video run (at `from`) ends: at the end of the
// media-data atom when the file starts with readable atoms up to an "mdat" header whose
// size fits the file, else at the end of the file but no more than maxLength bytes on; and
// in any case before a movie atom that follows the media data (a damaged file may still
// hold its index, or part of it, behind it).
uint64_t mediaDataEnd(FileHandle& file, ByteWindow& window, uint64_t fileSize, uint64_t from, uint64_t maxLength) {
  const MediaDataAtom m = walkToMediaData(file, fileSize);
  const bool endFromHeader = m.found && m.fits && m.size != 0 && m.pos + m.size > from;
  uint64_t end = endFromHeader ? m.pos + m.size : fileSize;
  // The length bound guards against space reserved behind the media data; when the media
  // data's own header says where it ends, that end holds.
  if (!endFromHeader) end = std::min(end, from + std::min(maxLength, fileSize - std::min(from, fileSize)));
  for (uint64_t p = from; p < end && end - p >= 8; ++p) {
    const uint8_t* b = window.at(p, 24);
    if (readBE32(b + 4) == fourCC("moov") && readBE32(b) >= 8 &&
        File::validMoovInnerTagInBytes(b, size_t(std::min<uint64_t>(24, fileSize - p))))
      return p;
  }
  return end;
}

}  // namespace vr::scan
