#include "gui/SaveCopy.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/FileIO.h"

namespace vr {

namespace {
QString errnoText() { return QString::fromLocal8Bit(std::strerror(errno)); }
}  // namespace

SaveCopy::~SaveCopy() { cancel(); }

bool SaveCopy::start(const QString& source, const QString& destination, QString* error) {
  destination_ = destination;
  in_ = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
  if (in_ < 0) {
    if (error) *error = QStringLiteral("The repaired file cannot be read: %1").arg(errnoText());
    return false;
  }
  struct stat st {};
  if (::fstat(in_, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (error) *error = QStringLiteral("The repaired file cannot be read.");
    ::close(in_);
    in_ = -1;
    return false;
  }
  size_ = static_cast<uint64_t>(st.st_size);
  out_ = ::open(QFile::encodeName(destination).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out_ < 0) {
    if (error) *error = QStringLiteral("%1 cannot be created: %2").arg(destination, errnoText());
    ::close(in_);
    in_ = -1;
    return false;
  }
  thread_ = std::thread([this] { run(); });
  return true;
}

void SaveCopy::setPaused(bool paused) {
  {
    std::lock_guard<std::mutex> lock(m_);
    paused_.store(paused);
  }
  cv_.notify_all();
}

void SaveCopy::cancel() {
  cancelled_.store(true);
  setPaused(false);
  wait();
  if (!destination_.isEmpty()) removeDestination();
}

void SaveCopy::wait() {
  if (thread_.joinable()) thread_.join();
}

void SaveCopy::removeDestination() {
  // Only a regular file is ever removed: a destination such as a device stays untouched.
  const QByteArray path = QFile::encodeName(destination_);
  struct stat st {};
  if (::lstat(path.constData(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.constData());
  destination_.clear();
}

void SaveCopy::fail(const QString& error) {
  ::close(in_);
  ::close(out_);
  in_ = out_ = -1;
  removeDestination();
  if (onFinished) onFinished(error);
}

void SaveCopy::run() {
  const uint64_t pieces = piecesFor(size_);
  std::vector<char> buffer(kBlockSize);
  uint64_t done = 0;
  int shown = -1;
  while (done < size_) {
    if (cancelled_.load()) break;
    if (paused_.load()) {
      // Waits in two-second steps; a resume or a cancel wakes it at once.
      std::unique_lock<std::mutex> lock(m_);
      while (paused_.load() && !cancelled_.load()) cv_.wait_for(lock, std::chrono::seconds(2));
      continue;
    }
    const uint64_t piece = done / kPieceSize;
    const int percent = static_cast<int>(piece * 100 / pieces);
    if (percent != shown && onProgress) onProgress(piece, pieces, percent);
    shown = percent;

    const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlockSize, size_ - done));
    const ssize_t got = ::pread(in_, buffer.data(), want, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return fail(QStringLiteral("The repaired file could not be read: %1").arg(errnoText()));
    if (got == 0) return fail(QStringLiteral("The repaired file ended before all of it was saved."));
    if (writeAllAt(out_, buffer.data(), static_cast<size_t>(got), done) != static_cast<size_t>(got))
      return fail(QStringLiteral("The repaired file could not be written to %1: %2").arg(destination_, errnoText()));
    done += static_cast<uint64_t>(got);
  }
  if (cancelled_.load()) {
    ::close(in_);
    ::close(out_);
    in_ = out_ = -1;
    return;
  }
  // A write the disk refuses late (a full volume, a lost device) shows up here.
  if (::fsync(out_) != 0 && errno != EINVAL)
    return fail(QStringLiteral("The repaired file could not be written to %1: %2").arg(destination_, errnoText()));
  ::close(in_);
  const int closed = ::close(out_);
  in_ = out_ = -1;
  if (closed != 0) {
    const QString message = QStringLiteral("The repaired file could not be written to %1.").arg(destination_);
    removeDestination();
    if (onFinished) onFinished(message);
    return;
  }
  destination_.clear();  // the copy is the user's now: a later cancel must not remove it
  if (onProgress) onProgress(pieces, pieces, 100);
  if (onFinished) onFinished(QString());
}

}  // namespace vr
