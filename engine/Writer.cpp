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
#include "atoms/MovieBuilder.h"
#include "engine/File.h"
#include "engine/RepairFile.h"
#include "engine/SampleCopier.h"

namespace vr {

namespace {

constexpr uint64_t kMediaDataHeaderSize = 16;

}  // namespace

void RepairFile::writeSampleAtPath(const std::string& outputPath, const std::string& corruptPath) {
  writeFailed = false;
  FileHandle output = FileHandle::createForWriting(outputPath);
  if (!output.isOpen()) {
    logLine("cannot create the repaired file " + outputPath);
    writeFailed = true;
    return;
  }
  FileHandle input = FileHandle::openForReading(corruptPath);
  writeSamplesToFileHandle(output, input, outputPath);
  // One synchronisation for the whole file, before completion is reported.
  if (!output.sync() && !stopflag()) {
    logLine("the repaired file could not be forced to disk");
    writeFailed = true;
  }
}

bool RepairFile::writeSamplesToFileHandle(FileHandle& output, FileHandle& input, const std::string& outputPath) {
  std::vector<uint64_t> videoChunkOffsets;
  std::vector<uint64_t> audioChunkOffsets;
  std::vector<uint32_t> videoSizes;
  std::vector<uint32_t> audioSizes;
  videoSizes.reserve(videoSampleCount);
  audioSizes.reserve(audioSampleArray.size());
  ftypSize = 0;

  // Placeholder for the media-data header; filled in once the size is known.
  const uint8_t placeholder[kMediaDataHeaderSize] = {};
  fileSize1 = output.writeAt(ftypSize, placeholder, sizeof placeholder);
  if (fileSize1 != sizeof placeholder) {
    writeFailed = true;
    return false;
  }

  if (delegate) delegate->repairFileDidStartPerformingTask(kTaskWriting);
  lastProgressSent = -1;

  SampleCopier copier(input, output, outputPath, fileSize1);
  // Size of video records that are not pictures, waiting for the picture they precede.
  uint64_t pending = 0;
  const uint64_t chunkCount = sampleArray.size();
  for (uint64_t r = 0; r < chunkCount; ++r) {
    reportProgress(r, chunkCount);
    const SampleChunk& chunk = sampleArray[size_t(r)];
    const auto records = samplesOfChunk(chunk, videoSampleArray, audioSampleArray);
    if (records.empty()) continue;
    (records.front().isVideo() ? videoChunkOffsets : audioChunkOffsets).push_back(copier.position());

    size_t lastPictureInChunk = SIZE_MAX;
    for (const Sample& s : records) {
      if (stopflag()) {
        copier.finish();
        return false;
      }
      waitWhilePaused();
      switch (s.sampleType) {
        case kSampleTypeH264:
        case kSampleTypeH265:
          if (s.picture) {
            videoSizes.push_back(uint32_t(pending + s.sampleSize));
            lastPictureInChunk = videoSizes.size() - 1;
            pending = 0;
          } else {
            pending += s.sampleSize;
          }
          break;
        case kSampleTypeAAC:
          audioSizes.push_back(uint32_t(s.sampleSize));
          break;
        default:  // PCM: the index gives it a fixed sample size
          break;
      }
      copier.add(s.sampleOffset, s.sampleSize);
    }
    // Records after the chunk's last picture (a suffix SEI, say) lie right behind it in the
    // output: they belong to that picture, not to one in another chunk.
    if (pending != 0 && lastPictureInChunk != SIZE_MAX) {
      videoSizes[lastPictureInChunk] = uint32_t(videoSizes[lastPictureInChunk] + pending);
      pending = 0;
    }
  }
  copier.finish();
  fileSize1 = copier.position();
  if (copier.failed()) {
    // The samples are not all where an index would say: write none.
    writeFailed = true;
    return false;
  }

  if (!audioRequest) {
    audioRequest = std::make_shared<AtomCreationRequest>();
    audioRequest->requestType = 1;
  }
  if (!videoRequest) {
    videoRequest = std::make_shared<AtomCreationRequest>();
    videoRequest->requestType = 2;
  }
  audioRequest->stcoEntries = std::move(audioChunkOffsets);
  audioRequest->stszEntries = std::move(audioSizes);
  audioRequest->timeScale = healthyFile ? healthyFile->audioTrackTimeScale() : 0;
  audioRequest->FPS = healthyFile ? healthyFile->audioFPS() : 0;
  videoRequest->stcoEntries = std::move(videoChunkOffsets);
  videoRequest->stszEntries = std::move(videoSizes);
  videoRequest->timeScale = healthyFile ? healthyFile->videoTrackTimeScale() : 0;
  videoRequest->FPS = healthyFile ? healthyFile->videoFPS() : 0;

  wirteHeaderToFile(output, outputPath);
  return true;
}

void RepairFile::wirteHeaderToFile(FileHandle& output, const std::string& outputPath) {
  auto repaired = File::initWithFileType(kFileTypeRepaired, outputPath);
  if (healthyFile) repaired->setMoov(healthyFile->createMoovHeaderWithVideoRequest(videoRequest, audioRequest));
  sendInfoToUIVideoCodec(healthyFile ? healthyFile->videoCodec : 0, healthyFile ? healthyFile->videoFPS() : 0,
                         repaired->numberOfTracks(), repaired->durationOfFile());

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
