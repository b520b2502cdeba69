#pragma once
// Stop and pause requests shared by the repair engines. The front end sets the flags from
// its own thread; the engine polls them at fixed points. A paused engine sleeps in
// one-second steps and wakes at once when the pause is cleared.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vr {

class StopPauseFlags {
 public:
  bool stopRequested() const { return stop_.load(std::memory_order_relaxed); }
  bool paused() const { return pause_.load(std::memory_order_relaxed); }

  void setStop(bool v) {
    stop_.store(v);
    notify();
  }
  void setPause(bool v) {
    {
      std::lock_guard<std::mutex> lock(m_);
      pause_.store(v);
    }
    cv_.notify_all();
  }

  // Waits while paused, in steps of at most one second. A stop request alone does not end
  // the pause; the stop is seen at the next polling point after it.
  void waitWhilePaused() {
    if (!paused()) return;
    std::unique_lock<std::mutex> lock(m_);
    while (pause_.load()) cv_.wait_for(lock, std::chrono::seconds(1));
  }

 private:
  void notify() {
    std::lock_guard<std::mutex> lock(m_);
    cv_.notify_all();
  }
  std::atomic<bool> stop_{false};
  std::atomic<bool> pause_{false};
  std::mutex m_;
  std::condition_variable cv_;
};

}  // namespace vr
