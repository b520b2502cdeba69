// Scan throughput on media data that holds no NAL unit: the worst case of the scan, where
// every byte offset is probed. Random bytes stand for overwritten or foreign data. The
// file is written once and read from the page cache; the H.264 and H.265 references are
// made with ffmpeg.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/RepairFileDelegate.h"
#include "engine/File.h"
#include "engine/RepairFile.h"

namespace {

constexpr uint64_t kDataBytes = 128ull << 20;

struct Silent : vr::RepairFileDelegate {
  void moveBackToSelectReferenceFile() override {}
  void repairFileDidStartPerformingTask(const std::string&) override {}
  void repairFileCurrentTaskProgress(int32_t) override { ++progress; }
  void repairFileDidFailWithError(const vr::RepairError&) override {}
  void repairFileDidComplete() override {}
  void repairFileAttribute(const std::string&, const std::string&) override {}
  uint64_t progress = 0;
};

std::string workDir() {
  static const std::string dir = [] {
    std::string d = std::filesystem::temp_directory_path().string() + "/vr-bench-scan-" + std::to_string(getpid());
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}

// Random bytes from a fixed seed.
const std::string& randomFile() {
  static const std::string path = [] {
    const std::string p = workDir() + "/random.bin";
    std::vector<uint64_t> block(1 << 17);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    std::ofstream out(p, std::ios::binary);
    for (uint64_t done = 0; done < kDataBytes; done += block.size() * 8) {
      for (auto& v : block) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        v = x;
      }
      out.write(reinterpret_cast<const char*>(block.data()), std::streamsize(block.size() * 8));
    }
    return p;
  }();
  return path;
}

std::shared_ptr<vr::File> reference(bool hevc) {
  const std::string path = workDir() + (hevc ? "/ref265.mov" : "/ref264.mov");
  if (!std::filesystem::exists(path)) {
    const std::string codec = hevc ? "-c:v libx265 -tag:v hvc1 -x265-params log-level=error" : "-c:v libx264";
    const std::string cmd = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25:duration=1 " +
                            codec + " -pix_fmt yuv420p -f mov '" + path + "'";
    if (std::system(cmd.c_str()) != 0) return nullptr;
  }
  return vr::File::parseFileAtPath(path);
}

void BM_ScanUnmatchedData(benchmark::State& state) {
  const bool hevc = state.range(0) == 1;
  auto ref = reference(hevc);
  if (!ref || !ref->moov()) {
    state.SkipWithError("could not make the reference movie (ffmpeg missing?)");
    return;
  }
  const std::string& data = randomFile();
  size_t samples = 0;
  for (auto _ : state) {
    vr::RepairFile repair;
    Silent delegate;
    repair.delegate = &delegate;
    repair.healthyFile = ref;
    auto corrupt = vr::File::initWithFileType(vr::kFileTypeCorrupted, data);
    repair.analyseDataForAVC1AndHVC1InFile(*corrupt, vr::kAudioCodecAAC);
    samples += repair.videoSampleArray.size();
    benchmark::DoNotOptimize(repair.sampleArray.size());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kDataBytes));
  state.counters["samples_found"] = double(samples) / double(state.iterations());
}
BENCHMARK(BM_ScanUnmatchedData)->Arg(0)->Arg(1)->ArgName("hevc")->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(workDir(), ec);
  return 0;
}
