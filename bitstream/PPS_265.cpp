#include "bitstream/PPS_265.h"

#include "common/ByteOrder.h"

namespace vr {

using U = UeSeNumCode;

std::shared_ptr<PPS_265> PPS_265::initPPS265WithBytes(const uint8_t* bytes, uint32_t size,
                                                      const std::shared_ptr<SPS_265>& sps) {
  if (bytes == nullptr) return nullptr;
  auto pps = std::make_shared<PPS_265>();
  const RbspBytes rbsp(bytes, size);
  if (!pps->readbytes(rbsp.data(), rbsp.size(), sps.get())) return nullptr;
  return pps;
}

bool PPS_265::readbytes(const uint8_t* bytes, uint32_t size, const SPS_265* sps) {
  readNalHeader265(bytes, size, *this);

  BitCursor c(bytes, size, 2);
  pic_parameter_set_id = int32_t(U::getUEVCodeNumFromBytes(c));
  seq_parameter_set_id = int32_t(U::getUEVCodeNumFromBytes(c));
  if (!c.ok()) return false;
  dependent_slice_segments_enabled_flag = int32_t(U::getBitInBytes(c));
  output_flag_present_flag = int32_t(U::getBitInBytes(c));
  num_extra_slice_header_bits = int32_t(U::getUnitCodeNumFromBytes(c, 3));
  sign_data_hiding_enabled_flag = int32_t(U::getBitInBytes(c));
  cabac_init_present_flag = int32_t(U::getBitInBytes(c));
  num_ref_idx_l0_default_active_minus1 = int32_t(U::getUEVCodeNumFromBytes(c));
  num_ref_idx_l1_default_active_minus1 = int32_t(U::getUEVCodeNumFromBytes(c));
  init_qp_minus26 = U::getSEVCodeNumFromBytes(c);
  constrained_intra_pred_flag = int32_t(U::getBitInBytes(c));
  transform_skip_enabled_flag = int32_t(U::getBitInBytes(c));
  cu_qp_delta_enabled_flag = int32_t(U::getBitInBytes(c));
  if (cu_qp_delta_enabled_flag == 1) diff_cu_qp_delta_depth = int32_t(U::getUEVCodeNumFromBytes(c));
  cb_qp_offset = U::getSEVCodeNumFromBytes(c);
  cr_qp_offset = U::getSEVCodeNumFromBytes(c);
  slice_chroma_qp_offsets_present_flag = int32_t(U::getBitInBytes(c));
  weighted_pred_flag = int32_t(U::getBitInBytes(c));
  weighted_bipred_flag = int32_t(U::getBitInBytes(c));
  transquant_bypass_enabled_flag = int32_t(U::getBitInBytes(c));
  tiles_enabled_flag = int32_t(U::getBitInBytes(c));
  entropy_coding_sync_enabled_flag = int32_t(U::getBitInBytes(c));
  // A unit cut short is judged on what precedes the cut (see UeSeNumCode.h).
  if (c.failed) return false;
  if (c.cutShort) return true;
  if (tiles_enabled_flag == 1) {
    num_tile_columns_minus1 = int32_t(U::getUEVCodeNumFromBytes(c));
    num_tile_rows_minus1 = int32_t(U::getUEVCodeNumFromBytes(c));
    if (c.failed) return false;
    if (c.cutShort) return true;
    uniform_spacing_flag = int32_t(U::getBitInBytes(c));
    if (uniform_spacing_flag == 0) {
      // Explicit column widths need at least as many CTB columns as tile columns.
      const int32_t picWidthInCtbsY = sps != nullptr ? sps->PicWidthInCtbsY : 0;
      if (num_tile_columns_minus1 != 0 && (num_tile_columns_minus1 < 0 || num_tile_columns_minus1 >= picWidthInCtbsY))
        return false;
      for (int32_t i = 0; i < num_tile_columns_minus1 && c.ok(); ++i) U::getUEVCodeNumFromBytes(c);
      for (uint32_t i = 0; i < uint32_t(num_tile_rows_minus1) && c.ok() && !c.atEnd(); ++i)
        U::getUEVCodeNumFromBytes(c);
    }
    loop_filter_across_tiles_enabled_flag = int32_t(U::getBitInBytes(c));
  }
  loop_filter_across_slices_enabled_flag = int32_t(U::getBitInBytes(c));
  deblocking_filter_control_present_flag = int32_t(U::getBitInBytes(c));
  if (deblocking_filter_control_present_flag == 1) {
    deblocking_filter_override_enabled_flag = int32_t(U::getBitInBytes(c));
    deblocking_filter_disabled_flag = int32_t(U::getBitInBytes(c));
    if (deblocking_filter_disabled_flag == 0) {
      beta_offset_div2 = U::getSEVCodeNumFromBytes(c);
      tc_offset_div2 = U::getSEVCodeNumFromBytes(c);
    }
  }
  scaling_list_data_present_flag = int32_t(U::getBitInBytes(c));
  if (scaling_list_data_present_flag == 1) U::scaling_list_data(c);
  lists_modification_present_flag = int32_t(U::getBitInBytes(c));
  log2_parallel_merge_level_minus2 = int32_t(U::getUEVCodeNumFromBytes(c));
  slice_segment_header_extension_present_flag = int32_t(U::getBitInBytes(c));
  extension_present_flag = int32_t(U::getBitInBytes(c));
  if (c.failed) return false;
  if (c.cutShort) return true;
  if (extension_present_flag == 1) {
    range_extension_flag = int32_t(U::getBitInBytes(c));
    multilayer_extension_flag = int32_t(U::getBitInBytes(c));
    p3d_extension_flag = int32_t(U::getBitInBytes(c));
    scc_extension_flag = int32_t(U::getBitInBytes(c));
    extension_4bits = int32_t(U::getUnitCodeNumFromBytes(c, 4));
    if (range_extension_flag == 1) {
      if (transform_skip_enabled_flag == 1) U::getUEVCodeNumFromBytes(c);  // log2_max_transform_skip_block_size_minus2
      c.skipBits(1);  // cross_component_prediction_enabled_flag
      chroma_qp_offset_list_enabled_flag = int32_t(U::getBitInBytes(c));
      if (chroma_qp_offset_list_enabled_flag == 1) {
        U::getUEVCodeNumFromBytes(c);  // diff_cu_chroma_qp_offset_depth
        const uint32_t lenMinus1 = U::getUEVCodeNumFromBytes(c);
        if (c.failed) return false;
        if (c.cutShort) return true;
        if (lenMinus1 > 5) return false;  // at most 6 entries
        for (uint32_t i = 0; i <= lenMinus1; ++i) {
          U::getSEVCodeNumFromBytes(c);  // cb_qp_offset_list
          U::getSEVCodeNumFromBytes(c);  // cr_qp_offset_list
        }
      }
      U::getUEVCodeNumFromBytes(c);  // log2_sao_offset_scale_luma
      U::getUEVCodeNumFromBytes(c);  // log2_sao_offset_scale_chroma
    }
  }
  return !c.failed;
}

}  // namespace vr
