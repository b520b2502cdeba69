#pragma once
// Helpers shared by the AVI engine tests: a scratch folder, a delegate that records every
// report, and small file utilities.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "avi/RepairFileAvi.h"

namespace vr::avitest {

namespace fs = std::filesystem;

// A fresh folder under the system temp dir, removed with everything in it at the end.
class ScratchDir {
 public:
  ScratchDir() {
    std::random_device rd;
    path_ = fs::temp_directory_path() / ("vr-avi-test-" + std::to_string(rd()) + std::to_string(rd()));
    fs::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

inline void writeFile(const std::string& path, const Bytes& b) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

inline Bytes readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Records every delegate message; an optional hook runs on each one (for stop/pause tests).
class RecordingDelegate : public RepairFileDelegate {
 public:
  std::vector<std::string> tasks;
  std::vector<int32_t> progress;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<RepairError> errors;
  int completions = 0;
  std::atomic<size_t> progressCount{0};
  std::function<void(const std::string& event)> hook;

  void moveBackToSelectReferenceFile() override { note("moveBack"); }
  void repairFileDidStartPerformingTask(const std::string& task) override {
    tasks.push_back(task);
    note("task:" + task);
  }
  void repairFileCurrentTaskProgress(int32_t percent) override {
    progress.push_back(percent);
    ++progressCount;
    note("progress:" + std::to_string(percent));
  }
  void repairFileDidFailWithError(const RepairError& error) override {
    errors.push_back(error);
    note("error");
  }
  void repairFileDidComplete() override {
    ++completions;
    note("complete");
  }
  void repairFileAttribute(const std::string& key, const std::string& value) override {
    attributes.emplace_back(key, value);
    note("attr:" + key);
  }

  void reset() {
    tasks.clear();
    progress.clear();
    attributes.clear();
    errors.clear();
    completions = 0;
    progressCount = 0;
  }

  bool failedWith107() const {
    return errors.size() == 1 && errors[0].code == 107 && errors[0].domain == "com.dovex.videorepair" &&
           errors[0].reason() == "Can not repair this file..";
  }

 private:
  void note(const std::string& e) {
    if (hook) hook(e);
  }
};

// Quiets the engine's diagnostic lines for the lifetime of a test.
struct QuietLog {
  QuietLog() { setLogSink([](const std::string&) {}); }
  ~QuietLog() { setLogSink(nullptr); }
};

}  // namespace vr::avitest
