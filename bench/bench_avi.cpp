// AVI repair speed on a generated AVI of a little over 1 GB, next to a plain copy of the same
// file. The file is generated into a temp folder before the benchmarks run (so it sits in the
// page cache) and removed afterwards.
//
// Reported: bytes_per_second of each whole run, and for the repair the data scan's own
// throughput (scan_MBps) timed from the delegate's phase messages.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include "avi/RepairFileAvi.h"
#include "common/FileIO.h"

namespace {

namespace fs = std::filesystem;
using vr::Bytes;

fs::path gDir;
std::string gInput;
uint64_t gInputSize = 0;

void tag(Bytes& b, const char* t) { b.insert(b.end(), t, t + 4); }
void le32(Bytes& b, uint32_t v) { vr::appendLE32(b, v); }

// Header list with one MJPEG video and one PCM audio stream, laid out as muxers write it.
Bytes headerList() {
  Bytes h;
  tag(h, "hdrl");
  tag(h, "avih");
  le32(h, 56);
  for (uint32_t v : {40000u, 4000000u, 0u, 0x10u, 0u, 0u, 2u, 0u, 1920u, 1080u, 0u, 0u, 0u, 0u}) le32(h, v);
  const auto strl = [&](const char* type, const char* handler, uint32_t scale, uint32_t rate, const Bytes& fmt) {
    tag(h, "LIST");
    le32(h, uint32_t(4 + 8 + 56 + 8 + fmt.size()));
    tag(h, "strl");
    tag(h, "strh");
    le32(h, 56);
    tag(h, type);
    tag(h, handler);
    h.insert(h.end(), 12, 0);
    for (uint32_t v : {scale, rate, 0u, 0u, 1u << 20, 0xFFFFFFFFu, 0u, 0u, 0u}) le32(h, v);
    tag(h, "strf");
    le32(h, uint32_t(fmt.size()));
    h.insert(h.end(), fmt.begin(), fmt.end());
  };
  Bytes vf;
  for (uint32_t v : {40u, 1920u, 1080u, 0x00180001u}) le32(vf, v);
  tag(vf, "MJPG");
  for (uint32_t v : {1920u * 1080u * 3u, 0u, 0u, 0u, 0u}) le32(vf, v);
  Bytes af = {1, 0, 2, 0};
  for (uint32_t v : {48000u, 192000u, 0x00100004u}) le32(af, v);
  af.insert(af.end(), {0, 0});
  strl("vids", "MJPG", 1, 25, vf);
  strl("auds", "\1\0\0\0", 1, 48000, af);
  return h;
}

// Writes an AVI of at least minBytes: video chunks of 40..200 KB and 7,680-byte audio chunks,
// interleaved, filled with pseudo-random bytes.
bool generateAvi(const std::string& path, uint64_t minBytes) {
  vr::FileHandle out = vr::FileHandle::createForWriting(path);
  if (!out.isOpen()) return false;
  const Bytes hdrl = headerList();
  Bytes head;
  tag(head, "RIFF");
  le32(head, 0);  // sizes left unset, as in a recording that was never finalised
  tag(head, "AVI ");
  tag(head, "LIST");
  le32(head, uint32_t(hdrl.size()));
  head.insert(head.end(), hdrl.begin(), hdrl.end());
  tag(head, "LIST");
  le32(head, 0);
  tag(head, "movi");
  uint64_t pos = 0;
  if (out.writeAt(pos, head.data(), head.size()) != head.size()) return false;
  pos += head.size();

  std::mt19937_64 rng(42);
  std::uniform_int_distribution<uint32_t> videoSize(40000, 200000);
  Bytes buf;
  buf.reserve(16u << 20);
  const auto addChunk = [&](const char* t, uint32_t size) {
    tag(buf, t);
    le32(buf, size);
    const size_t at = buf.size();
    buf.resize(at + size + (size & 1));
    for (size_t i = 0; i + 8 <= size; i += 8) {
      const uint64_t r = rng();
      std::memcpy(buf.data() + at + i, &r, 8);
    }
  };
  while (pos < minBytes) {
    buf.clear();
    while (buf.size() < (15u << 20)) {
      addChunk("00dc", videoSize(rng));
      addChunk("01wb", 7680);
    }
    if (out.writeAt(pos, buf.data(), buf.size()) != buf.size()) return false;
    pos += buf.size();
  }
  Bytes tail;
  tag(tail, "idx1");
  le32(tail, 0);
  // Flushed to disk so that neither benchmark pays for writing back the generated file.
  return out.writeAt(pos, tail.data(), tail.size()) == tail.size() && out.sync();
}

// Copies the input with an 8 MiB buffer, the way a plain file copy works.
void plainCopy(const std::string& from, const std::string& to) {
  vr::FileHandle in = vr::FileHandle::openForReading(from);
  vr::FileHandle out = vr::FileHandle::createForWriting(to);
  Bytes buf(8u << 20);
  uint64_t off = 0;
  size_t n;
  while ((n = in.readAt(off, buf.data(), buf.size())) > 0) {
    out.writeAt(off, buf.data(), n);
    off += n;
  }
}

// One untimed copy puts the input in the page cache and primes the write path: the first
// gigabyte written by a process is markedly slower than later ones, whichever code writes it.
void warmUp() {
  const std::string scratch = (gDir / "warm.avi").string();
  plainCopy(gInput, scratch);
  fs::remove(scratch);
  ::sync();
}

void BM_PlainCopy(benchmark::State& state) {
  const std::string out = (gDir / "copy.avi").string();
  for (auto _ : state) plainCopy(gInput, out);
  state.SetBytesProcessed(int64_t(state.iterations() * gInputSize));
  fs::remove(out);
  ::sync();  // leave no dirty pages behind for the next benchmark
}

class PhaseClock : public vr::RepairFileDelegate {
 public:
  using Clock = std::chrono::steady_clock;
  Clock::time_point scanStart, scanEnd;
  bool completed = false;
  void moveBackToSelectReferenceFile() override {}
  void repairFileDidStartPerformingTask(const std::string& task) override {
    if (task == "Locating audio / video data forks..") scanStart = Clock::now();
    if (task == "Repairing the file..") scanEnd = Clock::now();
  }
  void repairFileCurrentTaskProgress(int32_t) override {}
  void repairFileDidFailWithError(const vr::RepairError&) override {}
  void repairFileDidComplete() override { completed = true; }
  void repairFileAttribute(const std::string&, const std::string&) override {}
};

void BM_AviRepair(benchmark::State& state) {
  const std::string out = (gDir / "repaired.avi").string();
  double scanSeconds = 0;
  uint64_t chunks = 0;
  for (auto _ : state) {
    vr::RepairFileAvi engine;
    PhaseClock clock;
    engine.delegate = &clock;
    engine.retrieveAudioVideoSamplesForFileAtPath(gInput, out);
    if (!clock.completed) {
      state.SkipWithError("the repair did not complete");
      break;
    }
    scanSeconds += std::chrono::duration<double>(clock.scanEnd - clock.scanStart).count();
    chunks = engine.videosamplecount + engine.audiosamplecount;
  }
  state.SetBytesProcessed(int64_t(state.iterations() * gInputSize));
  if (scanSeconds > 0)
    state.counters["scan_MBps"] = double(gInputSize) * double(state.iterations()) / scanSeconds / 1e6;
  state.counters["chunks"] = double(chunks);
  fs::remove(out);
  ::sync();
}

// The machine is shared and its write speed swings widely from one second to the next, so
// each benchmark is repeated three times; the median is the figure to read.
BENCHMARK(BM_PlainCopy)->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true)->UseRealTime()->Unit(
    benchmark::kMillisecond);
BENCHMARK(BM_AviRepair)->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true)->UseRealTime()->Unit(
    benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  vr::setLogSink([](const std::string&) {});
  gDir = fs::temp_directory_path() / ("vr-bench-avi-" + std::to_string(::getpid()));
  fs::create_directories(gDir);
  gInput = (gDir / "input.avi").string();
  const uint64_t minBytes = (1ull << 30) + (1u << 20);
  if (!generateAvi(gInput, minBytes)) {
    std::fprintf(stderr, "could not generate %s\n", gInput.c_str());
    fs::remove_all(gDir);
    return 1;
  }
  gInputSize = fs::file_size(gInput);
  std::fprintf(stderr, "generated %s: %llu bytes\n", gInput.c_str(), static_cast<unsigned long long>(gInputSize));
  warmUp();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fs::remove_all(gDir);
  return 0;
}
