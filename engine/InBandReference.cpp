#include "engine/InBandReference.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "atoms/CodecNumbers.h"
#include "atoms/Containers.h"
#include "atoms/Descriptors.h"
#include "bitstream/PPS.h"
#include "bitstream/PPS_265.h"
#include "bitstream/SPS.h"
#include "bitstream/SPS_265.h"
#include "bitstream/UeSeNumCode.h"
#include "bitstream/VPS_265.h"
#include "engine/AacFrameReader.h"
#include "engine/ByteWindow.h"
#include "engine/File.h"
#include "engine/NALU.h"
#include "engine/RepairFile.h"

namespace vr {

namespace {

using U = UeSeNumCode;

// The first group of parameter sets is looked for this far into the file; groups that
// confirm it and the audio behind them, this far.
constexpr uint64_t kFirstGroupReach = 256ull << 20;
constexpr uint32_t kMaxGroups = 24;
// Parameter sets are short; a longer unit with their type is something else.
constexpr uint32_t kMaxSetSize = 1024;
// Units looked at behind the sets for the keyframe (SEI and further sets come between).
constexpr int kUnitsBeforeKeyframe = 8;
// Units followed behind a keyframe to the end of its video.
constexpr int kMaxChainUnits = 400;
constexpr uint32_t kMaxWalkFrames = 2048;
constexpr size_t kWindowRequest = kMaxSetSize + 8;
// The distance between two groups bounds a keyframe's size; the scan takes units of up to
// eight times the bound, which stays below half a gigabyte.
constexpr uint64_t kLargestKeyframeBound = 64ull << 20;

uint64_t lengthAt(const uint8_t* b, uint8_t n) {
  uint64_t v = 0;
  for (uint8_t i = 0; i < n; ++i) v = (v << 8) | b[i];
  return v;
}

uint32_t nalType(const uint8_t* header, bool hevc) { return hevc ? (header[0] >> 1) & 0x3F : header[0] & 0x1F; }

const char* avcProfileName(uint8_t idc) {
  switch (idc) {
    case 66: return "Baseline";
    case 77: return "Main";
    case 88: return "Extended";
    case 100: return "High";
    case 110: return "High 10";
    case 122: return "High 4:2:2";
    case 244: return "High 4:4:4";
    default: return nullptr;
  }
}

const char* hevcProfileName(uint32_t idc) {
  switch (idc) {
    case 1: return "Main";
    case 2: return "Main 10";
    case 3: return "Main Still Picture";
    case 4: return "Range extensions";
    default: return nullptr;
  }
}

// The rate of an H.264 SPS's VUI timing (time_scale / 2 num_units_in_tick), read from the
// position the SPS parser stopped at.
std::pair<uint32_t, uint32_t> avcTiming(const Bytes& unit, const SPS& sps) {
  if (sps.vui_parameters_present_flag != 1 || sps.vuiBitOffset == 0) return {0, 0};
  const RbspBytes rbsp(unit.data(), uint32_t(unit.size()));
  BitCursor c(rbsp.data(), rbsp.size());
  c.skipBits(sps.vuiBitOffset);
  if (U::getBitInBytes(c) && U::getUnitCodeNumFromBytes(c, 8) == 255) c.skipBits(32);  // aspect ratio
  if (U::getBitInBytes(c)) c.skipBits(1);                                              // overscan
  if (U::getBitInBytes(c)) {                                                           // video signal type
    c.skipBits(4);
    if (U::getBitInBytes(c)) c.skipBits(24);
  }
  if (U::getBitInBytes(c)) {  // chroma location
    U::getUEVCodeNumFromBytes(c);
    U::getUEVCodeNumFromBytes(c);
  }
  if (!U::getBitInBytes(c)) return {0, 0};
  const uint32_t tick = U::getUnitCodeNumFromBytes(c, 32);
  const uint32_t scale = U::getUnitCodeNumFromBytes(c, 32);
  if (!c.ok() || c.atEnd() || tick == 0) return {0, 0};
  return {scale, uint32_t(std::min<uint64_t>(2ull * tick, UINT32_MAX))};
}

// Picture size, crop and bit depths of an H.265 SPS, read through its profile_tier_level
// with sub-layers (the SPS parser needs the picture size to find its fields).
struct HevcSize {
  uint32_t codedWidth = 0, codedHeight = 0, width = 0, height = 0;
  uint32_t chroma = 1, bitDepthLuma = 8, bitDepthChroma = 8;
};
std::optional<HevcSize> hevcSize(const Bytes& unit) {
  const RbspBytes rbsp(unit.data(), uint32_t(unit.size()));
  BitCursor c(rbsp.data(), rbsp.size(), 2);
  c.skipBits(4);
  const uint32_t subLayers = U::getUnitCodeNumFromBytes(c, 3);
  c.skipBits(1);
  c.skipBits(96);  // general profile, tier and level
  std::array<uint32_t, 8> profilePresent{}, levelPresent{};
  for (uint32_t i = 0; i < subLayers; ++i) {
    profilePresent[i] = U::getBitInBytes(c);
    levelPresent[i] = U::getBitInBytes(c);
  }
  if (subLayers > 0) c.skipBits(2 * (8 - subLayers));
  for (uint32_t i = 0; i < subLayers; ++i) c.skipBits(88 * profilePresent[i] + 8 * levelPresent[i]);
  HevcSize s;
  if (U::getUEVCodeNumFromBytes(c) > 15) return std::nullopt;
  s.chroma = U::getUEVCodeNumFromBytes(c);
  if (s.chroma > 3) return std::nullopt;
  if (s.chroma == 3) c.skipBits(1);
  s.codedWidth = U::getUEVCodeNumFromBytes(c);
  s.codedHeight = U::getUEVCodeNumFromBytes(c);
  uint32_t crop[4] = {};
  if (U::getBitInBytes(c))
    for (uint32_t& v : crop) v = U::getUEVCodeNumFromBytes(c);
  s.bitDepthLuma = U::getUEVCodeNumFromBytes(c) + 8;
  s.bitDepthChroma = U::getUEVCodeNumFromBytes(c) + 8;
  if (!c.ok() || s.codedWidth == 0 || s.codedHeight == 0 || s.codedWidth > 16384 || s.codedHeight > 16384 ||
      s.bitDepthLuma > 16 || s.bitDepthChroma > 16)
    return std::nullopt;
  const uint32_t subW = s.chroma == 1 || s.chroma == 2 ? 2 : 1;
  const uint32_t subH = s.chroma == 1 ? 2 : 1;
  const uint64_t cropW = uint64_t(subW) * (uint64_t(crop[0]) + crop[1]);
  const uint64_t cropH = uint64_t(subH) * (uint64_t(crop[2]) + crop[3]);
  s.width = cropW < s.codedWidth ? uint32_t(s.codedWidth - cropW) : s.codedWidth;
  s.height = cropH < s.codedHeight ? uint32_t(s.codedHeight - cropH) : s.codedHeight;
  return s;
}

// A plausible first parameter set at b with length size n: its length and header.
bool setStartsAt(const uint8_t* b, uint8_t n, bool hevc) {
  const uint64_t length = lengthAt(b, n);
  if (length < 4 || length > kMaxSetSize) return false;
  const uint8_t h = b[n];
  if (hevc) return h == 0x40 && b[n + 1] == 0x01;  // VPS, layer 0, temporal id 0
  // An SPS with nal_ref_idc set, a known profile, reserved bits clear and a level up to 6.2.
  return (h & 0x9F) == 0x07 && (h & 0x60) != 0 && avcProfileName(b[n + 1]) && (b[n + 2] & 3) == 0 && b[n + 3] <= 62;
}

// One group of parameter sets with the keyframe behind it.
struct Group {
  uint64_t offset = 0;
  Bytes vps, sps, pps;
  ReferenceParameterSets parsed;
  uint64_t keyframe = 0;  // where the keyframe's first slice starts
};

class Finder {
 public:
  Finder(FileHandle& file, uint64_t size) : window_(file, size, 1 << 20, kWindowRequest), size_(size) {}

  // The group whose first set starts at `at` with length size n, when its sets parse and a
  // keyframe that parses with them follows.
  std::optional<Group> groupAt(uint64_t at, uint8_t n, bool hevc) {
    Group g;
    g.offset = at;
    uint64_t x = at;
    for (int i = 0; i < kUnitsBeforeKeyframe + 3; ++i) {
      if (x + n + 2 > size_) return std::nullopt;
      const uint8_t* b = window_.at(x, kWindowRequest);
      const uint64_t length = lengthAt(b, n);
      if (length < 2 || length > size_ - x - n) return std::nullopt;
      const uint32_t type = nalType(b + n, hevc);
      if ((b[n] & 0x80) != 0) return std::nullopt;
      const bool set = hevc ? (type >= 32 && type <= 34) : (type == 7 || type == 8);
      if (set) {
        if (length > kMaxSetSize) return std::nullopt;
        Bytes unit(b + n, b + n + length);
        if (!takeSet(g, type, std::move(unit), hevc)) return std::nullopt;
      } else if (hevc ? (type == 39 || type == 35) : (type == 6 || type == 9)) {
        // SEI and delimiters travel with the keyframe.
      } else {
        const bool keyType = hevc ? (type >= 16 && type <= 21) : type == 5;
        if (!keyType || !g.parsed.complete() || (hevc && !g.parsed.vps)) return std::nullopt;
        NALU unit;
        if (!unit.probe(window_.at(x, kNaluProbeWindow), kNaluProbeWindow, n, g.parsed) ||
            unit.firstMBInSlice != (hevc ? 1 : 0))
          return std::nullopt;
        g.keyframe = x;
        return g;
      }
      x += n + length;
    }
    return std::nullopt;
  }

  // The first group whose first set starts in [from, to), with one of the length sizes and
  // codecs given. Only bytes that can be the header of an SPS (H.264) or a VPS (H.265)
  // are looked at further, which keeps the search through a large file short.
  struct Found {
    Group group;
    uint8_t n;
    bool hevc;
  };
  std::optional<Found> nextGroup(uint64_t from, uint64_t to, std::initializer_list<uint8_t> lengths,
                                 std::initializer_list<bool> codecs) {
    constexpr size_t kBlock = kWindowRequest - 8;
    for (uint64_t block = from; block < to; block += kBlock) {
      const uint8_t* p = window_.at(block, kWindowRequest);
      for (size_t i = 0; i < kBlock; ++i) {
        const uint8_t h = p[i];
        if (h != 0x27 && h != 0x47 && h != 0x67 && h != 0x40) continue;
        const uint64_t header = block + i;
        for (uint8_t n : lengths) {
          if (header < from + n || header - n >= to) continue;
          for (bool hevc : codecs)
            if (setStartsAt(window_.at(header - n, 8), n, hevc))
              if (auto g = groupAt(header - n, n, hevc)) return Found{std::move(*g), n, hevc};
        }
        p = window_.at(block, kWindowRequest);
      }
    }
    return std::nullopt;
  }

  // Where the video that starts with the keyframe at `at` ends: the units that follow
  // each other from there.
  uint64_t videoEnd(uint64_t at, uint8_t n, const ReferenceParameterSets& sets) {
    NALU unit;
    uint64_t x = at;
    for (int i = 0; i < kMaxChainUnits && x < size_; ++i) {
      if (!unit.probe(window_.at(x, kNaluProbeWindow), kNaluProbeWindow, n, sets) || unit.nalSize > size_ - x) break;
      x += unit.nalSize;
      // With short prefixes audio chains into units by chance: only the first picture
      // counts there, the audio walk decides the rest.
      if (n < 4 && unit.isNamed(NaluName::Slice)) break;
    }
    return x;
  }

 private:
  static bool takeSet(Group& g, uint32_t type, Bytes unit, bool hevc) {
    const uint32_t size = uint32_t(unit.size());
    if (!hevc) {
      if (type == 7) {
        if (!g.sps.empty()) return false;
        auto sps = SPS::initSPSWithBytes(unit.data(), size);
        if (!sps || !avcProfileName(sps->profile_idc) || sps->level_idc > 62 || sps->PicWidthInMbs <= 0 ||
            sps->FrameHeightInMbs <= 0 || sps->PicWidthInMbs > 1024 || sps->FrameHeightInMbs > 1024)
          return false;
        g.parsed.sps = sps;
        g.sps = std::move(unit);
        return true;
      }
      if (g.sps.empty() || !g.pps.empty()) return false;
      g.parsed.pps = PPS::initPPSWithBytes(unit.data(), size);
      g.pps = std::move(unit);
      return g.parsed.pps != nullptr;
    }
    if (type == 32) {
      if (!g.vps.empty()) return false;
      g.parsed.vps = VPS_265::initVPS265WithBytes(unit.data(), size);
      g.vps = std::move(unit);
      return g.parsed.vps != nullptr;
    }
    if (type == 33) {
      const auto dims = hevcSize(unit);
      if (g.vps.empty() || !g.sps.empty() || !dims) return false;
      g.parsed.sps265 = SPS_265::initSPS265WithBytes(unit.data(), size, dims->codedWidth, dims->codedHeight);
      g.sps = std::move(unit);
      return g.parsed.sps265 != nullptr;
    }
    if (g.sps.empty() || !g.pps.empty()) return false;
    g.parsed.pps265 = PPS_265::initPPS265WithBytes(unit.data(), size, g.parsed.sps265);
    g.pps = std::move(unit);
    return g.parsed.pps265 != nullptr;
  }

  ByteWindow window_;
  uint64_t size_;
};

std::pair<uint32_t, uint32_t> reduced(uint64_t num, uint64_t den) {
  const uint64_t g = std::gcd(num, den);
  if (g == 0) return {0, 0};
  num /= g, den /= g;
  if (num > UINT32_MAX || den > UINT32_MAX) return {0, 0};
  return {uint32_t(num), uint32_t(den)};
}

// A picture rate as a fraction: NTSC rates as 1000 k / 1001, others to a thousandth.
std::pair<uint32_t, uint32_t> rateFraction(double fps) {
  const double ntsc = fps * 1.001;
  if (std::fabs(ntsc - std::round(ntsc)) < 0.005 && std::fabs(fps - std::round(fps)) > 0.01)
    return reduced(uint64_t(std::llround(ntsc)) * 1000, 1001);
  return reduced(uint64_t(std::llround(fps * 1000)), 1000);
}

bool plausibleRate(uint32_t num, uint32_t den) {
  if (num == 0 || den == 0) return false;
  const double fps = double(num) / den;
  return fps >= 1 && fps <= 240;
}

// ---------------------------------------------------------------------------------------
// The reference index

// The sample entry of the found parameter sets.
std::shared_ptr<SampleDescriptionEntery> videoEntry(const InBandParameterSets& s) {
  const uint16_t w = uint16_t(s.width), h = uint16_t(s.height);
  if (!s.hevc) {
    const auto avcC = AVCDecoderConfigurationRecord::initAVCCWithParameterSets(s.sps, s.pps, s.lengthSize);
    return avcC ? VideoSampleDescriptionEntery::initWithFormat(fourCC("avc1"), w, h, avcC->writeableData) : nullptr;
  }
  const auto dims = hevcSize(s.sps);
  const auto hvcC = HVCDecoderConfigurationRecord::initHVCCWithParameterSets(
      s.vps, s.sps, s.pps, s.lengthSize, uint8_t(dims ? dims->chroma : 1), uint8_t(dims ? dims->bitDepthLuma : 8),
      uint8_t(dims ? dims->bitDepthChroma : 8));
  return hvcC ? VideoSampleDescriptionEntery::initWithFormat(fourCC("hvc1"), w, h, hvcC->writeableData) : nullptr;
}

// The sample entry of the audio, or none.
std::shared_ptr<SampleDescriptionEntery> soundEntry(const InBandAudio& a) {
  if (!a.rate || !a.channels) return nullptr;
  if (a.kind == InBandOptions::Audio::PCM)
    return AudioSampleDescriptionEntery::initWithFormat(fourCC(a.bigEndian ? "twos" : "sowt"), uint16_t(a.channels),
                                                        a.rate, {});
  if (a.kind != InBandOptions::Audio::AAC) return nullptr;
  const auto esds = EsdsDecoder::initESDSWithAudioSpecificConfig(aacAudioSpecificConfig(a.rate, a.channels));
  return AudioSampleDescriptionEntery::initWithFormat(fourCC("mp4a"), uint16_t(a.channels), a.rate,
                                                      esds->writeableData);
}

// One track: header, media header, handler, media information with a sample table of
// `samples` samples of `delta` each in one chunk, the entry and, for video that reorders,
// a composition table of two runs, so that the repaired movie gets one from the pictures'
// order. Sound samples of a fixed size (PCM, sampleSize given) need no size table.
std::shared_ptr<Trak> track(uint32_t id, const SampleDescriptionEntery& entry, uint32_t timeScale, uint32_t samples,
                            uint32_t delta, uint32_t sampleSize, bool reorders, uint32_t width, uint32_t height) {
  const bool video = entry.isVideo();
  auto stbl = std::make_shared<Stbl>();
  stbl->stsd = Stsd::initSTSDWithEntry(entry);
  stbl->stts = Stts::initSTTSWithSampleCount(samples, delta);
  if (video && reorders) {
    stbl->ctts = std::make_shared<Ctts>();
    for (int i = 0; i < 2; ++i) {
      auto run = std::make_shared<CompositionOffsetEntery>();
      run->sampleCount = samples / 2;
      stbl->ctts->compositionOffsetTable.push_back(run);
    }
    stbl->ctts->createWiteableData();
  }
  stbl->stsc = Stsc::initSTSCWithSampleToChunkTable({SampleToChunkEntery::initWithFirstChunk(1, samples, 1)});
  stbl->stsz = !video && sampleSize != 0
                   ? Stsz::initSTSZWithSampleCount(samples, sampleSize)
                   : Stsz::initSTSZWithSampleSizeTable(std::vector<uint32_t>(samples, sampleSize));
  stbl->stco = Stco::initWithChunkOffsetTable({0});
  stbl->createWriteableData();

  auto minf = std::make_shared<Minf>();
  if (video)
    minf->mediaHeader = Vmhd::init();
  else
    minf->mediaHeader = Smhd::init();
  minf->dinf = Dinf::initDINFWithDrefEnteryType(fourCC("url "));
  minf->stbl = stbl;
  minf->createWriteableData();

  auto mdia = std::make_shared<Mdia>();
  const uint32_t duration = samples * delta;
  mdia->mdhd = Mdhd::initMDHDWithDuration(duration, timeScale, 0x55C4, 0);  // language undetermined
  mdia->hdlr = Hdlr::initHDLRWithComponentType(fourCC("mhlr"), fourCC(video ? "vide" : "soun"), 0);
  mdia->minf = minf;
  mdia->createWriteableData();

  auto trak = std::make_shared<Trak>();
  trak->tkhd = Tkhd::initTKHDWithTrackID(id, duration, !video, width, height);
  trak->mdia = mdia;
  trak->createWriteableData();
  return trak;
}

// Frames of the configuration that tile the audio behind the keyframes.
struct Trial {
  uint32_t rate, channels;
  uint32_t tiled = 0;
  uint64_t frames = 0;
};

}  // namespace

bool parseAudioFormat(const std::string& text, InBandOptions& options) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t colon; (colon = text.find(':', from)) != std::string::npos; from = colon + 1)
    parts.push_back(text.substr(from, colon - from));
  parts.push_back(text.substr(from));
  auto number = [](const std::string& s, uint32_t lo, uint32_t hi) -> uint32_t {
    if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos) return 0;
    const uint32_t v = uint32_t(std::stoul(s));
    return v >= lo && v <= hi ? v : 0;
  };
  InBandOptions o = options;
  o.rate = o.channels = 0;
  o.bigEndian = false;
  if (parts[0] == "none" && parts.size() == 1) {
    o.audio = InBandOptions::Audio::None;
  } else if (parts[0] == "aac" && (parts.size() == 1 || parts.size() == 3)) {
    o.audio = InBandOptions::Audio::AAC;
    if (parts.size() == 3) {
      o.rate = number(parts[1], 8000, 96000);
      o.channels = number(parts[2], 1, 2);
      if (!o.rate || !o.channels) return false;
    }
  } else if (parts[0] == "pcm" && parts.size() == 4 && (parts[3] == "le" || parts[3] == "be")) {
    o.audio = InBandOptions::Audio::PCM;
    o.rate = number(parts[1], 1000, 384000);
    o.channels = number(parts[2], 1, 8);
    o.bigEndian = parts[3] == "be";
    if (!o.rate || !o.channels) return false;
  } else {
    return false;
  }
  options = o;
  return true;
}

std::optional<InBandParameterSets> findInBandParameterSets(const std::string& path) {
  FileHandle file = FileHandle::openForReading(path);
  if (!file.isOpen()) return std::nullopt;
  const uint64_t size = file.size();
  Finder finder(file, size);

  // The first group: sets of either codec with any length size, followed by a keyframe
  // that parses with them.
  auto found = finder.nextGroup(0, std::min(size, kFirstGroupReach), {4, 2, 1}, {false, true});
  if (!found) return std::nullopt;
  const std::optional<Group> first = std::move(found->group);
  const uint8_t n = found->n;
  const bool hevc = found->hevc;

  InBandParameterSets s;
  s.hevc = hevc;
  s.lengthSize = n;
  s.vps = first->vps;
  s.sps = first->sps;
  s.pps = first->pps;
  s.firstOffset = first->offset;
  if (hevc) {
    const auto dims = hevcSize(s.sps);
    s.width = dims->width, s.height = dims->height;
    const uint32_t idc = s.sps.size() > 3 ? s.sps[3] & 0x1F : 0;
    s.profile = hevcProfileName(idc) ? hevcProfileName(idc) : "profile " + std::to_string(idc);
    const auto& sps = *first->parsed.sps265;
    if (plausibleRate(sps.vui_time_scale, sps.vui_num_units_in_tick))
      std::tie(s.fpsNum, s.fpsDen) = reduced(sps.vui_time_scale, sps.vui_num_units_in_tick);
  } else {
    const SPS& sps = *first->parsed.sps;
    const uint32_t subW = sps.chroma_format_idc == 3 ? 1 : 2;
    const uint32_t subH = sps.chroma_format_idc == 1 || sps.chroma_format_idc == -1 ? 2 : 1;
    const uint32_t cropUnitY = subH * (2 - std::max(0, sps.frame_mbs_only_flag));
    const uint32_t w = uint32_t(sps.PicWidthInMbs) * 16;
    const uint32_t h = uint32_t(sps.FrameHeightInMbs) * 16;
    auto crop = [&](int32_t a, int32_t b, uint32_t unit) {
      return sps.frame_cropping_flag == 1 ? uint64_t(unit) * (uint64_t(std::max(0, a)) + uint64_t(std::max(0, b))) : 0;
    };
    const uint64_t cropW = crop(sps.frame_crop_left_offset, sps.frame_crop_right_offset, subW);
    const uint64_t cropH = crop(sps.frame_crop_top_offset, sps.frame_crop_bottom_offset, cropUnitY);
    s.width = cropW < w ? uint32_t(w - cropW) : w;
    s.height = cropH < h ? uint32_t(h - cropH) : h;
    s.profile = avcProfileName(sps.profile_idc);
    const auto [num, den] = avcTiming(s.sps, sps);
    if (plausibleRate(num, den)) std::tie(s.fpsNum, s.fpsDen) = reduced(num, den);
  }

  // Further groups confirm the first when they carry the same sets; each marks where audio
  // may start behind its keyframe.
  uint64_t previous = first->offset;
  std::optional<Group> g = first;
  for (uint64_t x = first->offset; x < size && s.keyframes < kMaxGroups;) {
    if (g) {
      if (g->sps == s.sps && g->pps == s.pps && g->vps == s.vps) {
        ++s.keyframes;
        s.largestGap = std::max(s.largestGap, g->offset - previous);
        previous = g->offset;
        s.videoEnds.push_back(finder.videoEnd(g->keyframe, n, first->parsed));
      }
      x = g->keyframe + 1;
      g.reset();
      continue;
    }
    auto next = finder.nextGroup(x, std::min(size, x + kFirstGroupReach), {n}, {hevc});
    if (!next) break;
    g = std::move(next->group);
  }
  // A single group bounds its keyframe by the rest of the file, up to a limit.
  if (s.keyframes == 1) s.largestGap = size - previous;
  s.largestGap = std::min(s.largestGap, kLargestKeyframeBound);
  return s;
}

std::optional<InBandPlan> planInBandRepair(const std::string& path, const InBandOptions& options) {
  auto sets = findInBandParameterSets(path);
  if (!sets) return std::nullopt;
  InBandPlan plan;
  plan.sets = std::move(*sets);
  if (options.fps > 0) {
    std::tie(plan.fpsNum, plan.fpsDen) = rateFraction(options.fps);
    plan.fpsGiven = true;
  } else if (plan.sets.fpsNum != 0) {
    plan.fpsNum = plan.sets.fpsNum, plan.fpsDen = plan.sets.fpsDen;
    // Time scales beyond a million units a second are rounded to a plain fraction.
    if (plan.fpsNum > 1'000'000) std::tie(plan.fpsNum, plan.fpsDen) = rateFraction(plan.fps());
  } else {
    std::tie(plan.fpsNum, plan.fpsDen) = rateFraction(kAssumedFps);
    plan.fpsAssumed = true;
  }

  InBandAudio& audio = plan.audio;
  audio.kind = options.audio;
  audio.rate = options.rate;
  audio.channels = options.channels;
  audio.bigEndian = options.bigEndian;
  audio.how = "given";
  if (audio.kind == InBandOptions::Audio::Detect || (audio.kind == InBandOptions::Audio::AAC && audio.rate == 0)) {
    // The common AAC-LC configurations, tried on the bytes behind each keyframe's video:
    // the one whose frames follow each other up to the next unit of the stream (or the end
    // of the file) is kept. Rates of 44.1 and 48 kHz frame alike; the scan's durations
    // settle between them later.
    FileHandle file = FileHandle::openForReading(path);
    const uint64_t size = file.isOpen() ? file.size() : 0;
    ByteWindow window(file, size, 1 << 20, kMaxAacFrame);
    ReferenceParameterSets ref;
    const Bytes& v = plan.sets.vps;
    const Bytes& sp = plan.sets.sps;
    const Bytes& pp = plan.sets.pps;
    if (plan.sets.hevc) {
      ref.vps = VPS_265::initVPS265WithBytes(v.data(), uint32_t(v.size()));
      const auto dims = hevcSize(sp);
      ref.sps265 = SPS_265::initSPS265WithBytes(sp.data(), uint32_t(sp.size()), dims->codedWidth, dims->codedHeight);
      ref.pps265 = PPS_265::initPPS265WithBytes(pp.data(), uint32_t(pp.size()), ref.sps265);
    } else {
      ref.sps = SPS::initSPSWithBytes(sp.data(), uint32_t(sp.size()));
      ref.pps = PPS::initPPSWithBytes(pp.data(), uint32_t(pp.size()));
    }
    const uint8_t n = plan.sets.lengthSize;
    auto unitAt = [&](uint64_t x) {
      NALU unit;
      if (x >= size || !unit.probe(window.at(x, kNaluProbeWindow), kNaluProbeWindow, n, ref) || unit.nalSize > size - x)
        return false;
      return !unit.isNamed(NaluName::Slice) || unit.firstMBInSlice == (plan.sets.hevc ? 1 : 0);
    };
    std::vector<Trial> trials = {{48000, 2}, {48000, 1}, {44100, 2}, {44100, 1}};
    uint32_t sce = 0, cpe = 0;
    for (Trial& t : trials) {
      if (audio.channels && t.channels != audio.channels) continue;
      AacFrameReader reader(aacAudioSpecificConfig(t.rate, t.channels));
      for (uint64_t start : plan.sets.videoEnds) {
        if (start >= size || unitAt(start)) continue;
        uint64_t x = start;
        uint64_t frames = 0;
        bool tiled = false;
        for (uint32_t i = 0; reader.usable() && i < kMaxWalkFrames && x < size; ++i) {
          const size_t length = size_t(std::min<uint64_t>(size - x, kMaxAacFrame));
          const uint8_t* b = window.at(x, length);
          const uint8_t element = b[0] >> 5;
          const size_t used = reader.frameSize(b, length);
          if (used == 0) break;
          if (t.rate == 48000 && t.channels == 2) {
            if (element == 0) ++sce;
            if (element == 1) ++cpe;
          }
          x += used;
          ++frames;
          if (x == size || unitAt(x)) {
            tiled = true;
            break;
          }
        }
        if (tiled) {
          ++t.tiled;
          t.frames += frames;
        }
      }
    }
    // The most stretches tiled, then the channel count the frames' first elements show
    // (a single-channel element starts a mono frame, a channel pair a stereo one).
    const uint32_t channelsSeen = cpe > sce ? 2 : 1;
    const Trial* best = nullptr;
    for (const Trial& t : trials) {
      if (audio.channels && t.channels != audio.channels) continue;
      if (t.tiled == 0) continue;
      if (!best || t.tiled > best->tiled ||
          (t.tiled == best->tiled && t.channels == channelsSeen && best->channels != channelsSeen))
        best = &t;
    }
    if (best) {
      audio.kind = InBandOptions::Audio::AAC;
      audio.channels = best->channels;
      audio.rate = best->rate;
      audio.rateKnown = false;
      audio.how = "detected";
    } else if (options.audio == InBandOptions::Audio::AAC) {
      audio.channels = audio.channels ? audio.channels : channelsSeen;
      audio.rate = 48000;
      audio.how = "assumed";
    } else {
      audio.kind = InBandOptions::Audio::None;
      audio.how = "none found";
    }
  } else if (audio.kind == InBandOptions::Audio::AAC || audio.kind == InBandOptions::Audio::PCM) {
    audio.rateKnown = true;
  }

  const Bytes moov = inBandMovieAtom(plan);
  auto movie = Moov::initMOOVWithData(moov.data(), uint32_t(moov.size()));
  if (!movie) return std::nullopt;
  plan.reference = File::initWithFileType(kFileTypeReference, path);
  plan.reference->setMoov(movie);
  return plan;
}

Bytes inBandMovieAtom(const InBandPlan& plan) {
  const InBandParameterSets& s = plan.sets;
  // Time scale: the rate's fraction scaled to at least 10,000 units a second.
  const uint32_t k = std::max<uint32_t>(1, (10000 + plan.fpsNum - 1) / std::max<uint32_t>(plan.fpsNum, 1));
  const uint32_t timeScale = plan.fpsNum * k;
  const uint32_t delta = plan.fpsDen * k;

  const auto video = videoEntry(s);
  if (!video) return {};
  // Pictures may be stored out of presentation order unless the stream's order type says
  // they are not (H.264 picture-order types 1 and 2 come without B-frames here).
  bool reorders = s.hevc;
  if (!s.hevc)
    if (auto sps = SPS::initSPSWithBytes(s.sps.data(), uint32_t(s.sps.size()))) reorders = sps->pic_order_cnt_type == 0;
  const uint32_t sampleSize = uint32_t(std::min<uint64_t>(s.largestGap, UINT32_MAX / 16));
  auto movie = std::make_shared<Moov>();
  movie->mvhd = Mvhd::initMVHDWithTimeScale(1000, 1000, 3);
  movie->tracks.push_back(track(1, *video, timeScale, 2, delta, sampleSize, reorders, s.width, s.height));

  const InBandAudio& a = plan.audio;
  if (const auto sound = soundEntry(a)) {
    if (a.kind == InBandOptions::Audio::AAC)
      movie->tracks.push_back(track(2, *sound, a.rate, 1, 1024, 0, false, 0, 0));
    else
      movie->tracks.push_back(track(2, *sound, a.rate, a.rate, 1, 1, false, 0, 0));
  }
  movie->setSizeFromChildren();
  return movie->convertSelfToData();
}

std::string InBandPlan::videoSummary() const {
  char text[256];
  std::snprintf(text, sizeof text, "%s %s %ux%u, %u-byte NAL lengths, %.3f fps (%s)", sets.hevc ? "H.265" : "H.264",
                sets.profile.c_str(), sets.width, sets.height, unsigned(sets.lengthSize), fps(),
                fpsGiven     ? "given"
                : fpsAssumed ? "assumed: the stream carries no frame rate, use --fps"
                             : "from the SPS");
  return text;
}

std::string InBandPlan::audioSummary() const {
  char text[160];
  switch (audio.kind) {
    case InBandOptions::Audio::AAC:
      if (audio.rateKnown)
        std::snprintf(text, sizeof text, "AAC-LC %u Hz %s (%s)", audio.rate, audio.channels == 1 ? "mono" : "stereo",
                      audio.how.c_str());
      else
        std::snprintf(text, sizeof text, "AAC-LC %s (%s), 48000 or 44100 Hz as the durations of the repair say",
                      audio.channels == 1 ? "mono" : "stereo", audio.how.c_str());
      return text;
    case InBandOptions::Audio::PCM:
      std::snprintf(text, sizeof text, "16-bit PCM %u Hz, %u channel%s, %s (given)", audio.rate, audio.channels,
                    audio.channels == 1 ? "" : "s", audio.bigEndian ? "big-endian" : "little-endian");
      return text;
    default: return audio.how == "given" ? "none (given)" : "none found (PCM needs --audio pcm:RATE:CHANNELS:le|be)";
  }
}

void settleInBandRepair(RepairFile& repair, InBandPlan& plan) {
  InBandAudio& a = plan.audio;
  if (a.kind == InBandOptions::Audio::AAC && !a.rateKnown && repair.audioSampleCount > 0 && plan.fps() > 0) {
    a.rateKnown = true;
    const double video = double(repair.videoSampleCount) / plan.fps();
    const double frames = double(repair.audioSampleCount) * 1024;
    const uint32_t rate = std::fabs(frames / 44100 - video) < std::fabs(frames / 48000 - video) ? 44100 : 48000;
    if (rate != a.rate) {
      a.rate = rate;
      const Bytes moov = inBandMovieAtom(plan);
      if (auto movie = Moov::initMOOVWithData(moov.data(), uint32_t(moov.size()))) {
        plan.reference->setMoov(movie);
        repair.outcome.audioSeconds = frames / rate;
      }
    }
  }
  if (repair.delegate) {
    repair.delegate->repairFileAttribute("reference", std::string("parameter sets in the stream (") +
                                                          std::to_string(plan.sets.keyframes) + " keyframes)");
    repair.delegate->repairFileAttribute("videoFormat", plan.videoSummary());
    repair.delegate->repairFileAttribute("audioFormat", plan.audioSummary());
    if (plan.fpsAssumed)
      repair.delegate->repairFileAttribute(
          "warning", "the stream carries no frame rate: 30 fps assumed; give the right one with --fps RATE");
  }
}

}  // namespace vr
