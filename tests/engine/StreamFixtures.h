#pragma once
// NAL units taken from small libx264 and libx265 encodes of a 64x64 test pattern (the
// parameter sets whole, the slices by their first bytes, which is all a probe reads), and
// helpers that lay them out as length-prefixed media data.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bitstream/PPS.h"
#include "bitstream/PPS_265.h"
#include "bitstream/SPS.h"
#include "bitstream/SPS_265.h"
#include "bitstream/VPS_265.h"
#include "engine/NALU.h"
#include "tests/support/AtomBytes.h"

namespace vr::test {

// H.264, constrained baseline, three slices per picture: the first two slices of the IDR
// picture, the first of the next P picture.
namespace h264 {
inline const Bytes kSPS = hex("6742c00ada109b011000000300100000030320f1226a");
inline const Bytes kPPS = hex("68ce0fc8");
inline const Bytes kSEI = hex("0605ffff57dc45e9bde6d948b7962cd820d923eeef78323634202d20636f726520313634");
inline const Bytes kIDR[2] = {
    hex("6588843a0c600080040d67036675658ecc7b6188e63fff001e0bf16d8cb60d77f5d7001e00020005280548e7b2"),
    hex("65288843a0a600080060ef013f22457190948a875d0e70bc000e83288e624d352e15e555e186515ed49a6a5e"),
};
inline const Bytes kP = hex("419a203abc6c5c562b15f02ebf60562b15800fbfad793f5d0275b00ebf0eb00337fefddead6ff9aff98075fc");

inline ReferenceParameterSets reference() {
  ReferenceParameterSets r;
  r.sps = SPS::initSPSWithBytes(kSPS.data(), uint32_t(kSPS.size()));
  r.pps = PPS::initPPSWithBytes(kPPS.data(), uint32_t(kPPS.size()));
  return r;
}
}  // namespace h264

// H.265 main profile: parameter sets, an IDR_N_LP picture and a TRAIL_R picture.
namespace h265 {
inline const Bytes kVPS = hex("40010c01ffff01600000030090000003000003001e928090");
inline const Bytes kSPS = hex("42010101600000030090000003000003001ea0208105964a924caf016808000003000800000300c840");
inline const Bytes kPPS = hex("4401c172b42240");
inline const Bytes kIDR = hex("2801af1d80c2f9897f5a0a32d30bff7e77d18ed61868a964fab0f736d49e2b77a6fffbc6c7d0");
inline const Bytes kTrail = hex("0201d0097e10c63bb6b3667dcd34adfe91d8178d96");
// Prefix SEI and access unit delimiter headers, payload made up.
inline const Bytes kSEI = hex("4e0105ffff0102030405060708090a0b0c0d0e0f");
inline const Bytes kAUD = hex("46015000");

inline ReferenceParameterSets reference() {
  ReferenceParameterSets r;
  r.vps = VPS_265::initVPS265WithBytes(kVPS.data(), uint32_t(kVPS.size()));
  r.sps265 = SPS_265::initSPS265WithBytes(kSPS.data(), uint32_t(kSPS.size()), 64, 64);
  r.pps265 = PPS_265::initPPS265WithBytes(kPPS.data(), uint32_t(kPPS.size()), r.sps265);
  return r;
}
}  // namespace h265

// Units laid out back to back, each of `total` bytes in the file behind an n-byte length
// prefix: the prefix, the unit's known bytes, then zero filler.
struct Unit { const Bytes* bytes; uint32_t total; };
inline Bytes layout(const std::vector<Unit>& units, int n = 4) {
  Bytes out;
  for (const Unit& u : units) {
    const uint32_t length = u.total - uint32_t(n);
    for (int i = n - 1; i >= 0; --i) out.push_back(uint8_t(length >> (8 * i)));
    out.insert(out.end(), u.bytes->begin(), u.bytes->begin() + std::min<size_t>(u.bytes->size(), length));
    out.resize(out.size() + length - std::min<size_t>(u.bytes->size(), length), 0);
  }
  return out;
}

}  // namespace vr::test
