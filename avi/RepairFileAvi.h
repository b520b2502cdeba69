#pragma once
// AVI repair engine. It does not trust the damaged file's RIFF tree: it looks for the
// four-character tags AVI uses in the raw bytes, takes the main header and one video and one
// audio stream description from the first 50 KiB, finds every video ("00db"/"00dc") and
// audio ("01wb") data chunk in the whole file by its tag and length, and writes a fresh
// RIFF/AVI file (header list, OpenDML super indexes, standard chunk indexes, chunk copies)
// around copies of those chunks.
//
// A run is synchronous on the calling thread and reports through RepairFileDelegate. The
// stop and pause flags may be set from any thread.
#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "common/ByteOrder.h"
#include "common/FileIO.h"
#include "common/RepairFileDelegate.h"
#include "common/StopPause.h"

namespace vr {

// Main header and stream descriptions found by the header scan. Byte fields hold the bytes
// exactly as they stand in the damaged file (little-endian numbers).
struct AviHeaderInfo {
  bool avihscaleratedatafound = false;  // an "avih" whose size field's low two bytes are not both zero
  bool videocodecfound = false;         // a "vids" stream header with a non-zero handler code
  bool audiocodecfound = false;         // an "auds" stream header
  bool videostrfcodecfound = false;     // video format data bytes 16..19 not all zero
  bool audiostrfcodecfound = false;     // audio format data bytes 16..19 not all zero

  // avih size field followed by its first 16 data bytes (usec/frame, max bytes/s, padding, flags).
  std::array<uint8_t, 20> avihdata1{};
  // avih data bytes 20..55: initial frames, streams, suggested buffer, width, height, 4 reserved.
  std::array<uint8_t, 36> avihdata2{};

  std::array<uint8_t, 4> videocodec{}, audiocodec{};                  // stream handler codes
  std::array<uint8_t, 8> videoscaleratedata{}, audioscaleratedata{};  // scale, rate
  std::array<uint8_t, 4> videoscaledata{}, audioscaledata{};          // the 4 bytes after the rate
  uint64_t videostrfsize = 0, audiostrfsize = 0;                      // length of the format data held
  Bytes videostrfdata, audiostrfdata;                                 // BITMAPINFOHEADER / WAVEFORMATEX
  std::array<uint8_t, 4> videostrfcodecdata{}, audiostrfcodecdata{};  // format data bytes 16..19

  bool allFound() const {
    return avihscaleratedatafound && audiocodecfound && videocodecfound && videostrfcodecfound &&
           audiostrfcodecfound;
  }
};

// Accepted chunks of one stream, in file order: position of the chunk's tag in the damaged
// file and the chunk's data size (without its 8-byte header).
struct AviChunkTable {
  std::vector<uint64_t> offsets;
  std::vector<uint64_t> sizes;

  size_t count() const { return offsets.size(); }
  void add(uint64_t offset, uint64_t size) {
    offsets.push_back(offset);
    sizes.push_back(size);
  }
  void clear() {
    offsets.clear();
    sizes.clear();
  }
};

// Sizes and positions of the rebuilt file, derived from the tables before writing.
struct AviLayout {
  uint64_t ix00size = 0, ix01size = 0;
  uint64_t videoindxsize = 44, audioindxsize = 44;
  uint64_t videostrlListsize = 0, audiostrlListsize = 0;
  uint64_t AVILISTsize = 0;
  uint64_t ix00location = 0, ix01location = 0;
  uint64_t videodatasize = 0, audiodatasize = 0;
  uint64_t movisize = 0;
  uint64_t RIFFLISTsize = 0;
  uint64_t baseoffsetforvideo = 0, baseoffsetforaudio = 0;

  uint64_t totalFileSize() const { return RIFFLISTsize + 8; }
};

class RepairFileAvi {
 public:
  RepairFileAvi() = default;
  RepairFileAvi(const RepairFileAvi&) = delete;
  RepairFileAvi& operator=(const RepairFileAvi&) = delete;

  // Cheap check whether a file looks like AVI: at least 1,024 bytes and one of the AVI tags
  // somewhere in its first 10 KiB. Also records whether that first tag was "00db", which
  // picks the chunk id of the rebuilt video index.
  bool fileValidityCheckAtPath(const std::string& path);

  // The whole repair: header scan, decision, data scan and writing of outputPath. Everything
  // is reported through the delegate; error 107 "Can not repair this file.." on failure.
  void retrieveAudioVideoSamplesForFileAtPath(const std::string& damagedPath, const std::string& outputPath);

  // Writes the rebuilt AVI file from the header info and chunk tables, copying the chunks
  // from readHandle (the damaged file). Called at the end of a run.
  void constructRIFFListWithFileHandle(FileHandle& readHandle, const std::string& outputPath);

  // Little-endian helpers used when reading and writing RIFF numbers.
  static uint64_t fourByteRead(const uint8_t* bytes);
  static Bytes convertIntToData(uint32_t value);
  static Bytes convertIntTo8byteData(uint32_t value);

  // Computes the rebuilt file's sizes and positions from the current header info and tables.
  AviLayout computeLayout() const;

  void setStopflag(bool v) { flags_.setStop(v); }
  bool stopflag() const { return flags_.stopRequested(); }
  void setPauseRepairingAVI(bool v) { flags_.setPause(v); }
  bool pauseRepairingAVI() const { return flags_.paused(); }

  bool db() const { return db_; }
  AviHeaderInfo& headerInfo() { return info_; }
  const AviHeaderInfo& headerInfo() const { return info_; }
  AviChunkTable& videoChunks() { return video_; }
  AviChunkTable& audioChunks() { return audio_; }
  const AviChunkTable& videoChunks() const { return video_; }
  const AviChunkTable& audioChunks() const { return audio_; }

  // Non-owning receiver of all reports; may be null.
  RepairFileDelegate* delegate = nullptr;
  // Accepted chunks per stream; readable from another thread while a run goes on.
  std::atomic<uint64_t> videosamplecount{0};
  std::atomic<uint64_t> audiosamplecount{0};
  // Size field of the chunk under test in the data scan.
  uint64_t videosamplesize = 0;

 private:
  void headerScan(FileHandle& in, uint64_t fileSize);
  void readStreamHeaderAt(FileHandle& in, uint64_t fileSize, uint64_t tagPos, bool video);
  void readMainHeaderAt(FileHandle& in, uint64_t tagPos);
  void dataScan(FileHandle& in, uint64_t fileSize);
  bool followerLooksLikeChunk(FileHandle& in, uint64_t fileSize, uint64_t pos, const uint8_t* buf,
                              uint64_t bufStart, size_t bufLen);
  void dropUnreadableChunks(uint64_t fileSize);
  // Polls the pause flag (sleeping while it is set) and then answers whether to stop.
  bool shouldStop() {
    flags_.waitWhilePaused();
    return flags_.stopRequested();
  }
  void failWith107(const std::string& why);

  void sendTask(const std::string& t) {
    if (delegate) delegate->repairFileDidStartPerformingTask(t);
  }
  void sendProgress(int32_t p) {
    if (delegate) delegate->repairFileCurrentTaskProgress(p);
  }
  void sendAttribute(const std::string& k, const std::string& v) {
    if (delegate) delegate->repairFileAttribute(k, v);
  }

  bool db_ = false;
  AviHeaderInfo info_;
  AviChunkTable video_;
  AviChunkTable audio_;
  AviLayout layout_;
  StopPauseFlags flags_;
};

}  // namespace vr
