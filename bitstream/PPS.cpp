#include "bitstream/PPS.h"

#include "bitstream/UeSeNumCode.h"

namespace vr {

using U = UeSeNumCode;

std::shared_ptr<PPS> PPS::initPPSWithBytes(const uint8_t* bytes, uint32_t size) {
  if (bytes == nullptr) return nullptr;
  auto pps = std::make_shared<PPS>();
  const RbspBytes rbsp(bytes, size);
  if (!pps->readBytes(rbsp.data(), rbsp.size())) return nullptr;
  return pps;
}

bool PPS::readBytes(const uint8_t* bytes, uint32_t size) {
  BitCursor c(bytes, size, 1);  // after the NAL header byte
  pic_parameter_set_id = int32_t(U::getUEVCodeNumFromBytes(c));
  seq_parameter_set_id = int32_t(U::getUEVCodeNumFromBytes(c));
  if (!c.ok()) return false;
  entropy_coding_mode_flag = int32_t(U::getBitInBytes(c));
  pic_order_present_flag = int32_t(U::getBitInBytes(c));
  num_slice_groups_minus1 = int32_t(U::getUEVCodeNumFromBytes(c));
  if (c.cutShort) return true;
  if (num_slice_groups_minus1 > 0) {
    // Slice-group maps (7.3.2.2) come before the reference counts; step over them.
    if (num_slice_groups_minus1 > 7) return false;  // the standard allows up to 8 groups
    const uint32_t type = U::getUEVCodeNumFromBytes(c);  // slice_group_map_type
    if (type == 0) {
      for (int32_t i = 0; i <= num_slice_groups_minus1; ++i) U::getUEVCodeNumFromBytes(c);
    } else if (type == 2) {
      for (int32_t i = 0; i < num_slice_groups_minus1; ++i) {
        U::getUEVCodeNumFromBytes(c);
        U::getUEVCodeNumFromBytes(c);
      }
    } else if (type >= 3 && type <= 5) {
      U::getBitInBytes(c);
      U::getUEVCodeNumFromBytes(c);
    } else if (type == 6) {
      const uint32_t units = U::getUEVCodeNumFromBytes(c);  // pic_size_in_map_units_minus1
      c.skipBits(uint64_t(units + 1ull) * U::ceilLog2(int64_t(num_slice_groups_minus1) + 1));
    } else if (type > 6) {
      return false;
    }
  }
  if (c.failed) return false;
  if (c.cutShort) return true;
  num_ref_idx_l0_active_minus1 = int32_t(U::getUEVCodeNumFromBytes(c));
  num_ref_idx_l1_active_minus1 = int32_t(U::getUEVCodeNumFromBytes(c));
  weighted_pred_flag = int32_t(U::getBitInBytes(c));
  weighted_bipred_idc = int32_t(U::getUnitCodeNumFromBytes(c, 2));
  pic_init_qp_minus26 = U::getSEVCodeNumFromBytes(c);
  pic_init_qs_minus26 = U::getSEVCodeNumFromBytes(c);
  chroma_qp_index_offset = U::getSEVCodeNumFromBytes(c);
  deblocking_filter_control_present_flag = int32_t(U::getBitInBytes(c));
  constrained_intra_pred_flag = int32_t(U::getBitInBytes(c));
  redundant_pic_cnt_present_flag = int32_t(U::getBitInBytes(c));
  return !c.failed;
}

}  // namespace vr
