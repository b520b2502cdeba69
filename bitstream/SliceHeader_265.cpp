#include "bitstream/SliceHeader_265.h"

namespace vr {

using U = UeSeNumCode;

namespace {

constexpr int32_t kSliceB = 0;
constexpr int32_t kSliceP = 1;
constexpr uint32_t kMaxRefIdx = 14;  // num_ref_idx_lX_active_minus1 lies in 0..14

// pred_weight_table() (H.265 clause 7.3.6.3) for a single-layer stream, stepped over.
void skipPredWeightTable(BitCursor& c, bool chroma, bool bSlice, uint32_t l0, uint32_t l1) {
  U::getUEVCodeNumFromBytes(c);                 // luma_log2_weight_denom
  if (chroma) U::getSEVCodeNumFromBytes(c);     // delta_chroma_log2_weight_denom
  for (int list = 0; list < (bSlice ? 2 : 1); ++list) {
    const uint32_t n = (list == 0 ? l0 : l1) + 1;
    uint8_t lumaFlag[kMaxRefIdx + 1] = {};
    uint8_t chromaFlag[kMaxRefIdx + 1] = {};
    for (uint32_t i = 0; i < n; ++i) lumaFlag[i] = uint8_t(U::getBitInBytes(c));
    if (chroma)
      for (uint32_t i = 0; i < n; ++i) chromaFlag[i] = uint8_t(U::getBitInBytes(c));
    for (uint32_t i = 0; i < n; ++i) {
      if (lumaFlag[i]) {
        U::getSEVCodeNumFromBytes(c);  // delta_luma_weight
        U::getSEVCodeNumFromBytes(c);  // luma_offset
      }
      if (chromaFlag[i]) {
        for (int j = 0; j < 4; ++j) U::getSEVCodeNumFromBytes(c);  // weight and offset, Cb and Cr
      }
    }
  }
}

}  // namespace

std::shared_ptr<SliceHeader_265> SliceHeader_265::initSLiceHeader265WithBytes(const uint8_t* bytes, uint32_t size,
                                                                              uint32_t NALType, const SPS_265& sps,
                                                                              const PPS_265& pps,
                                                                              const std::shared_ptr<VPS_265>&) {
  if (bytes == nullptr) return nullptr;
  // Parsed on the stack: most candidates the probe hands over are refused.
  SliceHeader_265 header;
  const RbspBytes rbsp(bytes, size);
  if (!header.readBytes(rbsp.data(), rbsp.size(), NALType, sps, pps)) return nullptr;
  return std::make_shared<SliceHeader_265>(std::move(header));
}

bool SliceHeader_265::readBytes(const uint8_t* bytes, uint32_t size, uint32_t NALType, const SPS_265& sps,
                                const PPS_265& pps) {
  BitCursor c(bytes, size);
  // A header cut off by the end of the bytes given is judged on what precedes the cut;
  // a ue(v) that gives up inside the bytes means noise (see UeSeNumCode.h).
#define VR_STOP_IF_CUT_OR_BAD()     \
  do {                              \
    if (c.failed) return false;     \
    if (c.cutShort) return true;    \
  } while (0)

  first_slice_segment_in_pic_flag = int32_t(U::getBitInBytes(c));
  if (NALType >= 16 && NALType <= 23) no_output_of_prior_pics_flag = int32_t(U::getBitInBytes(c));
  pic_parameter_set_id = int32_t(U::getUEVCodeNumFromBytes(c));
  if (!c.ok() || pic_parameter_set_id < 0 || pic_parameter_set_id > 63) return false;

  if (first_slice_segment_in_pic_flag == 0) {
    if (pps.dependent_slice_segments_enabled_flag == 1) dependent_slice_segment_flag = int32_t(U::getBitInBytes(c));
    slice_segment_address = int32_t(U::getUnitCodeNumFromBytes(c, U::ceilLog2(sps.picSizeInCtbsY)));
  }

  // An independent slice segment carries the slice header proper; a dependent one
  // takes it from the segment before.
  if (dependent_slice_segment_flag != 1) {
    c.skipBits(uint32_t(pps.num_extra_slice_header_bits > 0 ? pps.num_extra_slice_header_bits : 0));
    slice_type = int32_t(U::getUEVCodeNumFromBytes(c));
    if (pps.output_flag_present_flag == 1) pic_output_flag = int32_t(U::getBitInBytes(c));
    if (sps.seperate_color_plane_flag == 1) colour_plane_id = int32_t(U::getUnitCodeNumFromBytes(c, 2));
    VR_STOP_IF_CUT_OR_BAD();

    ShortTermRefPicSet ownSet;
    const ShortTermRefPicSet* currentSet = nullptr;
    const bool idr = (NALType == 19 || NALType == 20);
    if (!idr) {
      pic_order_cnt_lsb =
          int32_t(U::getUnitCodeNumFromBytes(c, uint32_t(sps.log2_max_pic_order_cnt_lsb_minus4) + 4u));
      short_term_ref_pic_set_sps_flag = int32_t(U::getBitInBytes(c));
      const uint32_t numSets = uint32_t(sps.shortTermRefPicSets.size());
      if (short_term_ref_pic_set_sps_flag == 0) {
        const bool ok = SPS_265::st_ref_pic_set(c, numSets, numSets, sps.shortTermRefPicSets, ownSet);
        VR_STOP_IF_CUT_OR_BAD();
        if (!ok) return false;
        currentSet = &ownSet;
      } else {
        uint32_t idx = 0;
        if (numSets > 1) {
          idx = U::getUnitCodeNumFromBytes(c, U::ceilLog2(numSets));
          short_term_ref_pic_set_idx = int32_t(idx);
        }
        if (idx >= numSets) return false;
        currentSet = &sps.shortTermRefPicSets[idx];
      }

      if (sps.long_term_ref_pics_present_flag == 1) {
        const int32_t candidates = sps.num_long_term_ref_pics_sps > 0 ? sps.num_long_term_ref_pics_sps : 0;
        if (candidates > 0) num_long_term_sps = int32_t(U::getUEVCodeNumFromBytes(c));
        num_long_term_pics = int32_t(U::getUEVCodeNumFromBytes(c));
        VR_STOP_IF_CUT_OR_BAD();
        const int32_t fromSps = num_long_term_sps == -1 ? 0 : num_long_term_sps;
        if (fromSps < 0 || fromSps > candidates) return false;
        if (num_long_term_pics < 0 || num_long_term_pics > 32) return false;
        const int32_t total = fromSps + num_long_term_pics;
        const uint32_t lsbBits = uint32_t(sps.log2_max_pic_order_cnt_lsb_minus4) + 4u;
        for (int32_t i = 0; i < total; ++i) {
          uint32_t used = 0;
          if (i < fromSps) {
            uint32_t idx = 0;
            if (candidates > 1) idx = U::getUnitCodeNumFromBytes(c, U::ceilLog2(candidates));
            if (idx < sps.used_by_curr_pic_lt_sps_flag.size()) used = sps.used_by_curr_pic_lt_sps_flag[idx];
          } else {
            c.skipBits(lsbBits);  // poc_lsb_lt
            used = U::getBitInBytes(c);
          }
          if (U::getBitInBytes(c)) U::getUEVCodeNumFromBytes(c);  // delta_poc_msb_cycle_lt
          NumPicTotalCurr += int32_t(used);
          if (!c.ok() || c.atEnd()) break;
        }
      }
      if (sps.sps_temporal_mvp_enabled_flag == 1) temporal_mvp_enabled_flag = int32_t(U::getBitInBytes(c));
    }
    if (currentSet != nullptr) NumPicTotalCurr += currentSet->usedByCurrCount();

    if (sps.sample_adaptive_offset_enabled_flag == 1) {
      sao_luma_flag = int32_t(U::getBitInBytes(c));
      if (sps.chromaArrayType > 0) sao_chroma_flag = int32_t(U::getBitInBytes(c));
    }

    if (slice_type == kSliceP || slice_type == kSliceB) {
      const bool bSlice = (slice_type == kSliceB);
      num_ref_idx_active_override_flag = int32_t(U::getBitInBytes(c));
      uint32_t l0 = uint32_t(pps.num_ref_idx_l0_default_active_minus1);
      uint32_t l1 = uint32_t(pps.num_ref_idx_l1_default_active_minus1);
      if (num_ref_idx_active_override_flag == 1) {
        l0 = U::getUEVCodeNumFromBytes(c);
        if (bSlice) l1 = U::getUEVCodeNumFromBytes(c);
      }
      VR_STOP_IF_CUT_OR_BAD();
      if (l0 > kMaxRefIdx || (bSlice && l1 > kMaxRefIdx)) return false;
      num_ref_idx_l0_active_minus1 = int32_t(l0);
      if (bSlice) num_ref_idx_l1_active_minus1 = int32_t(l1);

      if (pps.lists_modification_present_flag == 1 && NumPicTotalCurr > 1) {
        const uint32_t entryBits = U::ceilLog2(NumPicTotalCurr);
        ref_pic_list_modification_flag_l0 = int32_t(U::getBitInBytes(c));
        if (ref_pic_list_modification_flag_l0 == 1) c.skipBits(uint64_t(l0 + 1) * entryBits);
        if (bSlice) {
          ref_pic_list_modification_flag_l1 = int32_t(U::getBitInBytes(c));
          if (ref_pic_list_modification_flag_l1 == 1) c.skipBits(uint64_t(l1 + 1) * entryBits);
        }
      }
      if (bSlice) mvd_l1_zero_flag = int32_t(U::getBitInBytes(c));
      if (pps.cabac_init_present_flag == 1) cabac_init_flag = int32_t(U::getBitInBytes(c));
      if (temporal_mvp_enabled_flag == 1) {
        // collocated_from_l0_flag is 1 when absent (P slices).
        if (bSlice) collocated_from_l0_flag = int32_t(U::getBitInBytes(c));
        const bool fromL0 = collocated_from_l0_flag != 0;
        if ((fromL0 && l0 > 0) || (!fromL0 && l1 > 0)) collocated_ref_idx = int32_t(U::getUEVCodeNumFromBytes(c));
      }
      if ((pps.weighted_pred_flag == 1 && !bSlice) || (pps.weighted_bipred_flag == 1 && bSlice))
        skipPredWeightTable(c, sps.chromaArrayType > 0, bSlice, l0, l1);
      five_minus_max_num_merge_cand = int32_t(U::getUEVCodeNumFromBytes(c));
      if (sps.motion_vector_resolution_control_idc == 2) use_integer_mv_flag = int32_t(U::getBitInBytes(c));
    }

    qp_delta = U::getSEVCodeNumFromBytes(c);
    if (pps.slice_chroma_qp_offsets_present_flag == 1) {
      cb_qp_offset = U::getSEVCodeNumFromBytes(c);
      cr_qp_offset = U::getSEVCodeNumFromBytes(c);
    }
    if (pps.slic_act_qp_offsets_present_flag > 0) {
      act_y_qp_offset = U::getSEVCodeNumFromBytes(c);
      act_cb_qp_offset = U::getSEVCodeNumFromBytes(c);
      act_cr_qp_offset = U::getSEVCodeNumFromBytes(c);
    }
    if (pps.chroma_qp_offset_list_enabled_flag == 1) cu_chroma_qp_offset_enabled_flag = int32_t(U::getBitInBytes(c));
    if (pps.deblocking_filter_override_enabled_flag == 1)
      deblocking_filter_override_flag = int32_t(U::getBitInBytes(c));
    if (deblocking_filter_override_flag == 1) {
      deblocking_filter_disabled_flag = int32_t(U::getBitInBytes(c));
      if (deblocking_filter_disabled_flag == 0) {
        beta_offset_div2 = U::getSEVCodeNumFromBytes(c);
        tc_offset_div2 = U::getSEVCodeNumFromBytes(c);
      }
    }
    if (deblocking_filter_disabled_flag == -1)
      deblocking_filter_disabled_flag = pps.deblocking_filter_disabled_flag == 1 ? 1 : 0;
    if (pps.loop_filter_across_slices_enabled_flag == 1 &&
        (sao_luma_flag == 1 || sao_chroma_flag == 1 || deblocking_filter_disabled_flag == 0))
      loop_filter_across_slices_enabled_flag = int32_t(U::getBitInBytes(c));
    VR_STOP_IF_CUT_OR_BAD();
  }

  const bool tiles = pps.tiles_enabled_flag == 1;
  const bool wavefronts = pps.entropy_coding_sync_enabled_flag == 1;
  if (tiles || wavefronts) {
    num_entry_point_offsets = int32_t(U::getUEVCodeNumFromBytes(c));
    VR_STOP_IF_CUT_OR_BAD();
    const int64_t columns = int64_t(pps.num_tile_columns_minus1) + 1;
    const int64_t rows = int64_t(pps.num_tile_rows_minus1) + 1;
    const int64_t ctbRows = sps.PicHeightInCtbsY;
    int64_t maxEntries = 0;
    if (wavefronts && !tiles) maxEntries = ctbRows - 1;
    else if (tiles && !wavefronts) maxEntries = columns * rows - 1;
    else maxEntries = columns * ctbRows - 1;
    if (num_entry_point_offsets < 0 || num_entry_point_offsets > maxEntries) return false;
    if (num_entry_point_offsets > 0) {
      offset_len_minus1 = int32_t(U::getUEVCodeNumFromBytes(c));
      VR_STOP_IF_CUT_OR_BAD();
      if (offset_len_minus1 < 0 || offset_len_minus1 > 31) return false;
      c.skipBits(uint64_t(num_entry_point_offsets) * uint64_t(offset_len_minus1 + 1));  // entry_point_offset_minus1
      // The offsets may run past the bytes given; nothing after them can be judged.
      if (c.atEnd()) return true;
    }
  }

  if (pps.slice_segment_header_extension_present_flag == 1) {
    const uint32_t length = U::getUEVCodeNumFromBytes(c);
    VR_STOP_IF_CUT_OR_BAD();
    if (length > 256) return false;
    slice_segment_header_extension_length = int32_t(length);
    c.skipBits(uint64_t(length) * 8);  // slice_segment_header_extension_data_byte
  }
#undef VR_STOP_IF_CUT_OR_BAD
  if (!c.atEnd()) {
    parsedBitLength = c.bitOffset();
    // The values the standard allows, then byte_alignment(): a one and zeros up to the
    // next byte. Headers read with parameter sets of another encoding seldom keep both.
    auto within = [](int64_t v, int64_t lo, int64_t hi) { return v >= lo && v <= hi; };
    const bool independent = dependent_slice_segment_flag != 1;
    bool fits = !independent ||
                (five_minus_max_num_merge_cand <= 4 &&
                 within(26 + int64_t(pps.init_qp_minus26) + qp_delta, -6 * int64_t(sps.bit_depth_luma_minus8), 51) &&
                 (pps.slice_chroma_qp_offsets_present_flag != 1 ||
                  (within(cb_qp_offset, -12, 12) && within(cr_qp_offset, -12, 12))) &&
                 (deblocking_filter_override_flag != 1 || deblocking_filter_disabled_flag != 0 ||
                  (within(beta_offset_div2, -6, 6) && within(tc_offset_div2, -6, 6))));
    fits = fits && U::getBitInBytes(c) == 1;
    while (fits && c.bitPos != 0 && !c.atEnd()) fits = U::getBitInBytes(c) == 0;
    restFits = fits ? 1 : 0;
  }
  return true;
}

}  // namespace vr
