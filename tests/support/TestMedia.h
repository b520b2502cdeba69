#pragma once
// Test support shared by every suite: the generated test movies, temporary folders, and
// small wrappers around ffmpeg and ffprobe for checking what a repair wrote.
//
// The movies come from scripts/make-test-media.sh. manifest() makes them on first use
// (the script is cached and locked, so concurrent test processes wait for one build and
// later runs cost a few milliseconds).
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "common/ByteOrder.h"

namespace vr::test {

// ---------------------------------------------------------------------------------------
// Commands

struct CommandResult {
  int status = -1;  // exit status; 128 + signal number when killed; -1 when it did not run
  std::string out;  // everything the command wrote to standard output
};

// Quotes one argument for /bin/sh.
inline std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs cmd through /bin/sh and captures its standard output (standard error is left to the
// caller: add "2>&1" or "2>/dev/null" to the command).
inline CommandResult runCommand(const std::string& cmd) {
  CommandResult r;
  std::fflush(nullptr);
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  const int st = ::pclose(p);
  r.status = st == -1 ? -1 : WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
  return r;
}

// Splits text into its non-empty lines.
inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// True when both ffmpeg and ffprobe can be run.
inline bool hasFfmpeg() {
  static const bool ok =
      runCommand("ffmpeg -version >/dev/null 2>&1 && ffprobe -version >/dev/null 2>&1").status == 0;
  return ok;
}

// ---------------------------------------------------------------------------------------
// Files

// A fresh private folder under $TMPDIR (or /tmp), removed with everything in it when the
// object goes away.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vr-test-XXXXXX";
    if (::mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  // Path of a file inside the folder.
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole contents of a file; empty when it cannot be read.
inline Bytes readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool writeFileBytes(const std::string& path, std::span<const uint8_t> data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  return bool(out);
}

// One top-level atom of a movie file as its header states it.
struct TopAtom {
  std::string type;     // four characters as stored
  uint64_t offset = 0;  // of the header
  uint64_t size = 0;    // whole atom, header included
  uint32_t headerSize = 8;  // 8, or 16 for a 64-bit size
  uint64_t end() const { return offset + size; }
};

// The first top-level atom of the given type, walking from the first byte. A size of 0 runs
// to the end of the file; the walk stops at an atom whose size is impossible or that runs
// past the end (that last atom is still found, with its stated size, so cut files can be
// inspected).
inline std::optional<TopAtom> findTopLevelAtom(const std::string& path, const std::string& type) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const uint64_t fileSize = in ? uint64_t(in.tellg()) : 0;
  for (uint64_t pos = 0; pos + 8 <= fileSize;) {
    uint8_t h[16] = {};
    in.clear();
    in.seekg(std::streamoff(pos));
    in.read(reinterpret_cast<char*>(h), sizeof h);  // a 64-bit size cut short reads as 0
    TopAtom a{std::string(reinterpret_cast<const char*>(h + 4), 4), pos, readBE32(h)};
    if (a.size == 1) a.size = readBE64(h + 8), a.headerSize = 16;
    if (a.size == 0 && a.headerSize == 8) a.size = fileSize - pos;
    if (a.size < a.headerSize) break;
    if (a.type == type) return a;
    if (a.size > fileSize - pos) break;
    pos += a.size;
  }
  return std::nullopt;
}

// The bytes of the first top-level atom of the given type; empty if none or cut short.
inline Bytes topLevelAtomBytes(const std::string& path, const std::string& type) {
  const auto atom = findTopLevelAtom(path, type);
  const Bytes file = readFileBytes(path);
  if (!atom || atom->end() > file.size()) return {};
  return Bytes(file.begin() + std::ptrdiff_t(atom->offset), file.begin() + std::ptrdiff_t(atom->end()));
}

// ---------------------------------------------------------------------------------------
// Generated test movies

inline std::string mediaDir() { return VR_TEST_MEDIA_DIR; }
inline std::string mediaPath(const std::string& name) { return mediaDir() + "/" + name; }

// Makes the test movies unless a complete set is already there. Checked once per process;
// false when the script failed (its output then went to standard error). A stamp newer
// than the script means a finished run, so most test processes start no shell at all.
inline bool ensureTestMedia() {
  static const bool ok = [] {
    namespace fs = std::filesystem;
    const std::string script = std::string(VR_SOURCE_DIR) + "/scripts/make-test-media.sh";
    std::error_code e1, e2, e3;
    const auto stamp = fs::last_write_time(mediaPath(".stamp"), e1), made = fs::last_write_time(script, e2);
    if (!e1 && !e2 && stamp >= made && fs::exists(mediaPath("manifest.txt"), e3)) return true;
    return runCommand("bash " + shellQuote(script) + " " + shellQuote(mediaDir()) + " 1>&2").status == 0;
  }();
  return ok;
}

// One camera setting: a healthy reference, a longer original recording and three damaged
// copies of the original.
struct MediaSet {
  std::string name;       // e.g. "h264-aac-mov-inband"
  std::string codec;      // "h264" or "h265"
  std::string audio;      // "aac", "sowt", "twos" or "none"
  std::string container;  // "mov" or "mp4"; also the file extension
  std::string variant;    // "plain", "inband", "slices", "bframes", "tmcd" or "mono"

  std::string file(const std::string& role) const { return mediaPath(name + "." + role + "." + container); }
  std::string ref() const { return file("ref"); }          // healthy, ~1 s
  std::string orig() const { return file("orig"); }        // healthy, ~4 s, other content
  std::string lost() const { return file("lost"); }        // orig ending after its media data
  std::string cut() const { return file("cut"); }          // orig cut inside its media data
  std::string garbage() const { return file("garbage"); }  // lost with 64 KiB overwritten
  bool hasAudio() const { return audio != "none"; }
  bool monoAAC() const { return variant == "mono" || variant == "muxmono"; }
  // 1080p recordings with keyframes of several megabytes, a third of a second of reference.
  bool highRate() const { return variant.rfind("hirate", 0) == 0; }
  // Bytes of each NAL unit's length prefix: the mux2 and mux1 sets are rewritten to 2 and 1.
  unsigned nalLengthSize() const { return variant == "mux2" ? 2 : variant == "mux1" ? 1 : 4; }
  std::string resolution() const { return highRate() ? "1920x1080" : codec == "h264" ? "320x240" : "320x180"; }
  double referenceSeconds() const { return highRate() ? 0.32 : 1.0; }
};

// The sets listed in a manifest of the media folder (made on first use), one a line:
// "<set> <codec> <audio> <container> <variant>"; lines starting with '#' and malformed lines
// are skipped. Empty when the media could not be made.
inline std::vector<MediaSet> setsListedIn(const std::string& manifestName) {
  std::vector<MediaSet> sets;
  std::ifstream in(ensureTestMedia() ? mediaPath(manifestName) : "");
  for (std::string line, extra; std::getline(in, line);) {
    std::istringstream fields(line);
    MediaSet s;
    if (line[0] != '#' && fields >> s.name >> s.codec >> s.audio >> s.container >> s.variant && !(fields >> extra))
      sets.push_back(s);
  }
  return sets;
}
inline const std::vector<MediaSet>& manifest() {
  static const std::vector<MediaSet> sets = setsListedIn("manifest.txt");
  return sets;
}
// Sets laid out as phones and action cameras write: audio first, extra tracks, a second
// video track, prefix units, short clips, variable frame rate.
inline const std::vector<MediaSet>& phoneSets() {
  static const std::vector<MediaSet> sets = setsListedIn("phones-manifest.txt");
  return sets;
}

// The set of that name, or nullptr.
inline const MediaSet* findSet(const std::string& name) {
  for (const MediaSet& s : manifest()) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

// Special files for the movie-file-model tests, in the media folder (see the script):
// faststart.mov, mdat64.mov, moovtext.mov, moovtext-badmdat.mov, big-damaged-mdat.mov.
inline std::string specialFile(const std::string& name) {
  ensureTestMedia();
  return mediaPath(name);
}

// ---------------------------------------------------------------------------------------
// ffprobe and ffmpeg checks

struct StreamInfo {
  std::string codecType;      // "video", "audio", "data", ...
  std::string codecName;      // "h264", "hevc", "aac", "pcm_s16le", ... ("unknown" for tmcd)
  int64_t nbFrames = -1;      // frame count stated by the index; -1 when not given
  int64_t nbReadFrames = -1;  // frames actually read while counting; -1 when not counted
  double duration = -1;       // seconds; -1 when not given
};

// The streams of a movie as ffprobe sees them, in file order (its "compact" output: one line
// a stream, "key=value" fields joined by '|'). With countFrames the file is decoded to
// count its frames (nbReadFrames). Empty when ffprobe cannot open the file.
inline std::vector<StreamInfo> ffprobeStreams(const std::string& path, bool countFrames = true) {
  const CommandResult r = runCommand(std::string("ffprobe -v error ") + (countFrames ? "-count_frames " : "") +
                                     "-show_entries stream=codec_type,codec_name,nb_frames,duration,nb_read_frames "
                                     "-of compact=p=0:nk=0 " + shellQuote(path) + " 2>/dev/null");
  std::vector<StreamInfo> streams;
  for (const std::string& line : r.status == 0 ? splitLines(r.out) : std::vector<std::string>{}) {
    StreamInfo s;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '|');) {
      const size_t eq = field.find('=');
      const std::string key = field.substr(0, eq), value = eq == std::string::npos ? "" : field.substr(eq + 1);
      char* end = nullptr;
      const double x = std::strtod(value.c_str(), &end), number = value.empty() || *end ? -1 : x;  // "N/A": -1
      if (key == "codec_type") s.codecType = value;
      else if (key == "codec_name") s.codecName = value;
      else if (key == "nb_frames") s.nbFrames = int64_t(number);
      else if (key == "nb_read_frames") s.nbReadFrames = int64_t(number);
      else if (key == "duration") s.duration = number;
    }
    streams.push_back(s);
  }
  return streams;
}

// The first stream of the given type ("video", "audio", "data"), if any.
inline std::optional<StreamInfo> firstStream(const std::vector<StreamInfo>& streams, const std::string& type) {
  for (const StreamInfo& s : streams) {
    if (s.codecType == type) return s;
  }
  return std::nullopt;
}

// Per-frame md5 sums of the decoded frames of the first video stream, in presentation order,
// every frame once (also at a variable frame rate). Decoding errors are not reported here.
inline std::vector<std::string> videoFrameMd5s(const std::string& path) {
  const CommandResult r = runCommand("ffmpeg -nostdin -v error -i " + shellQuote(path) +
                                     " -map 0:v:0 -fps_mode passthrough -f framemd5 - 2>/dev/null");
  std::vector<std::string> md5s;
  for (const std::string& line : splitLines(r.out))
    if (line[0] != '#') md5s.push_back(line.substr(line.rfind(' ') + 1));  // the last field
  return md5s;
}

// Everything ffmpeg complains about while decoding every stream of the file; empty for a
// clean file. A file ffmpeg cannot open, or a run that fails silently, yields a line too.
inline std::vector<std::string> decodeErrors(const std::string& path) {
  const CommandResult r =
      runCommand("ffmpeg -nostdin -v error -i " + shellQuote(path) + " -f null - 2>&1 >/dev/null");
  std::vector<std::string> lines = splitLines(r.out);
  if (r.status != 0 && lines.empty()) lines.push_back("ffmpeg exited with status " + std::to_string(r.status));
  return lines;
}

}  // namespace vr::test
