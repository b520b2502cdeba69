#include "common/FileIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vr {

namespace {
void defaultSink(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }
std::atomic<void (*)(const std::string&)> gSink{&defaultSink};

// The size of a block device is where its end lies; stat reports 0 for it.
uint64_t sizeOf(int fd, const struct stat& st) {
  if (!S_ISBLK(st.st_mode)) return uint64_t(st.st_size);
  const off_t end = ::lseek(fd, 0, SEEK_END);
  return end > 0 ? uint64_t(end) : 0;
}
}  // namespace

void setLogSink(void (*sink)(const std::string&)) { gSink.store(sink ? sink : &defaultSink); }
void logLine(const std::string& line) {
  // Lines may quote bytes of a damaged file (a codec tag, say); control bytes are shown as
  // \xNN so that none reaches a terminal as a control sequence.
  std::string clean;
  clean.reserve(line.size());
  for (const char ch : line) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7F) {
      clean.push_back(ch);
      continue;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", unsigned(c));
    clean += hex;
  }
  gSink.load()(clean);
}

FileHandle::~FileHandle() { close(); }

FileHandle::FileHandle(FileHandle&& other) noexcept : fd_(other.fd_), lastError_(other.lastError_) { other.fd_ = -1; }

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    lastError_ = other.lastError_;
    other.fd_ = -1;
  }
  return *this;
}

FileHandle FileHandle::openForReading(const std::string& path) {
  // Non-blocking, so that a FIFO put in place of a file cannot hold the open (or a read)
  // forever; regular files and block devices ignore the flag.
  return FileHandle(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
}

FileHandle FileHandle::createForWriting(const std::string& path) {
  return FileHandle(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}

FileHandle FileHandle::openForUpdating(const std::string& path) {
  return FileHandle(::open(path.c_str(), O_RDWR | O_CLOEXEC));
}

size_t FileHandle::readAt(uint64_t offset, void* buf, size_t len) {
  if (fd_ < 0 || len == 0) return 0;
  auto* out = static_cast<uint8_t*>(buf);
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::pread(fd_, out + done, len - done, off_t(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      lastError_ = errno;
      if (!loggedReadError_) {
        loggedReadError_ = true;
        logLine(std::string("read error: ") + std::strerror(errno));
      }
      break;
    }
    if (n == 0) break;
    done += size_t(n);
  }
  return done;
}

Bytes FileHandle::readAt(uint64_t offset, size_t len) {
  Bytes out(len);
  out.resize(readAt(offset, out.data(), len));
  return out;
}

void FileHandle::readZeroFilled(uint64_t offset, void* buf, size_t len) {
  size_t n = readAt(offset, buf, len);
  if (n < len) std::memset(static_cast<uint8_t*>(buf) + n, 0, len - n);
}

size_t writeAllAt(int fd, const void* buf, size_t len, uint64_t offset) {
  const auto* in = static_cast<const uint8_t*>(buf);
  size_t done = 0;
  while (done < len) {
    const ssize_t n = ::pwrite(fd, in + done, len - done, off_t(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  return done;
}

size_t FileHandle::writeAt(uint64_t offset, const void* buf, size_t len) {
  if (fd_ < 0) return 0;
  errno = 0;
  const size_t done = writeAllAt(fd_, buf, len, offset);
  if (done < len && errno != 0) lastError_ = errno;
  return done;
}

uint64_t FileHandle::size() const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
  return sizeOf(fd_, st);
}

bool FileHandle::sync() { return fd_ >= 0 && ::fsync(fd_) == 0; }

bool FileHandle::truncate(uint64_t length) { return fd_ >= 0 && ::ftruncate(fd_, off_t(length)) == 0; }

void FileHandle::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

std::string inputFileProblem(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return "does not exist";
  if (S_ISDIR(st.st_mode)) return "is a folder, not a file";
  if (S_ISFIFO(st.st_mode)) return "is a FIFO, not a file";
  if (S_ISSOCK(st.st_mode)) return "is a socket, not a file";
  if (S_ISCHR(st.st_mode)) return "is a character device, not a file";
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) return "is not a regular file";
  if (::access(path.c_str(), R_OK) != 0) return "cannot be read";
  return {};
}

bool fileExistsAndIsReadable(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  return ::access(path.c_str(), R_OK) == 0;
}

uint64_t fileSizeAtPath(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  if (!S_ISBLK(st.st_mode)) return uint64_t(st.st_size);
  FileHandle f = FileHandle::openForReading(path);
  return f.size();
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace vr
