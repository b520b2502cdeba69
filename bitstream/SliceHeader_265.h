#pragma once
// H.265 slice segment header (ITU-T H.265 clause 7.3.6.1), parsed against the stream's
// SPS and PPS to reject implausible slice NAL units and to learn where pictures start
// (first_slice_segment_in_pic_flag).
#include <cstdint>
#include <memory>
#include <vector>

#include "bitstream/PPS_265.h"
#include "bitstream/SPS_265.h"
#include "bitstream/VPS_265.h"

namespace vr {

class SliceHeader_265 {
 public:
  // `bytes` is the slice data after the two-byte NAL header; NALType is the 6-bit type
  // from that header. The VPS is accepted and not consulted (it may be empty).
  // Refuses: pic_parameter_set_id above 63, counts outside their legal ranges (reference
  // pictures, long-term pictures, entry points, extension longer than 256 bytes), and
  // bits that cannot be slice-header syntax. When the bytes end inside the entry-point
  // offsets, what was parsed is accepted.
  static std::shared_ptr<SliceHeader_265> initSLiceHeader265WithBytes(const uint8_t* bytes, uint32_t size,
                                                                      uint32_t NALType, const SPS_265& sps,
                                                                      const PPS_265& pps,
                                                                      const std::shared_ptr<VPS_265>& vps);

  // Syntax elements; -1 = not present.
  int32_t first_slice_segment_in_pic_flag = -1;
  int32_t no_output_of_prior_pics_flag = -1;
  int32_t pic_parameter_set_id = -1;
  int32_t dependent_slice_segment_flag = -1;
  int32_t slice_segment_address = -1;
  int32_t slice_type = -1;
  int32_t pic_output_flag = -1;
  int32_t colour_plane_id = -1;
  int32_t pic_order_cnt_lsb = -1;
  int32_t short_term_ref_pic_set_sps_flag = -1;
  int32_t short_term_ref_pic_set_idx = -1;
  int32_t num_long_term_sps = -1;
  int32_t num_long_term_pics = -1;
  int32_t temporal_mvp_enabled_flag = -1;
  int32_t sao_luma_flag = -1;
  int32_t sao_chroma_flag = -1;
  int32_t num_ref_idx_active_override_flag = -1;
  int32_t num_ref_idx_l0_active_minus1 = -1;
  int32_t num_ref_idx_l1_active_minus1 = -1;
  int32_t ref_pic_list_modification_flag_l0 = -1;
  int32_t ref_pic_list_modification_flag_l1 = -1;
  int32_t mvd_l1_zero_flag = -1;
  int32_t cabac_init_flag = -1;
  int32_t collocated_from_l0_flag = -1;
  int32_t collocated_ref_idx = -1;
  int32_t five_minus_max_num_merge_cand = -1;
  int32_t use_integer_mv_flag = -1;
  int32_t qp_delta = -1;
  int32_t cb_qp_offset = -1;
  int32_t cr_qp_offset = -1;
  int32_t act_y_qp_offset = -1;
  int32_t act_cb_qp_offset = -1;
  int32_t act_cr_qp_offset = -1;
  int32_t cu_chroma_qp_offset_enabled_flag = -1;
  int32_t deblocking_filter_override_flag = -1;
  int32_t deblocking_filter_disabled_flag = -1;
  int32_t beta_offset_div2 = -1;
  int32_t tc_offset_div2 = -1;
  int32_t loop_filter_across_slices_enabled_flag = -1;
  int32_t num_entry_point_offsets = -1;
  int32_t offset_len_minus1 = -1;
  int32_t slice_segment_header_extension_length = -1;
  // Per-entry values are read and dropped; these stay empty.
  std::vector<uint8_t> reserved_flag, lt_idx_sps, poc_lsb_lt, used_by_curr_pic_lt_flag, delta_poc_msb_present_flag,
      delta_poc_msb_cycle_lt, entry_point_offset_minus1, segment_header_extension_data_byte, list_entry_l0,
      list_entry_l1;

  // Derived: pictures the current picture may reference (H.265 equation 7-55).
  int32_t NumPicTotalCurr = 0;
  // Bits consumed when the whole header was parsed (byte_alignment() follows there);
  // 0 when the parse stopped early at the end of the bytes given.
  uint64_t parsedBitLength = 0;
  // Whether that whole header keeps to the ranges the standard allows and is followed by
  // byte_alignment(): 1 yes, 0 no, -1 not known (the parse stopped early).
  int32_t restFits = -1;

 private:
  bool readBytes(const uint8_t* bytes, uint32_t size, uint32_t NALType, const SPS_265& sps, const PPS_265& pps);
};

}  // namespace vr
