#pragma once
// The movie repair engine. One RepairFile runs one repair synchronously on the calling
// thread: it checks the two input paths, reads the healthy reference movie's index, scans
// the damaged file's bytes for video and audio samples and writes a new movie with a fresh
// index, reporting everything through its delegate.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/ByteOrder.h"
#include "common/FileIO.h"
#include "common/RepairFileDelegate.h"
#include "common/StopPause.h"
#include "engine/InBandReference.h"
#include "engine/Sample.h"

namespace vr {

class File;
class AtomCreationRequest;
class NALU;
class SPS;
class PPS;
class VPS_265;
class SampleToChunkEntery;
class ByteWindow;
struct ReferenceParameterSets;

// Error codes and their messages.
inline constexpr int32_t kErrorNoSampleFound = 101;
inline constexpr int32_t kErrorInvalidHealthyFile = 102;
inline constexpr int32_t kErrorCorruptFileUnreadable = 104;
inline constexpr int32_t kErrorHealthyFileUnreadable = 105;
inline constexpr int32_t kErrorRepairedFileNotWritten = 106;
inline constexpr const char* kMessageNoSampleFound = "No Sample Found";
inline constexpr const char* kMessageInvalidHealthyFile = "Invalid Healthy File";
inline constexpr const char* kMessageCorruptFileUnreadable = "Corrupt File Does not Exist or Unreadbale";
inline constexpr const char* kMessageHealthyFileUnreadable = "Healthy File Does not Exist or Unreadbale";
inline constexpr const char* kMessageRepairedFileNotWritten = "Repaired File Could not be Written";

// Task names announced to the delegate, in order.
inline constexpr const char* kTaskAnalyzing = "Analyzing video file...";
inline constexpr const char* kTaskLocating = "Locating audio / video data forks..";
inline constexpr const char* kTaskWriting = "Writing audio / video data forks..";

class RepairFile {
 public:
  RepairFile();
  ~RepairFile();
  RepairFile(const RepairFile&) = delete;
  RepairFile& operator=(const RepairFile&) = delete;

  // ---- Driver -------------------------------------------------------------------------
  // The whole repair: checks, reference parse, scan and writing.
  void repairMOVWithRefFileAtPath(const std::string& referencePath, const std::string& corruptPath,
                                  const std::string& repairedPath);
  // Checks, reference parse and analysis; the output path is passed through unused.
  void repairFileAtPath(const std::string& corruptPath, const std::string& savePath,
                        const std::string& referencePath);
  // Dispatches to the scan for H.264 (1001) and H.265 (1002) references.
  void analysisMdatOfFile(File& corrupt, uint64_t videoCodec, uint64_t audioCodec);
  // Reports how much the scan recovered: "coverage" (share of the media data placed into
  // samples), "recoveredVideo" and "recoveredAudio" (seconds).
  void sendOutcome();
  // Builds and delivers an error object.
  void sendErrorWithCode(int32_t code, const std::string& errorReason);
  // The four attribute reports of the repaired movie.
  void sendInfoToUIVideoCodec(uint64_t videoCodec, double videoFPS, uint64_t numberOfTracks,
                              const std::string& duration);

  // A damaged movie without a usable index that is its own reference is repaired from the
  // parameter sets in its stream, with these settings; the plan is kept for the result.
  InBandOptions inBandOptions;
  std::shared_ptr<InBandPlan> inBandPlan;

  // ---- Stop and pause -----------------------------------------------------------------
  bool stopflag() const { return flags_.stopRequested(); }
  void setStopflag(bool v) { flags_.setStop(v); }
  bool pauseRepairing() const { return flags_.paused(); }
  void setPauseRepairing(bool v) { flags_.setPause(v); }
  // Sleeps in one-second steps while paused; returns at once when not paused.
  void waitWhilePaused() { flags_.waitWhilePaused(); }

  // ---- Shared file operations ---------------------------------------------------------
  // Bytes read at offset; fewer at the end of the file (read errors are logged).
  Bytes readDataInFileHandle(FileHandle& handle, uint64_t offset, uint64_t length);
  // Copies what could be read into a caller's zero-filled buffer.
  void getBytesFromFileHandle(FileHandle& handle, uint64_t offset, uint64_t size, uint8_t* buffer);

  // ---- Media-data analysis (engine/MediaAnalysis.cpp) -----------------------------------
  // Scans the damaged file for video runs and the audio between them; fills sampleArray,
  // the two flat sample lists, the counts and the two requests.
  void analyseDataForAVC1AndHVC1InFile(File& corrupt, uint64_t audioCodec);
  // Builds the chain of NAL units that starts at offset, appending its records to
  // sampleArray. Returns the number of units consumed (0: nothing there, or stopped);
  // nalCount grows by the units, sampleCount by the pictures. Units running past
  // inputFileSize end the chain.
  int32_t getNaluAtOffset(uint64_t offset, SampleList& sampleArray, FileHandle& fileHandle, uint8_t sizeBytesLength,
                          uint64_t* nalCount, uint64_t* sampleCount, uint64_t inputFileSize,
                          const ReferenceParameterSets& reference);
  int32_t getNaluAtOffset(uint64_t offset, SampleList& sampleArray, ByteWindow& window, uint8_t sizeBytesLength,
                          uint64_t* nalCount, uint64_t* sampleCount, uint64_t inputFileSize,
                          const ReferenceParameterSets& reference);
  // The probe: the unit of the reference's stream that starts at offset, or nothing.
  std::shared_ptr<NALU> isNaluAtOffset(uint64_t offset, FileHandle& fileHandle, uint8_t withLangthSize,
                                       const ReferenceParameterSets& reference);
  // AAC frames found by trial decoding in [offset, offset + size) (engine/AACAnalysis.cpp);
  // nothing when a stop was requested meanwhile.
  std::optional<SampleList> analyseAACInFileHandle(FileHandle& fileHandle, uint64_t offset, uint64_t size);
  // Threads that analyse AAC stretches beside the scan; 0: one per processor.
  unsigned audioAnalysisThreads = 0;
  // Units larger than this are not taken (set by the scan from the reference).
  uint32_t maxNalSize = 2'199'999;
  // The samples the reference's further tracks (timecode, text, data, a second video)
  // store between the chunks of video and audio: their sizes, and the largest sample of a
  // text track, whose samples carry their length in front. Set by the scan.
  struct FurtherSamples {
    std::vector<uint32_t> sizes;
    uint32_t maxText = 0;
    uint32_t largest = 0;  // of the samples that are no text
    bool stills = false;   // a track of JPEG images (a phone's still pictures)
    // Bytes within which a sample of varying size (a still image, telemetry) ends.
    uint64_t reach() const { return 2 * uint64_t(largest) + 64; }
  } furtherSamples;
  // Length of the still image (JPEG) of a further track at `x`, read marker by marker up
  // to its end before `end`; 0 when the reference has no such track or none starts there.
  uint64_t stillImageAt(ByteWindow& window, uint64_t x, uint64_t end) const;
  // Size of the further track's sample at `bytes` behind which an AAC frame decodes or the
  // `length` bytes end; 0 when none fits.
  size_t furtherSampleAt(const uint8_t* bytes, size_t length, class AacFrameReader& reader, int depth = 0) const;
  // Why the damaged data contradicts the reference, when the repair ended for that.
  std::string referenceContradiction;
  // What the scan recovered, for the outcome of the repair.
  struct ScanOutcome {
    uint64_t mediaDataBytes = 0;  // bytes of media data looked at
    uint64_t bytesInSamples = 0;  // of those, placed into video and audio samples
    double videoSeconds = 0;
    double audioSeconds = 0;
    // Share of the media data placed into samples, 0 to 1.
    double coverage() const { return mediaDataBytes ? double(bytesInSamples) / double(mediaDataBytes) : 0; }
  };
  ScanOutcome outcome;
  // The position in presentation order of every picture of videoSampleArray, read from
  // the order counts in their slice headers; empty when the stream does not carry them
  // (H.264 picture-order types 1 and 2) or a picture's cannot be read.
  std::vector<uint32_t> presentationRanks(ByteWindow& window, uint8_t sizeBytesLength, uint64_t fileSize,
                                          const ReferenceParameterSets& reference);
  // Why the damaged data contradicts the reference (see MediaAnalysis.cpp), or empty: its
  // NAL units chain with longer length prefixes than the reference declares, before the
  // scan; after it, in-band parameter sets that differ from the reference's, or picture
  // numbering that does not follow on.
  std::string lengthSizeContradiction(ByteWindow& window, uint8_t sizeBytesLength, uint64_t from, uint64_t to,
                                      const ReferenceParameterSets& reference);
  std::string streamContradiction(ByteWindow& window, uint8_t sizeBytesLength, const ReferenceParameterSets& reference);
  // Ends the repair with a request for another reference, saying why.
  void refuseReference(const File& corrupt, const std::string& why);

  // ---- Writing the repaired file (engine/Writer.cpp) ------------------------------------
  // Header of the media-data atom in front of the copied chunks (64-bit size).
  static constexpr uint64_t kMediaDataHeaderSize = 16;
  // Writes the repaired movie at outputPath from the samples found in corruptPath.
  void writeSampleAtPath(const std::string& outputPath, const std::string& corruptPath);
  // Set by the writer when the output could not be written completely (not on a stop).
  bool writeFailed = false;
  // The repaired file being written: its handles, the copy and what the index needs.
  struct Output;
  // Copies the samples of the chunks not written yet behind the 16-byte placeholder, fills
  // both requests, then writes the index and the header. Returns false when stopped (the
  // file then has no index).
  bool writeSamplesToFileHandle(Output& output);
  // Builds the new index, writes the media-data header over the placeholder and appends
  // the movie atom.
  void wirteHeaderToFile(FileHandle& output, const std::string& outputPath);

  // ---- Writing while the scan goes on (engine/Writer.cpp) -------------------------------
  // Where the whole repair writes its result; while it is set, the scan copies every chunk
  // it has settled to that file at once, so that the copy runs beside the decoding and
  // the writing phase has only the rest to do. The file is created (or, when it exists,
  // taken over) only if it does not exist or is empty; a repair that ends before its
  // writing phase leaves it as it found it.
  std::string writeAheadPath;
  // Copies the settled chunks sampleArray[0, settled) that are not written yet.
  void writeAhead(size_t settled, const std::string& corruptPath);
  // Entries of sampleArray written ahead so far; when the scan drops empty entries it
  // says how many of the written ones remain.
  size_t chunksWrittenAhead() const;
  void chunksRenumbered(size_t written);
  // Removes what was written ahead (the scan was stopped, or found nothing to write).
  void discardWrittenAhead();

  // Sends a progress percentage when it differs from the last one sent in this phase.
  void reportProgress(uint64_t done, uint64_t total);
  int32_t lastProgressSent = -1;

  // ---- State --------------------------------------------------------------------------
  uint64_t audioSampleCount = 0;
  uint64_t videoSampleCount = 0;
  uint64_t fileSize1 = 0;
  uint64_t ftypSize = 0;
  std::vector<SampleChunk> sampleArray;
  SampleList videoSampleArray;
  SampleList audioSampleArray;
  int32_t currentPerformingTaskProgress = 0;
  RepairFileDelegate* delegate = nullptr;  // not owned
  std::shared_ptr<File> healthyFile;
  std::shared_ptr<File> corruptFile;
  std::shared_ptr<AtomCreationRequest> videoRequest;
  std::shared_ptr<AtomCreationRequest> audioRequest;
  std::string currentPerformingTask;

 private:
  // Creates the output, writes the placeholder and starts the copy; nothing on failure.
  std::unique_ptr<Output> openOutput(const std::string& outputPath, const std::string& corruptPath);
  // Writes chunks [output.chunksWritten, upTo) of sampleArray; false when stopped.
  bool writeChunks(Output& output, size_t upTo, bool withProgress);

  std::unique_ptr<Output> writtenAhead_;
  StopPauseFlags flags_;
};

}  // namespace vr
