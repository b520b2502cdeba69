#pragma once
// Copies the samples found in the damaged file, one byte range after another, to the end
// of the repaired file. Ranges that follow each other in the damaged file are merged into
// one copy. Bytes that cannot be read (a read error, or the end of the file) are written
// as zeros, so every later sample stays where the index says.
//
// The copy goes at the speed of the disk: the output is put together in large aligned
// blocks that two threads read and write past the page cache (direct I/O), so the caller
// only says which bytes go where and never waits for a read, and the repair neither
// fills memory with pages waiting to be written nor leaves a backlog for the one
// synchronisation at the end, and it does not push the user's other files out of the
// cache. Where the file system does not take direct writes, the copy goes through the page
// cache (file to file by the kernel where that is cheap, else through a buffer) with the
// disk asked to start writing as it goes.
#include <cstdint>
#include <memory>
#include <string>

#include "common/FileIO.h"

namespace vr {

class SampleCopier {
 public:
  // Appends to `output` (whose path is `outputPath`) from byte `outputPosition` on; the
  // bytes before that position are already in the file. `direct` false keeps every
  // write in the page cache.
  SampleCopier(FileHandle& input, FileHandle& output, const std::string& outputPath, uint64_t outputPosition,
               bool direct = true);
  ~SampleCopier();
  SampleCopier(const SampleCopier&) = delete;
  SampleCopier& operator=(const SampleCopier&) = delete;

  // Output offset at which the next added byte lands.
  uint64_t position() const;
  // Queues [offset, offset + length) of the damaged file.
  void add(uint64_t offset, uint64_t length);
  // Copies everything queued and waits until all of it is written.
  void finish();
  // True once a write to the output fell short (disk full, I/O error).
  bool failed() const;
  // True while the output is written past the page cache.
  bool writesDirectly() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vr
