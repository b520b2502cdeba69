#include "bitstream/SPS.h"

#include <algorithm>

#include "bitstream/UeSeNumCode.h"
#include "common/ByteOrder.h"

namespace vr {

namespace {

using U = UeSeNumCode;

// Profiles whose SPS carries chroma format, bit depths and scaling matrices.
bool hasChromaInfo(uint8_t profile) {
  switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128:
    case 138: case 139: case 134: case 135:
      return true;
    default:
      return false;
  }
}

// scaling_list(sizeOfScalingList): only the delta_scale codes are in the bitstream;
// the list ends early when a delta makes the next scale 0.
void skipScalingList(BitCursor& c, int sizeOfScalingList) {
  int32_t lastScale = 8;
  int32_t nextScale = 8;
  for (int j = 0; j < sizeOfScalingList && c.ok(); ++j) {
    if (nextScale != 0) {
      const int32_t delta = U::getSEVCodeNumFromBytes(c);
      nextScale = int32_t((int64_t(lastScale) + delta + 256) % 256 + 256) % 256;
    }
    lastScale = (nextScale == 0) ? lastScale : nextScale;
  }
}

}  // namespace

std::shared_ptr<SPS> SPS::initSPSWithBytes(const uint8_t* bytes, uint32_t size) {
  if (bytes == nullptr) return nullptr;
  auto sps = std::make_shared<SPS>();
  const RbspBytes rbsp(bytes, size);
  if (!sps->readBytes(rbsp.data(), rbsp.size())) return nullptr;
  return sps;
}

bool SPS::readBytes(const uint8_t* bytes, uint32_t size) {
  // A unit cut short is judged on what precedes the cut (see UeSeNumCode.h).
#define VR_STOP_IF_CUT()  \
  do {                    \
    if (c.failed) return false; \
    if (c.cutShort) {     \
      derive();           \
      return true;        \
    }                     \
  } while (0)

  profile_idc = readU8At(bytes, size, 1);
  level_idc = readU8At(bytes, size, 3);
  BitCursor c(bytes, size, 4);

  seq_parameter_set_id = int32_t(U::getUEVCodeNumFromBytes(c));
  if (!c.ok()) return false;
  if (hasChromaInfo(profile_idc)) {
    chroma_format_idc = int32_t(U::getUEVCodeNumFromBytes(c));
    if (chroma_format_idc == 3) separate_colour_plane_flag = int32_t(U::getBitInBytes(c));
    bit_depth_luma_minus8 = int32_t(U::getUEVCodeNumFromBytes(c));
    bit_depth_chroma_minus8 = int32_t(U::getUEVCodeNumFromBytes(c));
    qpprime_y_zero_transform_bypass_flag = int32_t(U::getBitInBytes(c));
    seq_scaling_matrix_present_flag = int32_t(U::getBitInBytes(c));
    if (seq_scaling_matrix_present_flag == 1) {
      const int lists = (chroma_format_idc != 3) ? 8 : 12;
      for (int i = 0; i < lists && c.ok(); ++i) {
        if (U::getBitInBytes(c)) skipScalingList(c, i < 6 ? 16 : 64);  // seq_scaling_list_present_flag[i]
      }
    }
  }
  VR_STOP_IF_CUT();
  log2_max_frame_num_minus4 = int32_t(U::getUEVCodeNumFromBytes(c));
  pic_order_cnt_type = int32_t(U::getUEVCodeNumFromBytes(c));
  if (pic_order_cnt_type == 0) {
    log2_max_pic_order_cnt_lsb_minus4 = int32_t(U::getUEVCodeNumFromBytes(c));
  } else if (pic_order_cnt_type == 1) {
    delta_pic_order_always_zero_flag = int32_t(U::getBitInBytes(c));
    offset_for_non_ref_pic = U::getSEVCodeNumFromBytes(c);
    offset_for_top_to_bottom_field = U::getSEVCodeNumFromBytes(c);
    const uint32_t cycle = U::getUEVCodeNumFromBytes(c);
    if (c.ok() && cycle > 255) return false;  // the standard allows 0..255
    num_ref_frames_in_pic_order_cnt_cycle = int32_t(cycle);
    for (uint32_t i = 0; i < cycle && c.ok(); ++i) U::getSEVCodeNumFromBytes(c);
  }
  VR_STOP_IF_CUT();
  max_num_ref_frames = int32_t(U::getUEVCodeNumFromBytes(c));
  gaps_in_frame_num_value_allowed_flag = int32_t(U::getBitInBytes(c));
  pic_width_in_mbs_minus1 = int32_t(U::getUEVCodeNumFromBytes(c));
  pic_height_in_map_units_minus1 = int32_t(U::getUEVCodeNumFromBytes(c));
  VR_STOP_IF_CUT();
  frame_mbs_only_flag = int32_t(U::getBitInBytes(c));
  if (frame_mbs_only_flag == 0) mb_adaptive_frame_field_flag = int32_t(U::getBitInBytes(c));
  direct_8x8_inference_flag = int32_t(U::getBitInBytes(c));
  frame_cropping_flag = int32_t(U::getBitInBytes(c));
  if (frame_cropping_flag == 1) {
    frame_crop_left_offset = int32_t(U::getUEVCodeNumFromBytes(c));
    frame_crop_right_offset = int32_t(U::getUEVCodeNumFromBytes(c));
    frame_crop_top_offset = int32_t(U::getUEVCodeNumFromBytes(c));
    frame_crop_bottom_offset = int32_t(U::getUEVCodeNumFromBytes(c));
  }
  VR_STOP_IF_CUT();
  vui_parameters_present_flag = int32_t(U::getBitInBytes(c));
  vuiBitOffset = c.bitOffset();
#undef VR_STOP_IF_CUT
  derive();
  return true;
}

void SPS::derive() {
  if (chroma_format_idc == -1) chroma_format_idc = 1;
  if (profile_idc == 183) chroma_format_idc = 0;
  if (separate_colour_plane_flag == -1) separate_colour_plane_flag = 0;
  ChromaArrayType = (separate_colour_plane_flag == 0) ? chroma_format_idc : 0;

  if (bit_depth_luma_minus8 == -1) bit_depth_luma_minus8 = 0;
  if (bit_depth_luma_minus8 >= 0 && bit_depth_luma_minus8 <= 6) {
    BitDepthY = bit_depth_luma_minus8 + 8;
    QpBdOffsetY = 6 * bit_depth_luma_minus8;
  }
  if (bit_depth_chroma_minus8 == -1) bit_depth_chroma_minus8 = 0;
  if (bit_depth_chroma_minus8 >= 0 && bit_depth_chroma_minus8 <= 6) {
    BitDepthC = bit_depth_chroma_minus8 + 8;
    QpBdOffsetC = 6 * bit_depth_chroma_minus8;
  }

  // Table 6-1.
  if (separate_colour_plane_flag == 0) {
    switch (chroma_format_idc) {
      case 0: SubWidthC = -1; SubHeightC = -1; break;
      case 1: SubWidthC = 2; SubHeightC = 2; break;
      case 2: SubWidthC = 2; SubHeightC = 1; break;
      case 3: SubWidthC = 1; SubHeightC = 1; break;
      default: break;
    }
  } else if (separate_colour_plane_flag == 1 && chroma_format_idc == 3) {
    SubWidthC = -1;
    SubHeightC = -1;
  }
  if (SubWidthC > 0 && SubHeightC > 0) {
    MbWidthC = 16 / SubWidthC;
    MbHeightC = 16 / SubHeightC;
  } else {
    MbWidthC = 0;
    MbHeightC = 0;
  }
  RawMbBits = 256 * BitDepthY + 2 * MbWidthC * MbHeightC * BitDepthC;

  if (log2_max_frame_num_minus4 >= 0 && log2_max_frame_num_minus4 <= 12)
    MaxFrameNum = int32_t(1) << (log2_max_frame_num_minus4 + 4);
  if (log2_max_pic_order_cnt_lsb_minus4 >= 0 && log2_max_pic_order_cnt_lsb_minus4 <= 12)
    MaxPicOrderCntLsb = int32_t(1) << (log2_max_pic_order_cnt_lsb_minus4 + 4);

  // Sizes are computed wide and kept only when they fit: the fields come from ue(v)
  // codes that noise can make arbitrarily large.
  // Each factor is capped just above the int32 range, so products stay in int64 and
  // anything that involved a capped factor is dropped by fit().
  auto cap = [](int32_t minus1) { return std::min<int64_t>(int64_t(uint32_t(minus1)) + 1, int64_t(1) << 31); };
  const int64_t widthInMbs = cap(pic_width_in_mbs_minus1);
  const int64_t heightInMapUnits = cap(pic_height_in_map_units_minus1);
  auto fit = [](int64_t v) { return v <= INT32_MAX ? int32_t(v) : 0; };
  PicWidthInMbs = fit(widthInMbs);
  PicWidthInSamplesL = fit(16 * widthInMbs);
  PicWidthInSamplesC = fit(widthInMbs * MbWidthC);
  PicHeightInMapUnits = fit(heightInMapUnits);
  PicSizeInMapUnits = fit(widthInMbs * heightInMapUnits);
  FrameHeightInMbs = fit((2 - int64_t(frame_mbs_only_flag)) * heightInMapUnits);

  if (mb_adaptive_frame_field_flag == -1) mb_adaptive_frame_field_flag = 0;
}

}  // namespace vr
