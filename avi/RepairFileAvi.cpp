// Validity check, header scan and data scan of the AVI repair engine.
#include "avi/RepairFileAvi.h"

#include <algorithm>
#include <cstring>

namespace vr {

namespace {

// Tags whose presence in the first 10 KiB makes a file look like AVI.
constexpr const char* kValidityTags[] = {"00db", "00dc", "00wb", "AVI ", "LIST", "RIFF",
                                         "avih", "hdrl", "indx", "movi", "strl", "strh"};

// Tags that may follow a data chunk (possibly after one pad byte or two stray bytes): the
// next data chunk, padding, or the chunk indexes a muxer writes after the last data chunk.
constexpr const char* kFollowerTags[] = {"01wb", "00db", "00dc", "JUNK", "ix00", "ix01", "idx1"};

constexpr uint64_t kMinRepairableSize = 524288;  // files of 512 KiB or less are refused
constexpr uint32_t kMaxChunkSize = 9999999;
constexpr size_t kScanWindow = 1024;
constexpr size_t kHeaderWindows = 50;
constexpr uint64_t kMaxFormatSize = 1u << 20;  // no stream format is larger; a bigger size field is damage

bool tagAt(const uint8_t* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; }

bool anyNonZero(const uint8_t* p, size_t n) {
  return std::any_of(p, p + n, [](uint8_t b) { return b != 0; });
}

// Strict UTF-8 validation (no overlongs, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(const uint8_t* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    const uint8_t c = s[i];
    size_t len;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

// The handler code as text for the attribute reports: empty when it is not valid UTF-8.
std::string handlerText(const std::array<uint8_t, 4>& code) {
  if (!isValidUtf8(code.data(), code.size())) return std::string();
  return std::string(reinterpret_cast<const char*>(code.data()), code.size());
}

template <size_t N>
void readFixed(FileHandle& in, uint64_t pos, std::array<uint8_t, N>& out) {
  in.readZeroFilled(pos, out.data(), N);
}

}  // namespace

uint64_t RepairFileAvi::fourByteRead(const uint8_t* bytes) { return readLE32(bytes); }

Bytes RepairFileAvi::convertIntToData(uint32_t value) {
  Bytes out;
  appendLE32(out, value);
  return out;
}

Bytes RepairFileAvi::convertIntTo8byteData(uint32_t value) {
  Bytes out;
  appendLE32(out, value);
  appendLE32(out, 0);
  return out;
}

bool RepairFileAvi::fileValidityCheckAtPath(const std::string& path) {
  db_ = false;
  FileHandle in = FileHandle::openForReading(path);
  if (!in.isOpen()) return false;
  if (in.size() <= 1023) return false;
  // Ten 1 KiB windows; a tag is only seen when it lies wholly inside one window.
  uint8_t buf[kScanWindow];
  for (uint64_t w = 0; w < 10; ++w) {
    in.readZeroFilled(w * kScanWindow, buf, kScanWindow);
    for (size_t p = 0; p + 4 <= kScanWindow; ++p) {
      for (const char* tag : kValidityTags) {
        if (tagAt(buf + p, tag)) {
          db_ = std::strcmp(tag, "00db") == 0;
          return true;
        }
      }
    }
  }
  return false;
}

void RepairFileAvi::failWith107(const std::string& why) {
  logLine("AVI repair failed: " + why);
  if (delegate) delegate->repairFileDidFailWithError(makeRepairError(107, "Can not repair this file.."));
}

void RepairFileAvi::retrieveAudioVideoSamplesForFileAtPath(const std::string& damagedPath,
                                                           const std::string& outputPath) {
  // A run starts from a clean slate; only the validity check's db flag is carried over.
  info_ = AviHeaderInfo{};
  video_.clear();
  audio_.clear();
  videosamplecount = 0;
  audiosamplecount = 0;
  videosamplesize = 0;

  FileHandle in = FileHandle::openForReading(damagedPath);
  const uint64_t fileSize = in.size();  // 0 when the file cannot be opened

  headerScan(in, fileSize);

  if (!info_.allFound() || fileSize <= kMinRepairableSize) {
    std::string why;
    if (!info_.avihscaleratedatafound) why += " no main header (avih);";
    if (!info_.videocodecfound) why += " no video stream header with a handler;";
    if (!info_.videostrfcodecfound) why += " no video compression code;";
    if (!info_.audiocodecfound) why += " no audio stream header;";
    if (!info_.audiostrfcodecfound) why += " no audio format code;";
    if (fileSize <= kMinRepairableSize) why += " file of 512 KiB or less;";
    failWith107(damagedPath + ":" + why);
    return;
  }

  dataScan(in, fileSize);
  constructRIFFListWithFileHandle(in, outputPath);
}

void RepairFileAvi::headerScan(FileHandle& in, uint64_t fileSize) {
  const uint64_t lastWindowBytes = fileSize % kScanWindow;
  uint8_t buf[3 * kScanWindow];
  for (size_t k = 1; k <= kHeaderWindows; ++k) {
    if (shouldStop()) break;
    std::memset(buf, 0, sizeof buf);
    const uint64_t windowStart = (k - 1) * kScanWindow;
    // Windows of 3 KiB advanced by 1 KiB; the fiftieth window holds only fileSize mod 1 KiB bytes.
    if (k < kHeaderWindows)
      in.readZeroFilled(windowStart, buf, sizeof buf);
    else
      in.readZeroFilled(windowStart, buf, size_t(lastWindowBytes));
    sendTask("Analyzing the file..");
    sendProgress(10);

    bool stopped = false;
    for (size_t p = 0; p < kScanWindow; ++p) {
      if (shouldStop()) {
        stopped = true;
        break;
      }
      const uint8_t* t = buf + p;
      const uint64_t pos = windowStart + p;
      if (tagAt(t, "auds"))
        readStreamHeaderAt(in, fileSize, pos, false);
      else if (tagAt(t, "vids"))
        readStreamHeaderAt(in, fileSize, pos, true);
      else if (tagAt(t, "avih"))
        readMainHeaderAt(in, pos);
    }
    if (info_.allFound() && fileSize > kMinRepairableSize) {
      sendAttribute("track", "2");
      break;
    }
    if (stopped) break;
  }
  logLine("AVI header scan finished");
}

// pos is the position of the stream type inside a 56-byte "strh" chunk: the handler follows
// at +4, scale and rate at +20, and the "strf" chunk that comes next has its size at +60
// and its data at +64.
void RepairFileAvi::readStreamHeaderAt(FileHandle& in, uint64_t fileSize, uint64_t pos, bool video) {
  auto& codec = video ? info_.videocodec : info_.audiocodec;
  auto& scaleRate = video ? info_.videoscaleratedata : info_.audioscaleratedata;
  auto& scale = video ? info_.videoscaledata : info_.audioscaledata;
  auto& strfSize = video ? info_.videostrfsize : info_.audiostrfsize;
  auto& strfData = video ? info_.videostrfdata : info_.audiostrfdata;
  auto& strfCodec = video ? info_.videostrfcodecdata : info_.audiostrfcodecdata;

  readFixed(in, pos + 4, codec);
  if (video)
    info_.videocodecfound = anyNonZero(codec.data(), codec.size());
  else
    info_.audiocodecfound = true;
  const std::string text = handlerText(codec);
  sendAttribute(video ? "video" : "audio", text);
  logLine(std::string(video ? "AVI video" : "AVI audio") + " stream handler: \"" + text + "\"");

  readFixed(in, pos + 20, scaleRate);
  readFixed(in, pos + 28, scale);

  uint8_t sizeField[4];
  in.readZeroFilled(pos + 60, sizeField, 4);
  const uint64_t declared = fourByteRead(sizeField);
  // The format data is held only as far as the file goes (and at most 1 MiB), and its size
  // is the count held, so the rebuilt "strf" chunk carries exactly the bytes its size field
  // announces.
  const uint64_t dataPos = pos + 64;
  const uint64_t available = fileSize > dataPos ? fileSize - dataPos : 0;
  strfData = in.readAt(dataPos, size_t(std::min({declared, available, kMaxFormatSize})));
  strfSize = strfData.size();

  readFixed(in, pos + 80, strfCodec);
  const bool codecFound = anyNonZero(strfCodec.data(), strfCodec.size());
  if (video)
    info_.videostrfcodecfound = codecFound;
  else
    info_.audiostrfcodecfound = codecFound;
}

// pos is the position of the "avih" tag: its size field at +4 and 56 data bytes at +8.
void RepairFileAvi::readMainHeaderAt(FileHandle& in, uint64_t pos) {
  readFixed(in, pos + 4, info_.avihdata1);
  info_.avihscaleratedatafound = info_.avihdata1[0] != 0 || info_.avihdata1[1] != 0;
  if (!info_.avihscaleratedatafound) logLine("AVI main header size NOT FOUND");
  readFixed(in, pos + 28, info_.avihdata2);
}

// True when the chunk whose data ends at pos is followed by something that starts a chunk:
// one of the follower tags at offset 0, 1 or 2 of the next six bytes, or the end of the
// file (right after the data or after one pad byte). Bytes inside [bufStart, bufStart +
// bufLen) are taken from the scan buffer, others are read from the file.
bool RepairFileAvi::followerLooksLikeChunk(FileHandle& in, uint64_t fileSize, uint64_t pos, const uint8_t* buf,
                                           uint64_t bufStart, size_t bufLen) {
  if (pos <= fileSize && fileSize - pos <= 1) return true;
  uint8_t next[6];
  if (pos >= bufStart && pos - bufStart + sizeof next <= bufLen)
    std::memcpy(next, buf + (pos - bufStart), sizeof next);
  else
    in.readZeroFilled(pos, next, sizeof next);
  for (size_t k = 0; k <= 2; ++k)
    for (const char* tag : kFollowerTags)
      if (tagAt(next + k, tag)) return true;
  return false;
}

void RepairFileAvi::dataScan(FileHandle& in, uint64_t fileSize) {
  sendTask("Locating audio / video data forks..");
  sendProgress(50);

  // Every position of the file is examined, window by window (1 KiB each); the file is read
  // through a large buffer that holds a block of windows plus the 8 bytes (tag and size) that
  // a candidate at the block's last position needs.
  constexpr size_t kWindowsPerBlock = 4096;
  constexpr size_t kLookahead = 8;
  const uint64_t windows = fileSize <= kScanWindow ? 1 : (fileSize + kScanWindow - 1) / kScanWindow;
  std::vector<uint8_t> buf(kWindowsPerBlock * kScanWindow + kLookahead);

  uint64_t w = 0;
  while (w < windows) {
    const uint64_t blockStart = w * kScanWindow;
    const size_t blockWindows = size_t(std::min<uint64_t>(kWindowsPerBlock, windows - w));
    const size_t held = blockWindows * kScanWindow + kLookahead;
    in.readZeroFilled(blockStart, buf.data(), held);

    for (size_t j = 0; j < blockWindows; ++j, ++w) {
      if (shouldStop()) return;
      sendProgress(70);
      const uint8_t* p = buf.data() + j * kScanWindow;
      const uint8_t* const end = p + kScanWindow;
      while (p < end) {
        p = static_cast<const uint8_t*>(std::memchr(p, '0', size_t(end - p)));
        if (!p) break;
        const bool video = p[1] == '0' && p[2] == 'd' && (p[3] == 'b' || p[3] == 'c');
        const bool audio = !video && p[1] == '1' && p[2] == 'w' && p[3] == 'b';
        if (video || audio) {
          if (shouldStop()) return;
          const uint32_t size = readLE32(p + 4);
          if (size >= 1 && size <= kMaxChunkSize) {
            const uint64_t tagPos = blockStart + uint64_t(p - buf.data());
            if (followerLooksLikeChunk(in, fileSize, tagPos + 8 + size, buf.data(), blockStart, held)) {
              videosamplesize = size;
              if (video) {
                video_.add(tagPos, size);
                videosamplecount = video_.count();
              } else {
                audio_.add(tagPos, size);
                audiosamplecount = audio_.count();
              }
            }
          }
        }
        ++p;
      }
    }
  }
}

void RepairFileAvi::dropUnreadableChunks(uint64_t fileSize) {
  size_t dropped = 0;
  for (AviChunkTable* table : {&video_, &audio_}) {
    AviChunkTable kept;
    for (size_t i = 0; i < table->count(); ++i) {
      const uint64_t off = table->offsets[i], size = table->sizes[i];
      if (off <= fileSize && size <= fileSize && fileSize - off >= size + 8)
        kept.add(off, size);
      else
        ++dropped;
    }
    *table = std::move(kept);
  }
  videosamplecount = video_.count();
  audiosamplecount = audio_.count();
  if (dropped) logLine("AVI repair: left out " + std::to_string(dropped) + " chunk(s) that lie beyond the end of the file");
}

}  // namespace vr
