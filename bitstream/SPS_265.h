#pragma once
// H.265 sequence parameter set (ITU-T H.265 clause 7.3.2.2). profile_tier_level is not
// parsed: the fields after it are found by searching for the bit position at which the
// picture size decodes to the size the container declares.
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "bitstream/UeSeNumCode.h"

namespace vr {

// One short-term reference picture set, as derived by H.265 equations 7-61 to 7-64.
struct ShortTermRefPicSet {
  static constexpr int kMaxPics = 16;
  int32_t NumNegativePics = 0;
  int32_t NumPositivePics = 0;
  std::array<int32_t, kMaxPics> DeltaPocS0{};
  std::array<int32_t, kMaxPics> DeltaPocS1{};
  std::array<uint8_t, kMaxPics> UsedByCurrPicS0{};
  std::array<uint8_t, kMaxPics> UsedByCurrPicS1{};
  int32_t NumDeltaPocs() const { return NumNegativePics + NumPositivePics; }
  int32_t usedByCurrCount() const;
};

class SPS_265 {
 public:
  // `bytes` is the whole NAL unit from its first header byte; videoWidth / height are
  // the picture size the container declares. Refuses the unit when no bit position
  // yields a size of at least the declared one and below twice it (a declared size of 0
  // matches nothing), when a count lies outside its legal range, or when the bits cannot
  // be SPS syntax.
  static std::shared_ptr<SPS_265> initSPS265WithBytes(const uint8_t* bytes, uint32_t size, uint32_t videoWidth,
                                                      uint32_t height);

  // Parses st_ref_pic_set(stRpsIdx) (H.265 clause 7.3.7) into `out`, predicting from
  // `sets` where the syntax says so. Used for the SPS's sets and for a slice's own set
  // (stRpsIdx == num_short_term_ref_pic_sets). False when the syntax is out of range.
  static bool st_ref_pic_set(BitCursor& c, uint32_t stRpsIdx, uint32_t numShortTermRefPicSets,
                             const std::vector<ShortTermRefPicSet>& sets, ShortTermRefPicSet& out);

  // Expected picture size given to the factory.
  uint32_t width = 0;
  uint32_t height = 0;

  // NAL unit header.
  uint32_t forbiddenBit = 0;
  uint32_t NALType = 0;
  uint32_t NLayerId = 0;
  uint32_t NTempID = 0;

  // Syntax elements; -1 = not present.
  int32_t video_parameter_set_id = -1;
  int32_t max_sub_Layers_minus1 = -1;
  int32_t temporal_id_nesting_flag = -1;
  int32_t seq_parameter_set_id = -1;
  int32_t chroma_format_idc = -1;
  int32_t seperate_color_plane_flag = -1;
  int32_t pic_width_in_luma_samples = 0;
  int32_t pic_height_luma_samples = 0;
  int32_t conformance_window_flag = -1;
  int32_t conf_win_left_offset = -1;
  int32_t conf_win_right_offset = -1;
  int32_t conf_win_top_offset = -1;
  int32_t conf_win_bottom_offset = -1;
  int32_t bit_depth_luma_minus8 = -1;
  int32_t bit_depth_chroma_minus8 = -1;
  int32_t log2_max_pic_order_cnt_lsb_minus4 = -1;
  int32_t sub_layer_ordering_info_present_flag = -1;
  int32_t log2_min_luma_coding_block_size_minus3 = -1;
  int32_t log2_diff_max_min_luma_coding_block_size = -1;
  int32_t log2_min_luma_transform_block_size_minus2 = -1;
  int32_t log2_diff_max_min_luma_transform_block_size = -1;
  int32_t max_transform_hierarchy_depth_inter = -1;
  int32_t max_transform_hierarchy_depth_intra = -1;
  int32_t scaling_list_enabled_flag = -1;
  int32_t sps_scaling_list_data_present_flag = -1;
  int32_t amp_enabled_flag = -1;
  int32_t sample_adaptive_offset_enabled_flag = -1;
  int32_t pcm_enabled_flag = -1;
  int32_t pcm_sample_bit_depth_luma_minus1 = -1;
  int32_t pcm_sample_bit_depth_chroma_minus1 = -1;
  int32_t log2_min_pcm_luma_coding_block_size_minus3 = -1;
  int32_t log2_diff_max_min_pcm_luma_coding_block_size = -1;
  int32_t pcm_loop_filter_disabled_flag = -1;
  int32_t num_short_term_ref_pic_sets = -1;
  int32_t long_term_ref_pics_present_flag = -1;
  int32_t num_long_term_ref_pics_sps = -1;
  int32_t sps_temporal_mvp_enabled_flag = -1;
  int32_t strong_intra_smoothing_enabled_flag = -1;
  int32_t vui_parameters_present_flag = -1;
  // VUI timing: the picture rate is vui_time_scale / vui_num_units_in_tick; 0 when absent.
  uint32_t vui_num_units_in_tick = 0;
  uint32_t vui_time_scale = 0;
  int32_t sps_extension_present_flag = -1;
  int32_t sps_range_extension_flag = -1;
  int32_t sps_multilayer_extension_flag = -1;
  int32_t sps_3d_extension_flag = -1;
  int32_t sps_scc_extension_flag = -1;
  int32_t sps_extension_4bits = -1;
  int32_t motion_vector_resolution_control_idc = -1;

  // Per sub-layer ordering values (max_sub_Layers_minus1 + 1 entries, 8-bit truncated;
  // entries not coded stay 0).
  std::vector<uint8_t> max_dec_pic_buffering_minus1;
  std::vector<uint8_t> max_num_reorder_pics;
  std::vector<uint8_t> max_latency_increase_plus1;
  // Long-term candidates (num_long_term_ref_pics_sps entries); poc lsb truncated to 8 bits.
  std::vector<uint8_t> lt_ref_pic_poc_lsb_sps;
  std::vector<uint8_t> used_by_curr_pic_lt_sps_flag;
  // The num_short_term_ref_pic_sets sets, for slices that refer to them.
  std::vector<ShortTermRefPicSet> shortTermRefPicSets;

  // Derived values; -1 until derived (sizes stay -1 when the block sizes are invalid).
  int32_t chromaArrayType = -1;
  int32_t PicWidthInCtbsY = -1;
  int32_t PicHeightInCtbsY = -1;
  int32_t picSizeInCtbsY = -1;

  // Bits consumed from the start of the unit when the parse reached its last field
  // (the rbsp trailing bits follow there); 0 when it stopped early.
  uint64_t parsedBitLength = 0;

 private:
  bool readbytes(const uint8_t* bytes, uint32_t size);
  bool findPictureSize(BitCursor& c);
  bool vui_parameters(BitCursor& c);
  bool hrd_parameters(BitCursor& c, bool commonInfPresentFlag, uint32_t maxNumSubLayersMinus1);
  void deriveSizes();
};

}  // namespace vr
