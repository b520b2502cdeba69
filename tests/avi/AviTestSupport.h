#pragma once
// What the AVI engine tests add to the shared test support: quiet diagnostics and the
// checks of how a run ended.
#include <algorithm>
#include <string>

#include "avi/RepairFileAvi.h"
#include "support/RecordingDelegate.h"
#include "support/TestMedia.h"

namespace vr::avitest {

// Quiets the engine's diagnostic lines for the lifetime of a test.
struct QuietLog {
  QuietLog() { setLogSink([](const std::string&) {}); }
  ~QuietLog() { setLogSink(nullptr); }
};

// How many runs reported completion to this delegate.
inline size_t completions(const test::RecordingDelegate& d) {
  const auto events = d.snapshot();
  return size_t(std::count(events.begin(), events.end(), "complete"));
}

// The run failed with the one error the engine reports: 107, "Can not repair this file..".
inline bool failedWith107(const test::RecordingDelegate& d) {
  std::lock_guard<std::mutex> l(d.m);
  return d.errors.size() == 1 && d.errors[0].code == 107 && d.errors[0].domain == "com.dovex.videorepair" &&
         d.errors[0].reason() == "Can not repair this file..";
}

}  // namespace vr::avitest
