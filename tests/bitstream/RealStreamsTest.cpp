// Parameter sets and slices of streams made by ffmpeg (libx264, libx265) must decode to
// what the encoder was asked for, both whole and cut to the window the NAL probe uses
// (50 bytes behind a 4-byte length prefix).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "TestSupport.h"
#include "bitstream/PPS.h"
#include "bitstream/PPS_265.h"
#include "bitstream/SPS.h"
#include "bitstream/SPS_265.h"
#include "bitstream/SliceHeader.h"
#include "bitstream/SliceHeader_265.h"
#include "bitstream/UeSeNumCode.h"
#include "bitstream/VPS_265.h"

namespace vr {
namespace {

// What the probe passes on from its 50-byte window behind a 4-byte prefix: `limit` bytes
// at most of the `available` ones; 46 from the H.264 header byte (SPS, PPS), 45 of an H.264
// slice after it, 44 behind the H.265 header for every parse.
uint32_t windowed(size_t available, uint32_t limit) { return uint32_t(std::min<size_t>(available, limit)); }
constexpr uint32_t kH264Unit = 46, kH264Slice = 45, kH265Bytes = 44;

struct H264Case { const char *name, *size; int frames; const char* args; int profile, widthMbs, heightMapUnits, frameMbsOnly, slicesPerPicture; };

class H264Streams : public ::testing::TestWithParam<H264Case> {};

TEST_P(H264Streams, DecodeToWhatWasAskedFor) {
  const H264Case& k = GetParam();
  if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  const auto stream = test::encode(k.name, k.size, k.frames, std::string("-c:v libx264 ") + k.args, "h264");
  ASSERT_FALSE(stream.empty());
  const auto units = test::splitAnnexB(stream);

  std::shared_ptr<SPS> sps;
  std::shared_ptr<PPS> pps;
  int pictures = 0, slicesInPicture = 0, lastFirstMb = -1, prevRefFrameNum = -1, prevFrameNum = -1;
  for (const auto& u : units) {
    ASSERT_FALSE(u.empty());
    const uint32_t type = u[0] & 0x1F, nri = (u[0] >> 5) & 3;
    if (type == 7) {
      sps = SPS::initSPSWithBytes(u.data(), uint32_t(u.size()));
      auto cut = SPS::initSPSWithBytes(u.data(), windowed(u.size(), kH264Unit));
      ASSERT_TRUE(sps && cut);
      EXPECT_EQ(std::vector<int32_t>({sps->profile_idc, sps->seq_parameter_set_id, sps->pic_width_in_mbs_minus1 + 1,
                                      sps->pic_height_in_map_units_minus1 + 1, sps->frame_mbs_only_flag,
                                      sps->FrameHeightInMbs, sps->ChromaArrayType, cut->seq_parameter_set_id}),
                std::vector<int32_t>({k.profile, 0, k.widthMbs, k.heightMapUnits, k.frameMbsOnly,
                                      (2 - k.frameMbsOnly) * k.heightMapUnits, 1, 0}));
      EXPECT_EQ(sps->MaxFrameNum, 1 << (sps->log2_max_frame_num_minus4 + 4));
    } else if (type == 8) {
      pps = PPS::initPPSWithBytes(u.data(), uint32_t(u.size()));
      ASSERT_TRUE(pps);
      EXPECT_EQ(pps->pic_parameter_set_id + pps->seq_parameter_set_id + pps->num_slice_groups_minus1, 0);
    } else if (type == 1 || type == 5) {
      ASSERT_TRUE(sps && pps);
      auto sh = SliceHeader::initIDRWithBytes(u.data() + 1, uint32_t(u.size() - 1), type, nri, *sps, *pps);
      auto cut = SliceHeader::initIDRWithBytes(u.data() + 1, windowed(u.size() - 1, kH264Slice), type, nri, *sps, *pps);
      ASSERT_TRUE(sh && cut);
      EXPECT_EQ(std::tuple(cut->first_mb_in_slice, cut->frame_num, cut->slice_type),
                std::tuple(sh->first_mb_in_slice, sh->frame_num, sh->slice_type));
      EXPECT_EQ(sh->pic_parameter_set_id, 0);
      if (type == 5) { EXPECT_EQ(sh->slice_type % 5, 2); }
      if (sh->first_mb_in_slice == 0) {
        if (pictures > 0) { EXPECT_EQ(slicesInPicture, k.slicesPerPicture); }
        ++pictures;
        slicesInPicture = 0;
        // frame_num: 0 at an IDR, else one more than the last reference picture's.
        EXPECT_EQ(sh->frame_num, type == 5 ? 0 : (prevRefFrameNum + 1) % sps->MaxFrameNum) << "picture " << pictures;
        prevFrameNum = sh->frame_num;
        if (nri != 0) prevRefFrameNum = sh->frame_num;
      } else {
        EXPECT_GT(sh->first_mb_in_slice, lastFirstMb);
        EXPECT_EQ(sh->frame_num, prevFrameNum);
      }
      EXPECT_LT(sh->first_mb_in_slice, sps->PicSizeInMapUnits * (2 - k.frameMbsOnly));
      lastFirstMb = sh->first_mb_in_slice;
      ++slicesInPicture;
      EXPECT_GE(sh->field_pic_flag, k.frameMbsOnly ? -1 : 0);
    }
  }
  EXPECT_EQ(slicesInPicture, k.slicesPerPicture);
  EXPECT_GE(pictures, k.frames);  // fields count as pictures
}

INSTANTIATE_TEST_SUITE_P(
    Encodes, H264Streams,
    ::testing::Values(
        H264Case{"baseline", "320x240", 6, "-profile:v baseline -bf 0", 66, 20, 15, 1, 1},
        H264Case{"main", "176x144", 6, "-profile:v main -bf 0 -x264-params keyint=3", 77, 11, 9, 1, 1},
        H264Case{"high_b", "320x240", 10, "-profile:v high -bf 3 -x264-params b-pyramid=normal:keyint=8", 100, 20, 15, 1, 1},
        H264Case{"slices", "320x240", 4, "-profile:v high -x264-params slices=4", 100, 20, 15, 1, 4},
        H264Case{"big_frame_num", "176x144", 20, "-profile:v high -bf 2 -refs 4", 100, 11, 9, 1, 1},
        H264Case{"interlaced", "320x256", 4, "-profile:v high -flags +ildct -x264-params tff=1", 100, 20, 8, 0, 1},
        H264Case{"fake_interlaced", "320x256", 4, "-profile:v high -x264-params fake-interlaced=1", 100, 20, 8, 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

struct H265Case { const char *name, *size; uint32_t width, height; int frames; const char* params; int ctbSize, slicesPerPicture; bool wavefronts; };

class H265Streams : public ::testing::TestWithParam<H265Case> {};

// byte_alignment() after a slice header, and rbsp_trailing_bits() after an SPS, are a
// 1 bit followed by zeros up to the byte boundary. Positions count unescaped bytes.
bool alignedEndAt(const std::vector<uint8_t>& u, size_t offset, uint64_t bits) {
  const RbspBytes rbsp(u.data() + offset, uint32_t(u.size() - offset));
  const size_t byte = size_t(bits / 8);
  return byte < rbsp.size() && (rbsp.data()[byte] & (0xFFu >> bits % 8)) == (0x80u >> bits % 8);
}

TEST_P(H265Streams, DecodeToWhatWasAskedFor) {
  const H265Case& k = GetParam();
  if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  const std::string args = std::string("-c:v libx265 -tag:v hvc1 -x265-params log-level=error:") + k.params;
  const auto stream = test::encode(k.name, k.size, k.frames, args, "hevc");
  ASSERT_FALSE(stream.empty());
  const auto units = test::splitAnnexB(stream);

  std::shared_ptr<VPS_265> vps;
  std::shared_ptr<SPS_265> sps;
  std::shared_ptr<PPS_265> pps;
  int pictures = 0, segments = 0, lastAddress = -1, checkedEnds = 0;
  for (const auto& u : units) {
    ASSERT_GE(u.size(), 3u);
    const uint32_t type = (u[0] >> 1) & 0x3F;
    if (type == 32) {
      vps = VPS_265::initVPS265WithBytes(u.data(), uint32_t(u.size()));
      ASSERT_TRUE(vps);
      EXPECT_EQ(std::tuple(vps->max_layers_minus1, vps->reserved_0xffff_16bits, vps->num_layer_sets_minus1),
                std::tuple(0, 0xFFFF, 0));
    } else if (type == 33) {
      sps = SPS_265::initSPS265WithBytes(u.data(), uint32_t(u.size()), k.width, k.height);
      ASSERT_TRUE(sps);
      const int ctbs = (int(k.width) + k.ctbSize - 1) / k.ctbSize, rows = (int(k.height) + k.ctbSize - 1) / k.ctbSize;
      EXPECT_EQ(std::vector<int32_t>({sps->seq_parameter_set_id, sps->chroma_format_idc, sps->pic_width_in_luma_samples,
                                      sps->pic_height_luma_samples, sps->PicWidthInCtbsY, sps->PicHeightInCtbsY,
                                      sps->picSizeInCtbsY}),
                std::vector<int32_t>({0, 1, int32_t(k.width), int32_t(k.height), ctbs, rows, ctbs * rows}));
      EXPECT_TRUE(alignedEndAt(u, 0, sps->parsedBitLength)) << "SPS does not end where its syntax ends";
      // What the probe sees, and what it asks with: the reference SPS's own size. A size the
      // stream does not have is not found.
      EXPECT_TRUE(SPS_265::initSPS265WithBytes(u.data(), windowed(u.size(), kH265Bytes), k.width, k.height));
      EXPECT_FALSE(SPS_265::initSPS265WithBytes(u.data(), uint32_t(u.size()), k.width / 2 - 1, k.height));
      EXPECT_FALSE(SPS_265::initSPS265WithBytes(u.data(), uint32_t(u.size()), k.width, k.height + 8));
    } else if (type == 34) {
      pps = PPS_265::initPPS265WithBytes(u.data(), uint32_t(u.size()), sps);
      ASSERT_TRUE(pps);
      EXPECT_EQ(std::tuple(pps->pic_parameter_set_id, pps->entropy_coding_sync_enabled_flag, pps->tiles_enabled_flag),
                std::tuple(0, k.wavefronts ? 1 : 0, 0));
    } else if (type <= 9 || (type >= 16 && type <= 21)) {
      ASSERT_TRUE(sps && pps && vps);
      auto sh = SliceHeader_265::initSLiceHeader265WithBytes(u.data() + 2, uint32_t(u.size() - 2), type, *sps, *pps, vps);
      auto cut = SliceHeader_265::initSLiceHeader265WithBytes(u.data() + 2, windowed(u.size() - 2, kH265Bytes), type, *sps, *pps, vps);
      ASSERT_TRUE(sh && cut) << "slice " << segments << " whole and cut to the probe window";
      EXPECT_EQ(std::pair(cut->first_slice_segment_in_pic_flag, sh->pic_parameter_set_id),
                std::pair(sh->first_slice_segment_in_pic_flag, 0));
      EXPECT_EQ(sh->slice_type, (type == 19 || type == 20) ? 2 : std::clamp(sh->slice_type, 0, 2));
      if (sh->first_slice_segment_in_pic_flag == 1) {
        if (pictures > 0) { EXPECT_EQ(segments, k.slicesPerPicture); }
        ++pictures;
        segments = 0;
        lastAddress = 0;
      } else {
        ASSERT_EQ(sh->first_slice_segment_in_pic_flag, 0);
        EXPECT_GT(sh->slice_segment_address, lastAddress);
        EXPECT_LT(sh->slice_segment_address, sps->picSizeInCtbsY);
        lastAddress = sh->slice_segment_address;
      }
      if (k.wavefronts) {
        EXPECT_GE(sh->num_entry_point_offsets, 0);
        EXPECT_LT(sh->num_entry_point_offsets, sps->PicHeightInCtbsY);
      }
      // The whole header parsed: byte_alignment() must follow.
      if (sh->parsedBitLength != 0) {
        EXPECT_TRUE(alignedEndAt(u, 2, sh->parsedBitLength))
            << "slice type " << sh->slice_type << " nal " << type << " ends at bit " << sh->parsedBitLength;
        ++checkedEnds;
      }
      ++segments;
    }
  }
  EXPECT_EQ(pictures, k.frames);
  EXPECT_EQ(segments, k.slicesPerPicture);
  EXPECT_GT(checkedEnds, k.frames / 2);
}

INSTANTIATE_TEST_SUITE_P(
    Encodes, H265Streams,
    ::testing::Values(
        H265Case{"wpp", "320x240", 320, 240, 8, "wpp=1:bframes=3", 64, 1, true},
        H265Case{"no_wpp_ctu32", "320x240", 320, 240, 8, "wpp=0:ctu=32:bframes=2:weightb=1:deblock=-1,1", 32, 1, false},
        H265Case{"slices_ctu16", "352x288", 352, 288, 5, "slices=3:ctu=16:wpp=1", 16, 3, true},
        H265Case{"full_hd", "1920x1080", 1920, 1080, 2, "preset=ultrafast:wpp=1:slices=2", 64, 2, true},
        H265Case{"open_gop", "320x240", 320, 240, 10, "wpp=0:bframes=2:keyint=5:open-gop=1:no-deblock=1", 64, 1, false},
        // Two temporal sub-layers (profile, level and ordering info per sub-layer); 4x4 CTBs,
        // a power of two, decide the width of the slice address.
        H265Case{"sub_layers_4x4_ctbs", "256x256", 256, 256, 8, "temporal-layers=1:bframes=3:slices=2:wpp=1", 64, 2, true},
        H265Case{"vui_hrd", "320x240", 320, 240, 4,
                 "hrd=1:vbv-bufsize=1000:vbv-maxrate=1000:sar=1:colorprim=bt709:transfer=bt709:colormatrix=bt709",
                 64, 1, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vr
