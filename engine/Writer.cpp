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
#include "engine/IndexPlan.h"
#include "engine/ScanRules.h"
#include "engine/File.h"
#include "engine/RepairFile.h"
#include "engine/RepairOutput.h"

namespace vr {

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
    for (const Sample& s : samplesOfChunk(chunk, videoSampleArray, audioSampleArray)) {
      if (stopflag()) return false;
      waitWhilePaused();
      out.copier->add(s.sampleOffset, s.sampleSize);
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
  IndexPlan plan = planIndex(sampleArray, videoSampleArray, audioSampleArray, scan::pcmBytesPerFrame(healthyFile.get()),
                             kMediaDataHeaderSize);
  if (out.copier->failed() || fileSize1 != plan.end) {
    // The samples are not all where the index would say: write none.
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
  for (auto [request, track] : {std::pair{audioRequest.get(), &plan.audio}, std::pair{videoRequest.get(), &plan.video}}) {
    request->stcoEntries = std::move(track->chunkOffsets);
    request->stszEntries = std::move(track->sizes);
    request->stscEntries = std::move(track->stsc);
    request->syncSamples = std::move(track->syncSamples);
  }
  audioRequest->timeScale = healthyFile ? healthyFile->audioTrackTimeScale() : 0;
  audioRequest->FPS = healthyFile ? healthyFile->audioFPS() : 0;
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
