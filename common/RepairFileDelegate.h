#pragma once
// The messages a repair engine sends to whoever runs it. Both the movie engine and the AVI
// engine report through this interface, synchronously, on the engine's own thread: a
// receiver that drives a user interface must hand the values over to its own thread.
#include <cstdint>
#include <map>
#include <string>

namespace vr {

// A repair failure: domain, numeric code and one user-info entry, "Error reason".
struct RepairError {
  std::string domain;
  int32_t code = 0;
  std::map<std::string, std::string> userInfo;

  std::string reason() const {
    auto it = userInfo.find("Error reason");
    return it == userInfo.end() ? std::string() : it->second;
  }
};

inline constexpr const char* kRepairErrorDomain = "com.dovex.videorepair";
inline constexpr const char* kErrorReasonKey = "Error reason";

inline RepairError makeRepairError(int32_t code, const std::string& reason) {
  RepairError e;
  e.domain = kRepairErrorDomain;
  e.code = code;
  e.userInfo[kErrorReasonKey] = reason;
  return e;
}

class RepairFileDelegate {
 public:
  virtual ~RepairFileDelegate() = default;
  // The reference file cannot serve this repair; another one should be chosen.
  virtual void moveBackToSelectReferenceFile() = 0;
  // A phase begins.
  virtual void repairFileDidStartPerformingTask(const std::string& task) = 0;
  // Whole percentage, 0 to 99, during the scan and the writing phase. Called often: keep it cheap.
  virtual void repairFileCurrentTaskProgress(int32_t percent) = 0;
  virtual void repairFileDidFailWithError(const RepairError& error) = 0;
  // The repaired file has been written.
  virtual void repairFileDidComplete() = 0;
  // An attribute of the repaired file (keys such as "video", "fps", "track", "duration").
  virtual void repairFileAttribute(const std::string& key, const std::string& value) = 0;
};

}  // namespace vr
