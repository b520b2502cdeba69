// Validity check, header scan and data scan of the AVI repair engine.
#include "avi/RepairFileAvi.h"
#include "common/Text.h"
#include "avi/AviFormats.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>

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

// The handler code as text for the attribute reports: empty when it is not valid UTF-8.
std::string handlerText(const std::array<uint8_t, 4>& code) {
  std::string text(code.begin(), code.end());
  return isValidUtf8(text) ? text : std::string();
}

// Sizes a stream description must keep to: a stream header holds at least the fields up to
// dwSampleSize (48 bytes; 56 with the frame rectangle), a video format at least a
// BITMAPINFOHEADER, an audio format at least a PCMWAVEFORMAT.
constexpr uint32_t kMinStreamHeader = 48, kMaxStreamHeader = 1024;
constexpr uint32_t kMinVideoFormat = 40, kMinAudioFormat = 16;
constexpr int32_t kMaxDimension = 32768;

// True when a video description can be trusted: a compressed bitmap of plausible size and a
// frame rate between one frame in 1,000 seconds and 1,000 frames per second.
bool plausibleVideo(const AviStreamInfo& s) {
  const Bytes& f = s.format;
  if (f.size() < kMinVideoFormat || readLE32(f.data()) < kMinVideoFormat || readLE32(f.data()) > f.size())
    return false;
  const int32_t width = int32_t(readLE32(f.data() + 4)), height = int32_t(readLE32(f.data() + 8));
  if (width < 1 || width > kMaxDimension || height == 0 || height < -kMaxDimension || height > kMaxDimension)
    return false;
  if (readLE32(f.data() + 16) == 0) return false;  // biCompression: the chunks are compressed pictures
  if (std::all_of(s.handler.begin(), s.handler.end(), [](uint8_t b) { return b == 0; })) return false;
  return s.scale != 0 && s.rate != 0 && uint64_t(s.rate) <= 1000ull * s.scale && uint64_t(s.rate) * 1000 >= s.scale;
}

// True when an audio description can be trusted: a wave format with a plausible channel
// count and sample rate; PCM with a block size that matches them, compressed audio with a
// time base and sample size of plausible magnitude.
bool plausibleAudio(const AviStreamInfo& s) {
  const std::optional<AviWaveFormat> w = AviWaveFormat::parse(s.format);
  if (!w || w->formatTag == 0 || w->channels < 1 || w->channels > 32 || w->samplesPerSec < 1000 ||
      w->samplesPerSec > 768000)
    return false;
  if (w->isPcm()) return w->bitsPerSample >= 1 && w->bitsPerSample <= 64 &&
                         w->blockAlign == w->channels * ((w->bitsPerSample + 7) / 8);
  if (s.scale == 0 || s.rate == 0 || s.sampleSize > 65536) return false;
  // Units per second: at most one per sample of a second's audio (VBR frames), or bytes.
  return uint64_t(s.rate) <= uint64_t(s.scale) * 10000000ull && uint64_t(s.rate) * 1000 >= s.scale;
}

// Reads the stream description whose stream type ("vids"/"auds") lies at typePos: the
// stream header's size field just before it, the header's fields, and the format chunk that
// follows the header (its tag is not required: it may be damaged while its content is whole).
std::optional<AviStreamInfo> readStreamDescription(FileHandle& in, uint64_t fileSize, uint64_t typePos, bool video) {
  if (typePos < 4) return std::nullopt;
  uint8_t head[kMinStreamHeader + 4];
  if (in.readAt(typePos - 4, head, sizeof head) != sizeof head) return std::nullopt;
  const uint32_t headerSize = readLE32(head);
  if (headerSize < kMinStreamHeader || headerSize > kMaxStreamHeader) return std::nullopt;
  const uint8_t* h = head + 4;
  AviStreamInfo s;
  std::copy(h + 4, h + 8, s.handler.begin());
  s.scale = readLE32(h + 20);
  s.rate = readLE32(h + 24);
  s.sampleSize = readLE32(h + 44);

  const uint64_t formatPos = typePos + headerSize + (headerSize & 1);  // the "strf" tag
  uint8_t sizeField[4];
  if (in.readAt(formatPos + 4, sizeField, 4) != 4) return std::nullopt;
  const uint64_t formatSize = readLE32(sizeField);
  if (formatSize < (video ? kMinVideoFormat : kMinAudioFormat) || formatSize > kMaxFormatSize ||
      formatPos + 8 + formatSize > fileSize)
    return std::nullopt;
  s.format = in.readAt(formatPos + 8, size_t(formatSize));
  if (s.format.size() != formatSize) return std::nullopt;
  if (!(video ? plausibleVideo(s) : plausibleAudio(s))) return std::nullopt;
  s.found = true;
  return s;
}

// The header scan: 3 KiB windows advanced by 1 KiB over the first 50 KiB (the last window
// holds only fileSize mod 1 KiB bytes). Every "vids" and "auds" stream type is tried; a
// description that passes the checks replaces an earlier one. `beforeWindow` reports
// progress and answers whether to stop.
AviHeaderInfo scanStreamDescriptions(FileHandle& in, uint64_t fileSize, const std::function<bool()>& beforeWindow) {
  AviHeaderInfo info;
  const uint64_t lastWindowBytes = fileSize % kScanWindow;
  uint8_t buf[3 * kScanWindow];
  for (size_t k = 1; k <= kHeaderWindows; ++k) {
    if (beforeWindow()) break;
    std::memset(buf, 0, sizeof buf);
    const uint64_t windowStart = (k - 1) * kScanWindow;
    in.readZeroFilled(windowStart, buf, k < kHeaderWindows ? sizeof buf : size_t(lastWindowBytes));
    for (size_t p = 0; p < kScanWindow; ++p) {
      const bool video = tagAt(buf + p, "vids");
      if (!video && !tagAt(buf + p, "auds")) continue;
      if (auto s = readStreamDescription(in, fileSize, windowStart + p, video)) (video ? info.video : info.audio) = *s;
    }
    if (info.allFound()) break;
  }
  return info;
}

}  // namespace

std::string printableForLog(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F) {
      out += char(c);
    } else {
      static const char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

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

void RepairFileAvi::failWith(int32_t code, const std::string& why) {
  logLine("AVI repair failed: " + printableForLog(why));
  if (delegate)
    delegate->repairFileDidFailWithError(
        makeRepairError(code, code == 107 ? "Can not repair this file.." : "Repaired File Could not be Written"));
}

void RepairFileAvi::retrieveAudioVideoSamplesForFileAtPath(const std::string& damagedPath,
                                                           const std::string& outputPath,
                                                           const std::string& referencePath) {
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
  if (stopflag()) return;

  // Descriptions the damaged file does not hold in a usable form come from the reference.
  if (!info_.allFound() && !referencePath.empty()) {
    const AviHeaderInfo ref = readStreamDescriptions(referencePath);
    if (!info_.video.found && ref.video.found) info_.video = ref.video, info_.videoFromReference = true;
    if (!info_.audio.found && ref.audio.found) info_.audio = ref.audio, info_.audioFromReference = true;
    if (!info_.allFound()) logLine("AVI repair: the reference holds no usable stream descriptions either");
  }

  if (!info_.allFound() || fileSize <= kMinRepairableSize) {
    std::string why;
    if (!info_.video.found) why += " no usable video stream description;";
    if (!info_.audio.found) why += " no usable audio stream description;";
    if (fileSize <= kMinRepairableSize) why += " file of 512 KiB or less;";
    failWith(107, damagedPath + ":" + why);
    return;
  }
  if (info_.videoFromReference || info_.audioFromReference)
    logLine(std::string("AVI repair: stream descriptions of ") +
            (info_.videoFromReference && info_.audioFromReference ? "video and audio"
             : info_.videoFromReference                           ? "video"
                                                                  : "audio") +
            " taken from the reference");
  sendAttribute("video", handlerText(info_.video.handler));
  sendAttribute("audio", handlerText(info_.audio.handler));
  sendAttribute("track", "2");

  dataScan(in, fileSize);
  constructRIFFListWithFileHandle(in, outputPath);
}

AviHeaderInfo RepairFileAvi::readStreamDescriptions(const std::string& path) {
  FileHandle in = FileHandle::openForReading(path);
  return scanStreamDescriptions(in, in.size(), [] { return false; });
}

void RepairFileAvi::headerScan(FileHandle& in, uint64_t fileSize) {
  sendTask("Analyzing the file..");
  info_ = scanStreamDescriptions(in, fileSize, [this] {
    sendProgress(10);
    return shouldStop();
  });
  for (const auto* s : {&info_.video, &info_.audio})
    if (s->found)
      logLine(std::string(s == &info_.video ? "AVI video" : "AVI audio") + " stream handler: \"" +
              printableForLog(std::string(s->handler.begin(), s->handler.end())) + "\"");
  logLine("AVI header scan finished");
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
