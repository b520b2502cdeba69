#pragma once
// The new index of a repaired movie, planned from what the scan found alone: the writer
// copies the chunks in order behind the media-data header, so where each chunk lands
// follows from the sizes of the samples before it. No file is involved.
#include <cstdint>
#include <memory>
#include <vector>

#include "atoms/SampleTableAtoms.h"
#include "engine/Sample.h"

namespace vr {

struct TrackIndexPlan {
  std::vector<uint64_t> chunkOffsets;
  std::vector<uint32_t> sizes;  // one a picture or AAC frame; none for PCM (fixed sample size)
  std::vector<std::shared_ptr<SampleToChunkEntery>> stsc;  // run-length samples per chunk
  std::vector<uint32_t> syncSamples;                       // video: numbers (from 1) of the keyframes
};

struct IndexPlan {
  TrackIndexPlan video;
  TrackIndexPlan audio;
  uint64_t end = 0;  // where the media data ends in the repaired file
};

// `chunks` in file order, their records in `video` and `audio`; a PCM record holds whole
// frames of `pcmFrameBytes` bytes. Records of a chunk that are no pictures (parameter
// sets, SEI, delimiters) join the picture they precede, or the chunk's last picture when
// none follows in it. Chunks without records make no chunk.
IndexPlan planIndex(const std::vector<SampleChunk>& chunks, const SampleList& video, const SampleList& audio,
                    uint32_t pcmFrameBytes, uint64_t firstOffset);

}  // namespace vr
