#pragma once
// One running application per user: a lock file in the user's runtime folder. A lock left
// behind by a process that no longer runs is taken over.
#include <QLockFile>
#include <QString>
#include <memory>

namespace vr {

class SingleInstance {
 public:
  explicit SingleInstance(const QString& lockPath = defaultLockPath());
  // True when this process now holds the lock.
  bool tryLock();
  static QString defaultLockPath();

 private:
  std::unique_ptr<QLockFile> lock_;
};

}  // namespace vr
