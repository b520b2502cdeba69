// The repair command: runs a movie or AVI repair on a background thread, shows progress,
// writes the result to a temporary file beside the destination and moves it into place
// only when the repair completed.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/Cli.h"
#include "app/Signals.h"
#include "avi/RepairFileAvi.h"
#include "common/FileIO.h"
#include "engine/File.h"
#include "engine/RepairFile.h"

namespace vr::cli {

namespace fs = std::filesystem;

namespace {

std::string lowerExtension(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return ext;
}

bool looksLikeAvi(const std::string& path) {
  const std::string ext = lowerExtension(path);
  if (ext == "avi") return true;
  if (ext == "mov" || ext == "mp4" || ext == "m4v") return false;
  FileHandle f = FileHandle::openForReading(path);
  uint8_t head[12] = {};
  f.readZeroFilled(0, head, sizeof head);
  return std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "AVI ", 4) == 0;
}

// The same file, or the same path once made absolute.
bool samePlace(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  if (sameFile(a, b)) return true;
  std::error_code ec;
  return fs::weakly_canonical(fs::absolute(a, ec), ec) == fs::weakly_canonical(fs::absolute(b, ec), ec);
}

// Why the path is something other than a file (a folder, a FIFO, a device), or empty for
// files and for paths that are missing or unreadable, which the engines report themselves.
std::string notAFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return {};
  return inputFileProblem(path);
}

std::string defaultOutputPath(const std::string& input, bool avi) {
  fs::path p(input);
  fs::path out = p.parent_path() / (p.stem().string() + (avi ? "_repaired.avi" : "_repaired.mov"));
  return out.string();
}

// Moves the finished file into place; without force an existing destination is kept.
bool moveIntoPlace(const std::string& temp, const std::string& destination, bool force, std::string& why) {
  if (force) {
    struct stat st {};
    if (::stat(destination.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      why = "it is no longer a regular file";
      return false;
    }
    if (::rename(temp.c_str(), destination.c_str()) == 0) return true;
    why = std::strerror(errno);
    return false;
  }
  // link() fails when the destination exists, so nothing is replaced behind our back.
  if (::link(temp.c_str(), destination.c_str()) == 0) {
    removePartialOutput();
    return true;
  }
  if (errno == EEXIST) {
    why = "the file exists now (use --force to replace it)";
    return false;
  }
  // File systems without hard links: check, then rename.
  struct stat st {};
  if (::stat(destination.c_str(), &st) == 0) {
    why = "the file exists now (use --force to replace it)";
    return false;
  }
  if (::rename(temp.c_str(), destination.c_str()) == 0) return true;
  why = std::strerror(errno);
  return false;
}

// Attribute values may carry raw codec bytes (an AVI handler code such as 01 00 00 00):
// show those as hex instead of sending control characters to the terminal.
std::string printable(const std::string& value) {
  bool plain = true;
  for (unsigned char c : value) plain &= (c >= 0x20 && c < 0x7F);
  if (plain) return value;
  std::string out = "0x";
  char hex[4];
  for (unsigned char c : value) {
    std::snprintf(hex, sizeof hex, "%02X", c);
    out += hex;
  }
  return out;
}

struct EngineRun {
  std::function<void()> run;
  std::function<void(bool)> setStop;
  std::function<void(bool)> setPause;
  std::function<uint64_t()> videoSamples;
  // What a movie repair recovered (nothing for AVI files).
  std::function<std::optional<RepairFile::ScanOutcome>()> outcome = [] { return std::nullopt; };
  std::function<uint64_t()> audioSamples;
};

void printFailure(const Options& o, const std::string& status, const std::string& message, int code) {
  if (o.json) {
    std::printf("{\"status\":\"%s\",\"input\":\"%s\"", status.c_str(), jsonEscape(o.input).c_str());
    if (code) std::printf(",\"code\":%d", code);
    std::printf(",\"message\":\"%s\"}\n", jsonEscape(message).c_str());
  } else {
    std::fprintf(stderr, "video-repair: %s\n", message.c_str());
  }
}

}  // namespace

int runRepair(const Options& o) {
  // Before anything is created: a signal from now on stops the repair and cleans up.
  installStopSignals();
  // --quiet prints errors only: the engines' diagnostic lines are dropped.
  if (o.quiet) setLogSink([](const std::string&) {});
  const std::string& input = o.input;
  if (const std::string problem = inputFileProblem(input); !problem.empty()) {
    printFailure(o, "failed", "cannot read the damaged file: " + input + " " + problem, 0);
    return kExitEngineBase + 4;
  }
  if (const std::string problem = notAFile(o.reference); !o.reference.empty() && !problem.empty()) {
    printFailure(o, "failed", "cannot read the reference: " + o.reference + " " + problem, 0);
    return kExitEngineBase + 5;
  }
  const bool avi = looksLikeAvi(input);
  // An AVI repair takes the reference only for stream descriptions it cannot read itself.
  const std::string reference = avi ? o.reference : (o.reference.empty() ? input : o.reference);
  if (avi && !reference.empty() && !fileExistsAndIsReadable(reference)) {
    printFailure(o, "failed", "cannot read the reference file: " + reference, 0);
    return kExitEngineBase + 5;
  }
  const std::string output = o.output.empty() ? defaultOutputPath(input, avi) : o.output;

  if (samePlace(output, input) || (!reference.empty() && samePlace(output, reference))) {
    printFailure(o, "refused", "the output would replace an input file: " + output, 0);
    return kExitOutputRefused;
  }
  struct stat st {};
  if (::stat(output.c_str(), &st) == 0) {
    if (!o.force) {
      printFailure(o, "refused", "the output exists: " + output + " (use --force to replace it)", 0);
      return kExitOutputRefused;
    }
    // --force replaces a file, never a folder, a device node, a FIFO or a socket.
    if (!S_ISREG(st.st_mode)) {
      printFailure(o, "refused", "the output is not a regular file and is never replaced: " + output, 0);
      return kExitOutputRefused;
    }
  }

  std::unique_ptr<RepairFileAvi> aviEngine;
  std::unique_ptr<RepairFile> movieEngine;
  Reporter reporter;
  EngineRun engine;
  const std::string temp = createPartialOutput(output);
  if (temp.empty()) {
    printFailure(o, "refused", "cannot create a file beside " + output + ": " + std::strerror(errno), 0);
    return kExitOutputRefused;
  }

  if (avi) {
    aviEngine = std::make_unique<RepairFileAvi>();
    aviEngine->delegate = &reporter;
    if (!aviEngine->fileValidityCheckAtPath(input)) {
      removePartialOutput();
      printFailure(o, "invalid", "Invalid corrupted file: " + input + " is not an AVI file this tool can read. Select a movie file.", 0);
      return kExitNotAvi;
    }
    RepairFileAvi* e = aviEngine.get();
    engine.run = [e, input, temp, reference] { e->retrieveAudioVideoSamplesForFileAtPath(input, temp, reference); };
    engine.setStop = [e](bool v) { e->setStopflag(v); };
    engine.setPause = [e](bool v) { e->setPauseRepairingAVI(v); };
    engine.videoSamples = [e] { return uint64_t(e->videosamplecount); };
    engine.audioSamples = [e] { return uint64_t(e->audiosamplecount); };
  } else {
    movieEngine = std::make_unique<RepairFile>();
    movieEngine->delegate = &reporter;
    movieEngine->inBandOptions = o.inBand;
    RepairFile* e = movieEngine.get();
    engine.run = [e, reference, input, temp] { e->repairMOVWithRefFileAtPath(reference, input, temp); };
    engine.setStop = [e](bool v) { e->setStopflag(v); };
    engine.setPause = [e](bool v) { e->setPauseRepairing(v); };
    engine.videoSamples = [e] { return e->videoSampleCount; };
    engine.outcome = [e] { return std::optional<RepairFile::ScanOutcome>(e->outcome); };
    engine.audioSamples = [e] { return e->audioSampleCount; };
  }

  const auto started = std::chrono::steady_clock::now();
  ProgressDisplay display(o.quiet || o.json, ::isatty(STDERR_FILENO) != 0);
  std::atomic<bool> finished{false};
  std::atomic<bool> crashed{false};
  // The worker wakes this thread the moment it ends; otherwise it looks for Ctrl-C and
  // refreshes the display every tenth of a second.
  std::mutex finishedMutex;
  std::condition_variable finishedSignal;
  std::thread worker([&] {
    // Nothing may escape the engine thread (running out of memory, say): it would end the
    // program and leave the temporary file behind.
    try {
      engine.run();
    } catch (const std::exception& e) {
      logLine(std::string("the repair stopped: ") + e.what());
      crashed.store(true);
    } catch (...) {
      crashed.store(true);
    }
    {
      std::lock_guard<std::mutex> lock(finishedMutex);
      finished.store(true);
    }
    finishedSignal.notify_all();
  });
  bool stopSent = false;
  while (!finished.load()) {
    if (stopSignal() != 0 && !stopSent) {
      engine.setStop(true);
      engine.setPause(false);
      stopSent = true;
    }
    display.update(reporter);
    std::unique_lock<std::mutex> lock(finishedMutex);
    finishedSignal.wait_for(lock, std::chrono::milliseconds(100), [&] { return finished.load(); });
  }
  worker.join();
  display.update(reporter);
  display.finish();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  if (const int sig = stopSignal()) {
    removePartialOutput();
    if (!o.quiet) std::fprintf(stderr, "video-repair: stopped; no output was written\n");
    if (o.json) printFailure(o, "stopped", "stopped by the user", 0);
    return exitStatusForSignal(sig);
  }
  if (reporter.needsReference.load()) {
    removePartialOutput();
    printFailure(o, "needs-reference",
                 "This movie cannot serve as its own reference: give a healthy movie recorded with the same "
                 "camera and settings with --reference FILE.",
                 0);
    return kExitNeedsReference;
  }
  if (reporter.failed()) {
    removePartialOutput();
    const RepairError err = reporter.error();
    // An unusable reference says why: the first thing its index lacks.
    std::string why;
    if (err.code == kErrorInvalidHealthyFile && movieEngine && movieEngine->healthyFile)
      for (const auto& r : referenceReasons(*movieEngine->healthyFile))
        if (why.empty()) why = r;
    if (err.code == kErrorInvalidHealthyFile && movieEngine && why.empty()) why = movieEngine->referenceContradiction;
    std::string reason = err.reason() + (why.empty() ? "" : ": " + why);
    if (avi && err.code == 107 && reference.empty())
      reason += " A healthy AVI recorded with the same camera and settings, given with --reference, lets the "
                "repair go further.";
    if (o.json)
      printFailure(o, "failed", reason, err.code);
    else
      std::fprintf(stderr, "video-repair: repair failed: %s (error %d)\n", reason.c_str(), err.code);
    const int code = err.code >= 100 && err.code < 200 ? kExitEngineBase + (err.code - 100) : kExitWriteFailed;
    return code;
  }
  // A completed movie must end with its index; anything else is a write that did not finish.
  bool complete = reporter.completed.load() && !crashed.load();
  if (complete && !avi) complete = File::parseFileAtPath(temp)->moov() != nullptr;
  if (complete && avi) complete = fileSizeAtPath(temp) > 12;
  if (!complete) {
    removePartialOutput();
    printFailure(o, "failed", "the repaired file could not be written completely", 0);
    return kExitWriteFailed;
  }
  std::string why;
  if (!moveIntoPlace(temp, output, o.force, why)) {
    removePartialOutput();
    printFailure(o, "failed", "cannot create " + output + ": " + why, 0);
    return kExitOutputRefused;
  }
  keepPartialOutput();
  const uint64_t size = fileSizeAtPath(output);
  const auto attributes = reporter.attributes();
  // Less than half of the media data recovered: the output is kept, but the repair is not
  // called a success.
  const auto outcome = engine.outcome();
  const bool partial = outcome && outcome->coverage() < 0.5;
  const char* partialSentence =
      "Less than half of the damaged file's media data could be recovered: the result is kept, but it is "
      "incomplete, or the reference was not recorded with the same camera and settings.";
  if (o.json) {
    std::printf("{\"status\":\"repaired\",\"input\":\"%s\"", jsonEscape(input).c_str());
    if (!reference.empty()) std::printf(",\"reference\":\"%s\"", jsonEscape(reference).c_str());
    std::printf(",\"output\":\"%s\",\"size\":%llu,\"attributes\":{", jsonEscape(output).c_str(),
                static_cast<unsigned long long>(size));
    for (size_t i = 0; i < attributes.size(); ++i)
      std::printf("%s\"%s\":\"%s\"", i ? "," : "", jsonEscape(attributes[i].first).c_str(),
                  jsonEscape(attributes[i].second).c_str());
    std::printf("},\"videoSamples\":%llu,\"audioSamples\":%llu,",
                static_cast<unsigned long long>(engine.videoSamples()),
                static_cast<unsigned long long>(engine.audioSamples()));
    if (outcome)
      std::printf("\"coverage\":%.4f,\"videoSeconds\":%.3f,\"audioSeconds\":%.3f,\"partial\":%s,",
                  outcome->coverage(), outcome->videoSeconds, outcome->audioSeconds, partial ? "true" : "false");
    std::printf("\"elapsedSeconds\":%.3f}\n", elapsed);
  } else if (!o.quiet) {
    std::printf("Repaired: %s\n", output.c_str());
    for (const auto& [key, value] : attributes) std::printf("  %-9s %s\n", key.c_str(), printable(value).c_str());
    std::printf("  %-9s %s\n", "size", humanSize(size).c_str());
    std::printf("  %-9s %llu video, %llu audio\n", "samples", static_cast<unsigned long long>(engine.videoSamples()),
                static_cast<unsigned long long>(engine.audioSamples()));
    std::printf("  %-9s %.1f s\n", "elapsed", elapsed);
  }
  if (partial) {
    if (!o.json) std::fprintf(stderr, "video-repair: %s\n", partialSentence);
    return kExitPartial;
  }
  return kExitOk;
}

}  // namespace vr::cli
