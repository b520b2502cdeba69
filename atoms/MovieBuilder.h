#pragma once
// The track request that carries one track's new sample-table contents from the engine to
// the index builder. The builders themselves are members of the reference tree's
// containers (Containers.h): Moov::createMoovWithVideoRequest asks each reference track
// for its counterpart, which asks its media, media information and sample table in turn,
// and Moov::writeToFileHandle appends the result to the repaired file.
#include <cstdint>
#include <memory>
#include <vector>

#include "atoms/Containers.h"
#include "atoms/SampleTableAtoms.h"

namespace vr {

// One track's new sample table. The scan sets requestType and presentationRanks; the
// writer sets the rest from the index plan of the samples it copied; the builders read it.
class AtomCreationRequest {
 public:
  uint32_t timeScale = 0;                       // media time scale of the reference track
  std::vector<uint64_t> stcoEntries;            // absolute file offset of each chunk, in order
  std::vector<uint32_t> stszEntries;            // size of each sample, in order
  std::vector<std::shared_ptr<SampleToChunkEntery>> stscEntries;  // run-length sample-to-chunk entries
  double FPS = 0;                               // samples per second of the reference track
  uint64_t requestType = 0;                     // 1 sound track, 2 video track
  // Video: the position of each sample in presentation order, read from the pictures'
  // order counts by the scan; empty when the stream does not say.
  std::vector<uint32_t> presentationRanks;
  // Video: numbers (from 1, rising) of the samples that are keyframes, as the pictures
  // themselves say.
  std::vector<uint32_t> syncSamples;
};

}  // namespace vr
