// How many 50-byte windows per second the slice-header paths of the NAL probe get
// through. A window is a 4-byte length prefix, the NAL header and the start of the
// payload; the benchmarks hand the payload part to the slice-header factories as the
// probe does. "Random" windows are noise (nearly all refused); "real" windows start at
// the slices of a 1080p stream (all accepted). The "accepted" counter is the share of
// windows that yielded a header.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "bitstream/PPS.h"
#include "bitstream/PPS_265.h"
#include "bitstream/SPS.h"
#include "bitstream/SPS_265.h"
#include "bitstream/SliceHeader.h"
#include "bitstream/SliceHeader_265.h"
#include "bitstream/VPS_265.h"

namespace {

using namespace vr;

constexpr uint32_t kWindow = 50;
constexpr uint32_t kPrefix = 4;
constexpr size_t kWindows = 1 << 14;

// Parameter sets of 1920x1080 streams from libx264 (baseline) and libx265 (wavefronts).
const std::vector<uint8_t> kSps264 = {0x67, 0x42, 0xc0, 0x28, 0xda, 0x01, 0xe0, 0x08, 0x9f, 0x97, 0x01, 0x10, 0x00,
                                      0x00, 0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03, 0x20, 0xf1, 0x83, 0x2a};
const std::vector<uint8_t> kPps264 = {0x68, 0xce, 0x0f, 0xc8};
const std::vector<uint8_t> kVps265 = {0x40, 0x01, 0x0c, 0x01, 0xff, 0xff, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00,
                                      0x90, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x78, 0x95, 0x94, 0x09};
const std::vector<uint8_t> kSps265 = {0x42, 0x01, 0x01, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00,
                                      0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x78, 0xa0, 0x03, 0xc0, 0x80,
                                      0x11, 0x07, 0xcb, 0x96, 0x56, 0x54, 0xa4, 0xc2, 0xf0, 0x16, 0x80,
                                      0x80, 0x00, 0x00, 0x03, 0x00, 0x80, 0x00, 0x00, 0x0c, 0x84};
const std::vector<uint8_t> kPps265 = {0x44, 0x01, 0xc0, 0x73, 0xc1, 0x89};
// Starts of real slices (NAL header included) from the same streams.
const std::vector<std::vector<uint8_t>> kSlices264 = {
    {0x65, 0x88, 0x84, 0x3a, 0x26, 0x28, 0x00, 0x09, 0x02, 0xc9, 0xc9, 0xc9, 0xc9, 0xc9, 0xc9, 0xc9, 0xc9},
    {0x41, 0x9a, 0x20, 0x5a, 0x0d, 0xf3, 0x55, 0xdf, 0xe0, 0x86, 0xaf, 0xbc, 0x10, 0xf5, 0xe8, 0x20, 0xe4},
    {0x41, 0x9a, 0x40, 0x6a, 0x0d, 0xf5, 0x70, 0x07, 0x8e, 0x7a, 0xf9, 0x81, 0x00, 0x9e, 0x41, 0x94, 0x5c}};
const std::vector<std::vector<uint8_t>> kSlices265 = {
    {0x28, 0x01, 0xac, 0x74, 0x11, 0x0b, 0x2e, 0xe4, 0x88, 0x83, 0x0e, 0xc2, 0x2c, 0x36, 0xc7, 0xb0, 0xde},
    {0x02, 0x01, 0xd0, 0x11, 0x56, 0x20, 0xe0, 0x22, 0x38, 0x30, 0x40, 0x81, 0x02, 0x04, 0x08, 0x10, 0x20},
    {0x00, 0x01, 0xe0, 0x24, 0xbe, 0x08, 0x14, 0x82, 0x22, 0x19, 0x11, 0x11, 0x11, 0x11, 0x10, 0x88, 0x88}};

std::vector<uint8_t> randomWindows() {
  std::mt19937 rng(1);
  std::vector<uint8_t> w(kWindows * kWindow);
  for (auto& b : w) b = uint8_t(rng());
  return w;
}

std::vector<uint8_t> realWindows(const std::vector<std::vector<uint8_t>>& slices) {
  std::mt19937 rng(2);
  std::vector<uint8_t> w(kWindows * kWindow);
  for (size_t i = 0; i < kWindows; ++i) {
    uint8_t* p = &w[i * kWindow];
    for (uint32_t k = 0; k < kWindow; ++k) p[k] = uint8_t(rng());
    const auto& s = slices[i % slices.size()];
    std::copy(s.begin(), s.end(), p + kPrefix);
  }
  return w;
}

void runH264(benchmark::State& state, const std::vector<uint8_t>& windows) {
  auto sps = SPS::initSPSWithBytes(kSps264.data(), uint32_t(kSps264.size()));
  auto pps = PPS::initPPSWithBytes(kPps264.data(), uint32_t(kPps264.size()));
  size_t i = 0, accepted = 0, total = 0;
  for (auto _ : state) {
    const uint8_t* w = &windows[(i++ % kWindows) * kWindow];
    const uint8_t h = w[kPrefix];
    // The probe hands slices of types 1 and 5 over; random bytes get one of the two.
    const uint32_t type = (h & 0x1F) == 5 ? 5 : 1;
    auto sh = SliceHeader::initIDRWithBytes(w + kPrefix + 1, kWindow - kPrefix - 1, type, (h >> 5) & 3, *sps, *pps);
    accepted += bool(sh);
    ++total;
    benchmark::DoNotOptimize(sh);
  }
  state.SetItemsProcessed(int64_t(total));
  state.counters["accepted"] = benchmark::Counter(total ? double(accepted) / double(total) : 0);
}

void runH265(benchmark::State& state, const std::vector<uint8_t>& windows) {
  auto vps = VPS_265::initVPS265WithBytes(kVps265.data(), uint32_t(kVps265.size()));
  auto sps = SPS_265::initSPS265WithBytes(kSps265.data(), uint32_t(kSps265.size()), 1920, 1080);
  auto pps = PPS_265::initPPS265WithBytes(kPps265.data(), uint32_t(kPps265.size()), sps);
  if (!vps || !sps || !pps) {
    state.SkipWithError("reference parameter sets refused");
    return;
  }
  size_t i = 0, accepted = 0, total = 0;
  for (auto _ : state) {
    const uint8_t* w = &windows[(i++ % kWindows) * kWindow];
    uint32_t type = (w[kPrefix] >> 1) & 0x3F;
    if (type > 21 || (type > 9 && type < 16)) type %= 10;  // the probe only hands slice types over
    auto sh = SliceHeader_265::initSLiceHeader265WithBytes(w + kPrefix + 2, kWindow - kPrefix - 2, type, *sps, *pps,
                                                           vps);
    accepted += bool(sh);
    ++total;
    benchmark::DoNotOptimize(sh);
  }
  state.SetItemsProcessed(int64_t(total));
  state.counters["accepted"] = benchmark::Counter(total ? double(accepted) / double(total) : 0);
}

void BM_H264SliceHeader_RandomWindows(benchmark::State& state) {
  static const auto windows = randomWindows();
  runH264(state, windows);
}
void BM_H264SliceHeader_RealSlices(benchmark::State& state) {
  static const auto windows = realWindows(kSlices264);
  runH264(state, windows);
}
void BM_H265SliceHeader_RandomWindows(benchmark::State& state) {
  static const auto windows = randomWindows();
  runH265(state, windows);
}
void BM_H265SliceHeader_RealSlices(benchmark::State& state) {
  static const auto windows = realWindows(kSlices265);
  runH265(state, windows);
}
void BM_H265SPS_Window(benchmark::State& state) {
  for (auto _ : state) {
    auto sps = SPS_265::initSPS265WithBytes(kSps265.data(), uint32_t(kSps265.size()), 1920, 1080);
    benchmark::DoNotOptimize(sps);
  }
  state.SetItemsProcessed(int64_t(state.iterations()));
}

BENCHMARK(BM_H264SliceHeader_RandomWindows);
BENCHMARK(BM_H264SliceHeader_RealSlices);
BENCHMARK(BM_H265SliceHeader_RandomWindows);
BENCHMARK(BM_H265SliceHeader_RealSlices);
BENCHMARK(BM_H265SPS_Window);

}  // namespace

BENCHMARK_MAIN();
