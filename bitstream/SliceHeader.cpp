#include "bitstream/SliceHeader.h"

#include "bitstream/UeSeNumCode.h"

namespace vr {

using U = UeSeNumCode;

std::shared_ptr<SliceHeader> SliceHeader::initIDRWithBytes(const uint8_t* bytes, uint32_t size, uint32_t NALType,
                                                           uint32_t NRI, const SPS& sps, const PPS& pps) {
  if (bytes == nullptr || (NALType != 1 && NALType != 5)) return nullptr;
  // Parsed on the stack: most candidates the probe hands over are refused.
  SliceHeader header;
  const RbspBytes rbsp(bytes, size);
  if (!header.readBytes(rbsp.data(), rbsp.size(), NALType, NRI, sps, pps)) return nullptr;
  return std::make_shared<SliceHeader>(header);
}

bool SliceHeader::readBytes(const uint8_t* bytes, uint32_t size, uint32_t NALType, uint32_t NRI, const SPS& sps,
                            const PPS& pps) {
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

}  // namespace vr
