// Hand-made H.264 parameter sets and slice headers: syntax the encoders used by the
// real-stream tests never write (scaling matrices, picture order type 1, cropping, 4:2:2,
// separate colour planes), the slice-type rules and the fields whose presence depends on
// other fields.
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
  uint32_t id = 0, chroma = 1, separate = 0, scalingMatrix = 0, log2FrameNum = 0, pocType = 0;
  uint32_t heightMapUnits = 15, frameMbsOnly = 1, mbaff = 0, crop = 0;
};

std::shared_ptr<SPS> parseSps(const SpsFields& f) {
  BitWriter w;
  w.u(8, 0x67).u(8, f.profile).u(8, 0).u(8, 30).ue(f.id);
  if (f.profile == 100 || f.profile == 122) {
    w.ue(f.chroma);
    if (f.chroma == 3) w.bit(f.separate);
    w.ue(0).ue(0).bit(0).bit(f.scalingMatrix);
    if (f.scalingMatrix) {
      w.bit(1).se(0).se(-8);  // list 0: a delta of -8 makes the next scale 0 and ends it
      w.u(5, 0).bit(1);       // list 6 (8x8): 64 deltas of 0
      for (int i = 0; i < 64; ++i) w.se(0);
      w.bit(0);
    }
  }
  w.ue(f.log2FrameNum).ue(f.pocType);
  if (f.pocType == 0) w.ue(2);
  if (f.pocType == 1) w.bit(0).se(1).se(-1).ue(2).se(3).se(-3);
  w.ue(3).bit(0).ue(19).ue(f.heightMapUnits - 1).bit(f.frameMbsOnly);
  if (!f.frameMbsOnly) w.bit(f.mbaff);
  w.bit(1).bit(f.crop);
  if (f.crop) w.ue(0).ue(0).ue(0).ue(4);
  w.bit(0).trailing();
  return SPS::initSPSWithBytes(w.data().data(), uint32_t(w.data().size()));
}

// Syntax before the fields slices need must be stepped over exactly, and the values the
// slice parser and the picture grouping derive from it must follow.
TEST(H264SPS, FieldsAfterOptionalSyntax) {
  const struct { const char* what; SpsFields f; int32_t chromaArrayType, maxFrameNum, frameHeightInMbs; } rows[] = {
      {"baseline", {}, 1, 16, 15},
      {"profile 183 has no chroma info", {.profile = 183}, 0, 16, 15},
      {"444 separate planes", {.profile = 100, .chroma = 3, .separate = 1}, 0, 16, 15},
      {"422", {.profile = 122, .chroma = 2}, 2, 16, 15},
      {"frame_num of 16 bits", {.log2FrameNum = 12}, 1, 65536, 15},
      {"frame_num of 17 bits is out of range", {.log2FrameNum = 13}, 1, 0, 15},
      {"field coding", {.heightMapUnits = 8, .frameMbsOnly = 0, .mbaff = 1}, 1, 16, 16},
      {"scaling matrices", {.profile = 100, .scalingMatrix = 1}, 1, 16, 15},
      {"picture order type 1", {.pocType = 1}, 1, 16, 15},
      {"cropping", {.crop = 1}, 1, 16, 15},
      {"high, id 31", {.profile = 100, .id = 31}, 1, 16, 15},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    auto sps = parseSps(r.f);
    ASSERT_TRUE(sps);
    EXPECT_EQ(std::vector<int32_t>({sps->seq_parameter_set_id, sps->ChromaArrayType, sps->MaxFrameNum,
                                    sps->FrameHeightInMbs, sps->mb_adaptive_frame_field_flag, sps->PicWidthInSamplesL,
                                    sps->frame_crop_bottom_offset}),
              std::vector<int32_t>({int32_t(r.f.id), r.chromaArrayType, r.maxFrameNum, r.frameHeightInMbs,
                                    int32_t(r.f.mbaff), 320, r.f.crop ? 4 : -1}));
  }
}

// A PPS 0 of SPS 0, CAVLC, no weighted prediction.
std::shared_ptr<PPS> parsePps(bool pocPresent = false) {
  BitWriter w;
  w.u(8, 0x68).ue(0).ue(0).bit(0).bit(pocPresent).ue(0).ue(0).ue(0).bit(0).u(2, 0).se(0).se(0).se(0).u(3, 4).trailing();
  return PPS::initPPSWithBytes(w.data().data(), uint32_t(w.data().size()));
}

// A slice of the given slice_type, frame_num 5, POC lsb 6, bottom delta -2 (when the PPS
// has one) and QP delta -5; of an interlaced SPS, a frame or the bottom field.
std::vector<uint8_t> makeSlice(uint64_t sliceType, const SPS& sps, bool idr, bool bottomField = false,
                               bool pocPresent = false) {
  BitWriter w;
  w.ue(0).ue(sliceType).ue(0).u(uint32_t(sps.log2_max_frame_num_minus4 + 4), 5);
  if (sps.frame_mbs_only_flag == 0) w.bit(bottomField);
  if (bottomField) w.bit(1);
  if (idr) w.ue(3);
  w.u(uint32_t(sps.log2_max_pic_order_cnt_lsb_minus4 + 4), 6);
  if (pocPresent && !bottomField) w.se(-2);
  if (idr) w.bit(0).bit(1);
  w.se(-5).u(32, 0xFFFFFFFF);
  return w.data();
}

TEST(H264SliceHeader, SliceTypeRules) {
  auto sps = parseSps(SpsFields{});
  auto pps = parsePps();
  ASSERT_TRUE(sps && pps);
  const struct { uint32_t nalType; uint64_t sliceType; bool accepted; } rows[] = {
      {5, 0, false}, {5, 1, false}, {5, 2, true},  {5, 3, false}, {5, 4, true},       {5, 5, false},
      {5, 7, true},  {5, 9, true},  {1, 0, true},  {1, 5, true},  {1, 9, true},       {1, 10, false},
      {5, 10, false}, {1, 0x7FFFFFFF, false}, {1, 0x80000000, false}, {1, 0xFFFFFFFE, false},
      {6, 2, false}, {7, 2, false}, {0, 2, false},
  };
  for (const auto& r : rows) {
    const auto b = makeSlice(r.sliceType, *sps, r.nalType == 5);
    auto sh = SliceHeader::initIDRWithBytes(b.data(), uint32_t(b.size()), r.nalType, 3, *sps, *pps);
    EXPECT_EQ(bool(sh), r.accepted) << "type " << r.nalType << " slice_type " << r.sliceType;
  }
}

// What follows frame_num depends on the SPS (field flags) and the PPS (bottom delta): the
// QP delta is read right only if both are stepped over.
TEST(H264SliceHeader, FieldSyntaxOfInterlacedPictures) {
  auto sps = parseSps({.profile = 100, .log2FrameNum = 2, .heightMapUnits = 8, .frameMbsOnly = 0, .mbaff = 1});
  auto pps = parsePps(true);
  ASSERT_TRUE(sps && pps);
  for (bool bottom : {false, true}) {
    const auto b = makeSlice(7, *sps, true, bottom, true);
    auto sh = SliceHeader::initIDRWithBytes(b.data(), uint32_t(b.size()), 5, 2, *sps, *pps);
    ASSERT_TRUE(sh);
    EXPECT_EQ(std::vector<int32_t>({sh->frame_num, sh->field_pic_flag, sh->bottom_field_flag, sh->idr_pic_id,
                                    sh->pic_order_cnt_lsb, sh->delta_pic_order_cnt_bottom, sh->slice_qp_delta,
                                    sh->MbaffFrameFlag, sh->PicHeightInMbs}),
              std::vector<int32_t>({5, bottom, bottom, 3, 6, bottom ? -1 : -2, -5, !bottom, bottom ? 8 : 16}))
        << bottom;
  }
}

// The probe hands over 45 bytes: a header cut after frame_num is judged on what precedes the
// cut; a code that cannot end inside the bytes is refused.
TEST(H264SliceHeader, CutShortAfterFrameNum) {
  auto sps = parseSps(SpsFields{});
  auto pps = parsePps();
  const uint8_t one[] = {0xBB};  // first_mb 0 (1), slice_type 2 (011), pps 0 (1), frame_num "011" + past the end
  auto sh = SliceHeader::initIDRWithBytes(one, 1, 5, 3, *sps, *pps);
  ASSERT_TRUE(sh);
  EXPECT_EQ(std::vector<int32_t>({sh->first_mb_in_slice, sh->slice_type, sh->frame_num, sh->idr_pic_id}),
            std::vector<int32_t>({0, 2, 6, -1}));
  EXPECT_FALSE(SliceHeader::initIDRWithBytes(one, 0, 5, 3, *sps, *pps));
  const uint8_t zeros[8] = {};
  EXPECT_FALSE(SliceHeader::initIDRWithBytes(zeros, sizeof zeros, 1, 3, *sps, *pps));
}

}  // namespace
}  // namespace vr
