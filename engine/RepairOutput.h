#pragma once
// The repaired file while it is written: its handles, the copy of the samples and what the
// new index needs to know of them.
#include <memory>
#include <string>
#include <vector>

#include "common/FileIO.h"
#include "engine/RepairFile.h"
#include "engine/SampleCopier.h"

namespace vr {

struct RepairFile::Output {
  std::string path;
  bool created = false;  // the file did not exist before (else it existed and was empty)
  FileHandle file;
  FileHandle input;
  std::unique_ptr<SampleCopier> copier;
  std::vector<uint64_t> videoChunkOffsets;
  std::vector<uint64_t> audioChunkOffsets;
  std::vector<uint32_t> videoSizes;
  std::vector<uint32_t> audioSizes;
  std::vector<uint32_t> syncSamples;  // numbers (from 1) of the keyframes among videoSizes
  // Size of video records that are not pictures, waiting for the picture they precede.
  uint64_t pending = 0;
  // Entries of sampleArray written so far.
  size_t chunksWritten = 0;
};

}  // namespace vr
