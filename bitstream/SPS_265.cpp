#include "bitstream/SPS_265.h"

#include "common/ByteOrder.h"

namespace vr {

using U = UeSeNumCode;

int32_t ShortTermRefPicSet::usedByCurrCount() const {
  int32_t n = 0;
  for (int32_t i = 0; i < NumNegativePics; ++i) n += UsedByCurrPicS0[size_t(i)];
  for (int32_t i = 0; i < NumPositivePics; ++i) n += UsedByCurrPicS1[size_t(i)];
  return n;
}

std::shared_ptr<SPS_265> SPS_265::initSPS265WithBytes(const uint8_t* bytes, uint32_t size, uint32_t videoWidth,
                                                      uint32_t height) {
  if (bytes == nullptr) return nullptr;
  auto sps = std::make_shared<SPS_265>();
  sps->width = videoWidth;
  sps->height = height;
  const RbspBytes rbsp(bytes, size);
  if (!sps->readbytes(rbsp.data(), rbsp.size())) return nullptr;
  return sps;
}

bool SPS_265::st_ref_pic_set(BitCursor& c, uint32_t stRpsIdx, uint32_t numShortTermRefPicSets,
                             const std::vector<ShortTermRefPicSet>& sets, ShortTermRefPicSet& out) {
  constexpr uint32_t kMaxDelta = 1u << 15;  // delta_poc_*_minus1 and abs_delta_rps_minus1 lie below 2^15
  out = ShortTermRefPicSet{};
  const bool interRps = (stRpsIdx != 0) && U::getBitInBytes(c) == 1;
  if (interRps) {
    uint32_t deltaIdxMinus1 = 0;
    if (stRpsIdx == numShortTermRefPicSets) deltaIdxMinus1 = U::getUEVCodeNumFromBytes(c);
    if (!c.ok() || deltaIdxMinus1 >= stRpsIdx) return false;
    const uint32_t refIdx = stRpsIdx - (deltaIdxMinus1 + 1);
    if (refIdx >= sets.size()) return false;
    const ShortTermRefPicSet& ref = sets[refIdx];
    const int32_t sign = int32_t(U::getBitInBytes(c));
    const uint32_t absMinus1 = U::getUEVCodeNumFromBytes(c);
    if (!c.ok() || absMinus1 >= kMaxDelta) return false;
    const int32_t deltaRps = (1 - 2 * sign) * int32_t(absMinus1 + 1);

    // One flag pair per picture of the reference set plus one for deltaRps itself.
    const int32_t n = ref.NumDeltaPocs();
    uint8_t used[ShortTermRefPicSet::kMaxPics * 2 + 1] = {};
    uint8_t useDelta[ShortTermRefPicSet::kMaxPics * 2 + 1] = {};
    for (int32_t j = 0; j <= n; ++j) {
      used[j] = uint8_t(U::getBitInBytes(c));
      useDelta[j] = used[j] ? 1 : uint8_t(U::getBitInBytes(c));
    }
    // Equations 7-61 and 7-62.
    int32_t i = 0;
    auto addS0 = [&](int32_t dPoc, uint8_t u) {
      if (i >= ShortTermRefPicSet::kMaxPics) return false;
      out.DeltaPocS0[size_t(i)] = dPoc;
      out.UsedByCurrPicS0[size_t(i++)] = u;
      return true;
    };
    for (int32_t j = ref.NumPositivePics - 1; j >= 0; --j) {
      const int32_t dPoc = ref.DeltaPocS1[size_t(j)] + deltaRps;
      if (dPoc < 0 && useDelta[ref.NumNegativePics + j] && !addS0(dPoc, used[ref.NumNegativePics + j])) return false;
    }
    if (deltaRps < 0 && useDelta[n] && !addS0(deltaRps, used[n])) return false;
    for (int32_t j = 0; j < ref.NumNegativePics; ++j) {
      const int32_t dPoc = ref.DeltaPocS0[size_t(j)] + deltaRps;
      if (dPoc < 0 && useDelta[j] && !addS0(dPoc, used[j])) return false;
    }
    out.NumNegativePics = i;
    i = 0;
    auto addS1 = [&](int32_t dPoc, uint8_t u) {
      if (i >= ShortTermRefPicSet::kMaxPics) return false;
      out.DeltaPocS1[size_t(i)] = dPoc;
      out.UsedByCurrPicS1[size_t(i++)] = u;
      return true;
    };
    for (int32_t j = ref.NumNegativePics - 1; j >= 0; --j) {
      const int32_t dPoc = ref.DeltaPocS0[size_t(j)] + deltaRps;
      if (dPoc > 0 && useDelta[j] && !addS1(dPoc, used[j])) return false;
    }
    if (deltaRps > 0 && useDelta[n] && !addS1(deltaRps, used[n])) return false;
    for (int32_t j = 0; j < ref.NumPositivePics; ++j) {
      const int32_t dPoc = ref.DeltaPocS1[size_t(j)] + deltaRps;
      if (dPoc > 0 && useDelta[ref.NumNegativePics + j] && !addS1(dPoc, used[ref.NumNegativePics + j])) return false;
    }
    out.NumPositivePics = i;
    if (out.NumDeltaPocs() > ShortTermRefPicSet::kMaxPics) return false;
  } else {
    const uint32_t negative = U::getUEVCodeNumFromBytes(c);
    const uint32_t positive = U::getUEVCodeNumFromBytes(c);
    if (!c.ok() || negative > uint32_t(ShortTermRefPicSet::kMaxPics) ||
        positive > uint32_t(ShortTermRefPicSet::kMaxPics) - negative)
      return false;
    out.NumNegativePics = int32_t(negative);
    out.NumPositivePics = int32_t(positive);
    int32_t poc = 0;
    for (uint32_t i = 0; i < negative; ++i) {
      const uint32_t d = U::getUEVCodeNumFromBytes(c);
      if (!c.ok() || d >= kMaxDelta) return false;
      poc -= int32_t(d) + 1;
      out.DeltaPocS0[i] = poc;
      out.UsedByCurrPicS0[i] = uint8_t(U::getBitInBytes(c));
    }
    poc = 0;
    for (uint32_t i = 0; i < positive; ++i) {
      const uint32_t d = U::getUEVCodeNumFromBytes(c);
      if (!c.ok() || d >= kMaxDelta) return false;
      poc += int32_t(d) + 1;
      out.DeltaPocS1[i] = poc;
      out.UsedByCurrPicS1[i] = uint8_t(U::getBitInBytes(c));
    }
  }
  return c.ok();
}

// Finds the byte at which seq_parameter_set_id, chroma_format_idc and the picture size
// start, by trying each byte after the first three as a start. From a start whose
// identifier (at most 15) or chroma format (below 4) is impossible, the reads are tried
// again at the next byte boundary after them; the position so reached is accepted when
// the size it decodes to lies in [expected, 2 * expected) in both dimensions.
// Each byte's first attempt and each reached position is evaluated once, so the search
// is linear in the unit size.
bool SPS_265::findPictureSize(BitCursor& c) {
  const uint32_t n = c.size;
  if (width == 0 || height == 0 || n <= 3) return false;

  constexpr uint32_t kNone = UINT32_MAX;
  // reach[p]: the position the inner search settles on when started at byte p.
  std::vector<uint32_t> reach(n, kNone);
  for (uint32_t p = n; p-- > 3;) {
    BitCursor t(c.bytes, n, p);
    const uint32_t id = U::getUEVCodeNumFromBytes(t);
    const uint32_t chroma = U::getUEVCodeNumFromBytes(t);
    if (t.ok() && id <= 15 && chroma < 4) {
      reach[p] = p;
    } else {
      const uint32_t next = (t.bitPos == 0) ? t.bytePos : t.bytePos + 1;
      if (next < n) reach[p] = reach[next];
    }
  }

  std::vector<uint8_t> tried(n, 0);
  for (uint32_t s = 3; s < n; ++s) {
    const uint32_t p = reach[s];
    if (p == kNone || tried[p]) continue;
    tried[p] = 1;
    BitCursor t(c.bytes, n, p);
    const uint32_t id = U::getUEVCodeNumFromBytes(t);
    const uint32_t chroma = U::getUEVCodeNumFromBytes(t);
    const uint32_t separate = (chroma == 3) ? U::getBitInBytes(t) : 0;
    const uint32_t w = U::getUEVCodeNumFromBytes(t);
    const uint32_t h = U::getUEVCodeNumFromBytes(t);
    if (!t.ok() || w / width != 1 || h / height != 1) continue;
    seq_parameter_set_id = int32_t(id);
    chroma_format_idc = int32_t(chroma);
    seperate_color_plane_flag = int32_t(separate);
    chromaArrayType = separate == 1 ? 0 : chroma_format_idc;
    pic_width_in_luma_samples = int32_t(w);
    pic_height_luma_samples = int32_t(h);
    c = t;
    return true;
  }
  return false;
}

bool SPS_265::hrd_parameters(BitCursor& c, bool commonInfPresentFlag, uint32_t maxNumSubLayersMinus1) {
  uint32_t nal = 0, vcl = 0, subPic = 0;
  if (commonInfPresentFlag) {
    nal = U::getBitInBytes(c);
    vcl = U::getBitInBytes(c);
    if (nal || vcl) {
      subPic = U::getBitInBytes(c);
      if (subPic) c.skipBits(8 + 5 + 1 + 5);
      c.skipBits(4 + 4);  // bit_rate_scale, cpb_size_scale
      if (subPic) c.skipBits(4);
      c.skipBits(5 + 5 + 5);
    }
  }
  for (uint32_t i = 0; i <= maxNumSubLayersMinus1 && c.ok(); ++i) {
    const uint32_t fixedGeneral = U::getBitInBytes(c);
    const uint32_t fixedWithinCvs = fixedGeneral ? 1 : U::getBitInBytes(c);
    uint32_t lowDelay = 0;
    if (fixedWithinCvs) {
      U::getUEVCodeNumFromBytes(c);  // elemental_duration_in_tc_minus1
    } else {
      lowDelay = U::getBitInBytes(c);
    }
    uint32_t cpbCnt = 0;
    if (!lowDelay) cpbCnt = U::getUEVCodeNumFromBytes(c);
    if (!c.ok() || cpbCnt > 31) return false;
    for (uint32_t k = 0; k < nal + vcl; ++k) {
      for (uint32_t j = 0; j <= cpbCnt && c.ok(); ++j) {
        U::getUEVCodeNumFromBytes(c);
        U::getUEVCodeNumFromBytes(c);
        if (subPic) {
          U::getUEVCodeNumFromBytes(c);
          U::getUEVCodeNumFromBytes(c);
        }
        U::getBitInBytes(c);  // cbr_flag
      }
    }
  }
  return c.ok();
}

bool SPS_265::vui_parameters(BitCursor& c) {
  if (U::getBitInBytes(c)) {  // aspect_ratio_info_present_flag
    if (U::getUnitCodeNumFromBytes(c, 8) == 255) c.skipBits(32);  // sar_width, sar_height
  }
  if (U::getBitInBytes(c)) c.skipBits(1);  // overscan
  if (U::getBitInBytes(c)) {               // video_signal_type_present_flag
    c.skipBits(3 + 1);
    if (U::getBitInBytes(c)) c.skipBits(24);  // colour description
  }
  if (U::getBitInBytes(c)) {  // chroma_loc_info_present_flag
    U::getUEVCodeNumFromBytes(c);
    U::getUEVCodeNumFromBytes(c);
  }
  c.skipBits(3);              // neutral_chroma_indication, field_seq, frame_field_info_present
  if (U::getBitInBytes(c)) {  // default_display_window_flag
    for (int i = 0; i < 4; ++i) U::getUEVCodeNumFromBytes(c);
  }
  if (U::getBitInBytes(c)) {  // vui_timing_info_present_flag
    vui_num_units_in_tick = U::getUnitCodeNumFromBytes(c, 32);
    vui_time_scale = U::getUnitCodeNumFromBytes(c, 32);
    if (U::getBitInBytes(c)) U::getUEVCodeNumFromBytes(c);
    if (U::getBitInBytes(c) && !hrd_parameters(c, true, uint32_t(max_sub_Layers_minus1))) return false;
  }
  if (U::getBitInBytes(c)) {  // bitstream_restriction_flag
    c.skipBits(3);
    for (int i = 0; i < 5; ++i) U::getUEVCodeNumFromBytes(c);
  }
  return c.ok();
}

void SPS_265::deriveSizes() {
  if (log2_min_luma_coding_block_size_minus3 < 0 || log2_diff_max_min_luma_coding_block_size < 0 ||
      pic_width_in_luma_samples < 0 || pic_height_luma_samples < 0)
    return;
  const int64_t ctbLog2 =
      int64_t(log2_min_luma_coding_block_size_minus3) + 3 + int64_t(log2_diff_max_min_luma_coding_block_size);
  if (ctbLog2 > 30) return;
  const int64_t ctb = int64_t(1) << ctbLog2;
  const int64_t w = (int64_t(pic_width_in_luma_samples) + ctb - 1) / ctb;
  const int64_t h = (int64_t(pic_height_luma_samples) + ctb - 1) / ctb;
  if (w * h > INT32_MAX) return;
  PicWidthInCtbsY = int32_t(w);
  PicHeightInCtbsY = int32_t(h);
  picSizeInCtbsY = int32_t(w * h);
}

bool SPS_265::readbytes(const uint8_t* bytes, uint32_t size) {
  readNalHeader265(bytes, size, *this);

  BitCursor c(bytes, size, 2);
  video_parameter_set_id = int32_t(U::getUnitCodeNumFromBytes(c, 4));
  max_sub_Layers_minus1 = int32_t(U::getUnitCodeNumFromBytes(c, 3));
  temporal_id_nesting_flag = int32_t(U::getBitInBytes(c));
  if (!findPictureSize(c)) return false;

  // From here on a unit cut short by the end of the bytes given is judged on what
  // precedes the cut (see UeSeNumCode.h): fields not reached keep -1.
  enum { kGoOn, kAccept, kRefuse };
  auto checkpoint = [&c]() {
    if (c.failed) return kRefuse;
    return (c.cutShort || c.atEnd()) ? kAccept : kGoOn;
  };
#define VR_CHECKPOINT()                     \
  do {                                      \
    const int r = checkpoint();             \
    if (r != kGoOn) {                       \
      deriveSizes();                        \
      return r == kAccept;                  \
    }                                       \
  } while (0)

  conformance_window_flag = int32_t(U::getBitInBytes(c));
  if (conformance_window_flag == 1) {
    conf_win_left_offset = int32_t(U::getUEVCodeNumFromBytes(c));
    conf_win_right_offset = int32_t(U::getUEVCodeNumFromBytes(c));
    conf_win_top_offset = int32_t(U::getUEVCodeNumFromBytes(c));
    conf_win_bottom_offset = int32_t(U::getUEVCodeNumFromBytes(c));
  }
  bit_depth_luma_minus8 = int32_t(U::getUEVCodeNumFromBytes(c));
  bit_depth_chroma_minus8 = int32_t(U::getUEVCodeNumFromBytes(c));
  log2_max_pic_order_cnt_lsb_minus4 = int32_t(U::getUEVCodeNumFromBytes(c));
  sub_layer_ordering_info_present_flag = int32_t(U::getBitInBytes(c));
  VR_CHECKPOINT();

  const uint32_t subLayers = uint32_t(max_sub_Layers_minus1) + 1;  // 1..8
  max_dec_pic_buffering_minus1.assign(subLayers, 0);
  max_num_reorder_pics.assign(subLayers, 0);
  max_latency_increase_plus1.assign(subLayers, 0);
  for (uint32_t i = sub_layer_ordering_info_present_flag ? 0 : subLayers - 1; i < subLayers; ++i) {
    max_dec_pic_buffering_minus1[i] = uint8_t(U::getUEVCodeNumFromBytes(c));
    max_num_reorder_pics[i] = uint8_t(U::getUEVCodeNumFromBytes(c));
    max_latency_increase_plus1[i] = uint8_t(U::getUEVCodeNumFromBytes(c));
  }
  VR_CHECKPOINT();

  log2_min_luma_coding_block_size_minus3 = int32_t(U::getUEVCodeNumFromBytes(c));
  log2_diff_max_min_luma_coding_block_size = int32_t(U::getUEVCodeNumFromBytes(c));
  log2_min_luma_transform_block_size_minus2 = int32_t(U::getUEVCodeNumFromBytes(c));
  log2_diff_max_min_luma_transform_block_size = int32_t(U::getUEVCodeNumFromBytes(c));
  max_transform_hierarchy_depth_inter = int32_t(U::getUEVCodeNumFromBytes(c));
  max_transform_hierarchy_depth_intra = int32_t(U::getUEVCodeNumFromBytes(c));
  scaling_list_enabled_flag = int32_t(U::getBitInBytes(c));
  if (scaling_list_enabled_flag == 1) {
    sps_scaling_list_data_present_flag = int32_t(U::getBitInBytes(c));
    if (sps_scaling_list_data_present_flag == 1) U::scaling_list_data(c);
  }
  amp_enabled_flag = int32_t(U::getBitInBytes(c));
  sample_adaptive_offset_enabled_flag = int32_t(U::getBitInBytes(c));
  pcm_enabled_flag = int32_t(U::getBitInBytes(c));
  if (pcm_enabled_flag == 1) {
    pcm_sample_bit_depth_luma_minus1 = int32_t(U::getUnitCodeNumFromBytes(c, 4));
    pcm_sample_bit_depth_chroma_minus1 = int32_t(U::getUnitCodeNumFromBytes(c, 4));
    log2_min_pcm_luma_coding_block_size_minus3 = int32_t(U::getUEVCodeNumFromBytes(c));
    log2_diff_max_min_pcm_luma_coding_block_size = int32_t(U::getUEVCodeNumFromBytes(c));
    pcm_loop_filter_disabled_flag = int32_t(U::getBitInBytes(c));
  }
  VR_CHECKPOINT();

  const uint32_t numSets = U::getUEVCodeNumFromBytes(c);
  VR_CHECKPOINT();
  if (numSets > 64) return false;
  num_short_term_ref_pic_sets = int32_t(numSets);
  shortTermRefPicSets.reserve(numSets);
  for (uint32_t i = 0; i < numSets; ++i) {
    ShortTermRefPicSet set;
    const bool ok = st_ref_pic_set(c, i, numSets, shortTermRefPicSets, set);
    VR_CHECKPOINT();
    if (!ok) return false;
    shortTermRefPicSets.push_back(set);
  }

  long_term_ref_pics_present_flag = int32_t(U::getBitInBytes(c));
  if (long_term_ref_pics_present_flag == 1) {
    const uint32_t count = U::getUEVCodeNumFromBytes(c);
    VR_CHECKPOINT();
    if (count > 32) return false;
    num_long_term_ref_pics_sps = int32_t(count);
    const uint32_t lsbBits = uint32_t(log2_max_pic_order_cnt_lsb_minus4) + 4u;
    for (uint32_t i = 0; i < count; ++i) {
      lt_ref_pic_poc_lsb_sps.push_back(uint8_t(U::getUnitCodeNumFromBytes(c, lsbBits)));
      used_by_curr_pic_lt_sps_flag.push_back(uint8_t(U::getBitInBytes(c)));
    }
  }
  sps_temporal_mvp_enabled_flag = int32_t(U::getBitInBytes(c));
  strong_intra_smoothing_enabled_flag = int32_t(U::getBitInBytes(c));
  vui_parameters_present_flag = int32_t(U::getBitInBytes(c));
  deriveSizes();
  // Everything the slice headers need has been read; the rest is read only as far as
  // it goes.
  if (c.atEnd()) return true;
  if (vui_parameters_present_flag == 1 && (!vui_parameters(c) || c.atEnd())) return true;

  sps_extension_present_flag = int32_t(U::getBitInBytes(c));
  if (sps_extension_present_flag == 1) {
    sps_range_extension_flag = int32_t(U::getBitInBytes(c));
    sps_multilayer_extension_flag = int32_t(U::getBitInBytes(c));
    sps_3d_extension_flag = int32_t(U::getBitInBytes(c));
    sps_scc_extension_flag = int32_t(U::getBitInBytes(c));
    sps_extension_4bits = int32_t(U::getUnitCodeNumFromBytes(c, 4));
    if (sps_range_extension_flag == 1) c.skipBits(9);
    if (sps_multilayer_extension_flag == 1) c.skipBits(1);  // inter_view_mv_vert_constraint_flag
    if (sps_3d_extension_flag == 1) {
      // sps_3d_extension(): texture view (d = 0) then depth view (d = 1) tool flags.
      c.skipBits(2);
      U::getUEVCodeNumFromBytes(c);  // log2_ivmc_sub_pb_size_minus3
      c.skipBits(4);
      c.skipBits(3);
      U::getUEVCodeNumFromBytes(c);  // log2_texmc_sub_pb_size_minus3
      c.skipBits(5);
    }
    if (sps_scc_extension_flag == 1 && c.ok()) {
      c.skipBits(1);  // sps_curr_pic_ref_enabled_flag
      if (U::getBitInBytes(c)) {  // palette_mode_enabled_flag
        U::getUEVCodeNumFromBytes(c);  // palette_max_size
        U::getUEVCodeNumFromBytes(c);  // delta_palette_max_predictor_size
        if (U::getBitInBytes(c)) {     // sps_palette_predictor_initializers_present_flag
          const uint64_t entries = uint64_t(U::getUEVCodeNumFromBytes(c)) + 1;
          const uint64_t bitsY = uint64_t(uint32_t(bit_depth_luma_minus8)) + 8;
          const uint64_t bitsC = uint64_t(uint32_t(bit_depth_chroma_minus8)) + 8;
          const uint64_t perEntry = bitsY + (chroma_format_idc == 0 ? 0 : 2 * bitsC);
          c.skipBits(entries > UINT64_MAX / perEntry ? UINT64_MAX : entries * perEntry);
        }
      }
      if (c.ok() && !c.atEnd()) motion_vector_resolution_control_idc = int32_t(U::getUnitCodeNumFromBytes(c, 2));
    }
  }
#undef VR_CHECKPOINT
  if (c.ok() && !c.atEnd()) parsedBitLength = c.bitOffset();
  return true;
}

}  // namespace vr
