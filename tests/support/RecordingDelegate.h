#pragma once
// A delegate that records every report of a repair engine, for tests.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/RepairFileDelegate.h"

namespace vr::test {

class RecordingDelegate : public RepairFileDelegate {
 public:
  void moveBackToSelectReferenceFile() override { add("moveBack"), moveBack = true; }
  void repairFileDidStartPerformingTask(const std::string& task) override { add("task:" + task, [&] { tasks.push_back(task); }); }
  void repairFileCurrentTaskProgress(int32_t percent) override { add("", [&] { progress.push_back(percent); }); }
  void repairFileDidFailWithError(const RepairError& e) override { add("error:" + std::to_string(e.code), [&] { errors.push_back(e); }); }
  void repairFileDidComplete() override { add("complete"), completed = true; }
  void repairFileAttribute(const std::string& key, const std::string& value) override { add("attr:" + key + "=" + value); }

  std::vector<std::string> snapshot() const {
    std::lock_guard<std::mutex> l(m);
    return events;
  }
  size_t progressCount() const {
    std::lock_guard<std::mutex> l(m);
    return progress.size();
  }

  mutable std::mutex m;
  std::vector<std::string> events;  // every message except progress, in order
  std::vector<std::string> tasks;
  std::vector<int32_t> progress;
  std::vector<RepairError> errors;
  std::atomic<bool> moveBack{false};
  std::atomic<bool> completed{false};

 private:
  // Records the event (none for progress) and, under the same lock, what keep adds.
  void add(const std::string& event, const std::function<void()>& keep = {}) {
    std::lock_guard<std::mutex> l(m);
    if (!event.empty()) events.push_back(event);
    if (keep) keep();
  }
};

}  // namespace vr::test
