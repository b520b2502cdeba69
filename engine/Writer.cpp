// Writing the repaired movie: one media-data atom with a 64-bit size at offset 0 holding
// the samples found, in chunk order, followed by a fresh movie atom that indexes them.
//
//   0   00 00 00 01        32-bit size 1: the 64-bit size follows
//   4   "mdat"
//   8   64-bit size of the media-data atom, header included (= offset of the movie atom)
//   16  the chunks, each sample's bytes copied unchanged from the damaged file
//   ..  the movie atom
//
// Samples are copied file to file by the kernel (or through one large buffer), contiguous
// samples coalesced into one copy. Offsets are counted from the bytes handed to the file, and the file
// is forced to disk once, when it is complete (or when a stop ends the copy).
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "atoms/MovieBuilder.h"
#include "engine/File.h"
#include "engine/RepairFile.h"

namespace vr {

namespace {

constexpr size_t kCopyBuffer = 8 << 20;
constexpr uint64_t kMediaDataHeaderSize = 16;

// Copies byte ranges of the damaged file to the end of the output, merging ranges that
// follow each other in the damaged file into one copy. The kernel copies between the two
// files where it can (no round trip through this process); otherwise a large buffer does.
class SampleCopier {
 public:
  SampleCopier(FileHandle& input, FileHandle& output, uint64_t outputPosition)
      : input_(input), output_(output), written_(outputPosition) {}

  // Output offset at which the next added byte lands.
  uint64_t position() const { return written_ + length_; }
  // True once a write to the output fell short (disk full, I/O error).
  bool failed() const { return failed_; }

  void add(uint64_t offset, uint64_t length) {
    if (length == 0) return;
    if (length_ != 0 && offset == start_ + length_) {
      length_ += length;
      return;
    }
    flush();
    start_ = offset;
    length_ = length;
  }

  // Copies the range held. Bytes that cannot be read (a read error, or the end of the
  // file) are written as zeros so that every later sample stays where the index says.
  void flush() {
    uint64_t done = 0;
    while (done < length_ && kernelCopy_) {
      loff_t in = loff_t(start_ + done), out = loff_t(written_);
      const size_t piece = size_t(std::min<uint64_t>(length_ - done, 1u << 30));
      const ssize_t n = ::copy_file_range(input_.fd(), &in, output_.fd(), &out, piece, 0);
      if (n > 0) {
        done += uint64_t(n);
        written_ += uint64_t(n);
      } else if (n == 0) {
        break;  // the end of the damaged file: the rest reads as zeros
      } else if (errno != EINTR) {
        kernelCopy_ = false;  // not supported between these files, or a read error
      }
    }
    if (done < length_) copyThroughBuffer(start_ + done, length_ - done);
    length_ = 0;
  }

 private:
  void copyThroughBuffer(uint64_t from, uint64_t length) {
    if (buffer_.empty()) buffer_.resize(size_t(std::min<uint64_t>(kCopyBuffer, std::max<uint64_t>(length, 1 << 16))));
    uint64_t done = 0;
    while (done < length) {
      const size_t piece = size_t(std::min<uint64_t>(buffer_.size(), length - done));
      input_.readZeroFilled(from + done, buffer_.data(), piece);
      const size_t n = output_.writeAt(written_, buffer_.data(), piece);
      written_ += n;
      done += piece;
      if (n != piece) {
        if (!failed_) logLine("writing the repaired file failed after " + std::to_string(written_) + " bytes");
        failed_ = true;
      }
    }
  }

  FileHandle& input_;
  FileHandle& output_;
  Bytes buffer_;
  uint64_t written_;
  uint64_t start_ = 0;
  uint64_t length_ = 0;
  bool kernelCopy_ = true;
  bool failed_ = false;
};

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

  SampleCopier copier(input, output, fileSize1);
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
        copier.flush();
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
  copier.flush();
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
