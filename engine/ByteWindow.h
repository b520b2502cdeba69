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

  // The first offset in [from, to) that holds `value`, or `to`: the bytes are searched
  // where they lie in the buffer, many at a time.
  uint64_t find(uint64_t from, uint64_t to, uint8_t value) {
    while (from < to) {
      const uint8_t* p = at(from, 1);
      const size_t span = size_t(std::min<uint64_t>(to - from, valid_ - (from - start_)));
      if (const void* hit = std::memchr(p, value, span)) return from + uint64_t(static_cast<const uint8_t*>(hit) - p);
      from += span;
    }
    return to;
  }

  uint64_t fileSize() const { return fileSize_; }
  uint64_t refills() const { return refills_; }
  uint64_t bytesRead() const { return bytesRead_; }

 private:
  // Requests that move on through the file (the audio between two runs, a stretch being
  // decoded) get reads that double up to the capacity; a jump ahead (from one NAL unit's
  // header to the next, far behind it) gets a short read, so the bytes inside long units,
  // which nothing looks at, are not read at all.
  void refill(uint64_t offset) {
    const bool movingOn = refills_ != 0 && offset >= start_ && offset - start_ <= valid_;
    readSize_ = movingOn ? std::min(capacity_, readSize_ * 2) : std::min(capacity_, std::max(kJumpRead, maxRequest_));
    ++refills_;
    start_ = offset;
    size_t want = 0;
    if (offset < fileSize_) want = size_t(std::min<uint64_t>(readSize_, fileSize_ - offset));
    const size_t got = want ? file_.readAt(offset, buffer_.data(), want) : 0;
    bytesRead_ += got;
    // A full read serves requests that end inside it. After a short one (the end of the
    // file, or a read error) everything behind the bytes read is zero, and the whole
    // buffer serves.
    if (got == want && offset + got < fileSize_) {
      valid_ = got;
    } else {
      std::memset(buffer_.data() + got, 0, buffer_.size() - got);
      valid_ = buffer_.size();
    }
  }

  static constexpr size_t kJumpRead = 16 << 10;

  FileHandle& file_;
  uint64_t fileSize_;
  size_t capacity_;
  size_t maxRequest_;
  std::vector<uint8_t> buffer_;
  uint64_t start_ = 0;
  size_t valid_ = 0;
  size_t readSize_ = 0;
  uint64_t refills_ = 0;
  uint64_t bytesRead_ = 0;
};

}  // namespace vr
