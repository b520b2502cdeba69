// Hand-made H.264 parameter sets and slice headers: derived values, the slice-type rules
// and the fields whose presence depends on other fields.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "bitstream/PPS.h"
#include "bitstream/SPS.h"
#include "bitstream/SliceHeader.h"

namespace vr {
namespace {

using test::BitWriter;

struct SpsFields {
  uint8_t profile = 66;
  uint32_t id = 0;
  uint32_t chroma = 1;
  uint32_t separate = 0;
  uint32_t scalingMatrix = 0;
  uint32_t log2FrameNum = 0;
  uint32_t pocType = 0;
  uint32_t log2Poc = 2;
  uint32_t widthMbs = 20, heightMapUnits = 15;
  uint32_t frameMbsOnly = 1;
  uint32_t mbaff = 0;
  uint32_t crop = 0;
};

std::vector<uint8_t> makeSps(const SpsFields& f) {
  BitWriter w;
  w.u(8, 0x67).u(8, f.profile).u(8, 0).u(8, 30).ue(f.id);
  if (f.profile == 100 || f.profile == 110 || f.profile == 122 || f.profile == 244) {
    w.ue(f.chroma);
    if (f.chroma == 3) w.bit(f.separate);
    w.ue(0).ue(0).bit(0).bit(f.scalingMatrix);
    if (f.scalingMatrix) {
      // List 0 (4x4) explicit: deltas 8, then -8 ends it with nextScale 0... kept short:
      // one delta of 0 keeps scale 8, a delta of -8 makes nextScale 0 and stops the list.
      w.bit(1).se(0).se(-8);
      w.bit(0).bit(0).bit(0).bit(0).bit(0);
      w.bit(1);  // list 6 (8x8) explicit: 64 deltas of 0
      for (int i = 0; i < 64; ++i) w.se(0);
      w.bit(0);
    }
  }
  w.ue(f.log2FrameNum).ue(f.pocType);
  if (f.pocType == 0) w.ue(f.log2Poc);
  if (f.pocType == 1) w.bit(0).se(1).se(-1).ue(2).se(3).se(-3);
  w.ue(3).bit(0).ue(f.widthMbs - 1).ue(f.heightMapUnits - 1).bit(f.frameMbsOnly);
  if (!f.frameMbsOnly) w.bit(f.mbaff);
  w.bit(1).bit(f.crop);
  if (f.crop) w.ue(0).ue(0).ue(0).ue(4);
  w.bit(0).trailing();
  return w.data();
}

std::shared_ptr<SPS> parseSps(const SpsFields& f) {
  const auto b = makeSps(f);
  return SPS::initSPSWithBytes(b.data(), uint32_t(b.size()));
}

TEST(H264SPS, DerivedValues) {
  struct Row {
    const char* what;
    SpsFields f;
    int32_t chroma, separate, chromaArrayType, subW, subH, mbW, mbH, rawMbBits, maxFrameNum, frameHeightInMbs, mbaff;
  };
  const Row rows[] = {
      {"baseline", {}, 1, 0, 1, 2, 2, 8, 8, 3072, 16, 15, 0},
      {"main", {.profile = 77}, 1, 0, 1, 2, 2, 8, 8, 3072, 16, 15, 0},
      {"183", {.profile = 183}, 0, 0, 0, -1, -1, 0, 0, 2048, 16, 15, 0},
      {"444 separate planes", {.profile = 100, .chroma = 3, .separate = 1}, 3, 1, 0, -1, -1, 0, 0, 2048, 16, 15, 0},
      {"422", {.profile = 122, .chroma = 2}, 2, 0, 2, 2, 1, 8, 16, 256 * 8 + 2 * 128 * 8, 16, 15, 0},
      {"frame_num 12", {.log2FrameNum = 12}, 1, 0, 1, 2, 2, 8, 8, 3072, 65536, 15, 0},
      {"frame_num 13", {.log2FrameNum = 13}, 1, 0, 1, 2, 2, 8, 8, 3072, 0, 15, 0},
      {"field coding", {.heightMapUnits = 8, .frameMbsOnly = 0, .mbaff = 1}, 1, 0, 1, 2, 2, 8, 8, 3072, 16, 16, 1},
  };
  for (const Row& r : rows) {
    auto sps = parseSps(r.f);
    ASSERT_TRUE(sps) << r.what;
    EXPECT_EQ(sps->chroma_format_idc, r.chroma) << r.what;
    EXPECT_EQ(sps->separate_colour_plane_flag, r.separate) << r.what;
    EXPECT_EQ(sps->ChromaArrayType, r.chromaArrayType) << r.what;
    EXPECT_EQ(sps->SubWidthC, r.subW) << r.what;
    EXPECT_EQ(sps->SubHeightC, r.subH) << r.what;
    EXPECT_EQ(sps->MbWidthC, r.mbW) << r.what;
    EXPECT_EQ(sps->MbHeightC, r.mbH) << r.what;
    EXPECT_EQ(sps->BitDepthY, 8) << r.what;
    EXPECT_EQ(sps->RawMbBits, r.rawMbBits) << r.what;
    EXPECT_EQ(sps->MaxFrameNum, r.maxFrameNum) << r.what;
    EXPECT_EQ(sps->FrameHeightInMbs, r.frameHeightInMbs) << r.what;
    EXPECT_EQ(sps->mb_adaptive_frame_field_flag, r.mbaff) << r.what;
    EXPECT_EQ(sps->PicWidthInSamplesL, 320) << r.what;
    EXPECT_EQ(sps->vui_parameters_present_flag, 0) << r.what;
  }
}

// Syntax that sits before the fields slices need must be stepped over exactly.
TEST(H264SPS, FieldsAfterOptionalSyntax) {
  const std::pair<const char*, SpsFields> rows[] = {
      {"scaling matrices", {.profile = 100, .scalingMatrix = 1}},
      {"picture order type 1", {.pocType = 1}},
      {"cropping", {.crop = 1}},
      {"high, id 31", {.profile = 100, .id = 31}},
  };
  for (auto [what, f] : rows) {
    f.log2FrameNum = 5;
    f.widthMbs = 120;
    f.heightMapUnits = 68;
    auto sps = parseSps(f);
    ASSERT_TRUE(sps) << what;
    EXPECT_EQ(sps->seq_parameter_set_id, int32_t(f.id)) << what;
    EXPECT_EQ(sps->log2_max_frame_num_minus4, 5) << what;
    EXPECT_EQ(sps->max_num_ref_frames, 3) << what;
    EXPECT_EQ(sps->pic_width_in_mbs_minus1, 119) << what;
    EXPECT_EQ(sps->pic_height_in_map_units_minus1, 67) << what;
    EXPECT_EQ(sps->frame_crop_bottom_offset, f.crop ? 4 : -1) << what;
    EXPECT_EQ(sps->num_ref_frames_in_pic_order_cnt_cycle, f.pocType == 1 ? 2 : -1) << what;
    EXPECT_EQ(sps->vui_parameters_present_flag, 0) << what;
  }
}

TEST(H264PPS, Fields) {
  BitWriter w;
  w.u(8, 0x68).ue(2).ue(1).bit(1).bit(1).ue(0).ue(3).ue(1).bit(1).u(2, 2).se(-4).se(0).se(-2).bit(1).bit(0).bit(1);
  w.trailing();
  auto pps = PPS::initPPSWithBytes(w.data().data(), uint32_t(w.data().size()));
  ASSERT_TRUE(pps);
  EXPECT_EQ(pps->pic_parameter_set_id, 2);
  EXPECT_EQ(pps->seq_parameter_set_id, 1);
  EXPECT_EQ(pps->entropy_coding_mode_flag, 1);
  EXPECT_EQ(pps->pic_order_present_flag, 1);
  EXPECT_EQ(pps->num_ref_idx_l0_active_minus1, 3);
  EXPECT_EQ(pps->num_ref_idx_l1_active_minus1, 1);
  EXPECT_EQ(pps->weighted_bipred_idc, 2);
  EXPECT_EQ(pps->pic_init_qp_minus26, -4);
  EXPECT_EQ(pps->chroma_qp_index_offset, -2);
  EXPECT_EQ(pps->deblocking_filter_control_present_flag, 1);
  EXPECT_EQ(pps->redundant_pic_cnt_present_flag, 1);
}

struct SliceFields {
  uint64_t firstMb = 0;
  uint64_t sliceType = 7;
  uint32_t frameNum = 0;
  uint32_t fieldPic = 0, bottom = 0;
};

std::vector<uint8_t> makeSlice(const SliceFields& f, const SPS& sps, bool idr, bool pocPresent) {
  BitWriter w;
  w.ue(f.firstMb).ue(f.sliceType).ue(0).u(uint32_t(sps.log2_max_frame_num_minus4 + 4), f.frameNum);
  if (sps.frame_mbs_only_flag == 0) {
    w.bit(f.fieldPic);
    if (f.fieldPic) w.bit(f.bottom);
  }
  if (idr) w.ue(3);
  w.u(uint32_t(sps.log2_max_pic_order_cnt_lsb_minus4 + 4), 6);
  if (pocPresent && !f.fieldPic) w.se(-2);
  if (idr) w.bit(0).bit(1);
  w.se(-5).u(32, 0xFFFFFFFF);
  return w.data();
}

TEST(H264SliceHeader, SliceTypeRules) {
  auto sps = parseSps(SpsFields{});
  auto pps = PPS::initPPSWithBytes(std::vector<uint8_t>{0x68, 0xCE, 0x3C, 0x80}.data(), 4);
  ASSERT_TRUE(sps && pps);
  struct Row {
    uint32_t nalType;
    uint64_t sliceType;
    bool accepted;
  };
  const Row rows[] = {
      {5, 0, false}, {5, 1, false}, {5, 2, true},  {5, 3, false}, {5, 4, true},       {5, 5, false},
      {5, 7, true},  {5, 9, true},  {1, 0, true},  {1, 5, true},  {1, 9, true},       {1, 10, false},
      {5, 10, false}, {1, 0x7FFFFFFF, false}, {1, 0x80000000, false}, {1, 0xFFFFFFFE, false},
      {6, 2, false}, {7, 2, false}, {0, 2, false},
  };
  for (const Row& r : rows) {
    SliceFields f;
    f.sliceType = r.sliceType;
    const auto b = makeSlice(f, *sps, r.nalType == 5, false);
    auto sh = SliceHeader::initIDRWithBytes(b.data(), uint32_t(b.size()), r.nalType, 3, *sps, *pps);
    EXPECT_EQ(bool(sh), r.accepted) << "type " << r.nalType << " slice_type " << r.sliceType;
  }
}

TEST(H264SliceHeader, FieldsFollowTheParameterSets) {
  const SpsFields interlaced{.profile = 100, .log2FrameNum = 2, .heightMapUnits = 8, .frameMbsOnly = 0, .mbaff = 1};
  struct Row {
    const char* what;
    SpsFields s;
    SliceFields f;
    bool idr;
    bool pocPresent;
    int32_t maxPicNum, currPicNum, picHeightInMbs, mbaffFrame;
  };
  const Row rows[] = {
      {"4-bit frame_num", {}, {0, 7, 9, 0, 0}, true, false, 16, 9, 15, 0},
      {"16-bit frame_num", {.log2FrameNum = 12}, {40, 0, 40000, 0, 0}, false, true, 65536, 40000, 15, 0},
      {"mbaff frame", interlaced, {0, 2, 5, 0, 0}, true, true, 64, 5, 16, 1},
      {"bottom field", interlaced, {20, 1, 7, 1, 1}, false, true, 128, 15, 8, 0},
  };
  for (const Row& r : rows) {
    auto sps = parseSps(r.s);
    BitWriter pw;
    pw.u(8, 0x68).ue(0).ue(0).bit(0).bit(r.pocPresent).ue(0).ue(0).ue(0).bit(0).u(2, 0).se(0).se(0).se(0);
    pw.bit(1).bit(0).bit(0).trailing();
    auto pps = PPS::initPPSWithBytes(pw.data().data(), uint32_t(pw.data().size()));
    ASSERT_TRUE(sps && pps) << r.what;
    const auto b = makeSlice(r.f, *sps, r.idr, r.pocPresent);
    auto sh = SliceHeader::initIDRWithBytes(b.data(), uint32_t(b.size()), r.idr ? 5 : 1, 2, *sps, *pps);
    ASSERT_TRUE(sh) << r.what;
    EXPECT_EQ(sh->first_mb_in_slice, int32_t(r.f.firstMb)) << r.what;
    EXPECT_EQ(sh->frame_num, int32_t(r.f.frameNum)) << r.what;
    EXPECT_EQ(sh->field_pic_flag, int32_t(r.f.fieldPic)) << r.what;
    EXPECT_EQ(sh->bottom_field_flag, int32_t(r.f.bottom)) << r.what;
    EXPECT_EQ(sh->idr_pic_id, r.idr ? 3 : -1) << r.what;
    EXPECT_EQ(sh->pic_order_cnt_lsb, 6) << r.what;
    EXPECT_EQ(sh->delta_pic_order_cnt_bottom, (r.pocPresent && !r.f.fieldPic) ? -2 : -1) << r.what;
    if (r.idr) {
      EXPECT_EQ(sh->long_term_reference_flag, 1) << r.what;
      EXPECT_EQ(sh->slice_qp_delta, -5) << r.what;
    }
    EXPECT_EQ(sh->MaxPicNum, r.maxPicNum) << r.what;
    EXPECT_EQ(sh->CurrPicNum, r.currPicNum) << r.what;
    EXPECT_EQ(sh->PicHeightInMbs, r.picHeightInMbs) << r.what;
    EXPECT_EQ(sh->PicSizeInMbs, 20 * r.picHeightInMbs) << r.what;
    EXPECT_EQ(sh->MbaffFrameFlag, r.mbaffFrame) << r.what;
  }
}

TEST(H264SliceHeader, CutShortAfterFrameNum) {
  auto sps = parseSps(SpsFields{});
  auto pps = PPS::initPPSWithBytes(std::vector<uint8_t>{0x68, 0xCE, 0x3C, 0x80}.data(), 4);
  // first_mb 0 (1), slice_type 2 (011), pps 0 (1), frame_num 4 bits: "011" and one past the end.
  const uint8_t one[] = {0xBB};  // 1 011 1 011
  auto sh = SliceHeader::initIDRWithBytes(one, 1, 5, 3, *sps, *pps);
  ASSERT_TRUE(sh);
  EXPECT_EQ(sh->first_mb_in_slice, 0);
  EXPECT_EQ(sh->slice_type, 2);
  EXPECT_EQ(sh->frame_num, 6);  // 011 and a zero bit read past the end
  EXPECT_EQ(sh->field_pic_flag, -1);
  EXPECT_EQ(sh->idr_pic_id, -1);
  EXPECT_EQ(sh->totalBytesGiven, 1u);
  // Nothing at all, or a code that cannot end inside the bytes: refused.
  EXPECT_FALSE(SliceHeader::initIDRWithBytes(one, 0, 5, 3, *sps, *pps));
  const uint8_t zeros[8] = {};
  EXPECT_FALSE(SliceHeader::initIDRWithBytes(zeros, sizeof zeros, 1, 3, *sps, *pps));
}

}  // namespace
}  // namespace vr
