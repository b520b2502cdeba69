#pragma once
// Helpers for the bitstream tests: a bit writer for hand-made headers, and raw
// Annex-B streams made with ffmpeg and split into NAL units.
#include <cstdint>
#include <string>
#include <vector>

#include "support/TestMedia.h"

namespace vr::test {

class BitWriter {
 public:
  BitWriter& u(uint32_t n, uint64_t v) {
    for (uint32_t i = n; i-- > 0;) bit(uint32_t((v >> i) & 1u));
    return *this;
  }
  BitWriter& bit(uint32_t b) {
    if (bits_ % 8 == 0) bytes_.push_back(0);
    if (b) bytes_.back() |= uint8_t(0x80u >> (bits_ % 8));
    ++bits_;
    return *this;
  }
  BitWriter& ue(uint64_t v) {
    uint32_t len = 0;
    while (((v + 1) >> len) > 1) ++len;
    return u(len, 0).u(len + 1, v + 1);
  }
  BitWriter& se(int64_t v) { return ue(v > 0 ? uint64_t(2 * v - 1) : uint64_t(-2 * v)); }
  BitWriter& bytes(std::initializer_list<uint8_t> b) {
    for (uint8_t x : b) u(8, x);
    return *this;
  }
  // rbsp_trailing_bits: a stop bit and zero bits to the byte boundary.
  BitWriter& trailing() {
    bit(1);
    while (bits_ % 8) bit(0);
    return *this;
  }
  uint64_t bitCount() const { return bits_; }
  const std::vector<uint8_t>& data() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t bits_ = 0;
};

// Encodes a few frames of the test pattern with the given encoder arguments into a raw
// Annex-B stream ("h264" or "hevc" format) and returns its bytes; empty on failure.
inline std::vector<uint8_t> encode(const std::string& name, const std::string& size, int frames,
                                   const std::string& codecArgs, const std::string& format) {
  const TempDir dir;
  const std::string out = dir.file(name + "." + format);
  const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc=size=" + size +
                          ":rate=25 -frames:v " + std::to_string(frames) + " -pix_fmt yuv420p " + codecArgs +
                          " -f " + format + " " + shellQuote(out) + " > /dev/null 2>&1";
  if (!dir.ok() || runCommand(cmd).status != 0) return {};
  return readFileBytes(out);
}

// Splits an Annex-B stream on 00 00 01 / 00 00 00 01 start codes; each unit starts with
// its NAL header and keeps its emulation-prevention bytes.
inline std::vector<std::vector<uint8_t>> splitAnnexB(const std::vector<uint8_t>& s) {
  std::vector<std::vector<uint8_t>> units;
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= s.size(); ++i)
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) starts.push_back(i + 3), i += 2;
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = (k + 1 < starts.size()) ? starts[k + 1] - 3 : s.size();
    while (end > starts[k] && s[end - 1] == 0) --end;  // zero byte of a 4-byte start code
    units.emplace_back(s.begin() + long(starts[k]), s.begin() + long(end));
  }
  return units;
}

}  // namespace vr::test
