#include "bitstream/VPS_265.h"

#include "bitstream/UeSeNumCode.h"
#include "common/ByteOrder.h"

namespace vr {

using U = UeSeNumCode;

std::shared_ptr<VPS_265> VPS_265::initVPS265WithBytes(const uint8_t* bytes, uint32_t size) {
  if (bytes == nullptr) return nullptr;
  auto vps = std::make_shared<VPS_265>();
  if (!vps->readbytes(bytes, size)) return nullptr;
  return vps;
}

bool VPS_265::readbytes(const uint8_t* bytes, uint32_t size) {
  readNalHeader265(bytes, size, *this);

  BitCursor c(bytes, size, 2);
  video_parameter_set_id = int32_t(U::getUnitCodeNumFromBytes(c, 4));
  base_layer_internal_flag = int32_t(U::getBitInBytes(c));
  base_layer_available_flag = int32_t(U::getBitInBytes(c));
  max_layers_minus1 = int32_t(U::getUnitCodeNumFromBytes(c, 6));
  max_sub_layers_minus1 = int32_t(U::getUnitCodeNumFromBytes(c, 3));
  temporal_id_nesting_flag = int32_t(U::getBitInBytes(c));
  reserved_0xffff_16bits = int32_t(U::getUnitCodeNumFromBytes(c, 16));

  // profile_tier_level is not parsed. Its last two bytes (last constraint byte and
  // level) follow the unit's last emulation-prevention byte in the streams this
  // targets, so the fields after it start three bytes past the last 00 03 00 found.
  // Without such a sequence the cursor stays where it is.
  uint32_t resume = 0;
  bool found = false;
  for (uint32_t i = c.bytePos; i + 1 < size; ++i) {
    if (bytes[i] == 0x03 && bytes[i + 1] == 0x00 && i >= 1 && bytes[i - 1] == 0x00) {
      resume = i + 3;
      found = true;
    }
  }
  if (found) c.seekByte(resume);

  if (base_layer_internal_flag == 1) {
    sub_layer_ordering_info_present_flag = int32_t(U::getBitInBytes(c));
    const uint32_t count = uint32_t(max_sub_layers_minus1) + 1;  // 1..8
    max_dec_pic_buffering_minus1.assign(count, 0);
    max_num_reorder_pics.assign(count, 0);
    max_latency_increase_plus1.assign(count, 0);
    for (uint32_t i = sub_layer_ordering_info_present_flag ? 0 : uint32_t(max_sub_layers_minus1); i < count; ++i) {
      max_dec_pic_buffering_minus1[i] = uint8_t(U::getUEVCodeNumFromBytes(c));
      max_num_reorder_pics[i] = uint8_t(U::getUEVCodeNumFromBytes(c));
      max_latency_increase_plus1[i] = uint8_t(U::getUEVCodeNumFromBytes(c));
    }
  }
  max_layer_id = int32_t(U::getUnitCodeNumFromBytes(c, 6));
  num_layer_sets_minus1 = int32_t(U::getUEVCodeNumFromBytes(c));
  return c.ok() && num_layer_sets_minus1 >= 0 && num_layer_sets_minus1 <= 1023;
}

}  // namespace vr
