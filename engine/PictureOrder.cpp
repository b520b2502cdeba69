// The presentation order of the recovered pictures, rebuilt from the order counts their
// slice headers carry.
#include <algorithm>
#include <map>

#include "bitstream/SPS.h"
#include "bitstream/SPS_265.h"
#include "bitstream/SliceHeader.h"
#include "bitstream/SliceHeader_265.h"
#include "engine/ScanRules.h"

namespace vr {

using namespace scan;

namespace {

// Picture order counts of the recovered pictures, from which their presentation order
// follows. An encoder with B-frames stores pictures out of presentation order, and how it
// places them may vary from one group of pictures to the next; each slice header carries
// the low bits of its picture's order count, and the full count is rebuilt as a decoder
// does (H.264 picture-order type 0, H.265), restarting at every IDR picture.
class PictureOrder {
 public:
  PictureOrder(const ReferenceParameterSets& reference) : hevc_(reference.isHEVC()) {
    // Pictures held for reordering: at most the decoded-picture buffer, which encoders
    // size to their reference pictures. Counts advance by at most 2 a frame.
    int64_t frames = 16;
    if (hevc_) {
      const int32_t bits = reference.sps265 ? reference.sps265->log2_max_pic_order_cnt_lsb_minus4 + 4 : 0;
      maxLsb_ = bits >= 4 && bits <= 16 ? int64_t(1) << bits : 0;
      if (reference.sps265 && !reference.sps265->max_dec_pic_buffering_minus1.empty())
        frames = int64_t(reference.sps265->max_dec_pic_buffering_minus1.back()) + 1;
    } else if (reference.sps && reference.sps->pic_order_cnt_type == 0) {
      maxLsb_ = reference.sps->MaxPicOrderCntLsb;
      if (reference.sps->max_num_ref_frames >= 0 && reference.sps->max_num_ref_frames <= 16)
        frames = reference.sps->max_num_ref_frames + 1;
    }
    maxReorder_ = 2 * frames;
  }

  // False when the stream's order cannot be read (then nothing more is added).
  bool usable() const { return maxLsb_ > 0; }

  // Adds the picture whose first slice is `unit`; false when its order count is unknown.
  bool add(const NALU& unit) {
    int64_t lsb = -1;
    bool idr = false;
    bool bla = false;
    bool updatesPrevious = false;
    if (hevc_) {
      const auto* header = std::get_if<std::shared_ptr<SliceHeader_265>>(&unit.RBSP);
      if (!header || !*header) return false;
      const uint32_t type = unit.NALType;
      idr = type == 19 || type == 20;
      lsb = idr ? 0 : (*header)->pic_order_cnt_lsb;
      // Only pictures of the lowest temporal layer that are neither leading nor
      // sub-layer non-reference pictures anchor the next count.
      updatesPrevious = unit.NTempID == 0 && !(type >= 6 && type <= 9) && !(type <= 14 && type % 2 == 0);
      bla = type >= 16 && type <= 18;  // a new sequence whose count keeps its low bits
    } else {
      const auto* header = std::get_if<std::shared_ptr<SliceHeader>>(&unit.RBSP);
      if (!header || !*header) return false;
      idr = unit.NALType == 5;
      lsb = (*header)->pic_order_cnt_lsb;
      updatesPrevious = unit.NRI != 0;
    }
    if (lsb < 0 || lsb >= maxLsb_) return false;
    if (idr || bla) startPeriod();

    // The high part of the count follows the previous anchor picture's, except where a
    // sequence starts (and at the first picture found, whatever it is).
    int64_t msb = prevMsb_;
    if (idr || bla || keys_.empty())
      msb = 0;
    else if (lsb < prevLsb_ && prevLsb_ - lsb >= maxLsb_ / 2)
      msb += maxLsb_;
    else if (lsb > prevLsb_ && lsb - prevLsb_ > maxLsb_ / 2)
      msb -= maxLsb_;
    // A count far below the pictures already seen means the pictures between were lost
    // with their IDR picture: the pictures from here on are a sequence of their own.
    if (havePeriodMax_ && msb + lsb < periodMax_ - maxReorder_) {
      startPeriod();
      msb = 0;
    }
    if (updatesPrevious) {
      prevMsb_ = msb;
      prevLsb_ = lsb;
    }
    periodMax_ = havePeriodMax_ ? std::max(periodMax_, msb + lsb) : msb + lsb;
    havePeriodMax_ = true;
    keys_.push_back({period_, msb + lsb, uint32_t(keys_.size())});
    return true;
  }

  // Position of every picture added, in presentation order.
  std::vector<uint32_t> ranks() const {
    std::vector<Key> sorted = keys_;
    std::stable_sort(sorted.begin(), sorted.end(), [](const Key& a, const Key& b) {
      return a.period != b.period ? a.period < b.period : a.count < b.count;
    });
    std::vector<uint32_t> rank(keys_.size());
    for (size_t r = 0; r < sorted.size(); ++r) rank[sorted[r].index] = uint32_t(r);
    return rank;
  }

 private:
  struct Key {
    uint64_t period;
    int64_t count;
    uint32_t index;
  };
  void startPeriod() {
    if (!keys_.empty()) ++period_;
    prevMsb_ = 0;
    prevLsb_ = 0;
    havePeriodMax_ = false;
  }

  bool hevc_;
  int64_t maxLsb_ = 0;
  int64_t prevMsb_ = 0;
  int64_t prevLsb_ = 0;
  uint64_t period_ = 0;
  int64_t maxReorder_ = 32;  // how far, in counts, a picture may be shown before an earlier one
  int64_t periodMax_ = 0;    // largest count of the current sequence
  bool havePeriodMax_ = false;
  std::vector<Key> keys_;
};

}  // namespace

std::vector<uint32_t> RepairFile::presentationRanks(ByteWindow& window, uint8_t sizeBytesLength, uint64_t /*fileSize*/,
                                                    const ReferenceParameterSets& reference) {
  PictureOrder order(reference);
  if (!order.usable()) return {};
  NALU unit;
  for (const Sample& record : videoSampleArray) {
    if (!record.picture) continue;
    if (!firstSliceOf(record, window, sizeBytesLength, reference, maxNalSize, unit) || !order.add(unit)) return {};
  }
  return order.ranks();
}

}  // namespace vr
