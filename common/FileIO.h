#pragma once
// A small RAII file with positioned 64-bit reads and appending writes. Reads past the end
// return fewer bytes; callers treat the missing bytes as zeros.
#include <cstdint>
#include <cstddef>
#include <string>

#include "common/ByteOrder.h"

namespace vr {

class FileHandle {
 public:
  FileHandle() = default;
  ~FileHandle();
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  FileHandle(FileHandle&& other) noexcept;
  FileHandle& operator=(FileHandle&& other) noexcept;

  // Opens an existing file for reading. Returns an unopened handle on failure.
  static FileHandle openForReading(const std::string& path);
  // Creates (or truncates) a file for writing; reads are allowed too.
  static FileHandle createForWriting(const std::string& path);
  // Opens an existing file for reading and writing.
  static FileHandle openForUpdating(const std::string& path);

  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Last errno seen by a failed call (0 when none).
  int lastError() const { return lastError_; }

  // Reads up to len bytes at offset into buf; returns the count read (short at the end
  // of the file or on an error, which is logged once).
  size_t readAt(uint64_t offset, void* buf, size_t len);
  // Reads up to len bytes at offset.
  Bytes readAt(uint64_t offset, size_t len);
  // Fills buf with len bytes from offset; bytes that could not be read are zero.
  void readZeroFilled(uint64_t offset, void* buf, size_t len);

  // Writes all of buf at offset; returns the count written (less only on an error).
  size_t writeAt(uint64_t offset, const void* buf, size_t len);
  // Size of the file in bytes (0 when unknown).
  uint64_t size() const;
  bool sync();
  bool truncate(uint64_t length);
  void close();

 private:
  explicit FileHandle(int fd) : fd_(fd) {}
  int fd_ = -1;
  int lastError_ = 0;
  bool loggedReadError_ = false;
};

// Writes all of buf at offset through fd, retrying interrupted and partial writes; returns
// the count written, less only on an error (errno then says which). Safe to call from
// several threads on one descriptor.
size_t writeAllAt(int fd, const void* buf, size_t len, uint64_t offset);

// File-system queries used by the engines and front ends.
bool fileExistsAndIsReadable(const std::string& path);
// Why the path cannot be read as an input file ("does not exist", "is a FIFO", ...), or
// empty when it can. Only regular files and block devices are input files: reading a FIFO,
// socket or terminal can block forever or never end, and a folder holds no bytes to read.
std::string inputFileProblem(const std::string& path);
// Size in bytes of a regular file or block device (0 when unknown).
uint64_t fileSizeAtPath(const std::string& path);
// True when both paths name the same existing file (same device and inode).
bool sameFile(const std::string& a, const std::string& b);
// Diagnostic line to the log (stderr unless silenced with setLogSink); control bytes in it
// are written as \xNN.
void logLine(const std::string& line);
void setLogSink(void (*sink)(const std::string&));

}  // namespace vr
