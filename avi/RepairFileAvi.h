#pragma once
// AVI repair engine. It does not trust the damaged file's RIFF tree: it looks for the
// four-character tags AVI uses in the raw bytes, takes one video and one audio stream
// description from the first 50 KiB (checked before use; a healthy AVI from the same camera
// may stand in for descriptions that cannot be trusted), finds every video ("00db"/"00dc")
// and audio ("01wb") data chunk in the whole file by its tag and length, and writes a fresh
// RIFF/AVI file around copies of those chunks: headers that agree with the chunks written,
// OpenDML super and standard indexes, a legacy idx1 for the first RIFF list, and further
// "AVIX" lists when the result outgrows one.
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

// One stream's description: the stream header fields the rebuild takes and the format data
// (a BITMAPINFOHEADER for video, a WAVEFORMAT(EX) for audio). Only descriptions that passed
// the plausibility checks are held.
struct AviStreamInfo {
  bool found = false;
  std::array<uint8_t, 4> handler{};  // fccHandler, as found
  uint32_t scale = 0, rate = 0;      // time base: rate / scale units per second
  uint32_t sampleSize = 0;           // dwSampleSize: 0 when every chunk is one unit
  Bytes format;                      // strf data
};

// Stream descriptions found by the header scan (or taken from a reference file).
struct AviHeaderInfo {
  AviStreamInfo video, audio;
  bool videoFromReference = false, audioFromReference = false;
  bool allFound() const { return video.found && audio.found; }
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

// What the frame headers of an MPEG audio stream say about its chunks.
struct MpegAudioTally {
  uint64_t frames = 0, samples = 0;
  uint32_t samplesPerFrame = 0, sampleRate = 0;  // of the first frame
  bool oneFramePerChunk = true;                  // every chunk is exactly one whole frame
};

// What the rebuilt stream headers say, derived from a description and the chunks written.
struct AviStreamTiming {
  uint32_t scale = 0, rate = 0, sampleSize = 0;
  uint64_t length = 0;         // dwLength, in units of scale / rate
  uint64_t bufferSize = 0;     // dwSuggestedBufferSize: the largest chunk
  uint64_t dataBytes = 0;      // chunk data of the stream, pads not counted
  // Duration in stream units of chunks [first, last) (for the super index entries).
  uint64_t unitsOf(const AviChunkTable& t, size_t first, size_t last) const;
};

// One RIFF list of the rebuilt file: which chunks it holds and where its pieces lie.
struct AviSegment {
  size_t videoFirst = 0, videoEnd = 0;  // video chunks [videoFirst, videoEnd)
  size_t audioFirst = 0, audioEnd = 0;  // audio chunks [audioFirst, audioEnd)
  uint64_t riffPos = 0;                 // position of its "RIFF" tag
  uint64_t riffSize = 0;                // size field of the RIFF list
  uint64_t moviPos = 0;                 // position of the "movi" list type
  uint64_t moviSize = 0;                // size field of the "movi" list
  uint64_t ix00Pos = 0, ix01Pos = 0;    // standard index chunks (tag positions)
  uint64_t videoBase = 0, audioBase = 0;  // first chunk of each stream (the index base offsets)
  bool writesIx00 = false, writesIx01 = false;
  size_t videoCount() const { return videoEnd - videoFirst; }
  size_t audioCount() const { return audioEnd - audioFirst; }
};

// The rebuilt file's plan: its header list and its RIFF lists.
struct AviLayout {
  AviStreamTiming video, audio;
  uint64_t hdrlSize = 0;  // size field of the "hdrl" list
  size_t videoIndexCapacity = 1, audioIndexCapacity = 1;  // room in the super indexes
  std::vector<AviSegment> segments;
  uint64_t idx1Pos = 0;   // legacy index after the first "movi" list
  uint64_t totalFileSize = 0;
};

class RepairFileAvi {
 public:
  RepairFileAvi() = default;
  RepairFileAvi(const RepairFileAvi&) = delete;
  RepairFileAvi& operator=(const RepairFileAvi&) = delete;

  // Cheap check whether a file looks like AVI: at least 1,024 bytes and one of the AVI tags
  // somewhere in its first 10 KiB. Also records whether that first tag was "00db", which
  // picks the chunk id of the rebuilt video chunks.
  bool fileValidityCheckAtPath(const std::string& path);

  // The whole repair: header scan, decision, data scan and writing of outputPath. Stream
  // descriptions that cannot be used are taken from referencePath when one is given (a
  // healthy AVI from the same camera). Everything is reported through the delegate: error
  // 107 "Can not repair this file.." when the file lacks what a repair needs, 106 when the
  // repaired file cannot be written.
  void retrieveAudioVideoSamplesForFileAtPath(const std::string& damagedPath, const std::string& outputPath,
                                              const std::string& referencePath = std::string());

  // Writes the rebuilt AVI file from the header info and chunk tables, copying the chunks
  // from readHandle (the damaged file). Called at the end of a run.
  void constructRIFFListWithFileHandle(FileHandle& readHandle, const std::string& outputPath);

  // Reads the stream descriptions of the AVI at path (its first 50 KiB); what it returns
  // holds only descriptions that passed the checks.
  static AviHeaderInfo readStreamDescriptions(const std::string& path);

  // Little-endian helpers used when reading and writing RIFF numbers.
  static uint64_t fourByteRead(const uint8_t* bytes);
  static Bytes convertIntToData(uint32_t value);
  static Bytes convertIntTo8byteData(uint32_t value);

  // Plans the rebuilt file from the current header info and tables.
  AviLayout computeLayout() const;

  // Largest RIFF list written; data beyond it goes to further "AVIX" lists (OpenDML).
  uint64_t riffListLimit = uint64_t(1) << 30;

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
  void dataScan(FileHandle& in, uint64_t fileSize);
  bool followerLooksLikeChunk(FileHandle& in, uint64_t fileSize, uint64_t pos, const uint8_t* buf,
                              uint64_t bufStart, size_t bufLen);
  void dropUnreadableChunks(uint64_t fileSize);
  void tallyMpegAudio(FileHandle& in);
  void findKeyFrames(FileHandle& in);
  // Polls the pause flag (sleeping while it is set) and then answers whether to stop.
  bool shouldStop() {
    flags_.waitWhilePaused();
    return flags_.stopRequested();
  }
  void failWith(int32_t code, const std::string& why);

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
  MpegAudioTally audioTally_;  // filled before writing when the audio is MPEG audio
  std::vector<bool> videoKey_;  // per video chunk: a key frame (filled before writing)
  AviChunkTable video_;
  AviChunkTable audio_;
  StopPauseFlags flags_;
};

// Text for log lines: printable ASCII as it is, every other byte as \xNN.
std::string printableForLog(const std::string& s);

}  // namespace vr
