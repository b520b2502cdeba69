#include "engine/RepairFile.h"

#include <cstdio>

#include "atoms/ReferenceCheck.h"
#include "engine/File.h"
#include "engine/RepairOutput.h"

namespace vr {

RepairFile::RepairFile() = default;
RepairFile::~RepairFile() = default;

void RepairFile::repairMOVWithRefFileAtPath(const std::string& referencePath, const std::string& corruptPath,
                                            const std::string& repairedPath) {
  writeAheadPath = repairedPath;
  repairFileAtPath(corruptPath, repairedPath, referencePath);
  if (!stopflag()) waitWhilePaused();
  if (stopflag() || videoSampleCount == 0) discardWrittenAhead();
  if (stopflag()) return;
  // Audio alone is no repaired movie: without a picture nothing was found.
  if (videoSampleCount != 0 && !sampleArray.empty()) {
    writeSampleAtPath(repairedPath, corruptPath);
    // A stop ends the writing early and is still reported as completion; a write that
    // failed (disk full, I/O error) is a failure, never a completed repair.
    if (writeFailed && !stopflag()) {
      sendErrorWithCode(kErrorRepairedFileNotWritten, kMessageRepairedFileNotWritten);
      setStopflag(true);
      return;
    }
    if (delegate) delegate->repairFileDidComplete();
  } else {
    sendErrorWithCode(kErrorNoSampleFound, kMessageNoSampleFound);
    setStopflag(true);
  }
}

void RepairFile::repairFileAtPath(const std::string& corruptPath, const std::string& /*savePath*/,
                                  const std::string& referencePath) {
  if (!fileExistsAndIsReadable(referencePath)) {
    sendErrorWithCode(kErrorHealthyFileUnreadable, kMessageHealthyFileUnreadable);
    setStopflag(true);
    return;
  }
  if (!fileExistsAndIsReadable(corruptPath)) {
    sendErrorWithCode(kErrorCorruptFileUnreadable, kMessageCorruptFileUnreadable);
    setStopflag(true);
    return;
  }
  if (delegate) delegate->repairFileDidStartPerformingTask(kTaskAnalyzing);
  healthyFile = File::parseFileAtPath(referencePath);
  // An index that is unsound where the repair takes from it counts as none.
  inBandPlan.reset();
  if (!healthyFile->moov() || !referenceProblems(*healthyFile->moov()).empty()) {
    // A damaged movie that is its own reference may still carry its parameter sets in its
    // stream; they stand in for the index.
    if (auto plan = corruptPath == referencePath ? planInBandRepair(corruptPath, inBandOptions) : std::nullopt) {
      inBandPlan = std::make_shared<InBandPlan>(std::move(*plan));
      healthyFile = inBandPlan->reference;
    } else {
      if (corruptPath == referencePath) {
        if (delegate) delegate->moveBackToSelectReferenceFile();
      } else {
        sendErrorWithCode(kErrorInvalidHealthyFile, kMessageInvalidHealthyFile);
      }
      setStopflag(true);
      return;
    }
  }
  corruptFile = File::initWithFileType(kFileTypeCorrupted, corruptPath);
  analysisMdatOfFile(*corruptFile, healthyFile->videoCodec, healthyFile->audioCodec);
  if (inBandPlan && !stopflag()) settleInBandRepair(*this, *inBandPlan);
}

void RepairFile::analysisMdatOfFile(File& corrupt, uint64_t videoCodec, uint64_t audioCodec) {
  if (videoCodec == kVideoCodecH264 || videoCodec == kVideoCodecH265) {
    analyseDataForAVC1AndHVC1InFile(corrupt, audioCodec);
  } else {
    if (delegate) delegate->moveBackToSelectReferenceFile();
    setStopflag(true);
  }
}

void RepairFile::sendOutcome() {
  if (!delegate) return;
  char text[64];
  std::snprintf(text, sizeof text, "%.1f %%", outcome.coverage() * 100);
  delegate->repairFileAttribute("coverage", text);
  std::snprintf(text, sizeof text, "%.2f s", outcome.videoSeconds);
  delegate->repairFileAttribute("recoveredVideo", text);
  std::snprintf(text, sizeof text, "%.2f s", outcome.audioSeconds);
  delegate->repairFileAttribute("recoveredAudio", text);
}

void RepairFile::sendErrorWithCode(int32_t code, const std::string& errorReason) {
  if (delegate) delegate->repairFileDidFailWithError(makeRepairError(code, errorReason));
}

void RepairFile::sendInfoToUIVideoCodec(uint64_t videoCodec, double videoFPS, uint64_t numberOfTracks,
                                        const std::string& duration) {
  if (!delegate) return;
  const char* codec = videoCodec == kVideoCodecH265 ? "HVC1" : videoCodec == kVideoCodecH264 ? "AVC1" : "Unknown";
  char fps[64];
  std::snprintf(fps, sizeof fps, "%.2f", videoFPS);
  delegate->repairFileAttribute("video", codec);
  delegate->repairFileAttribute("fps", fps);
  delegate->repairFileAttribute("track", std::to_string(numberOfTracks));
  delegate->repairFileAttribute("duration", duration);
}

Bytes RepairFile::readDataInFileHandle(FileHandle& handle, uint64_t offset, uint64_t length) {
  return handle.readAt(offset, size_t(length));
}

void RepairFile::getBytesFromFileHandle(FileHandle& handle, uint64_t offset, uint64_t size, uint8_t* buffer) {
  handle.readAt(offset, buffer, size_t(size));
}

}  // namespace vr
