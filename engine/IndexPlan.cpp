#include "engine/IndexPlan.h"

#include <algorithm>

namespace vr {

namespace {

// Chunk number `chunk` (from 1) holds `samples` samples: an entry only where the count changes.
void addSampleToChunkEntry(std::vector<std::shared_ptr<SampleToChunkEntery>>& list, uint32_t chunk, uint32_t samples) {
  if (!list.empty() && list.back() && list.back()->samplesPerChunk == samples) return;
  if (auto entry = SampleToChunkEntery::initWithFirstChunk(chunk, samples, 1)) list.push_back(std::move(entry));
}

}  // namespace

IndexPlan planIndex(const std::vector<SampleChunk>& chunks, const SampleList& video, const SampleList& audio,
                    uint32_t pcmFrameBytes, uint64_t firstOffset) {
  IndexPlan plan;
  uint64_t at = firstOffset;
  uint64_t pending = 0;  // bytes of records waiting for the picture they precede
  for (const SampleChunk& chunk : chunks) {
    const auto records = samplesOfChunk(chunk, video, audio);
    if (records.empty()) continue;
    TrackIndexPlan& track = chunk.audio ? plan.audio : plan.video;
    track.chunkOffsets.push_back(at);
    uint64_t samples = 0;
    size_t lastPicture = SIZE_MAX;
    for (const Sample& s : records) {
      at += s.sampleSize;
      switch (s.sampleType) {
        case kSampleTypeH264:
        case kSampleTypeH265:
          if (!s.picture) {
            pending += s.sampleSize;
            break;
          }
          track.sizes.push_back(uint32_t(pending + s.sampleSize));
          lastPicture = track.sizes.size() - 1;
          if (s.sync) track.syncSamples.push_back(uint32_t(track.sizes.size()));
          pending = 0;
          ++samples;
          break;
        case kSampleTypeAAC:
          track.sizes.push_back(uint32_t(s.sampleSize));
          ++samples;
          break;
        default:  // PCM: whole frames of a fixed size
          samples += pcmFrameBytes ? s.sampleSize / pcmFrameBytes : 0;
          break;
      }
    }
    // Records after the chunk's last picture (a suffix SEI, say) lie right behind it in the
    // output: they belong to that picture, not to one in another chunk.
    if (pending != 0 && lastPicture != SIZE_MAX) {
      track.sizes[lastPicture] = uint32_t(track.sizes[lastPicture] + pending);
      pending = 0;
    }
    addSampleToChunkEntry(track.stsc, uint32_t(track.chunkOffsets.size()), uint32_t(std::min<uint64_t>(samples, UINT32_MAX)));
  }
  plan.end = at;
  return plan;
}

}  // namespace vr
