#include "engine/SampleCopier.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace vr {

namespace {

// Page size of the page cache.
constexpr uint64_t kPage = 4096;
// Direct writes: blocks of this size (a multiple of any device's logical block size), at
// offsets that are multiples of it; one block being filled while the others are read and
// written.
constexpr size_t kBlock = 4 << 20;
constexpr size_t kBlocks = 4;
constexpr unsigned kDirectWriters = 2;
// Through the page cache: the buffer, small enough to stay in the processor's cache
// between the read and the write, and the bytes between two requests to start writing
// them to disk.
constexpr size_t kCopyBuffer = 1 << 20;
constexpr uint64_t kWritebackStep = 16 << 20;
// Bytes of merged ranges held before they are copied.
constexpr uint64_t kCopyAhead = 8 << 20;

// Asks the kernel to start writing the output to disk, range after range, on a thread of
// its own: handing pages to the disk costs processor time that would otherwise hold up
// the copy. Only a hint: where it is not supported (or no thread can be started) nothing
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

struct FreeDeleter {
  void operator()(uint8_t* p) const { std::free(p); }
};

// Reads `length` bytes at `offset` of `fd`; what cannot be read (the end of the file, a
// read error) becomes zeros. False on a read error.
bool readZeroFilledAt(int fd, uint8_t* buf, size_t length, uint64_t offset) {
  size_t done = 0;
  bool ok = true;
  while (done < length) {
    const ssize_t n = ::pread(fd, buf + done, length - done, off_t(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    done += size_t(n);
  }
  std::memset(buf + done, 0, length - done);
  return ok;
}

// A piece of a block: `length` bytes of the damaged file from `from`, at `at` in the block.
struct Piece {
  uint64_t from;
  uint32_t at;
  uint32_t length;
};

// Whole blocks read from the damaged file and written past the page cache by two threads,
// so the disk always has the next block while one is under way and the scan that hands
// over the pieces of each block never waits for a read. A block the file system refuses
// to take directly (or takes only in part) goes through the page cache instead.
class DirectWriter {
 public:
  // Nothing when the file system does not open the output for direct writes (or the path
  // no longer names the file behind `bufferedFd`), or memory or threads are short.
  static std::unique_ptr<DirectWriter> open(const std::string& path, int bufferedFd, int inputFd) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat a {}, b {};
    if (::fstat(fd, &a) != 0 || ::fstat(bufferedFd, &b) != 0 || a.st_dev != b.st_dev || a.st_ino != b.st_ino) {
      ::close(fd);
      return nullptr;
    }
    std::unique_ptr<DirectWriter> w(new DirectWriter(fd, bufferedFd, inputFd));
    for (size_t i = 0; i < kBlocks; ++i) {
      std::unique_ptr<uint8_t, FreeDeleter> block(static_cast<uint8_t*>(std::aligned_alloc(kPage, kBlock)));
      if (!block) return nullptr;
      w->free_.push_back(block.get());
      w->blocks_.push_back(std::move(block));
    }
    try {
      for (unsigned i = 0; i < kDirectWriters; ++i) w->threads_.emplace_back([raw = w.get()] { raw->run(); });
    } catch (const std::system_error&) {
      return nullptr;  // the destructor stops the threads already started
    }
    return w;
  }

  ~DirectWriter() {
    {
      std::lock_guard<std::mutex> lock(m_);
      finished_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : threads_) t.join();
    ::close(fd_);
  }
  DirectWriter(const DirectWriter&) = delete;
  DirectWriter& operator=(const DirectWriter&) = delete;

  // A block to fill, waiting while every block is being written.
  uint8_t* freeBlock() {
    std::unique_lock<std::mutex> lock(m_);
    changed_.wait(lock, [this] { return !free_.empty(); });
    uint8_t* block = free_.back();
    free_.pop_back();
    return block;
  }

  // Hands over a block whose pieces fill it from where its bytes already set end, to be
  // written at `offset` (a multiple of the block size).
  void write(uint8_t* block, uint64_t offset, std::vector<Piece>& pieces) {
    {
      std::lock_guard<std::mutex> lock(m_);
      queue_.push_back({block, offset, std::move(pieces)});
      ++pending_;
    }
    changed_.notify_all();
  }

  // Waits until every block handed over is written.
  void drain() {
    std::unique_lock<std::mutex> lock(m_);
    changed_.wait(lock, [this] { return pending_ == 0; });
  }

  bool failed() const { return failed_.load(); }
  bool readFailed() const { return readFailed_.load(); }

  // Reads the pieces of a block.
  void fill(uint8_t* block, const std::vector<Piece>& pieces) {
    for (const Piece& p : pieces)
      if (!readZeroFilledAt(inputFd_, block + p.at, p.length, p.from)) readFailed_.store(true);
  }

 private:
  DirectWriter(int fd, int bufferedFd, int inputFd) : fd_(fd), bufferedFd_(bufferedFd), inputFd_(inputFd) {}

  void run() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
      changed_.wait(lock, [this] { return finished_ || !queue_.empty(); });
      if (queue_.empty()) return;  // finished, and nothing left to write
      const Job job = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      fill(job.block, job.pieces);
      size_t done = writeAllAt(fd_, job.block, kBlock, job.offset);
      if (done < kBlock) done += writeAllAt(bufferedFd_, job.block + done, kBlock - done, job.offset + done);
      if (done < kBlock) failed_.store(true);
      lock.lock();
      free_.push_back(job.block);
      --pending_;
      changed_.notify_all();
    }
  }

  struct Job {
    uint8_t* block;
    uint64_t offset;
    std::vector<Piece> pieces;
  };
  int fd_;
  int bufferedFd_;
  int inputFd_;
  std::vector<std::unique_ptr<uint8_t, FreeDeleter>> blocks_;
  std::vector<uint8_t*> free_;
  std::vector<std::thread> threads_;
  std::mutex m_;
  std::condition_variable changed_;
  std::deque<Job> queue_;
  size_t pending_ = 0;
  bool finished_ = false;
  std::atomic<bool> failed_{false};
  std::atomic<bool> readFailed_{false};
};

}  // namespace

class SampleCopier::Impl {
 public:
  Impl(FileHandle& input, FileHandle& output, const std::string& outputPath, uint64_t position, bool direct)
      : input_(input), output_(output), written_(position) {
    if (direct && !outputPath.empty()) direct_ = DirectWriter::open(outputPath, output.fd(), input.fd());
    if (direct_) {
      // The first block starts on a block boundary: it takes the bytes already written
      // before `position` (the media-data header) along.
      blockStart_ = position / kBlock * kBlock;
      block_ = direct_->freeBlock();
      output_.readZeroFilled(blockStart_, block_, size_t(position - blockStart_));
    } else {
      writeback_ = std::make_unique<BackgroundWriteback>(output.fd());
    }
  }

  uint64_t position() const { return written_ + length_; }
  bool failed() const { return failed_ || (direct_ && direct_->failed()); }
  bool direct() const { return direct_ != nullptr; }

  void add(uint64_t offset, uint64_t length) {
    if (length == 0) return;
    if (length_ != 0 && offset == start_ + length_) {
      length_ += length;
    } else {
      flush();
      start_ = offset;
      length_ = length;
    }
    // A damaged file's samples mostly lie back to back: the copy keeps up with what is
    // added instead of waiting for a gap that may never come.
    if (length_ >= kCopyAhead) flush();
  }

  void finish() {
    flush();
    if (!direct_) return;
    direct_->drain();
    if (direct_->readFailed() && !readErrorLogged_) {
      readErrorLogged_ = true;
      logLine("read error in the damaged file: the bytes that could not be read are written as zeros");
    }
    // The last, partial block goes through the page cache.
    direct_->fill(block_, pieces_);
    pieces_.clear();
    const size_t tail = size_t(written_ - blockStart_);
    if (tail != 0 && output_.writeAt(blockStart_, block_, tail) != tail) fail();
    blockStart_ = written_;
  }

 private:
  void flush() {
    if (length_ == 0) return;
    if (direct_)
      copyIntoBlocks(start_, length_);
    else
      copyThroughPageCache(start_, length_);
    length_ = 0;
  }

  void copyIntoBlocks(uint64_t from, uint64_t length) {
    while (length != 0) {
      const size_t fill = size_t(written_ - blockStart_);
      const size_t piece = size_t(std::min<uint64_t>(length, kBlock - fill));
      pieces_.push_back(Piece{from, uint32_t(fill), uint32_t(piece)});
      written_ += piece;
      from += piece;
      length -= piece;
      if (written_ - blockStart_ == kBlock) {
        direct_->write(block_, blockStart_, pieces_);
        pieces_.clear();
        blockStart_ = written_;
        block_ = direct_->freeBlock();
      }
    }
  }

  // The kernel copies file to file only where a byte lies at the same place within its
  // page in both files. Otherwise (the usual case: the output's media data starts at
  // another offset than the damaged file's) every page of the output would be written in
  // two partial pieces, which costs more than a read and a whole-page write through a
  // buffer.
  void copyThroughPageCache(uint64_t from, uint64_t length) {
    uint64_t done = 0;
    const bool pagesAlike = (from - written_) % kPage == 0;
    while (done < length && kernelCopy_ && pagesAlike) {
      loff_t in = loff_t(from + done), out = loff_t(written_);
      const size_t piece = size_t(std::min<uint64_t>(length - done, kWritebackStep));
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
    if (buffer_.empty() && done < length) buffer_.resize(kCopyBuffer);
    while (done < length) {
      // Pieces end on the output's page boundaries, so only the first and the last page
      // of the whole range are written in part.
      const size_t piece = size_t(std::min<uint64_t>(buffer_.size() - written_ % kPage, length - done));
      input_.readZeroFilled(from + done, buffer_.data(), piece);
      const size_t n = output_.writeAt(written_, buffer_.data(), piece);
      written_ += piece;
      done += piece;
      startWriteback();
      if (n != piece) fail();
    }
  }

  void startWriteback() {
    if (written_ - writebackFrom_ < kWritebackStep) return;
    writeback_->upTo(written_);
    writebackFrom_ = written_;
  }

  void fail() {
    if (!failed_) logLine("writing the repaired file failed near byte " + std::to_string(written_));
    failed_ = true;
  }

  FileHandle& input_;
  FileHandle& output_;
  uint64_t written_;  // output offset of the next byte copied
  uint64_t start_ = 0;
  uint64_t length_ = 0;
  bool failed_ = false;

  std::unique_ptr<DirectWriter> direct_;
  uint8_t* block_ = nullptr;  // the block being filled; it starts at blockStart_
  uint64_t blockStart_ = 0;
  std::vector<Piece> pieces_;  // what fills block_, read when it is handed over
  bool readErrorLogged_ = false;

  std::unique_ptr<BackgroundWriteback> writeback_;
  uint64_t writebackFrom_ = 0;
  Bytes buffer_;
  bool kernelCopy_ = true;
};

SampleCopier::SampleCopier(FileHandle& input, FileHandle& output, const std::string& outputPath,
                           uint64_t outputPosition, bool direct)
    : impl_(std::make_unique<Impl>(input, output, outputPath, outputPosition, direct)) {}
SampleCopier::~SampleCopier() = default;
uint64_t SampleCopier::position() const { return impl_->position(); }
void SampleCopier::add(uint64_t offset, uint64_t length) { impl_->add(offset, length); }
void SampleCopier::finish() { impl_->finish(); }
bool SampleCopier::failed() const { return impl_->failed(); }
bool SampleCopier::writesDirectly() const { return impl_->direct(); }

}  // namespace vr
