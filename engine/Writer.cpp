// Writing the repaired movie: one media-data atom with a 64-bit size at offset 0 holding
// the samples found, in chunk order, followed by a fresh movie atom that indexes them.
//
//   0   00 00 00 01        32-bit size 1: the 64-bit size follows
//   4   "mdat"
//   8   64-bit size of the media-data atom, header included (= offset of the movie atom)
//   16  the chunks, each sample's bytes copied unchanged from the damaged file
//   ..  the movie atom
//
// Samples are copied by a SampleCopier (at the speed of the disk, contiguous samples
// coalesced into one copy). Offsets are counted from the bytes handed to the file, and the
// file is forced to disk once, when it is complete (or when a stop ends the copy).
#include <unistd.h>

#include <algorithm>

#include "atoms/MovieBuilder.h"
#include "engine/File.h"
#include "engine/RepairFile.h"
#include "engine/RepairOutput.h"

namespace vr {

namespace {

constexpr uint64_t kMediaDataHeaderSize = 16;

}  // namespace

std::unique_ptr<RepairFile::Output> RepairFile::openOutput(const std::string& outputPath,
                                                          const std::string& corruptPath) {
  auto out = std::make_unique<Output>();
  out->path = outputPath;
  out->created = !fileExistsAndIsReadable(outputPath);
  out->file = FileHandle::createForWriting(outputPath);
  if (!out->file.isOpen()) {
    logLine("cannot create the repaired file " + outputPath);
    return nullptr;
  }
  out->input = FileHandle::openForReading(corruptPath);
  out->videoSizes.reserve(videoSampleCount);
  out->audioSizes.reserve(audioSampleArray.size());
  ftypSize = 0;
  // Placeholder for the media-data header; filled in once the size is known.
  const uint8_t placeholder[kMediaDataHeaderSize] = {};
  if (out->file.writeAt(ftypSize, placeholder, sizeof placeholder) != sizeof placeholder) {
    logLine("cannot write the repaired file " + outputPath);
    if (out->created) ::unlink(outputPath.c_str());
    return nullptr;
  }
  fileSize1 = sizeof placeholder;
  out->copier = std::make_unique<SampleCopier>(out->input, out->file, outputPath, kMediaDataHeaderSize);
  return out;
}

bool RepairFile::writeChunks(Output& out, size_t upTo, bool withProgress) {
  const uint64_t chunkCount = sampleArray.size();
  upTo = std::min<size_t>(upTo, sampleArray.size());
  for (; out.chunksWritten < upTo; ++out.chunksWritten) {
    if (withProgress) reportProgress(out.chunksWritten, chunkCount);
    const SampleChunk& chunk = sampleArray[out.chunksWritten];
    const auto records = samplesOfChunk(chunk, videoSampleArray, audioSampleArray);
    if (records.empty()) continue;
    (records.front().isVideo() ? out.videoChunkOffsets : out.audioChunkOffsets).push_back(out.copier->position());

    size_t lastPictureInChunk = SIZE_MAX;
    for (const Sample& s : records) {
      if (stopflag()) return false;
      waitWhilePaused();
      switch (s.sampleType) {
        case kSampleTypeH264:
        case kSampleTypeH265:
          if (s.picture) {
            out.videoSizes.push_back(uint32_t(out.pending + s.sampleSize));
            lastPictureInChunk = out.videoSizes.size() - 1;
            if (s.sync) out.syncSamples.push_back(uint32_t(out.videoSizes.size()));
            out.pending = 0;
          } else {
            out.pending += s.sampleSize;
          }
          break;
        case kSampleTypeAAC:
          out.audioSizes.push_back(uint32_t(s.sampleSize));
          break;
        default:  // PCM: the index gives it a fixed sample size
          break;
      }
      out.copier->add(s.sampleOffset, s.sampleSize);
    }
    // Records after the chunk's last picture (a suffix SEI, say) lie right behind it in the
    // output: they belong to that picture, not to one in another chunk.
    if (out.pending != 0 && lastPictureInChunk != SIZE_MAX) {
      out.videoSizes[lastPictureInChunk] = uint32_t(out.videoSizes[lastPictureInChunk] + out.pending);
      out.pending = 0;
    }
  }
  return true;
}

void RepairFile::writeAhead(size_t settled, const std::string& corruptPath) {
  if (writeAheadPath.empty()) return;
  if (!writtenAhead_) {
    // Only a file that holds nothing yet is taken over before the writing phase.
    if (fileExistsAndIsReadable(writeAheadPath) && fileSizeAtPath(writeAheadPath) != 0) {
      writeAheadPath.clear();
      return;
    }
    writtenAhead_ = openOutput(writeAheadPath, corruptPath);
    if (!writtenAhead_) {
      // The writing phase tries again and reports the failure.
      writeAheadPath.clear();
      return;
    }
  }
  writeChunks(*writtenAhead_, settled, false);
}

size_t RepairFile::chunksWrittenAhead() const { return writtenAhead_ ? writtenAhead_->chunksWritten : 0; }

void RepairFile::chunksRenumbered(size_t written) {
  if (writtenAhead_) writtenAhead_->chunksWritten = written;
}

void RepairFile::discardWrittenAhead() {
  if (!writtenAhead_) return;
  const std::string path = writtenAhead_->path;
  const bool created = writtenAhead_->created;
  writtenAhead_->copier.reset();
  writtenAhead_->file.truncate(0);
  writtenAhead_.reset();
  if (created) ::unlink(path.c_str());
}

void RepairFile::writeSampleAtPath(const std::string& outputPath, const std::string& corruptPath) {
  writeFailed = false;
  std::unique_ptr<Output> out;
  if (writtenAhead_ && writtenAhead_->path == outputPath) {
    out = std::move(writtenAhead_);
  } else {
    discardWrittenAhead();
    out = openOutput(outputPath, corruptPath);
  }
  if (!out) {
    writeFailed = true;
    return;
  }
  writeSamplesToFileHandle(*out);
  // One synchronisation for the whole file, before completion is reported.
  if (!out->file.sync() && !stopflag()) {
    logLine("the repaired file could not be forced to disk");
    writeFailed = true;
  }
}

bool RepairFile::writeSamplesToFileHandle(Output& out) {
  if (delegate) delegate->repairFileDidStartPerformingTask(kTaskWriting);
  lastProgressSent = -1;

  const bool completed = writeChunks(out, sampleArray.size(), true);
  out.copier->finish();
  fileSize1 = out.copier->position();
  if (!completed) return false;
  if (out.copier->failed()) {
    // The samples are not all where an index would say: write none.
    writeFailed = true;
    return false;
  }

  if (!audioRequest) {
    audioRequest = std::make_shared<AtomCreationRequest>();
    audioRequest->requestType = kRequestTypeSound;
  }
  if (!videoRequest) {
    videoRequest = std::make_shared<AtomCreationRequest>();
    videoRequest->requestType = kRequestTypeVideo;
  }
  audioRequest->stcoEntries = std::move(out.audioChunkOffsets);
  audioRequest->stszEntries = std::move(out.audioSizes);
  audioRequest->timeScale = healthyFile ? healthyFile->audioTrackTimeScale() : 0;
  audioRequest->FPS = healthyFile ? healthyFile->audioFPS() : 0;
  videoRequest->stcoEntries = std::move(out.videoChunkOffsets);
  videoRequest->stszEntries = std::move(out.videoSizes);
  videoRequest->syncSamples = std::move(out.syncSamples);
  videoRequest->timeScale = healthyFile ? healthyFile->videoTrackTimeScale() : 0;
  videoRequest->FPS = healthyFile ? healthyFile->videoFPS() : 0;

  wirteHeaderToFile(out.file, out.path);
  return true;
}

void RepairFile::wirteHeaderToFile(FileHandle& output, const std::string& outputPath) {
  auto repaired = File::initWithFileType(kFileTypeRepaired, outputPath);
  if (healthyFile) repaired->setMoov(healthyFile->createMoovHeaderWithVideoRequest(videoRequest, audioRequest));
  sendInfoToUIVideoCodec(healthyFile ? healthyFile->videoCodec : 0, healthyFile ? healthyFile->videoFPS() : 0,
                         repaired->numberOfTracks(), repaired->durationOfFile());
  sendOutcome();

  Bytes header;
  appendBE32(header, 1);
  appendBE32(header, fourCC("mdat"));
  appendBE64(header, fileSize1);
  const bool headerWritten = output.writeAt(ftypSize, header.data(), header.size()) == header.size();
  if (!repaired->moov()) {
    logLine("no index could be built for the repaired file");
    writeFailed = true;
    return;
  }
  const bool indexWritten = repaired->writeToFileHandle(output) == repaired->moov()->size;
  if (!headerWritten || !indexWritten) {
    logLine("writing the index of the repaired file failed");
    writeFailed = true;
  }
}

}  // namespace vr
