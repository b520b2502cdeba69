#include <cmath>
#include <cstdio>

#include "app/Cli.h"
#include "common/Text.h"

namespace vr::cli {

void Reporter::repairFileDidStartPerformingTask(const std::string& task) {
  std::lock_guard<std::mutex> lock(m_);
  tasks_.push_back(task);
  progress.store(0);
  generation.fetch_add(1);
}

void Reporter::repairFileDidFailWithError(const RepairError& error) {
  std::lock_guard<std::mutex> lock(m_);
  failed_ = true;
  error_ = error;
}

void Reporter::repairFileAttribute(const std::string& key, const std::string& value) {
  std::lock_guard<std::mutex> lock(m_);
  attributes_.emplace_back(key, value);
}

std::string Reporter::task() const {
  std::lock_guard<std::mutex> lock(m_);
  return tasks_.empty() ? std::string() : tasks_.back();
}

std::vector<std::string> Reporter::tasks() const {
  std::lock_guard<std::mutex> lock(m_);
  return tasks_;
}

std::vector<std::pair<std::string, std::string>> Reporter::attributes() const {
  std::lock_guard<std::mutex> lock(m_);
  return attributes_;
}

bool Reporter::failed() const {
  std::lock_guard<std::mutex> lock(m_);
  return failed_;
}

RepairError Reporter::error() const {
  std::lock_guard<std::mutex> lock(m_);
  return error_;
}

ProgressDisplay::ProgressDisplay(bool quiet, bool terminal)
    : quiet_(quiet), terminal_(terminal), start_(std::chrono::steady_clock::now()), taskStart_(start_) {}

void ProgressDisplay::update(const Reporter& reporter) {
  if (quiet_) return;
  const auto now = std::chrono::steady_clock::now();
  const uint64_t generation = reporter.taskGeneration();
  const std::string task = reporter.task();
  if (task.empty()) return;
  const int percent = reporter.progress.load();
  const bool newTask = generation != shownGeneration_;
  if (newTask) {
    shownGeneration_ = generation;
    taskStart_ = now;
    lastPrinted_ = -1;
  }
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  const double inTask = std::chrono::duration<double>(now - taskStart_).count();
  if (terminal_) {
    std::string left = "--:--";
    if (percent >= 1 && inTask > 0.5) left = formatClock(inTask * (100.0 - percent) / percent);
    std::fprintf(stderr, "\r\033[K%s %3d%%  elapsed %s  left %s", task.c_str(), percent, formatClock(elapsed).c_str(),
                 left.c_str());
    std::fflush(stderr);
    lineOpen_ = true;
  } else {
    // Plain lines: each task when it starts, then every tenth percent.
    if (newTask) {
      const auto all = reporter.tasks();
      for (size_t i = tasksPrinted_; i < all.size(); ++i) std::fprintf(stderr, "%s\n", all[i].c_str());
      tasksPrinted_ = all.size();
    }
    const int step = percent / 10 * 10;
    if (step > lastPrinted_ && step > 0) {
      std::fprintf(stderr, "  %d%% (%s elapsed)\n", step, formatClock(elapsed).c_str());
      lastPrinted_ = step;
    } else if (newTask) {
      lastPrinted_ = 0;
    }
  }
}

void ProgressDisplay::finish() {
  if (!quiet_ && terminal_ && lineOpen_) std::fprintf(stderr, "\r\033[K");
  lineOpen_ = false;
}

std::string jsonEscape(const std::string& s) {
  std::string out;
  out.reserve(s.size() + 2);
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      // Well-formed UTF-8 passes; any other byte (a raw codec tag, a Latin-1 file name)
      // is written as the character of that byte value, so the output stays valid JSON.
      if (const size_t n = utf8SequenceLength(s, i)) {
        out.append(s, i, n);
        i += n - 1;
      } else {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += char(c);
        }
    }
  }
  return out;
}

std::string formatClock(double seconds) {
  if (!(seconds >= 0) || seconds > 1e7) seconds = 0;
  const long total = long(std::lround(seconds));
  char buf[32];
  if (total >= 3600)
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", total / 3600, (total % 3600) / 60, total % 60);
  else
    std::snprintf(buf, sizeof buf, "%ld:%02ld", total / 60, total % 60);
  return buf;
}

std::string humanSize(uint64_t bytes) {
  char buf[32];
  if (bytes >= (uint64_t(1) << 30))
    std::snprintf(buf, sizeof buf, "%.2f GB", double(bytes) / double(uint64_t(1) << 30));
  else if (bytes >= (uint64_t(1) << 20))
    std::snprintf(buf, sizeof buf, "%.2f MB", double(bytes) / double(uint64_t(1) << 20));
  else if (bytes >= 1024)
    std::snprintf(buf, sizeof buf, "%.1f KB", double(bytes) / 1024.0);
  else
    std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
  return buf;
}

}  // namespace vr::cli
