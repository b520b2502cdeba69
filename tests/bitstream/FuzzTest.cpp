// Random and truncated inputs for every parser (fixed seed): no crash, no read outside
// the bytes given (the inputs live in exactly-sized heap blocks, which the sanitizer
// build checks), no hang.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>

#include "TestSupport.h"
#include "bitstream/PPS.h"
#include "bitstream/PPS_265.h"
#include "bitstream/SPS.h"
#include "bitstream/SPS_265.h"
#include "bitstream/SliceHeader.h"
#include "bitstream/SliceHeader_265.h"
#include "bitstream/VPS_265.h"

namespace vr {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int kRounds = 40000;
#else
constexpr int kRounds = 200000;
#endif

// Inputs are biased towards what makes parsers go deep: runs of zeros, all-ones,
// plausible headers and flag-heavy parameter sets.
std::unique_ptr<uint8_t[]> randomInput(std::mt19937& rng, uint32_t& size) {
  size = rng() % 4 == 0 ? rng() % 8 : rng() % 64;
  auto p = std::make_unique<uint8_t[]>(size ? size : 1);
  const int style = int(rng() % 4);
  for (uint32_t i = 0; i < size; ++i) {
    const uint32_t r = rng();
    switch (style) {
      case 0: p[i] = uint8_t(r); break;
      case 1: p[i] = (r % 5 == 0) ? 0 : uint8_t(r); break;
      case 2: p[i] = (r % 3 == 0) ? 0xFF : uint8_t(r | (r >> 8)); break;
      default: p[i] = (r % 7 == 0) ? 0 : (r % 7 == 1) ? 3 : uint8_t(r & 0x8F); break;
    }
  }
  return p;
}

// Parameter sets that switch on every optional path of the slice-header parsers.
struct Refs { std::shared_ptr<SPS> sps; std::shared_ptr<PPS> pps; std::shared_ptr<SPS_265> sps265; PPS_265 pps265; };

std::vector<Refs> referenceSets() {
  std::vector<Refs> out;
  for (int variant = 0; variant < 4; ++variant) {
    Refs r{std::make_shared<SPS>(), std::make_shared<PPS>(), std::make_shared<SPS_265>(), {}};
    SPS& a = *r.sps;
    a.separate_colour_plane_flag = a.frame_mbs_only_flag = variant & 1;
    a.log2_max_frame_num_minus4 = variant == 3 ? 1000 : 4;
    a.pic_order_cnt_type = variant % 3;
    a.delta_pic_order_always_zero_flag = 0;
    a.log2_max_pic_order_cnt_lsb_minus4 = variant == 2 ? -5 : 2;
    a.FrameHeightInMbs = 68, a.PicWidthInMbs = 120;
    r.pps->pic_order_present_flag = 1;

    SPS_265& s = *r.sps265;
    s.seperate_color_plane_flag = variant & 1;
    s.chromaArrayType = s.long_term_ref_pics_present_flag = s.sps_temporal_mvp_enabled_flag =
        s.sample_adaptive_offset_enabled_flag = 1;
    s.log2_max_pic_order_cnt_lsb_minus4 = variant == 3 ? 100 : 4;
    s.num_long_term_ref_pics_sps = variant;
    s.used_by_curr_pic_lt_sps_flag.assign(size_t(variant), 1);
    s.motion_vector_resolution_control_idc = 2;
    s.PicWidthInCtbsY = 30;
    s.PicHeightInCtbsY = variant == 2 ? -1 : 17;
    s.picSizeInCtbsY = variant == 2 ? -1 : 510;
    ShortTermRefPicSet set{.NumNegativePics = 3, .NumPositivePics = 1, .DeltaPocS0 = {-1, -2, -4}, .DeltaPocS1 = {2},
                           .UsedByCurrPicS0 = {1, 1, 0}};
    s.shortTermRefPicSets.assign(size_t(variant + 1), set);
    s.num_short_term_ref_pic_sets = variant + 1;

    PPS_265& p = r.pps265;
    p.dependent_slice_segments_enabled_flag = p.output_flag_present_flag = p.cabac_init_present_flag =
        p.lists_modification_present_flag = p.weighted_pred_flag = p.weighted_bipred_flag =
            p.slice_chroma_qp_offsets_present_flag = p.slic_act_qp_offsets_present_flag =
                p.chroma_qp_offset_list_enabled_flag = p.deblocking_filter_override_enabled_flag =
                    p.loop_filter_across_slices_enabled_flag = p.slice_segment_header_extension_present_flag = 1;
    p.num_extra_slice_header_bits = variant;
    p.num_ref_idx_l0_default_active_minus1 = 2, p.num_ref_idx_l1_default_active_minus1 = 1;
    p.tiles_enabled_flag = variant & 1, p.entropy_coding_sync_enabled_flag = (variant >> 1) & 1;
    p.num_tile_columns_minus1 = 3, p.num_tile_rows_minus1 = 2;
    out.push_back(r);
  }
  return out;
}

TEST(BitstreamFuzz, RandomAndTruncatedInputs) {
  std::mt19937 rng(20261206);
  const auto refs = referenceSets();
  size_t accepted = 0;
  for (int round = 0; round < kRounds; ++round) {
    uint32_t size = 0;
    auto input = randomInput(rng, size);
    const uint8_t* p = input.get();
    const Refs& r = refs[size_t(round) % refs.size()];
    accepted += bool(SPS::initSPSWithBytes(p, size));
    accepted += bool(PPS::initPPSWithBytes(p, size));
    accepted += bool(SliceHeader::initIDRWithBytes(p, size, 1 + 4 * (round & 1), 3, *r.sps, *r.pps));
    accepted += bool(VPS_265::initVPS265WithBytes(p, size));
    accepted += bool(SPS_265::initSPS265WithBytes(p, size, 1 + (rng() % 64), 1 + (rng() % 64)));
    accepted += bool(PPS_265::initPPS265WithBytes(p, size, (round & 2) ? r.sps265 : nullptr));
    const uint32_t nalType = uint32_t(round % 22);
    accepted += bool(SliceHeader_265::initSLiceHeader265WithBytes(p, size, nalType, *r.sps265, r.pps265, nullptr));
  }
  EXPECT_GT(accepted, 0u);
}

// Calls parse with every prefix (up to 80 bytes) of every unit, each copied into a heap
// block of exactly that length.
void everyPrefix(const std::vector<std::vector<uint8_t>>& units,
                 const std::function<void(const std::vector<uint8_t>& unit, const uint8_t*, uint32_t)>& parse) {
  for (const auto& u : units) {
    for (uint32_t n = 0; n <= std::min<size_t>(u.size(), 80); ++n) {
      auto copy = std::make_unique<uint8_t[]>(n ? n : 1);
      std::copy(u.begin(), u.begin() + n, copy.get());
      parse(u, copy.get(), n);
    }
  }
}

// Real parameter sets and slices cut at every length: each prefix parses or is refused
// without reading past it.
TEST(BitstreamFuzz, EveryPrefixOfRealUnits) {
  if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  const auto h264 = test::splitAnnexB(test::encode("fuzz264", "176x144", 3, "-c:v libx264 -bf 1", "h264"));
  const auto h265 = test::splitAnnexB(
      test::encode("fuzz265", "176x144", 3, "-c:v libx265 -x265-params log-level=error:slices=2", "hevc"));
  ASSERT_FALSE(h264.empty());
  ASSERT_FALSE(h265.empty());
  const auto refs = referenceSets();
  everyPrefix(h264, [&](const auto& u, const uint8_t* p, uint32_t n) {
    SPS::initSPSWithBytes(p, n);
    PPS::initPPSWithBytes(p, n);
    if (n > 0) SliceHeader::initIDRWithBytes(p + 1, n - 1, u[0] & 0x1F, 3, *refs[0].sps, *refs[0].pps);
  });
  everyPrefix(h265, [&](const auto& u, const uint8_t* p, uint32_t n) {
    VPS_265::initVPS265WithBytes(p, n);
    SPS_265::initSPS265WithBytes(p, n, 176, 144);
    PPS_265::initPPS265WithBytes(p, n, refs[1].sps265);
    if (n >= 2)
      SliceHeader_265::initSLiceHeader265WithBytes(p + 2, n - 2, (u[0] >> 1) & 0x3F, *refs[1].sps265, refs[1].pps265,
                                                   nullptr);
  });
}

// A hostile SPS far larger than any real one still parses in linear time.
TEST(BitstreamFuzz, LargeUnitsStayLinear) {
  std::mt19937 rng(7);
  std::vector<uint8_t> big(1 << 20);
  for (auto& b : big) b = (rng() % 3 == 0) ? 0 : uint8_t(rng());
  big[0] = 0x42;
  big[1] = 0x01;
  SPS_265::initSPS265WithBytes(big.data(), uint32_t(big.size()), 1920, 1080);
  VPS_265::initVPS265WithBytes(big.data(), uint32_t(big.size()));
  SPS::initSPSWithBytes(big.data(), uint32_t(big.size()));
  std::vector<uint8_t> ones(1 << 16, 0x00);
  SPS_265::initSPS265WithBytes(ones.data(), uint32_t(ones.size()), 1, 1);
}

}  // namespace
}  // namespace vr
