// Writing the repaired movie: one media-data atom with a 64-bit size at offset 0 holding
// the samples found, in chunk order, followed by a fresh movie atom that indexes them.
//
//   0   00 00 00 01        32-bit size 1: the 64-bit size follows
//   4   "mdat"
//   8   64-bit size of the media-data atom, header included (= offset of the movie atom)
//   16  the chunks, each sample's bytes copied unchanged from the damaged file
//   ..  the movie atom
//
// Samples are copied through a buffer (or file to file by the kernel where that is
// cheaper), contiguous samples coalesced into one copy. Offsets are counted from the bytes
// handed to the file; the disk is asked to start writing as the copy goes on, and the file
// is forced to disk once, when it is complete (or when a stop ends the copy).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "atoms/MovieBuilder.h"
#include "engine/File.h"
#include "engine/RepairFile.h"

namespace vr {

namespace {

// The buffer through which samples are copied: small enough to stay in the processor's
// cache between the read and the write.
constexpr size_t kCopyBuffer = 1 << 20;
// Page size of the page cache.
constexpr uint64_t kPage = 4096;
// Bytes copied between two requests to start writing the output to disk. The disk then
// works while the copy goes on, and the one synchronisation at the end has little left to
// wait for.
constexpr uint64_t kWritebackStep = 16 << 20;
constexpr uint64_t kMediaDataHeaderSize = 16;

// Asks the kernel to start writing the output to disk, range after range, on a thread of
// its own: handing pages to the disk costs processor time that would otherwise hold up the
// copy. Only a hint: where it is not supported (or no thread can be started) nothing
// changes but the time the final synchronisation takes.
class BackgroundWriteback {
 public:
  explicit BackgroundWriteback(int fd) : fd_(fd) {
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      // No thread: the copy goes on without the hint.
    }
  }
  ~BackgroundWriteback() {
    {
      std::lock_guard<std::mutex> lock(m_);
      finished_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
  }
  BackgroundWriteback(const BackgroundWriteback&) = delete;
  BackgroundWriteback& operator=(const BackgroundWriteback&) = delete;

  // Everything before `end` may be written.
  void upTo(uint64_t end) {
    {
      std::lock_guard<std::mutex> lock(m_);
      end_ = std::max(end_, end);
    }
    wake_.notify_one();
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
      wake_.wait(lock, [this] { return finished_ || end_ > from_; });
      if (finished_) return;
      const uint64_t from = from_, end = end_;
      from_ = end;
      lock.unlock();
      ::sync_file_range(fd_, off64_t(from), off64_t(end - from), SYNC_FILE_RANGE_WRITE);
      lock.lock();
    }
  }

  int fd_;
  std::mutex m_;
  std::condition_variable wake_;
  uint64_t from_ = 0;
  uint64_t end_ = 0;
  bool finished_ = false;
  std::thread thread_;
};

// Copies byte ranges of the damaged file to the end of the output, merging ranges that
// follow each other in the damaged file into one copy. The kernel copies between the two
// files where it can (no round trip through this process); otherwise a large buffer does.
class SampleCopier {
 public:
  SampleCopier(FileHandle& input, FileHandle& output, uint64_t outputPosition)
      : input_(input), output_(output), writeback_(output.fd()), written_(outputPosition) {}

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
  //
  // The kernel copies file to file only where a byte lies at the same place within its
  // page in both files. Otherwise (the usual case: the output's media data starts at
  // another offset than the damaged file's) every page of the output would be written in
  // two partial pieces, which costs more than a read and a whole-page write through a
  // buffer.
  void flush() {
    uint64_t done = 0;
    const bool pagesAlike = (start_ - written_) % kPage == 0;
    while (done < length_ && kernelCopy_ && pagesAlike) {
      loff_t in = loff_t(start_ + done), out = loff_t(written_);
      const size_t piece = size_t(std::min<uint64_t>(length_ - done, kWritebackStep));
      const ssize_t n = ::copy_file_range(input_.fd(), &in, output_.fd(), &out, piece, 0);
      if (n > 0) {
        done += uint64_t(n);
        written_ += uint64_t(n);
        startWriteback();
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
    if (buffer_.empty()) buffer_.resize(kCopyBuffer);
    uint64_t done = 0;
    while (done < length) {
      // Pieces end on the output's page boundaries, so only the first and the last page of
      // the whole range are written in part.
      const size_t piece = size_t(std::min<uint64_t>(buffer_.size() - written_ % kPage, length - done));
      input_.readZeroFilled(from + done, buffer_.data(), piece);
      const size_t n = output_.writeAt(written_, buffer_.data(), piece);
      written_ += n;
      done += piece;
      startWriteback();
      if (n != piece) {
        if (!failed_) logLine("writing the repaired file failed after " + std::to_string(written_) + " bytes");
        failed_ = true;
      }
    }
  }

  void startWriteback() {
    if (written_ - writebackFrom_ < kWritebackStep) return;
    writeback_.upTo(written_);
    writebackFrom_ = written_;
  }

  FileHandle& input_;
  FileHandle& output_;
  Bytes buffer_;
  BackgroundWriteback writeback_;
  uint64_t writebackFrom_ = 0;
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
