#include "bitstream/SliceHeader.h"

#include <algorithm>

#include "bitstream/UeSeNumCode.h"

namespace vr {

using U = UeSeNumCode;

std::shared_ptr<SliceHeader> SliceHeader::initIDRWithBytes(const uint8_t* bytes, uint32_t size, uint32_t NALType,
                                                           uint32_t NRI, const SPS& sps, const PPS& pps,
                                                           bool judgeRest) {
  if (bytes == nullptr || (NALType != 1 && NALType != 5)) return nullptr;
  // Parsed on the stack: most candidates the probe hands over are refused.
  SliceHeader header;
  const RbspBytes rbsp(bytes, size);
  if (!header.readBytes(rbsp.data(), rbsp.size(), NALType, NRI, sps, pps, judgeRest)) return nullptr;
  return std::make_shared<SliceHeader>(header);
}

bool SliceHeader::readBytes(const uint8_t* bytes, uint32_t size, uint32_t NALType, uint32_t NRI, const SPS& sps,
                            const PPS& pps, bool judgeRest) {
  if (NALType != 1 && NALType != 5) return false;
  const bool idr = (NALType == 5);
  BitCursor c(bytes, size);
  totalBytesGiven = size;

  first_mb_in_slice = int32_t(U::getUEVCodeNumFromBytes(c));
  slice_type = int32_t(U::getUEVCodeNumFromBytes(c));
  if (!c.ok() || slice_type < 0 || slice_type > 9) return false;
  // An IDR picture holds only I or SI slices.
  if (idr && slice_type != 2 && slice_type != 4 && slice_type != 7 && slice_type != 9) return false;

  pic_parameter_set_id = int32_t(U::getUEVCodeNumFromBytes(c));
  if (sps.separate_colour_plane_flag != 0 && sps.separate_colour_plane_flag != -1)
    colour_plane_id = int32_t(U::getUnitCodeNumFromBytes(c, 2));
  if (!c.ok()) return false;
  frame_num = int32_t(U::getUnitCodeNumFromBytes(c, uint32_t(sps.log2_max_frame_num_minus4) + 4u));

  // A slice cut off this early still tells where its picture starts.
  if (c.bytePos >= totalBytesGiven) return true;

  if (sps.frame_mbs_only_flag == 0) {
    field_pic_flag = int32_t(U::getBitInBytes(c));
    if (field_pic_flag == 1) bottom_field_flag = int32_t(U::getBitInBytes(c));
  }
  if (idr) {
    idr_pic_id = int32_t(U::getUEVCodeNumFromBytes(c));
    PrevRefFrameNum = 0;
  }
  const bool frame = (field_pic_flag != 1);
  if (sps.pic_order_cnt_type == 0) {
    pic_order_cnt_lsb =
        int32_t(U::getUnitCodeNumFromBytes(c, uint32_t(sps.log2_max_pic_order_cnt_lsb_minus4) + 4u));
    if (pps.pic_order_present_flag == 1 && frame) delta_pic_order_cnt_bottom = U::getSEVCodeNumFromBytes(c);
  } else if (sps.pic_order_cnt_type == 1 && sps.delta_pic_order_always_zero_flag == 0) {
    delta_pic_order_cnt[0] = U::getSEVCodeNumFromBytes(c);
    if (pps.pic_order_present_flag == 1 && frame) delta_pic_order_cnt[1] = U::getSEVCodeNumFromBytes(c);
  }
  if (judgeRest) {
    restFits = std::min(readRest(c, NALType, NRI, sps, pps, pps.entropy_coding_mode_flag == 1), 1);
    if (pps.entropy_coding_mode_flag == 0) readAsCabac = readRest(c, NALType, NRI, sps, pps, true);
  }
  if (NRI != 0 && idr) {
    no_output_of_prior_pics_flag = int32_t(U::getBitInBytes(c));
    long_term_reference_flag = int32_t(U::getBitInBytes(c));
  }
  // Read right after the fields above: exact for IDR I slices, which carry nothing
  // in between; other slices have list and weight syntax there that is not parsed.
  slice_qp_delta = U::getSEVCodeNumFromBytes(c);
  if (c.failed) return false;
  if (c.cutShort) slice_qp_delta = -1;  // the bytes ended before it

  if (field_pic_flag == -1) field_pic_flag = 0;
  MbaffFrameFlag = (sps.mb_adaptive_frame_field_flag == 1 && field_pic_flag == 0) ? 1 : 0;
  // Products are formed wide and kept only when they fit, as in SPS::derive().
  auto fit = [](int64_t v) { return (v >= INT32_MIN && v <= INT32_MAX) ? int32_t(v) : 0; };
  PicHeightInMbs = sps.FrameHeightInMbs / (1 + field_pic_flag);
  PicHeightInSamplesL = fit(int64_t(16) * PicHeightInMbs);
  PicHeightInSamplesC = fit(int64_t(PicHeightInMbs) * sps.MbHeightC);
  PicSizeInMbs = fit(int64_t(sps.PicWidthInMbs) * PicHeightInMbs);
  if (field_pic_flag == 0) {
    MaxPicNum = sps.MaxFrameNum;
    CurrPicNum = frame_num;
  } else {
    MaxPicNum = 2 * sps.MaxFrameNum;
    CurrPicNum = int32_t(2u * uint32_t(frame_num) + 1u);
  }
  if (bottom_field_flag == -1) bottom_field_flag = 0;
  return true;
}

int32_t SliceHeader::readRest(BitCursor c, uint32_t NALType, uint32_t NRI, const SPS& sps, const PPS& pps,
                              bool cabac) const {
  if (pps.num_slice_groups_minus1 != 0) return -1;
  const int32_t kind = slice_type % 5;  // 0 P, 1 B, 2 I, 3 SP, 4 SI
  const bool p = kind == 0 || kind == 3, b = kind == 1;
  // B slices belong to every profile but Baseline; SP and SI slices only to Extended.
  if ((b && sps.profile_idc == 66) || (kind >= 3 && sps.profile_idc != 88)) return 0;
  const uint32_t maxRefIdx = field_pic_flag == 1 ? 31 : 15;
  auto ue = [&] { return U::getUEVCodeNumFromBytes(c); };
  auto se = [&] { return U::getSEVCodeNumFromBytes(c); };
  auto bit = [&] { return U::getBitInBytes(c); };
  auto within = [](int64_t v, int64_t lo, int64_t hi) { return v >= lo && v <= hi; };
  // A value read past the end of the bytes proves nothing.
  auto broken = [&] { return c.cutShort || c.bytePos >= c.size ? -1 : 0; };
  // Weights and offsets: -128..127, offsets scaled with the bit depth.
  const int64_t weightRange = int64_t(128) << (sps.QpBdOffsetY / 6);

  if (pps.redundant_pic_cnt_present_flag == 1 && ue() > 127) return broken();
  if (b) bit();  // direct_spatial_mv_pred_flag
  uint32_t refs[2] = {uint32_t(pps.num_ref_idx_l0_active_minus1), uint32_t(pps.num_ref_idx_l1_active_minus1)};
  if ((p || b) && bit()) {  // num_ref_idx_active_override_flag
    refs[0] = ue();
    if (b) refs[1] = ue();
  }
  const int lists = b ? 2 : p ? 1 : 0;
  for (int l = 0; l < lists; ++l)
    if (refs[l] > maxRefIdx) return broken();
  // ref_pic_list_modification: one change per entry of the list at most, then the end mark.
  for (int l = 0; l < lists; ++l) {
    if (!bit()) continue;
    uint32_t idc = 0;
    for (uint32_t i = 0; i <= refs[l] + 1 && c.ok(); ++i) {
      if ((idc = ue()) == 3) break;
      if (idc > 2) return broken();
      ue();  // abs_diff_pic_num_minus1 or long_term_pic_num
    }
    if (idc != 3) return broken();
  }
  if ((pps.weighted_pred_flag == 1 && p) || (pps.weighted_bipred_idc == 1 && b)) {
    if (ue() > 7) return broken();  // luma_log2_weight_denom
    const bool chroma = sps.ChromaArrayType != 0;
    if (chroma && ue() > 7) return broken();
    for (int l = 0; l < lists; ++l)
      for (uint32_t i = 0; i <= refs[l]; ++i)
        for (int plane = 0; plane < (chroma ? 2 : 1); ++plane) {
          if (!bit()) continue;
          for (int n = 0; n < (plane == 0 ? 2 : 4); ++n)
            if (!within(se(), -weightRange, weightRange - 1)) return broken();
        }
  }
  if (NRI != 0) {
    if (NALType == 5) {
      c.skipBits(2);  // no_output_of_prior_pics_flag, long_term_reference_flag
    } else if (bit()) {  // adaptive_ref_pic_marking_mode_flag
      uint32_t op = 0;
      for (int i = 0; i < 66 && c.ok(); ++i) {
        if ((op = ue()) == 0) break;
        if (op > 6) return broken();
        if (op == 1 || op == 3) ue();  // difference_of_pic_nums_minus1
        if (op == 2) ue();             // long_term_pic_num
        if (op == 3 || op == 6) ue();  // long_term_frame_idx
        if (op == 4) ue();             // max_long_term_frame_idx_plus1
      }
      if (op != 0) return broken();
    }
  }
  if (cabac && kind != 2 && kind != 4 && ue() > 2) return broken();  // cabac_init_idc
  if (!within(26 + int64_t(pps.pic_init_qp_minus26) + se(), -int64_t(sps.QpBdOffsetY), 51)) return broken();
  if (kind >= 3) {
    if (kind == 3) bit();  // sp_for_switch_flag
    if (!within(26 + int64_t(pps.pic_init_qs_minus26) + se(), 0, 51)) return broken();
  }
  if (pps.deblocking_filter_control_present_flag == 1) {
    const uint32_t disable = ue();
    if (disable > 2) return broken();
    if (disable != 1 && (!within(se(), -6, 6) || !within(se(), -6, 6))) return broken();
  }
  int32_t ones = 0;
  if (cabac)
    for (; c.bitPos != 0 && c.bytePos < c.size; ++ones)
      if (!bit()) return broken();  // cabac_alignment_one_bit
  if (c.failed) return 0;
  if (c.cutShort || c.bytePos >= c.size) return -1;
  return 1 + ones;
}

}  // namespace vr
