// Writer of the rebuilt AVI file: one RIFF form with a header list (main header, one video
// and one audio stream list, each with an OpenDML super index), then a "movi" list that
// starts with the two standard chunk indexes ("ix00", "ix01") followed by copies of all video
// chunks and then all audio chunks. No legacy idx1 index is written.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "avi/RepairFileAvi.h"

namespace vr {

namespace {

constexpr uint64_t kMaxRiffFileSize = 0xFFFFFFFFull;  // a single RIFF form has 32-bit sizes

void appendTag(Bytes& out, const char* tag) { out.insert(out.end(), tag, tag + 4); }
template <size_t N>
void appendArray(Bytes& out, const std::array<uint8_t, N>& a) {
  out.insert(out.end(), a.begin(), a.end());
}
void appendZeros(Bytes& out, size_t n) { out.insert(out.end(), n, 0); }
void appendNum(Bytes& out, uint64_t v) {
  const Bytes b = RepairFileAvi::convertIntToData(uint32_t(v));
  out.insert(out.end(), b.begin(), b.end());
}
void appendNum8(Bytes& out, uint64_t v) {
  const Bytes b = RepairFileAvi::convertIntTo8byteData(uint32_t(v));
  out.insert(out.end(), b.begin(), b.end());
}
// Format data written as exactly `size` bytes, whatever the held data's length.
void appendFormat(Bytes& out, const Bytes& data, uint64_t size) {
  const size_t n = size_t(std::min<uint64_t>(data.size(), size));
  out.insert(out.end(), data.begin(), data.begin() + n);
  appendZeros(out, size_t(size - n));
}

// A stream's super index ("indx", `size` bytes of content): 4 longs per entry, an index of
// indexes with one entry in use for chunks `chunkId`, then that entry: where the standard
// index lies, its size and the stream's duration.
void appendSuperIndex(Bytes& out, uint64_t size, const char* chunkId, uint64_t location, uint64_t indexSize,
                      uint64_t duration) {
  appendTag(out, "indx");
  appendNum(out, size);
  appendNum(out, 4);
  appendNum(out, 1);
  appendTag(out, chunkId);
  appendZeros(out, 12);
  appendNum8(out, location);
  appendNum(out, indexSize);
  appendNum8(out, duration);
}

// Appends to the output through a large buffer, remembering the first write error.
class BufferedAppender {
 public:
  explicit BufferedAppender(FileHandle& out) : out_(out), buf_(kCapacity) {}

  bool ok() const { return ok_; }
  int error() const { return error_; }
  uint64_t position() const { return pos_ + used_; }

  void append(const uint8_t* p, size_t n) {
    while (n > 0) {
      if (used_ == buf_.size()) flush();
      const size_t k = std::min(n, buf_.size() - used_);
      std::memcpy(buf_.data() + used_, p, k);
      used_ += k;
      p += k;
      n -= k;
    }
  }

  // Copies len bytes of `in` from offset; bytes that cannot be read are written as zeros so
  // that every later position stays where the indexes say. Returns false on a short read.
  bool copyFrom(FileHandle& in, uint64_t offset, uint64_t len) {
    bool full = true;
    while (len > 0) {
      if (used_ == buf_.size()) flush();
      const size_t k = size_t(std::min<uint64_t>(len, buf_.size() - used_));
      const size_t got = in.readAt(offset, buf_.data() + used_, k);
      if (got < k) {
        std::memset(buf_.data() + used_ + got, 0, k - got);
        full = false;
      }
      used_ += k;
      offset += k;
      len -= k;
    }
    return full;
  }

  void flush() {
    if (used_ == 0) return;
    if (ok_ && out_.writeAt(pos_, buf_.data(), used_) != used_) {
      ok_ = false;
      error_ = out_.lastError();
    }
    pos_ += used_;
    used_ = 0;
  }

 private:
  static constexpr size_t kCapacity = 8u << 20;
  FileHandle& out_;
  Bytes buf_;
  size_t used_ = 0;
  uint64_t pos_ = 0;
  bool ok_ = true;
  int error_ = 0;
};

bool sameFileAsHandle(const FileHandle& handle, const std::string& path) {
  struct stat a {}, b {};
  if (!handle.isOpen() || ::fstat(handle.fd(), &a) != 0 || ::stat(path.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

AviLayout RepairFileAvi::computeLayout() const {
  AviLayout l;
  const uint64_t V = video_.count(), A = audio_.count();
  const uint64_t vs = info_.videostrfsize, as = info_.audiostrfsize;
  const uint64_t u = vs + as;
  uint64_t Vd = 0, Ad = 0;
  for (uint64_t s : video_.sizes) Vd += s;
  for (uint64_t s : audio_.sizes) Ad += s;

  l.ix00size = 8 * V + 24;
  l.ix01size = 8 * A + 24;
  l.videoindxsize = 44;
  l.audioindxsize = 44;
  l.videostrlListsize = vs + 128;
  l.audiostrlListsize = as + 128;
  l.AVILISTsize = u + 340;
  l.ix00location = u + 380;
  l.ix01location = u + 8 * V + 404;
  l.videodatasize = Vd;
  l.audiodatasize = Ad;
  l.movisize = Vd + Ad + 16 * V + 16 * A + 68;
  l.RIFFLISTsize = u + Vd + Ad + 16 * V + 16 * A + 428;
  l.baseoffsetforvideo = u + 8 * V + 8 * A + 436;
  l.baseoffsetforaudio = l.baseoffsetforvideo + Vd + 8 * V;
  return l;
}

void RepairFileAvi::constructRIFFListWithFileHandle(FileHandle& readHandle, const std::string& outputPath) {
  sendTask("Repairing the file..");
  sendProgress(80);

  // Chunks that cannot be read in full are left out of the tables before anything is
  // written, so the indexes always describe exactly the data that follows them.
  dropUnreadableChunks(readHandle.size());
  if (!stopflag() && video_.count() == 0 && audio_.count() == 0) {
    failWith107("no video or audio chunk was found");
    return;
  }
  if (sameFileAsHandle(readHandle, outputPath)) {
    failWith107("the output path names the damaged file itself: " + outputPath);
    return;
  }

  layout_ = computeLayout();
  const AviLayout& l = layout_;
  if (l.totalFileSize() > kMaxRiffFileSize) {
    failWith107("the repaired file would be " + std::to_string(l.totalFileSize()) +
                " bytes, more than a single RIFF form can describe (4 GiB - 1)");
    return;
  }

  FileHandle out = FileHandle::createForWriting(outputPath);
  if (!out.isOpen()) {
    failWith107("cannot create " + outputPath + ": " + std::strerror(errno));
    return;
  }

  const AviHeaderInfo& h = info_;
  const uint64_t V = video_.count(), A = audio_.count();
  const uint64_t vs = h.videostrfsize, as = h.audiostrfsize;

  Bytes b;
  b.reserve(size_t(l.baseoffsetforvideo));
  appendTag(b, "RIFF");
  appendNum(b, l.RIFFLISTsize);
  appendTag(b, "AVI ");
  appendTag(b, "LIST");
  appendNum(b, l.AVILISTsize);
  appendTag(b, "hdrl");
  appendTag(b, "avih");
  appendArray(b, h.avihdata1);
  appendNum(b, V);  // total frames
  appendArray(b, h.avihdata2);

  // Video stream list.
  appendTag(b, "LIST");
  appendNum(b, l.videostrlListsize);
  appendTag(b, "strl");
  appendTag(b, "strh");
  appendNum(b, 56);
  appendTag(b, "vids");
  appendArray(b, h.videocodec);
  appendZeros(b, 12);  // flags, priority, language, initial frames
  appendArray(b, h.videoscaleratedata);
  appendZeros(b, 4);  // start
  appendNum(b, V);    // length
  appendNum(b, 0xFFFFFF);  // suggested buffer size
  appendZeros(b, 4);       // quality
  appendArray(b, h.videoscaledata);
  appendZeros(b, 8);  // frame rectangle
  appendTag(b, "strf");
  appendNum(b, vs);
  appendFormat(b, h.videostrfdata, vs);
  appendSuperIndex(b, l.videoindxsize, "00db", l.ix00location - 8, l.ix00size + 4, V);

  // Audio stream list.
  appendTag(b, "LIST");
  appendNum(b, l.audiostrlListsize);
  appendTag(b, "strl");
  appendTag(b, "strh");
  appendNum(b, 56);
  appendTag(b, "auds");
  appendArray(b, h.audiocodec);
  appendZeros(b, 12);
  appendArray(b, h.audioscaleratedata);
  appendZeros(b, 4);
  appendNum(b, A);
  appendNum(b, 0xFFFFFF);
  appendZeros(b, 4);
  appendArray(b, h.audioscaledata);
  appendZeros(b, 8);
  appendTag(b, "strf");
  appendNum(b, as);
  appendFormat(b, h.audiostrfdata, as);
  appendSuperIndex(b, l.audioindxsize, "01wb", l.ix01location, l.ix01size + 4, A);

  // "movi" list, starting with the two standard chunk indexes. Entry offsets are relative
  // to the stream's base offset and point at the chunk data, past its 8-byte header.
  appendTag(b, "LIST");
  appendNum(b, l.movisize);
  appendTag(b, "movi");
  const auto appendChunkIndex = [&](const char* name, uint64_t size, const char* chunkId, uint64_t base,
                                    const AviChunkTable& t) {
    appendTag(b, name);
    appendNum(b, size);
    appendNum(b, 0x01000002);  // 2 longs per entry, index of chunks
    appendNum(b, t.count());
    appendTag(b, chunkId);
    appendNum8(b, base);
    appendZeros(b, 4);
    uint64_t rel = 8;
    for (size_t k = 0; k < t.count(); ++k) {
      flags_.waitWhilePaused();
      appendNum(b, rel);
      appendNum(b, t.sizes[k]);
      rel += t.sizes[k] + 8;
    }
  };
  appendChunkIndex("ix00", l.ix00size, db_ ? "00db" : "00dc", l.baseoffsetforvideo, video_);
  appendChunkIndex("ix01", l.ix01size, "01wb", l.baseoffsetforaudio, audio_);

  BufferedAppender w(out);
  w.append(b.data(), b.size());

  // Chunk copies, whole (tag, size and data), back to back. A stop ends the copying; the
  // partial file is left for the caller to discard and nothing more is reported.
  size_t shortReads = 0;
  for (const AviChunkTable* t : {&video_, &audio_}) {
    for (size_t k = 0; k < t->count() && !stopflag(); ++k) {
      flags_.waitWhilePaused();
      if (!w.copyFrom(readHandle, t->offsets[k], t->sizes[k] + 8)) ++shortReads;
    }
  }
  w.flush();
  if (shortReads) logLine("AVI repair: " + std::to_string(shortReads) + " chunk(s) could not be read in full; the missing bytes are zeros");

  if (!w.ok()) {
    out.close();
    ::unlink(outputPath.c_str());
    if (!stopflag()) failWith107("cannot write " + outputPath + ": " + std::strerror(w.error()));
    return;
  }
  if (stopflag()) return;

  logLine("AVI repair: wrote " + std::to_string(V) + " video and " + std::to_string(A) + " audio chunks, " +
          std::to_string(w.position()) + " bytes");
  sendProgress(100);
  if (delegate) delegate->repairFileDidComplete();
}

}  // namespace vr
