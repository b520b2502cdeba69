#pragma once
// The audio chunks of the scan: the bytes between two video runs are audio of the
// reference's format.
//
// AAC stretches are analysed beside the scan (each with a decoder of its own, so they do
// not depend on each other). The scan leaves a placeholder chunk for each and the frames
// are put in as the analyses finish, in file order; a stretch without frames makes no
// chunk. A PCM stretch is one chunk of whole frames at once: the bytes of further tracks
// (a timecode sample per cycle) close the stretch and are left out, and a stretch without
// a whole frame besides them holds no audio.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/AudioStretchQueue.h"
#include "engine/Sample.h"

namespace vr {

class FileHandle;
class RepairFile;

class AudioChunks {
 public:
  // Chunks and frames go to the repair's sampleArray and audioSampleArray. For PCM,
  // `pcmFrameBytes` is the size of a frame and `skip` the bytes of further tracks at the
  // end of a stretch; `path` and `input` are the damaged file, read by the AAC workers.
  AudioChunks(RepairFile& repair, uint64_t audioCodec, const std::string& path, FileHandle& input,
              uint32_t pcmFrameBytes, uint64_t skip);

  bool isAAC() const { return aac_.has_value(); }
  bool isPCM() const { return pcm_; }

  // An AAC stretch behind the chunks so far; `known` are its frames when the scan walked
  // them already.
  void addAAC(uint64_t from, uint64_t size, std::optional<SampleList> known);
  // The AAC in front of the first run, [from, firstVideo): it goes in front of every other
  // chunk. Looked for once, when the second run is found or after the scan.
  void addLeadingAAC(uint64_t from, uint64_t firstVideo, std::optional<SampleList> known);
  bool leadingPlaced() const { return leadingPlaced_; }
  void addPCM(uint64_t from, uint64_t size);

  // Puts in the frames of the stretches analysed so far, in file order; with `wait`, of all
  // of them. False when the analysis was stopped.
  bool collect(bool wait);
  // Chunks that nothing will change any more, from the first: all of them, but for AAC
  // those up to the first stretch still being analysed, and none before the audio in front
  // of the first run has its place.
  size_t settled() const;
  // After collect(true): removes the placeholders of stretches without frames, telling the
  // repair how many of the chunks it wrote ahead remain.
  void dropEmpty();

  uint64_t pcmFrames() const { return pcmFrames_; }

 private:
  struct Pending {
    size_t chunk;  // index of the placeholder in sampleArray
    size_t ticket;
  };

  RepairFile& repair_;
  const bool pcm_;
  const uint32_t pcmFrameBytes_;
  const uint64_t skip_;
  std::optional<AudioStretchQueue> aac_;
  std::vector<Pending> pending_;
  size_t nextPending_ = 0;
  bool leadingPlaced_ = false;
  uint64_t pcmFrames_ = 0;
};

}  // namespace vr
