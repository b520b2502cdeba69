#pragma once
// The repaired file while it is written: its handles and the copy of the samples.
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
  // Entries of sampleArray written so far.
  size_t chunksWritten = 0;
};

}  // namespace vr
