#pragma once
// H.265 picture parameter set (ITU-T H.265 clause 7.3.2.3.1) with its range extension.
#include <cstdint>
#include <memory>
#include <vector>

#include "bitstream/SPS_265.h"

namespace vr {

class PPS_265 {
 public:
  // `bytes` is the whole NAL unit from its first header byte. `sps` may be empty; its
  // PicWidthInCtbsY (0 without one) bounds the non-uniform tile columns. Refuses a
  // non-uniform tiling with more columns than the picture has CTBs, and bits that
  // cannot be PPS syntax.
  static std::shared_ptr<PPS_265> initPPS265WithBytes(const uint8_t* bytes, uint32_t size,
                                                      const std::shared_ptr<SPS_265>& sps);

  // NAL unit header.
  uint32_t forbiddenBit = 0;
  uint32_t NALType = 0;
  uint32_t NLayerId = 0;
  uint32_t NTempID = 0;

  // Syntax elements; -1 = not present.
  int32_t pic_parameter_set_id = -1;
  int32_t seq_parameter_set_id = -1;
  int32_t dependent_slice_segments_enabled_flag = -1;
  int32_t output_flag_present_flag = -1;
  int32_t num_extra_slice_header_bits = -1;
  int32_t sign_data_hiding_enabled_flag = -1;
  int32_t cabac_init_present_flag = -1;
  int32_t num_ref_idx_l0_default_active_minus1 = -1;
  int32_t num_ref_idx_l1_default_active_minus1 = -1;
  int32_t init_qp_minus26 = -1;
  int32_t constrained_intra_pred_flag = -1;
  int32_t transform_skip_enabled_flag = -1;
  int32_t cu_qp_delta_enabled_flag = -1;
  int32_t diff_cu_qp_delta_depth = -1;
  int32_t cb_qp_offset = -1;
  int32_t cr_qp_offset = -1;
  int32_t slice_chroma_qp_offsets_present_flag = -1;
  int32_t weighted_pred_flag = -1;
  int32_t weighted_bipred_flag = -1;
  int32_t transquant_bypass_enabled_flag = -1;
  int32_t tiles_enabled_flag = -1;
  int32_t entropy_coding_sync_enabled_flag = -1;
  int32_t num_tile_columns_minus1 = -1;
  int32_t num_tile_rows_minus1 = -1;
  int32_t uniform_spacing_flag = -1;
  std::vector<uint8_t> column_width_minus1;  // not kept
  std::vector<uint8_t> row_height_minus1;    // not kept
  int32_t loop_filter_across_tiles_enabled_flag = -1;
  int32_t loop_filter_across_slices_enabled_flag = -1;
  int32_t deblocking_filter_control_present_flag = -1;
  int32_t deblocking_filter_override_enabled_flag = -1;
  int32_t deblocking_filter_disabled_flag = -1;
  int32_t beta_offset_div2 = -1;
  int32_t tc_offset_div2 = -1;
  int32_t scaling_list_data_present_flag = -1;
  int32_t lists_modification_present_flag = -1;
  int32_t log2_parallel_merge_level_minus2 = -1;
  int32_t slice_segment_header_extension_present_flag = -1;
  int32_t extension_present_flag = -1;
  int32_t range_extension_flag = -1;
  int32_t multilayer_extension_flag = -1;
  int32_t p3d_extension_flag = -1;
  int32_t scc_extension_flag = -1;
  int32_t extension_4bits = -1;
  int32_t chroma_qp_offset_list_enabled_flag = -1;
  int32_t slic_act_qp_offsets_present_flag = -1;  // screen-content extension, not read

 private:
  bool readbytes(const uint8_t* bytes, uint32_t size, const SPS_265* sps);
};

}  // namespace vr
