// Writer of the rebuilt AVI file. The first RIFF list ("AVI ") holds the header list (main
// header, one video and one audio stream list, each with an OpenDML super index, and the
// OpenDML header with the total frame count), a "movi" list and the legacy idx1 index of
// that list. Chunks that do not fit in it go to further RIFF lists ("AVIX"), each holding one
// "movi" list. Every "movi" list starts with the standard chunk indexes of what it holds
// ("ix00" video, "ix01" audio) followed by its video chunks and then its audio chunks. Every
// chunk starts on an even offset: odd-sized data is followed by a pad byte that its size
// does not count.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "avi/AviFormats.h"
#include "avi/RepairFileAvi.h"

namespace vr {

namespace {

constexpr uint64_t kStandardIndexHead = 32;  // "ixNN", size and the 24-byte index header
constexpr uint64_t kDmlhSize = 248;          // OpenDML header: total frames and reserved words
constexpr uint32_t kAvifHasIndex = 0x10;
constexpr uint32_t kAviifKeyframe = 0x10;

uint64_t padded(uint64_t n) { return n + (n & 1); }
// Bytes a chunk of data size n takes in the file: header, data and pad byte.
uint64_t chunkSpan(uint64_t n) { return 8 + padded(n); }
uint32_t clamp32(uint64_t v) { return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(v); }

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
void appendNum64(Bytes& out, uint64_t v) {
  appendNum(out, uint32_t(v));
  appendNum(out, uint32_t(v >> 32));
}
void appendNum16(Bytes& out, uint16_t v) { appendLE16(out, v); }
// The head of a RIFF or LIST: its tag, its size and its form or list type.
void appendListHead(Bytes& out, const char* tag, uint64_t size, const char* type) {
  appendTag(out, tag);
  appendNum(out, size);
  appendTag(out, type);
}
// A chunk holding `data`, with a pad byte after odd data.
void appendChunk(Bytes& out, const char* tag, const Bytes& data) {
  appendTag(out, tag);
  appendNum(out, data.size());
  out.insert(out.end(), data.begin(), data.end());
  if (data.size() & 1) out.push_back(0);
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

uint64_t AviStreamTiming::unitsOf(const AviChunkTable& t, size_t first, size_t last) const {
  if (sampleSize == 0) return last - first;
  uint64_t bytes = 0;
  for (size_t k = first; k < last; ++k) bytes += t.sizes[k];
  return bytes / sampleSize;
}

namespace {

// What the stream header of the rebuilt file says about a stream: its time base and sample
// size, and a length that agrees with the chunks written. Video and compressed audio whose
// chunks are one frame each count chunks; PCM counts sample blocks; other audio counts
// units of its sample size.
AviStreamTiming timingFor(const AviStreamInfo& s, const AviChunkTable& t, bool video, const MpegAudioTally& tally) {
  AviStreamTiming m;
  for (uint64_t size : t.sizes) {
    m.dataBytes += size;
    m.bufferSize = std::max(m.bufferSize, size);
  }
  m.scale = s.scale;
  m.rate = s.rate;
  m.sampleSize = video ? 0 : s.sampleSize;
  if (!video) {
    const std::optional<AviWaveFormat> w = AviWaveFormat::parse(s.format);
    if (w && w->isPcm()) {
      m.scale = 1;
      m.rate = w->samplesPerSec;
      m.sampleSize = w->blockAlign;
    } else if (w && w->isMpegAudio()) {
      // MPEG audio frames tell their own length: one frame per chunk is counted per chunk,
      // anything else (several frames per chunk, frames across chunks) per byte at the rate
      // the frames give.
      if (tally.oneFramePerChunk && tally.frames == t.count() && tally.frames > 0) {
        m.scale = tally.samplesPerFrame;
        m.rate = tally.sampleRate;
        m.sampleSize = 0;
      } else if (tally.samples && tally.sampleRate) {
        m.scale = 1;
        m.rate = clamp32((m.dataBytes * tally.sampleRate + tally.samples / 2) / tally.samples);
        m.sampleSize = 1;
      }
    }
  }
  m.length = m.sampleSize ? m.dataBytes / m.sampleSize : t.count();
  return m;
}

}  // namespace

AviLayout RepairFileAvi::computeLayout() const {
  AviLayout l;
  l.video = timingFor(info_.video, video_, true, audioTally_);
  l.audio = timingFor(info_.audio, audio_, false, audioTally_);
  const size_t V = video_.count(), A = audio_.count();
  const auto spanOf = [&](size_t g) { return chunkSpan(g < V ? video_.sizes[g] : audio_.sizes[g - V]); };
  // RIFF sizes are 32-bit; the limit keeps well below that whatever it is set to.
  const uint64_t limit = std::min<uint64_t>(riffListLimit, 0xF0000000ull);

  // The header list's size depends on the number of super index entries, which depends on
  // how the chunks are split into RIFF lists, which depends on the header list's size. The
  // super indexes get room for a number of entries that only grows until every entry fits.
  for (;;) {
    l.hdrlSize = 4 + (8 + 56)                                                                        // avih
                 + 12 + (8 + 56) + chunkSpan(info_.video.format.size()) + 8 + 24 + 16 * l.videoIndexCapacity  // video strl
                 + 12 + (8 + 56) + chunkSpan(info_.audio.format.size()) + 8 + 24 + 16 * l.audioIndexCapacity  // audio strl
                 + 12 + 8 + kDmlhSize;                                                               // odml list

    // Chunks, video first and then audio, go to RIFF lists no larger than the limit; each
    // list holds a run [first, end) of that order.
    std::vector<std::pair<size_t, size_t>> runs;
    size_t first = 0;
    uint64_t used = 4 + 8 + l.hdrlSize + 12 + 2 * kStandardIndexHead + 8;  // the first list's fixed part
    for (size_t g = 0; g < V + A; ++g) {
      const uint64_t cost = spanOf(g) + 8 + (runs.empty() ? 16 : 0);  // chunk, index entry, idx1 entry
      if (g > first && used + cost > limit) {
        runs.emplace_back(first, g);
        first = g;
        used = 4 + 12 + 2 * kStandardIndexHead;
      }
      used += cost;
    }
    runs.emplace_back(first, V + A);

    l.segments.clear();
    size_t videoEntries = 0, audioEntries = 0;
    for (const auto& [g0, g1] : runs) {
      AviSegment s;
      s.videoFirst = std::min(g0, V);
      s.videoEnd = std::min(g1, V);
      s.audioFirst = std::max(g0, V) - V;
      s.audioEnd = std::max(g1, V) - V;
      s.writesIx00 = l.segments.empty() || s.videoCount() > 0;
      s.writesIx01 = l.segments.empty() || s.audioCount() > 0;
      videoEntries += s.writesIx00;
      audioEntries += s.writesIx01;
      l.segments.push_back(s);
    }
    if (videoEntries <= l.videoIndexCapacity && audioEntries <= l.audioIndexCapacity) break;
    l.videoIndexCapacity = std::max(l.videoIndexCapacity, videoEntries);
    l.audioIndexCapacity = std::max(l.audioIndexCapacity, audioEntries);
  }

  // Positions.
  uint64_t pos = 0;
  for (size_t i = 0; i < l.segments.size(); ++i) {
    AviSegment& s = l.segments[i];
    s.riffPos = pos;
    pos += 12;                                   // "RIFF", size, "AVI " or "AVIX"
    if (i == 0) pos += 8 + l.hdrlSize;           // header list
    s.moviPos = pos + 8;                         // "LIST", size, then "movi"
    pos += 12;
    s.ix00Pos = pos;
    if (s.writesIx00) pos += kStandardIndexHead + 8 * s.videoCount();
    s.ix01Pos = pos;
    if (s.writesIx01) pos += kStandardIndexHead + 8 * s.audioCount();
    s.videoBase = pos;
    for (size_t k = s.videoFirst; k < s.videoEnd; ++k) pos += chunkSpan(video_.sizes[k]);
    s.audioBase = pos;
    for (size_t k = s.audioFirst; k < s.audioEnd; ++k) pos += chunkSpan(audio_.sizes[k]);
    s.moviSize = pos - s.moviPos;
    if (i == 0) {
      l.idx1Pos = pos;
      pos += 8 + 16 * (s.videoCount() + s.audioCount());
    }
    s.riffSize = pos - s.riffPos - 8;
  }
  l.totalFileSize = pos;
  (void)A;
  return l;
}

void RepairFileAvi::tallyMpegAudio(FileHandle& in) {
  audioTally_ = MpegAudioTally{};
  const std::optional<AviWaveFormat> w = AviWaveFormat::parse(info_.audio.format);
  if (!w || !w->isMpegAudio()) return;
  MpegAudioTally& t = audioTally_;
  uint64_t carry = 0;  // bytes of a frame that began in an earlier chunk
  Bytes data;
  for (size_t k = 0; k < audio_.count(); ++k) {
    const uint64_t size = audio_.sizes[k];
    data.resize(size_t(size));
    in.readZeroFilled(audio_.offsets[k] + 8, data.data(), data.size());
    uint64_t o = carry;
    size_t framesHere = 0;
    while (o + 4 <= size) {
      const std::optional<MpegAudioFrameHeader> h = MpegAudioFrameHeader::parse(data.data() + o);
      if (!h || h->frameBytes < 4) break;
      if (t.frames == 0) {
        t.samplesPerFrame = h->samplesPerFrame;
        t.sampleRate = h->sampleRate;
      }
      ++t.frames;
      ++framesHere;
      t.samples += h->samplesPerFrame;
      o += h->frameBytes;
    }
    if (carry != 0 || framesHere != 1 || o != size) t.oneFramePerChunk = false;
    carry = o > size ? o - size : 0;
  }
}

void RepairFileAvi::constructRIFFListWithFileHandle(FileHandle& readHandle, const std::string& outputPath) {
  sendTask("Repairing the file..");
  sendProgress(80);

  // Chunks that cannot be read in full are left out of the tables before anything is
  // written, so the indexes always describe exactly the data that follows them.
  if (!info_.allFound()) {
    failWith(107, "no usable stream descriptions");
    return;
  }
  dropUnreadableChunks(readHandle.size());
  if (!stopflag() && video_.count() == 0 && audio_.count() == 0) {
    failWith(107, "no video or audio chunk was found");
    return;
  }
  if (sameFileAsHandle(readHandle, outputPath)) {
    failWith(107, "the output path names the damaged file itself: " + outputPath);
    return;
  }
  tallyMpegAudio(readHandle);
  findKeyFrames(readHandle);
  const AviLayout l = computeLayout();

  FileHandle out = FileHandle::createForWriting(outputPath);
  if (!out.isOpen()) {
    failWith(106, "cannot create " + outputPath + ": " + std::strerror(errno));
    return;
  }

  const AviHeaderInfo& h = info_;
  const AviSegment& first = l.segments.front();
  const char* videoId = db_ ? "00db" : "00dc";
  const Bytes& vf = h.video.format;
  const uint32_t width = readLE32(vf.data() + 4);
  const uint32_t height = uint32_t(std::abs(int32_t(readLE32(vf.data() + 8))));
  const double seconds = l.video.rate ? double(l.video.length) * l.video.scale / l.video.rate : 0;

  Bytes b;
  b.reserve(4096);
  appendListHead(b, "RIFF", first.riffSize, "AVI ");
  appendListHead(b, "LIST", l.hdrlSize, "hdrl");

  // Main header, from the stream descriptions and the chunks found.
  appendTag(b, "avih");
  appendNum(b, 56);
  appendNum(b, clamp32((uint64_t(l.video.scale) * 1000000 + l.video.rate / 2) / l.video.rate));  // microseconds per frame
  appendNum(b, seconds > 0 ? clamp32(uint64_t(double(l.video.dataBytes + l.audio.dataBytes) / seconds)) : 0);
  appendNum(b, 0);  // padding granularity
  appendNum(b, kAvifHasIndex);
  appendNum(b, first.videoCount());  // frames in the first RIFF list; the OpenDML header holds all
  appendNum(b, 0);                   // initial frames
  appendNum(b, 2);                   // streams
  appendNum(b, clamp32(padded(std::max(l.video.bufferSize, l.audio.bufferSize)) + 8));
  appendNum(b, width);
  appendNum(b, height);
  appendZeros(b, 16);

  // One stream list: header, format and super index (its entries point at the standard
  // indexes of every RIFF list that holds chunks of the stream).
  const auto appendStreamList = [&](bool video) {
    const AviStreamInfo& s = video ? h.video : h.audio;
    const AviStreamTiming& m = video ? l.video : l.audio;
    const AviChunkTable& t = video ? video_ : audio_;
    const size_t capacity = video ? l.videoIndexCapacity : l.audioIndexCapacity;
    appendListHead(b, "LIST", 4 + (8 + 56) + chunkSpan(s.format.size()) + 8 + 24 + 16 * capacity, "strl");
    appendTag(b, "strh");
    appendNum(b, 56);
    appendTag(b, video ? "vids" : "auds");
    appendArray(b, s.handler);
    appendZeros(b, 12);  // flags, priority, language, initial frames
    appendNum(b, m.scale);
    appendNum(b, m.rate);
    appendNum(b, 0);  // start
    appendNum(b, clamp32(m.length));
    appendNum(b, clamp32(m.bufferSize));
    appendNum(b, 0);  // quality
    appendNum(b, m.sampleSize);
    appendZeros(b, 8);  // frame rectangle
    appendChunk(b, "strf", s.format);

    appendTag(b, "indx");
    appendNum(b, 24 + 16 * capacity);
    appendNum16(b, 4);  // longs per entry
    b.push_back(0);     // index subtype
    b.push_back(0);     // index of indexes
    size_t used = 0;
    for (const AviSegment& seg : l.segments) used += video ? seg.writesIx00 : seg.writesIx01;
    appendNum(b, used);
    appendTag(b, video ? videoId : "01wb");
    appendZeros(b, 12);
    for (const AviSegment& seg : l.segments) {
      if (!(video ? seg.writesIx00 : seg.writesIx01)) continue;
      const size_t n = video ? seg.videoCount() : seg.audioCount();
      appendNum64(b, video ? seg.ix00Pos : seg.ix01Pos);
      appendNum(b, kStandardIndexHead + 8 * n);
      appendNum(b, clamp32(video ? m.unitsOf(t, seg.videoFirst, seg.videoEnd) : m.unitsOf(t, seg.audioFirst, seg.audioEnd)));
    }
    appendZeros(b, 16 * (capacity - used));
  };
  appendStreamList(true);
  appendStreamList(false);

  appendListHead(b, "LIST", 4 + 8 + kDmlhSize, "odml");
  appendTag(b, "dmlh");
  appendNum(b, kDmlhSize);
  appendNum(b, video_.count());  // total frames of the whole file
  appendZeros(b, size_t(kDmlhSize - 4));

  BufferedAppender w(out);
  w.append(b.data(), b.size());

  // A standard index: entries point at each chunk's data, past its 8-byte header, relative
  // to the position of the first chunk of the stream in this list; the pad bytes of
  // odd-sized chunks are skipped over.
  const auto appendStandardIndex = [&](Bytes& o, const char* name, const char* chunkId, uint64_t base,
                                       const AviChunkTable& t, size_t k0, size_t k1) {
    appendTag(o, name);
    appendNum(o, 24 + 8 * (k1 - k0));
    appendNum16(o, 2);  // longs per entry
    o.push_back(0);     // index subtype
    o.push_back(1);     // index of chunks
    appendNum(o, k1 - k0);
    appendTag(o, chunkId);
    appendNum64(o, base);
    appendZeros(o, 4);
    uint64_t rel = 8;
    for (size_t k = k0; k < k1; ++k) {
      appendNum(o, rel);
      appendNum(o, t.sizes[k] | (&t == &video_ && !videoKey_[k] ? 0x80000000u : 0));  // top bit: not a key frame
      rel += chunkSpan(t.sizes[k]);
    }
  };

  // Each RIFF list: its head, the "movi" list with its standard indexes and chunk copies,
  // and for the first one the legacy index. A stop ends the copying; the partial file is
  // left for the caller to discard and nothing more is reported.
  size_t shortReads = 0;
  const uint8_t zero = 0;
  for (size_t i = 0; i < l.segments.size() && !stopflag(); ++i) {
    const AviSegment& seg = l.segments[i];
    Bytes head;
    if (i > 0) appendListHead(head, "RIFF", seg.riffSize, "AVIX");
    appendListHead(head, "LIST", seg.moviSize, "movi");
    if (seg.writesIx00) appendStandardIndex(head, "ix00", videoId, seg.videoBase, video_, seg.videoFirst, seg.videoEnd);
    if (seg.writesIx01) appendStandardIndex(head, "ix01", "01wb", seg.audioBase, audio_, seg.audioFirst, seg.audioEnd);
    w.append(head.data(), head.size());

    for (bool video : {true, false}) {
      const AviChunkTable& t = video ? video_ : audio_;
      const size_t k0 = video ? seg.videoFirst : seg.audioFirst, k1 = video ? seg.videoEnd : seg.audioEnd;
      for (size_t k = k0; k < k1 && !stopflag(); ++k) {
        flags_.waitWhilePaused();
        uint8_t chunkHead[8];
        std::memcpy(chunkHead, video ? videoId : "01wb", 4);
        writeLE32(chunkHead + 4, uint32_t(t.sizes[k]));
        w.append(chunkHead, sizeof chunkHead);
        if (!w.copyFrom(readHandle, t.offsets[k] + 8, t.sizes[k])) ++shortReads;
        if (t.sizes[k] & 1) w.append(&zero, 1);
      }
    }

    if (i == 0 && !stopflag()) {
      // Legacy index of the first list: chunk id, key-frame flag, position of the chunk
      // relative to the "movi" list type, data size.
      Bytes idx;
      appendTag(idx, "idx1");
      appendNum(idx, 16 * (seg.videoCount() + seg.audioCount()));
      for (bool video : {true, false}) {
        const AviChunkTable& t = video ? video_ : audio_;
        uint64_t pos = video ? seg.videoBase : seg.audioBase;
        const size_t k0 = video ? seg.videoFirst : seg.audioFirst, k1 = video ? seg.videoEnd : seg.audioEnd;
        for (size_t k = k0; k < k1; ++k) {
          appendTag(idx, video ? videoId : "01wb");
          appendNum(idx, !video || videoKey_[k] ? kAviifKeyframe : 0);
          appendNum(idx, pos - seg.moviPos);
          appendNum(idx, t.sizes[k]);
          pos += chunkSpan(t.sizes[k]);
        }
      }
      w.append(idx.data(), idx.size());
    }
    if (l.segments.size() > 1) sendProgress(int32_t(80 + 19 * (i + 1) / l.segments.size()));
  }
  w.flush();
  if (shortReads) logLine("AVI repair: " + std::to_string(shortReads) + " chunk(s) could not be read in full; the missing bytes are zeros");

  if (!w.ok()) {
    // Only a regular file of our own making is removed; a device given as the output stays.
    struct stat st {};
    const bool regular = ::fstat(out.fd(), &st) == 0 && S_ISREG(st.st_mode);
    out.close();
    if (regular) ::unlink(outputPath.c_str());
    if (!stopflag()) failWith(106, "cannot write " + outputPath + ": " + std::strerror(w.error()));
    return;
  }
  if (stopflag()) return;

  logLine("AVI repair: wrote " + std::to_string(video_.count()) + " video and " + std::to_string(audio_.count()) +
          " audio chunks in " + std::to_string(l.segments.size()) + " RIFF list(s), " + std::to_string(w.position()) +
          " bytes");
  sendProgress(100);
  if (delegate) delegate->repairFileDidComplete();
}


void RepairFileAvi::findKeyFrames(FileHandle& in) {
  videoKey_.assign(video_.count(), true);
  const Bytes& f = info_.video.format;
  const AviVideoKind kind = aviVideoKind(f.size() >= 20 ? readBE32(f.data() + 16) : 0);
  if (kind == AviVideoKind::IntraOnly) return;
  uint8_t head[512];
  for (size_t k = 0; k < video_.count(); ++k) {
    const size_t n = size_t(std::min<uint64_t>(sizeof head, video_.sizes[k]));
    in.readZeroFilled(video_.offsets[k] + 8, head, n);
    videoKey_[k] = aviChunkIsKeyFrame(kind, head, n);
  }
}

}  // namespace vr
