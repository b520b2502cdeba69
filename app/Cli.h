#pragma once
// Pieces of the command-line front end shared by its commands.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/RepairFileDelegate.h"
#include "engine/InBandReference.h"

namespace vr {
class File;
}

namespace vr::cli {

// Exit statuses of the program; the README and --help list them.
enum ExitStatus : int {
  kExitOk = 0,
  kExitUsage = 2,
  kExitOutputRefused = 3,   // output exists (without --force), or would replace an input
  kExitNeedsReference = 4,  // the damaged movie cannot serve as its own reference
  kExitNotAvi = 5,          // the file does not look like an AVI file
  kExitWriteFailed = 6,     // the repaired file could not be written completely
  kExitInfoNoIndex = 7,     // info: the file has no usable index
  kExitPartial = 8,         // repaired, but less than half of the media data was recovered
  kExitEngineBase = 10,     // engine error N (101..107) exits with 10 + (N - 100)
  kExitInterrupted = 130,   // Ctrl-C
};

struct Options {
  std::string command;
  std::string input;
  std::string reference;
  std::string output;
  bool force = false;
  bool json = false;
  bool quiet = false;
  // For a movie repaired from the parameter sets in its own stream (--fps, --audio).
  InBandOptions inBand;
};

// Receives the engine's reports on the engine thread and keeps them for the main thread,
// which draws the progress display.
class Reporter : public RepairFileDelegate {
 public:
  void moveBackToSelectReferenceFile() override { needsReference = true; }
  void repairFileDidStartPerformingTask(const std::string& task) override;
  void repairFileCurrentTaskProgress(int32_t percent) override { progress.store(percent, std::memory_order_relaxed); }
  void repairFileDidFailWithError(const RepairError& error) override;
  void repairFileDidComplete() override { completed = true; }
  void repairFileAttribute(const std::string& key, const std::string& value) override;

  std::string task() const;
  // Every task announced so far, in order (a quick phase may start and end between two
  // looks of the display).
  std::vector<std::string> tasks() const;
  uint64_t taskGeneration() const { return generation.load(); }
  std::vector<std::pair<std::string, std::string>> attributes() const;
  bool failed() const;
  RepairError error() const;

  std::atomic<int32_t> progress{0};
  std::atomic<bool> needsReference{false};
  std::atomic<bool> completed{false};

 private:
  mutable std::mutex m_;
  std::vector<std::string> tasks_;
  std::atomic<uint64_t> generation{0};
  std::vector<std::pair<std::string, std::string>> attributes_;
  bool failed_ = false;
  RepairError error_;
};

// Draws progress on stderr: one redrawn line on a terminal, plain lines otherwise.
class ProgressDisplay {
 public:
  ProgressDisplay(bool quiet, bool terminal);
  void update(const Reporter& reporter);
  void finish();

 private:
  bool quiet_;
  bool terminal_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point taskStart_;
  uint64_t shownGeneration_ = 0;
  int lastPrinted_ = -1;
  size_t tasksPrinted_ = 0;
  bool lineOpen_ = false;
};

// Why a parsed movie cannot serve as a repair reference, each with its path in the index;
// empty when it can (as far as its index goes).
std::vector<std::string> referenceReasons(const File& file);

std::string jsonEscape(const std::string& s);
std::string formatClock(double seconds);
std::string humanSize(uint64_t bytes);

int runRepair(const Options& options);
int runInfo(const Options& options);

}  // namespace vr::cli
