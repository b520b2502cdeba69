#include "engine/AudioChunks.h"

#include "atoms/CodecNumbers.h"

#include "engine/RepairFile.h"

namespace vr {

AudioChunks::AudioChunks(RepairFile& repair, uint64_t audioCodec, const std::string& path, FileHandle& input,
                         uint32_t pcmFrameBytes, uint64_t skip)
    : repair_(repair), pcm_(audioCodec == kAudioCodecTwos || audioCodec == kAudioCodecSowt),
      pcmFrameBytes_(pcmFrameBytes ? pcmFrameBytes : 1), skip_(skip) {
  if (audioCodec != kAudioCodecAAC) return;
  const unsigned workers =
      repair.audioAnalysisThreads ? repair.audioAnalysisThreads : AudioStretchQueue::defaultWorkers();
  aac_.emplace([&repair](FileHandle& handle, uint64_t from,
                         uint64_t size) { return repair.analyseAACInFileHandle(handle, from, size); },
               path, input, workers);
}

void AudioChunks::addAAC(uint64_t from, uint64_t size, std::optional<SampleList> known) {
  const size_t ticket = aac_->submit(from, size, std::move(known));
  pending_.push_back(Pending{repair_.sampleArray.size(), ticket});
  repair_.sampleArray.push_back(SampleChunk{true, 0, 0});
}

void AudioChunks::addLeadingAAC(uint64_t from, uint64_t firstVideo, std::optional<SampleList> known) {
  if (leadingPlaced_) return;
  leadingPlaced_ = true;
  // Submitted before any other stretch; its placeholder goes in front of every chunk.
  const size_t ticket = aac_->submit(from, firstVideo - from, std::move(known));
  auto& chunks = repair_.sampleArray;
  chunks.insert(chunks.begin(), SampleChunk{true, 0, 0});
  for (Pending& p : pending_) ++p.chunk;
  pending_.insert(pending_.begin() + ptrdiff_t(nextPending_), Pending{0, ticket});
}

void AudioChunks::addPCM(uint64_t from, uint64_t size) {
  const uint64_t frames = (size > skip_ ? size - skip_ : 0) / pcmFrameBytes_;
  if (frames == 0) return;
  const uint64_t kept = frames * pcmFrameBytes_;
  repair_.audioSampleCount += kept;
  pcmFrames_ += frames;
  repair_.sampleArray.push_back(SampleChunk{true, repair_.audioSampleArray.size(), 1});
  repair_.audioSampleArray.push_back(Sample::initWithSampleType(kSampleTypePCM, from, kept, nullptr));
}

bool AudioChunks::collect(bool wait) {
  if (!aac_) return true;
  for (; nextPending_ < pending_.size(); ++nextPending_) {
    const Pending& p = pending_[nextPending_];
    if (!wait && !aac_->ready(p.ticket)) return true;
    auto frames = aac_->take(p.ticket);
    if (!frames) return false;
    if (frames->empty()) continue;  // the placeholder stays empty
    SampleList& audio = repair_.audioSampleArray;
    repair_.audioSampleCount += frames->size();
    repair_.sampleArray[p.chunk] = SampleChunk{true, audio.size(), frames->size()};
    audio.insert(audio.end(), frames->begin(), frames->end());
  }
  return true;
}

size_t AudioChunks::settled() const {
  const size_t all = repair_.sampleArray.size();
  if (!aac_) return all;
  if (!leadingPlaced_) return 0;
  return nextPending_ < pending_.size() ? pending_[nextPending_].chunk : all;
}

void AudioChunks::dropEmpty() {
  if (!aac_) return;
  auto& chunks = repair_.sampleArray;
  const size_t written = repair_.chunksWrittenAhead();
  size_t kept = 0;
  size_t keptWritten = 0;
  for (size_t i = 0; i < chunks.size(); ++i) {
    if (chunks[i].count == 0) continue;
    if (i < written) ++keptWritten;
    chunks[kept++] = chunks[i];
  }
  chunks.resize(kept);
  repair_.chunksRenumbered(keptWritten);
}

}  // namespace vr
