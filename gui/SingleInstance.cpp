#include "gui/SingleInstance.h"

#include <QDir>
#include <QStandardPaths>

namespace vr {

SingleInstance::SingleInstance(const QString& lockPath) : lock_(std::make_unique<QLockFile>(lockPath)) {
  lock_->setStaleLockTime(0);  // a live process keeps its lock however long it runs
}

bool SingleInstance::tryLock() { return lock_->isLocked() || lock_->tryLock(0); }

QString SingleInstance::defaultLockPath() {
  QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (dir.isEmpty()) dir = QDir::tempPath();
  QDir().mkpath(dir);
  return QDir(dir).filePath(QStringLiteral("video-repair-gui.lock"));
}

}  // namespace vr
