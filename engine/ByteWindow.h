#pragma once
// Buffered random access to a file for the scan's innermost loops. The NAL probe looks at a
// few dozen bytes at nearly every offset and the AAC check decodes from nearly every
// offset of an audio stretch; both read through one large buffer that is refilled only
// when a request leaves it, never with one system call per offset. Bytes beyond the end of
// the file (or that could not be read) read as zero, as a zero-filled per-offset read
// would give.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/FileIO.h"

namespace vr {

class ByteWindow {
 public:
  // `capacity` bytes are read per refill; requests may be up to `maxRequest` bytes long.
  ByteWindow(FileHandle& file, uint64_t fileSize, size_t capacity = 1 << 20, size_t maxRequest = 4096)
      : file_(file), fileSize_(fileSize), capacity_(std::max(capacity, maxRequest)), maxRequest_(maxRequest),
        buffer_(capacity_ + maxRequest_) {}

  // Pointer to `length` (<= maxRequest) bytes at `offset`, zero-padded past the end of
  // the file. Valid until the next call.
  const uint8_t* at(uint64_t offset, size_t length) {
    if (length > maxRequest_) length = maxRequest_;
    if (offset < start_ || offset - start_ > valid_ || valid_ - (offset - start_) < length) refill(offset);
    return buffer_.data() + (offset - start_);
  }

  uint64_t fileSize() const { return fileSize_; }
  uint64_t refills() const { return refills_; }

 private:
  void refill(uint64_t offset) {
    ++refills_;
    start_ = offset;
    size_t want = 0;
    if (offset < fileSize_) want = size_t(std::min<uint64_t>(capacity_, fileSize_ - offset));
    const size_t got = want ? file_.readAt(offset, buffer_.data(), want) : 0;
    // Everything after the bytes read is zero: the end of the file, or a read error.
    std::memset(buffer_.data() + got, 0, buffer_.size() - got);
    // A full read serves requests that end inside it; a short one (end of file or error)
    // serves the whole buffer, the rest being zeros.
    valid_ = (got == capacity_) ? capacity_ : buffer_.size();
  }

  FileHandle& file_;
  uint64_t fileSize_;
  size_t capacity_;
  size_t maxRequest_;
  std::vector<uint8_t> buffer_;
  uint64_t start_ = 0;
  size_t valid_ = 0;
  uint64_t refills_ = 0;
};

}  // namespace vr
