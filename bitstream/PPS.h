#pragma once
// H.264 picture parameter set (ITU-T H.264 clause 7.3.2.2), read up to
// redundant_pic_cnt_present_flag.
#include <cstdint>
#include <memory>

namespace vr {

class PPS {
 public:
  // `bytes` is the whole NAL unit starting with its one-byte header. Refuses only when
  // the bits cannot be parameter-set syntax (see UeSeNumCode.h).
  static std::shared_ptr<PPS> initPPSWithBytes(const uint8_t* bytes, uint32_t size);

  // Syntax elements; -1 = not present.
  int32_t pic_parameter_set_id = -1;
  int32_t seq_parameter_set_id = -1;
  int32_t entropy_coding_mode_flag = -1;
  int32_t pic_order_present_flag = -1;  // bottom_field_pic_order_in_frame_present_flag
  int32_t num_slice_groups_minus1 = -1;
  int32_t num_ref_idx_l0_active_minus1 = -1;
  int32_t num_ref_idx_l1_active_minus1 = -1;
  int32_t weighted_pred_flag = -1;
  int32_t weighted_bipred_idc = -1;
  int32_t pic_init_qp_minus26 = -1;
  int32_t pic_init_qs_minus26 = -1;
  int32_t chroma_qp_index_offset = -1;
  int32_t deblocking_filter_control_present_flag = -1;
  int32_t constrained_intra_pred_flag = -1;
  int32_t redundant_pic_cnt_present_flag = -1;

 private:
  bool readBytes(const uint8_t* bytes, uint32_t size);
};

}  // namespace vr
