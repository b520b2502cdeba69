// Hand-made H.265 parameter sets and slice headers: the picture-size search, reference
// picture sets, the PPS tile check and the slice-header bounds.
#include <gtest/gtest.h>

#include <algorithm>

#include "TestSupport.h"
#include "bitstream/PPS_265.h"
#include "bitstream/SPS_265.h"
#include "bitstream/SliceHeader_265.h"

namespace vr {
namespace {

using test::BitWriter;

struct Sps265Fields {
  uint32_t id = 0, chroma = 1, separate = 0, width = 1920, height = 1080;
  uint32_t log2MinCbMinus3 = 0, log2DiffCb = 3;  // 64x64 CTBs
  bool rpsSets = false, longTerm = false;
  uint32_t longTermCount = 2;
};

// Returns the unit and, through `syntaxBits`, where its syntax ends.
std::vector<uint8_t> makeSps265(const Sps265Fields& f, uint64_t* syntaxBits = nullptr) {
  BitWriter w;
  w.bytes({0x42, 0x01}).u(4, 0).u(3, 0).bit(1);
  w.bytes({0x01, 0x60, 0x00, 0x00, 0x00, 0x90, 0x00, 0x00, 0x00, 0x00, 0x00, 0x5D});  // profile_tier_level
  w.ue(f.id).ue(f.chroma);
  if (f.chroma == 3) w.bit(f.separate);
  w.ue(f.width).ue(f.height).bit(0);
  w.ue(0).ue(0).ue(4);    // bit depths, log2_max_pic_order_cnt_lsb_minus4 = 4
  w.bit(1).ue(4).ue(2).ue(0);  // ordering info for the one sub-layer
  w.ue(f.log2MinCbMinus3).ue(f.log2DiffCb).ue(0).ue(3).ue(1).ue(1);
  w.bit(0).bit(1).bit(1).bit(0);  // scaling, amp, sao, pcm
  if (f.rpsSets) {
    w.ue(2);
    // Set 0: S0 = {-1, -3} both used, S1 = {+2} unused.
    w.ue(2).ue(1).ue(0).bit(1).ue(1).bit(1).ue(1).bit(0);
    // Set 1 predicted from set 0 with deltaRps +1.
    w.bit(1).bit(0).ue(0);
    w.bit(0).bit(0);  // j0 (-1 -> 0): dropped
    w.bit(1);         // j1 (-3 -> -2): used
    w.bit(0).bit(1);  // j2 (+2 -> +3): kept, not used
    w.bit(1);         // j3 (deltaRps itself, +1): used
  } else {
    w.ue(0);
  }
  w.bit(f.longTerm);
  if (f.longTerm) {
    w.ue(f.longTermCount);
    for (uint32_t i = 0; i < f.longTermCount; ++i) w.u(8, i).bit(i % 2);
  }
  w.bit(1).bit(1).bit(0);  // temporal mvp, strong intra smoothing, no VUI (real streams carry one)
  w.bit(0);  // sps_extension_present_flag
  if (syntaxBits) *syntaxBits = w.bitCount();
  w.trailing();
  return w.data();
}

// A 1920x1080 SPS with two short-term sets (the second predicted from the first) and two
// long-term candidates.
std::shared_ptr<SPS_265> spsWithReferenceSets() {
  const auto b = makeSps265({.rpsSets = true, .longTerm = true});
  return SPS_265::initSPS265WithBytes(b.data(), uint32_t(b.size()), 1920, 1080);
}

// The decoder asks with the reference's picture size; the SPS's own size may differ by
// less than one coding block (the luma size is coded up to a multiple of 8 or 16).
TEST(H265SPS, PictureSizeSearch) {
  const struct { uint32_t declaredW, declaredH, expectedW, expectedH; bool accepted; } rows[] = {
      {1920, 1080, 1920, 1080, true},  {1920, 1088, 1920, 1080, true},  {1920, 1080, 1920, 1088, false},
      {1920, 2175, 1920, 1088, true},  {1920, 2176, 1920, 1088, false}, {3840, 1080, 1920, 1080, false},
      {3839, 1080, 1920, 1080, true},  {1920, 1080, 0, 1080, false},    {1920, 1080, 1920, 0, false},
      {320, 240, 320, 240, true},      {1, 1, 1, 1, true},
  };
  for (const auto& r : rows) {
    const auto b = makeSps265({.width = r.declaredW, .height = r.declaredH});
    auto sps = SPS_265::initSPS265WithBytes(b.data(), uint32_t(b.size()), r.expectedW, r.expectedH);
    EXPECT_EQ(bool(sps), r.accepted) << r.declaredW << "x" << r.declaredH << " vs " << r.expectedW << "x"
                                     << r.expectedH;
    if (sps) { EXPECT_EQ(sps->pic_height_luma_samples, int32_t(r.declaredH)); }
  }
}

// Syntax after the picture size must be walked exactly: the SPS's syntax ends where the
// parser says, and the values slices need are right.
TEST(H265SPS, FieldsAndDerivedSizes) {
  const struct { const char* what; Sps265Fields f; int32_t ctbW, ctbH; bool accepted; } rows[] = {
      {"64x64 CTBs", {}, 30, 17, true},
      {"16x16 CTBs", {.log2DiffCb = 1}, 120, 68, true},
      {"separate planes", {.chroma = 3, .separate = 1}, 30, 17, true},
      {"sets and long-term pictures", {.id = 15, .rpsSets = true, .longTerm = true}, 30, 17, true},
      {"no long-term candidates", {.longTerm = true, .longTermCount = 0}, 30, 17, true},
      {"32 long-term candidates", {.longTerm = true, .longTermCount = 32}, 30, 17, true},
      {"33 long-term candidates", {.longTerm = true, .longTermCount = 33}, 0, 0, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    uint64_t syntaxBits = 0;
    const auto b = makeSps265(r.f, &syntaxBits);
    auto sps = SPS_265::initSPS265WithBytes(b.data(), uint32_t(b.size()), 1920, 1080);
    ASSERT_EQ(bool(sps), r.accepted);
    if (!sps) continue;
    EXPECT_EQ(std::vector<int64_t>({sps->seq_parameter_set_id, sps->chromaArrayType, sps->log2_max_pic_order_cnt_lsb_minus4,
                                    sps->max_dec_pic_buffering_minus1.at(0), sps->PicWidthInCtbsY, sps->PicHeightInCtbsY, sps->picSizeInCtbsY,
                                    sps->sample_adaptive_offset_enabled_flag + sps->sps_temporal_mvp_enabled_flag,
                                    int64_t(sps->parsedBitLength)}),
              std::vector<int64_t>({r.f.id, r.f.separate ? 0 : r.f.chroma, 4, 4, r.ctbW, r.ctbH, r.ctbW * r.ctbH, 2,
                                    int64_t(syntaxBits)}));
  }
}

TEST(H265SPS, ReferencePictureSetPrediction) {
  auto sps = spsWithReferenceSets();
  ASSERT_TRUE(sps);
  ASSERT_EQ(sps->shortTermRefPicSets.size(), 2u);
  auto pics = [](const ShortTermRefPicSet& s) {  // (delta, used) of S0, then of S1
    std::vector<std::pair<int32_t, int>> out;
    for (int i = 0; i < s.NumNegativePics; ++i) out.emplace_back(s.DeltaPocS0[size_t(i)], s.UsedByCurrPicS0[size_t(i)]);
    for (int i = 0; i < s.NumPositivePics; ++i) out.emplace_back(s.DeltaPocS1[size_t(i)], s.UsedByCurrPicS1[size_t(i)]);
    return out;
  };
  using P = std::vector<std::pair<int32_t, int>>;
  EXPECT_EQ(pics(sps->shortTermRefPicSets[0]), (P{{-1, 1}, {-3, 1}, {2, 0}}));
  EXPECT_EQ(sps->shortTermRefPicSets[0].usedByCurrCount(), 2);
  // Predicted with deltaRps = +1: -1 -> 0 is dropped, -3 -> -2, +2 -> +3, and +1 itself.
  EXPECT_EQ(pics(sps->shortTermRefPicSets[1]), (P{{-2, 1}, {1, 1}, {3, 0}}));
  EXPECT_EQ(std::pair(sps->num_long_term_ref_pics_sps, sps->used_by_curr_pic_lt_sps_flag),
            std::pair(2, std::vector<uint8_t>{0, 1}));
}

// Tiles, which x265 never writes: explicit column widths must leave every column a CTB.
TEST(H265PPS, TileColumnsMustFitThePicture) {
  auto pps = [](uint32_t columnsMinus1, uint32_t uniform, int32_t ctbColumns) {
    BitWriter w;
    w.bytes({0x44, 0x01}).ue(0).ue(0).u(6, 0).bit(1).ue(0).ue(0).se(0).u(3, 0).se(-3).se(3).u(4, 0).bit(1).bit(0);
    w.ue(columnsMinus1).ue(2).bit(uniform);
    for (uint32_t i = 0; !uniform && i < columnsMinus1 + 2; ++i) w.ue(0);
    w.bit(1).bit(1).bit(0).bit(0).bit(0).ue(0).bit(0).bit(0).trailing();
    std::shared_ptr<SPS_265> sps;
    if (ctbColumns > 0) {
      sps = std::make_shared<SPS_265>();
      sps->PicWidthInCtbsY = ctbColumns;
    }
    return PPS_265::initPPS265WithBytes(w.data().data(), uint32_t(w.data().size()), sps);
  };
  // ctbColumns 0: no SPS
  const struct { const char* what; uint32_t columnsMinus1, uniform; int32_t ctbColumns; bool accepted; } rows[] = {
      {"4 columns, 3 CTBs wide", 3, 0, 3, false}, {"4 columns, 4 CTBs wide", 3, 0, 4, true},
      {"4 columns, 30 CTBs wide", 3, 0, 30, true}, {"4 columns, no SPS", 3, 0, 0, false},
      {"uniform, no SPS", 3, 1, 0, true},          {"1 column, no SPS", 0, 0, 0, true},
  };
  for (const auto& r : rows) {
    auto p = pps(r.columnsMinus1, r.uniform, r.ctbColumns);
    ASSERT_EQ(bool(p), r.accepted) << r.what;
    if (p) {
      EXPECT_EQ(std::tuple(p->num_tile_columns_minus1, p->num_tile_rows_minus1, p->loop_filter_across_slices_enabled_flag),
                std::tuple(int32_t(r.columnsMinus1), 2, 1)) << r.what; }
  }
}

// An IDR I slice (first segment) with the given identifier code, entry points and
// extension length, followed by byte_alignment() and slice data.
std::vector<uint8_t> makeIdrSlice(uint64_t ppsId, int64_t entryPoints, int64_t extensionLength, uint32_t offsetLen = 8) {
  BitWriter w;
  w.bit(1).bit(0).ue(ppsId).ue(2).se(0);
  if (entryPoints >= 0) {
    w.ue(uint64_t(entryPoints));
    if (entryPoints > 0) {
      w.ue(offsetLen - 1);
      for (int64_t i = 0; i < entryPoints; ++i) w.u(offsetLen, 100);
    }
  }
  if (extensionLength >= 0) {
    w.ue(uint64_t(extensionLength));
    for (int64_t i = 0; i < std::min<int64_t>(extensionLength, 300); ++i) w.u(8, 0xAB);
  }
  w.trailing();
  for (int i = 0; i < 16; ++i) w.u(8, 0x5A);
  return w.data();
}

TEST(H265SliceHeader, Bounds) {
  SPS_265 sps;
  sps.PicWidthInCtbsY = 30, sps.PicHeightInCtbsY = 17, sps.picSizeInCtbsY = 510;
  auto vps = std::shared_ptr<VPS_265>();
  // Picture parameter sets by their tools: w wavefronts, t 2x2 tiles, x slice header extension.
  auto ppsWith = [](std::string_view tools) {
    PPS_265 p;
    if (tools.find('w') != tools.npos) p.entropy_coding_sync_enabled_flag = 1;
    if (tools.find('t') != tools.npos) p.tiles_enabled_flag = p.num_tile_columns_minus1 = p.num_tile_rows_minus1 = 1;
    if (tools.find('x') != tools.npos) p.slice_segment_header_extension_present_flag = 1;
    return p;
  };
  const struct { const char* tools; uint64_t ppsId; int64_t entryPoints, extensionLength; bool accepted; } rows[] = {
      {"", 0, -1, -1, true},    {"", 63, -1, -1, true},   {"", 64, -1, -1, false}, {"", 0x80000000u, -1, -1, false},
      {"w", 0, 16, -1, true},   {"w", 0, 17, -1, false},  {"t", 0, 3, -1, true},   {"t", 0, 4, -1, false},
      {"wt", 0, 33, -1, true},  {"wt", 0, 34, -1, false}, {"x", 0, -1, 0, true},   {"x", 0, -1, 256, true},
      {"x", 0, -1, 257, false}, {"x", 0, -1, 0x80000000LL, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.tools) + " id " + std::to_string(r.ppsId) + " entry points " +
                 std::to_string(r.entryPoints) + " extension " + std::to_string(r.extensionLength));
    const auto bytes = makeIdrSlice(r.ppsId, r.entryPoints, r.extensionLength);
    auto sh = SliceHeader_265::initSLiceHeader265WithBytes(bytes.data(), uint32_t(bytes.size()), 19, sps,
                                                           ppsWith(r.tools), vps);
    EXPECT_EQ(bool(sh), r.accepted);
    if (sh) {
      EXPECT_EQ(std::tuple(sh->slice_type, sh->num_entry_point_offsets, sh->slice_segment_header_extension_length),
                std::tuple(2, int32_t(r.entryPoints), int32_t(r.extensionLength))); }
  }

  // The entry-point offsets of a big picture run past a probe window: what precedes them
  // decides.
  const auto many = makeIdrSlice(0, 16, -1, 24);
  ASSERT_GT(many.size(), 44u);
  auto cut = SliceHeader_265::initSLiceHeader265WithBytes(many.data(), 44, 19, sps, ppsWith("w"), vps);
  ASSERT_TRUE(cut);
  EXPECT_EQ(std::pair(cut->num_entry_point_offsets, cut->parsedBitLength), std::pair(16, uint64_t(0)));
}

TEST(H265SliceHeader, SegmentAddressAndReferenceSets) {
  auto sps = spsWithReferenceSets();
  ASSERT_TRUE(sps);
  ASSERT_EQ(sps->picSizeInCtbsY, 510);
  PPS_265 pps;
  pps.dependent_slice_segments_enabled_flag = pps.lists_modification_present_flag = 1;
  pps.num_ref_idx_l0_default_active_minus1 = 1, pps.num_ref_idx_l1_default_active_minus1 = 0;

  // A P slice that is not the first of its picture: 9-bit address, SPS set 1 (two pictures
  // used), one long-term picture from the SPS candidates (used), list modification with
  // 2-bit entries (three pictures in total).
  BitWriter w;
  w.bit(0).ue(0).bit(0).u(9, 300);         // first flag, pps id, dependent flag, address
  w.ue(1).u(8, 17).bit(1).bit(1);          // P, poc lsb, set from SPS, index 1
  w.ue(1).ue(0).bit(1).bit(0);             // one long-term from the SPS: index 1 (used), no msb
  w.bit(0);                                // temporal mvp
  w.bit(1).bit(1);                         // sao luma, chroma
  w.bit(0);                                // no override: 2 entries in list 0
  w.bit(1).u(2, 2).u(2, 1);                // list modification
  w.ue(2).se(-1);                          // five_minus_max_num_merge_cand, qp delta
  const uint64_t syntaxBits = w.bitCount();
  w.trailing();
  for (int i = 0; i < 8; ++i) w.u(8, 0x77);
  auto sh = SliceHeader_265::initSLiceHeader265WithBytes(w.data().data(), uint32_t(w.data().size()), 1, *sps, pps,
                                                         nullptr);
  ASSERT_TRUE(sh);
  EXPECT_EQ(std::vector<int32_t>({sh->first_slice_segment_in_pic_flag, sh->dependent_slice_segment_flag,
                                  sh->slice_segment_address, sh->slice_type, sh->pic_order_cnt_lsb,
                                  sh->short_term_ref_pic_set_idx, sh->num_long_term_sps, sh->NumPicTotalCurr,
                                  sh->num_ref_idx_l0_active_minus1, sh->ref_pic_list_modification_flag_l0,
                                  sh->five_minus_max_num_merge_cand, sh->qp_delta}),
            std::vector<int32_t>({0, 0, 300, 1, 17, 1, 1, 3, 1, 1, 2, -1}));
  EXPECT_EQ(sh->parsedBitLength, syntaxBits);

  // More long-term pictures from the SPS than it has candidates: refused.
  BitWriter bad;
  bad.bit(0).ue(0).bit(0).u(9, 300).ue(1).u(8, 17).bit(1).bit(1).ue(3).ue(0).trailing();
  EXPECT_FALSE(SliceHeader_265::initSLiceHeader265WithBytes(bad.data().data(), uint32_t(bad.data().size()), 1, *sps,
                                                            pps, nullptr));

  // A dependent segment carries no slice header proper.
  BitWriter dep;
  dep.bit(0).ue(0).bit(1).u(9, 400).trailing();
  auto d = SliceHeader_265::initSLiceHeader265WithBytes(dep.data().data(), uint32_t(dep.data().size()), 1, *sps, pps,
                                                        nullptr);
  ASSERT_TRUE(d);
  EXPECT_EQ(std::tuple(d->dependent_slice_segment_flag, d->slice_segment_address, d->slice_type), std::tuple(1, 400, -1));
}

}  // namespace
}  // namespace vr
