#pragma once
// H.265 video parameter set (ITU-T H.265 clause 7.3.2.1), read up to num_layer_sets_minus1.
// profile_tier_level is stepped over by a byte-pattern rule (see VPS_265.cpp).
#include <cstdint>
#include <memory>
#include <vector>

namespace vr {

class VPS_265 {
 public:
  // `bytes` is the whole NAL unit from its first header byte. Refuses a unit whose
  // num_layer_sets_minus1 lies outside 0..1023 or whose bits cannot be VPS syntax.
  static std::shared_ptr<VPS_265> initVPS265WithBytes(const uint8_t* bytes, uint32_t size);

  // NAL unit header.
  uint32_t forbiddenBit = 0;
  uint32_t NALType = 0;
  uint32_t NLayerId = 0;
  uint32_t NTempID = 0;

  // Syntax elements; -1 = not present.
  int32_t video_parameter_set_id = -1;
  int32_t base_layer_internal_flag = -1;
  int32_t base_layer_available_flag = -1;
  int32_t max_layers_minus1 = -1;
  int32_t max_sub_layers_minus1 = -1;
  int32_t temporal_id_nesting_flag = -1;
  int32_t reserved_0xffff_16bits = -1;
  int32_t sub_layer_ordering_info_present_flag = -1;
  // One entry per sub-layer (max_sub_layers_minus1 + 1), each truncated to 8 bits.
  std::vector<uint8_t> max_dec_pic_buffering_minus1;
  std::vector<uint8_t> max_num_reorder_pics;
  std::vector<uint8_t> max_latency_increase_plus1;
  int32_t max_layer_id = -1;
  int32_t num_layer_sets_minus1 = -1;
  // Timing and HRD information is not read.
  int32_t timing_info_present_flag = -1;
  int32_t num_units_in_tick = -1;
  int32_t time_scale = -1;
  int32_t poc_proportional_to_timing_flag = -1;
  int32_t num_ticks_poc_diff_one_minus1 = -1;
  int32_t num_hrd_parameters = -1;
  int32_t extension_flag = -1;
  std::vector<uint8_t> hrd_layer_set_idx;
  std::vector<uint8_t> cprms_present_flag;

 private:
  bool readbytes(const uint8_t* bytes, uint32_t size);
};

}  // namespace vr
