#pragma once
// Start of an H.264 slice header (ITU-T H.264 clause 7.3.3), parsed against the stream's
// SPS and PPS. Used to accept or reject candidate slice NAL units and to learn where
// pictures start (first_mb_in_slice, slice_type, frame_num).
#include <cstdint>
#include <memory>

#include "bitstream/PPS.h"
#include "bitstream/SPS.h"
#include "bitstream/UeSeNumCode.h"

namespace vr {

class SliceHeader {
 public:
  // `bytes` is the payload after the one-byte NAL header; NALType and NRI come from that
  // header. Refuses anything but types 1 and 5, slice_type outside 0..9 (as signed),
  // an IDR slice that is not I or SI, and undecodable bits. With `judgeRest` the rest of
  // the header is judged too (restFits, readAsCabac); the scan itself does not need it.
  static std::shared_ptr<SliceHeader> initIDRWithBytes(const uint8_t* bytes, uint32_t size, uint32_t NALType,
                                                       uint32_t NRI, const SPS& sps, const PPS& pps,
                                                       bool judgeRest = false);

  // Syntax elements; -1 = not present.
  int32_t first_mb_in_slice = -1;
  int32_t slice_type = -1;
  int32_t pic_parameter_set_id = -1;
  int32_t colour_plane_id = -1;
  int32_t frame_num = -1;
  int32_t field_pic_flag = -1;
  int32_t bottom_field_flag = -1;
  int32_t idr_pic_id = -1;
  int32_t pic_order_cnt_lsb = -1;
  int32_t delta_pic_order_cnt_bottom = -1;
  int32_t delta_pic_order_cnt[2] = {-1, -1};  // picture-order type 1
  // dec_ref_pic_marking of IDR slices
  int32_t no_output_of_prior_pics_flag = 0;
  int32_t long_term_reference_flag = 0;
  int32_t slice_qp_delta = -1;
  // Whether the rest of the header, read with the same SPS and PPS, keeps to the ranges
  // the standard allows, fits the profile and (with CABAC) ends in alignment ones:
  // 1 yes, 0 no, -1 not known (the bytes end inside it, or slice groups of a kind whose
  // fields the PPS parse does not keep). A stream read with parameter sets of another
  // encoding mostly breaks these rules.
  int32_t restFits = -1;
  // With a CAVLC PPS: the same header read as if the PPS said CABAC. -1 not known, 0 it
  // breaks the rules, else 1 + the number of alignment bits that came out as ones. Slices
  // of a CABAC stream read with the sets of a CAVLC encoding pass with ones.
  int32_t readAsCabac = -1;

  uint32_t totalBytesGiven = 0;
  int32_t PrevRefFrameNum = 0;

  // Derived values.
  int32_t MbaffFrameFlag = 0;
  int32_t PicHeightInMbs = 0;
  int32_t PicHeightInSamplesL = 0;
  int32_t PicHeightInSamplesC = 0;
  int32_t PicSizeInMbs = 0;
  int32_t MaxPicNum = 0;
  int32_t CurrPicNum = 0;

 private:
  bool readBytes(const uint8_t* bytes, uint32_t size, uint32_t NALType, uint32_t NRI, const SPS& sps,
                 const PPS& pps, bool judgeRest);
  int32_t readRest(BitCursor c, uint32_t NALType, uint32_t NRI, const SPS& sps, const PPS& pps, bool cabac) const;
};

}  // namespace vr
