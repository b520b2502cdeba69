#pragma once
// Readers of the stream formats an AVI stream list carries, as far as the rebuild needs them.
#include <cstdint>
#include <optional>

#include "common/ByteOrder.h"

namespace vr {

// WAVEFORMAT(EX) / WAVEFORMATEXTENSIBLE: the audio format of an "auds" stream.
struct AviWaveFormat {
  uint16_t formatTag = 0;
  uint16_t channels = 0;
  uint32_t samplesPerSec = 0;
  uint32_t avgBytesPerSec = 0;
  uint16_t blockAlign = 0;
  uint16_t bitsPerSample = 0;
  uint16_t subFormat = 0;  // first two bytes of the sub-format GUID of WAVE_FORMAT_EXTENSIBLE

  static std::optional<AviWaveFormat> parse(const Bytes& f) {
    if (f.size() < 16) return std::nullopt;
    AviWaveFormat w;
    w.formatTag = readLE16(f.data());
    w.channels = readLE16(f.data() + 2);
    w.samplesPerSec = readLE32(f.data() + 4);
    w.avgBytesPerSec = readLE32(f.data() + 8);
    w.blockAlign = readLE16(f.data() + 12);
    w.bitsPerSample = readLE16(f.data() + 14);
    if (w.formatTag == 0xFFFE && f.size() >= 26) w.subFormat = readLE16(f.data() + 24);
    return w;
  }

  // Uncompressed samples in blocks of blockAlign bytes: integer or float PCM, A-law, mu-law.
  bool isPcm() const {
    const uint16_t tag = formatTag == 0xFFFE ? subFormat : formatTag;
    return tag == 1 || tag == 3 || tag == 6 || tag == 7;
  }
  // MPEG audio layer 1/2 (0x50) or layer 3 (0x55): frames that carry their own headers.
  bool isMpegAudio() const { return formatTag == 0x50 || formatTag == 0x55; }
};

// Whether a video chunk starts a picture that decodes on its own, told from the first bytes
// of its data. MPEG-4 Part 2 chunks are key frames when their first picture (VOP) is
// intra-coded, H.264 chunks when they hold an IDR slice; every picture of other codecs (such
// as Motion JPEG) counts as a key frame.
enum class AviVideoKind { IntraOnly, Mpeg4Part2, H264 };

inline AviVideoKind aviVideoKind(uint32_t fourcc) {
  char c[4];
  for (int i = 0; i < 4; ++i) {
    const char ch = char(fourcc >> (24 - 8 * i));
    c[i] = ch >= 'a' && ch <= 'z' ? char(ch - 32) : ch;
  }
  const auto is = [&](const char* t) { return c[0] == t[0] && c[1] == t[1] && c[2] == t[2] && c[3] == t[3]; };
  for (const char* t : {"FMP4", "XVID", "DIVX", "DX50", "MP4V", "M4S2", "3IV2", "MP4S"})
    if (is(t)) return AviVideoKind::Mpeg4Part2;
  for (const char* t : {"H264", "X264", "AVC1", "DAVC", "VSSH"})
    if (is(t)) return AviVideoKind::H264;
  return AviVideoKind::IntraOnly;
}

inline bool aviChunkIsKeyFrame(AviVideoKind kind, const uint8_t* p, size_t n) {
  if (kind == AviVideoKind::IntraOnly) return true;
  for (size_t i = 0; i + 4 < n; ++i) {
    if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1) continue;
    const uint8_t code = p[i + 3];
    if (kind == AviVideoKind::Mpeg4Part2 && code == 0xB6) return (p[i + 4] >> 6) == 0;  // vop_coding_type I
    if (kind == AviVideoKind::H264) {
      const int type = code & 0x1F;
      if (type == 5) return true;              // IDR slice
      if (type == 1) return false;             // non-IDR slice
    }
  }
  return kind == AviVideoKind::H264 ? false : true;
}

// One MPEG audio frame header (MPEG-1, -2 and 2.5, layers 1 to 3).
struct MpegAudioFrameHeader {
  uint32_t frameBytes = 0;       // whole frame, header included
  uint32_t samplesPerFrame = 0;
  uint32_t sampleRate = 0;

  // Parses the four bytes at p; refuses anything that is not a valid header.
  static std::optional<MpegAudioFrameHeader> parse(const uint8_t* p) {
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return std::nullopt;
    const int version = (p[1] >> 3) & 3;  // 0: MPEG-2.5, 2: MPEG-2, 3: MPEG-1
    const int layer = 4 - ((p[1] >> 1) & 3);
    const int bitrateIndex = p[2] >> 4, rateIndex = (p[2] >> 2) & 3, padding = (p[2] >> 1) & 1;
    if (version == 1 || layer == 4 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return std::nullopt;
    static constexpr uint16_t kBitrates[2][3][15] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    static constexpr uint32_t kRates[3] = {44100, 48000, 32000};
    const bool mpeg1 = version == 3;
    MpegAudioFrameHeader h;
    h.sampleRate = kRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    const uint32_t bitrate = kBitrates[mpeg1 ? 0 : 1][layer - 1][bitrateIndex] * 1000u;
    if (layer == 1) {
      h.samplesPerFrame = 384;
      h.frameBytes = (12 * bitrate / h.sampleRate + padding) * 4;
    } else {
      h.samplesPerFrame = (layer == 3 && !mpeg1) ? 576 : 1152;
      h.frameBytes = h.samplesPerFrame / 8 * bitrate / h.sampleRate + padding;
    }
    return h;
  }
};

}  // namespace vr
