#pragma once
// H.264 sequence parameter set (ITU-T H.264 clause 7.3.2.1), read up to
// vui_parameters_present_flag: enough to parse slice headers and compare identifiers.
#include <cstdint>
#include <memory>

namespace vr {

class SPS {
 public:
  // `bytes` is the whole NAL unit starting with its one-byte header. Refuses (empty
  // pointer) only when the bits cannot be parameter-set syntax (see UeSeNumCode.h).
  static std::shared_ptr<SPS> initSPSWithBytes(const uint8_t* bytes, uint32_t size);

  // Syntax elements; -1 = not present (profile_idc / level_idc: 255).
  uint8_t profile_idc = 255;
  uint8_t level_idc = 255;
  int32_t seq_parameter_set_id = -1;
  int32_t chroma_format_idc = -1;
  int32_t separate_colour_plane_flag = -1;
  int32_t bit_depth_luma_minus8 = -1;
  int32_t bit_depth_chroma_minus8 = -1;
  int32_t qpprime_y_zero_transform_bypass_flag = -1;
  int32_t seq_scaling_matrix_present_flag = -1;
  int32_t log2_max_frame_num_minus4 = -1;
  int32_t pic_order_cnt_type = -1;
  int32_t log2_max_pic_order_cnt_lsb_minus4 = -1;
  // Picture-order type 1 fields (the offsets of the cycle are read and dropped).
  int32_t delta_pic_order_always_zero_flag = -1;
  int32_t offset_for_non_ref_pic = -1;
  int32_t offset_for_top_to_bottom_field = -1;
  int32_t num_ref_frames_in_pic_order_cnt_cycle = -1;
  int32_t max_num_ref_frames = -1;
  int32_t gaps_in_frame_num_value_allowed_flag = -1;
  int32_t pic_width_in_mbs_minus1 = -1;
  int32_t pic_height_in_map_units_minus1 = -1;
  int32_t frame_mbs_only_flag = -1;
  int32_t mb_adaptive_frame_field_flag = -1;
  int32_t direct_8x8_inference_flag = -1;
  int32_t frame_cropping_flag = -1;
  int32_t frame_crop_left_offset = -1;
  int32_t frame_crop_right_offset = -1;
  int32_t frame_crop_top_offset = -1;
  int32_t frame_crop_bottom_offset = -1;
  int32_t vui_parameters_present_flag = -1;
  // Bit position (in the unit with emulation prevention removed) right behind
  // vui_parameters_present_flag, where the VUI parameters begin; 0 when not read.
  uint64_t vuiBitOffset = 0;

  // Derived values (0 until derived).
  int32_t ChromaArrayType = 0;
  int32_t BitDepthY = 0;
  int32_t QpBdOffsetY = 0;
  int32_t BitDepthC = 0;
  int32_t QpBdOffsetC = 0;
  int32_t RawMbBits = 0;
  int32_t SubWidthC = 0;
  int32_t SubHeightC = 0;
  int32_t MbWidthC = 0;
  int32_t MbHeightC = 0;
  int32_t MaxFrameNum = 0;
  int32_t MaxPicOrderCntLsb = 0;
  int32_t PicWidthInMbs = 0;
  int32_t PicWidthInSamplesL = 0;
  int32_t PicWidthInSamplesC = 0;
  int32_t PicHeightInMapUnits = 0;
  int32_t PicSizeInMapUnits = 0;
  int32_t FrameHeightInMbs = 0;

 private:
  bool readBytes(const uint8_t* bytes, uint32_t size);
  void derive();
};

}  // namespace vr
