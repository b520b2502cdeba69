// The command-line front end, run as a program: arguments, exit statuses, output safety,
// JSON and the stop signals.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "support/TestMedia.h"

namespace fs = std::filesystem;

namespace vr {
namespace {

struct Result { int status = -1; std::string out, err; };

std::string readAll(const fs::path& p) {
  const Bytes b = test::readFileBytes(p);
  return std::string(b.begin(), b.end());
}
void writeAll(const fs::path& p, const std::string& s) { test::writeFileBytes(p, Bytes(s.begin(), s.end())); }
// Every needle of the list found in text, else the first one missing.
std::string missing(const std::string& text, const std::vector<std::string>& needles) {
  for (const std::string& n : needles)
    if (text.find(n) == std::string::npos) return n + " not in " + text;
  return "";
}

// Starts the program with the given arguments, its stdout and stderr going to files in dir.
pid_t start(const std::vector<std::string>& args, const fs::path& dir) {
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(open((dir / "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open((dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    std::vector<char*> argv{const_cast<char*>(VR_CLI_PATH)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(VR_CLI_PATH, argv.data());
    _exit(127);
  }
  return pid;
}

Result finish(pid_t pid, const fs::path& dir) {
  int st = 0;
  waitpid(pid, &st, 0);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), readAll(dir / "stdout.txt"), readAll(dir / "stderr.txt")};
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path samples = fs::path(VR_SOURCE_DIR) / "samples";
    if (!fs::exists(samples / "damaged.mov") || !fs::exists(samples / "reference.mov")) GTEST_SKIP() << "no samples";
    fs::create_directories(scratch);
    fs::copy_file(samples / "damaged.mov", damaged);
    fs::copy_file(samples / "reference.mov", reference);
  }
  Result run(const std::vector<std::string>& args) { return finish(start(args, scratch), scratch); }
  // Hidden temporary files left in the work folder.
  long leftovers() const {
    return std::count_if(fs::directory_iterator(dir.path()), {}, [](auto& e) { return e.path().filename().string().find(".partial") != std::string::npos; });
  }

  test::TempDir dir;
  const fs::path home = dir.path(), scratch = home / "scratch", damaged = home / "clip.mov", reference = home / "reference.mov";
};

// Runs that write nothing: refusals, and what info tells of a file as a reference.
TEST_F(Cli, StatusesAndMessagesOfRunsThatWriteNothing) {
  const fs::path fifo = home / "fifo.mov", device = home / "null.mov", zeros = home / "zeros.mov", out = home / "out.mov";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  // A device node: a private copy of /dev/null where that is allowed, else a link to it.
  if (mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) fs::create_symlink("/dev/null", device);
  writeAll(zeros, std::string(100000, '\0'));
  const fs::path latin1 = home / "caf\xe9.mov";  // not UTF-8: the JSON escapes it
  fs::copy_file(reference, latin1);
  // References that cannot serve (the reasons themselves are the reference check's): the
  // repair and info say why, and the same damage in a movie that is its own reference asks
  // for another one.
  const std::string d = damaged, r = reference, noMvhd = home / "no-mvhd.mov", badStss = home / "bad-stss.mov";
  for (const auto& [path, type, to] : {std::tuple{noMvhd, "mvhd", "free"}, std::tuple{badStss, "stss", "xxxx"}}) {
    std::string bytes = readAll(reference);
    writeAll(path, bytes.replace(bytes.find(type, bytes.find("moov")), 4, to));
  }
  // Each row: arguments, exit status, and texts the output (stdout and stderr) holds.
  const struct { std::vector<std::string> args; int status; std::string message; std::vector<std::string> more = {}; } cases[] = {
      {{}, 2, ""}, {{"frobnicate", d}, 2, ""}, {{"repair"}, 2, ""}, {{"repair", d, "--bogus"}, 2, ""},
      {{"repair", d, "-o"}, 2, ""}, {{"repair", d, "--reference="}, 2, ""}, {{"--help"}, 0, "130"},
      {{"repair", home / "nope.mov"}, 14, ""}, {{"repair", scratch, "-r", r}, 14, ""}, {{"repair", d, "-r", scratch}, 15, ""},
      {{"repair", d, "--reference", home / "nope.mov", "--quiet"}, 15, "Healthy File Does not Exist or Unreadbale (error 105)"},
      {{"repair", zeros, "-r", r, "--quiet"}, 11, ""}, {{"repair", d}, 4, "--reference"},
      {{"repair", d, "--json"}, 4, "\"status\":\"needs-reference\""}, {{"repair", d, "-r", r, "-o", d, "--force"}, 3, ""},
      {{"repair", d, "-r", r, "-o", r, "--force"}, 3, ""}, {{"repair", d, "-r", r, "-o", home / "." / "clip.mov", "--force"}, 3, ""},
      {{"info", fifo}, 14, "is a FIFO"}, {{"repair", fifo, "-r", r}, 14, "is a FIFO"}, {{"repair", d, "-r", fifo}, 15, "is a FIFO"},
      {{"repair", d, "-r", device}, 15, "character device"}, {{"repair", d, "-r", r, "-o", fifo, "--force"}, 3, "not a regular file"},
      {{"repair", d, "-r", r, "-o", device, "--force"}, 3, "not a regular file"},
      {{"repair", d, "-r", r, "-o", home / "none" / "out.mov"}, 3, "cannot create"}, {{"repair", d, "-r", r, "-o", "/proc/out.mov"}, 3, "cannot create"},
      {{"info", d}, 7, "no readable movie atom", {"--reference"}}, {{"info", d, "--json"}, 7, "\"index\":\"none\""},
      {{"info", r}, 0, "Video codec:", {"Resolution:", "Frame rate:", "NAL length size:     4", "SPS yes, PPS yes", "Audio:", "Tracks:", "Usable as reference: yes"}},
      {{"info", latin1, "--json"}, 0, "\"videoCodec\":\"H.264 (avc1)\"", {"\"nalLengthSize\":4", "\"usableAsReference\":true", "\"audioTimeScale\":48000", "caf\\u00e9.mov"}},
      {{"repair", d, "-r", noMvhd, "-o", out, "--quiet"}, 12, "moov has no mvhd"}, {{"repair", noMvhd, "-o", out, "--quiet"}, 4, ""},
      {{"info", noMvhd}, 7, "not usable: moov has no mvhd", {"Usable as reference: no"}}, {{"info", noMvhd, "--json"}, 7, "\"reasons\":[\"moov has no mvhd"},
      {{"repair", d, "-r", badStss, "-o", out, "--quiet"}, 12, "track 1: stbl: the bytes at offset"}, {{"repair", badStss, "-o", out, "--quiet"}, 4, ""},
      {{"info", badStss}, 7, "not usable: track 1: stbl: the bytes at offset", {"Usable as reference: no"}},
      {{"info", badStss, "--json"}, 7, "\"reasons\":[\"track 1: stbl: the bytes at offset"},
  };
  const std::string damagedBytes = readAll(damaged), referenceBytes = readAll(reference);
  for (const auto& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    const Result res = run(c.args);
    EXPECT_EQ(res.status, c.status);
    std::vector<std::string> all = c.more;
    all.push_back(c.message);
    EXPECT_EQ(missing(res.out + res.err, all), "");
  }
  EXPECT_EQ(readAll(damaged), damagedBytes);
  EXPECT_EQ(readAll(reference), referenceBytes);
  EXPECT_FALSE(fs::exists(home / "clip_repaired.mov") || fs::exists(out));
  struct stat st {};
  EXPECT_TRUE(lstat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  EXPECT_TRUE(stat(device.c_str(), &st) == 0 && S_ISCHR(st.st_mode));
  EXPECT_EQ(leftovers(), 0);
}

TEST_F(Cli, RepairKeepsExistingFilesAndReportsInJson) {
  const Result r = run({"repair", damaged, "-r", reference});
  ASSERT_EQ(r.status, 0) << r.err;
  const fs::path out = home / "clip_repaired.mov";
  ASSERT_GT(fs::file_size(out), 1000u);
  // Readable by others like any new file (the temporary file it was written to is private).
  EXPECT_NE(fs::status(out).permissions() & fs::perms::others_read, fs::perms::none);
  EXPECT_EQ(missing(r.out, {"AVC1"}), "");
  // The result is kept unless --force is given.
  const auto before = fs::last_write_time(out);
  EXPECT_EQ(run({"repair", damaged, "-r", reference, "--quiet"}).status, 3);
  EXPECT_EQ(fs::last_write_time(out), before);
  const Result json = run({"repair", damaged, "-r", reference, "--force", "--json"});
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(missing(json.out, {"\"status\":\"repaired\"", "\"video\":\"AVC1\"", "\"fps\":", "\"track\":", "\"duration\":",
                               "\"size\":", "\"videoSamples\":", "\"audioSamples\":", "\"elapsedSeconds\":",
                               "\"coverage\":1.0000", "\"videoSeconds\":", "\"audioSeconds\":", "\"partial\":false"}),
            "");
  EXPECT_EQ(json.out.find('\n'), json.out.size() - 1) << "one line";
  EXPECT_EQ(json.err, "") << "--json prints no progress";
  EXPECT_EQ(leftovers(), 0);
  // The repaired movie now serves as a reference of its own.
  EXPECT_EQ(run({"info", out}).status, 0);
}

// Media data that is mostly not recoverable: the repair keeps what it found, says so in one
// sentence and exits with a status of its own.
TEST_F(Cli, LessThanHalfRecoveredIsNotASuccess) {
  std::string bytes = readAll(damaged);
  bytes.replace(bytes.find("mdat") - 4, 4, 4, '\0');  // the media data runs to the end of the file
  std::mt19937 noise(5);
  for (size_t i = 0, n = bytes.size() * 3; i < n; ++i) bytes.push_back(char(noise()));
  writeAll(home / "noise.mov", bytes);
  const Result r = run({"repair", home / "noise.mov", "-r", reference, "-o", home / "partial.mov"});
  EXPECT_EQ(r.status, 8) << r.err;
  EXPECT_TRUE(fs::exists(home / "partial.mov"));
  EXPECT_EQ(missing(r.err, {"Less than half"}), "");
  const Result json = run({"repair", home / "noise.mov", "-r", reference, "-o", home / "partial2.mov", "--json"});
  EXPECT_EQ(json.status, 8);
  EXPECT_EQ(missing(json.out, {"\"partial\":true"}), "");
}

TEST_F(Cli, EveryStopSignalEndsTheRepairAndRemovesThePartialOutput) {
  // A large sparse file of zeros keeps the scan busy.
  const fs::path big = home / "big.mov";
  writeAll(big, std::string(1, '\0'));
  fs::resize_file(big, uint64_t(8) << 30);
  // Signal, delay after the start (0 sends it before the program is up), a second one right after.
  const struct { int signal, delayMs; bool twice; } cases[] = {{SIGINT, 0, false},  {SIGINT, 2, false},   {SIGINT, 15, false}, {SIGINT, 600, false}, {SIGINT, 600, true}, {SIGTERM, 600, false},
               {SIGTERM, 5, true}, {SIGHUP, 600, false}, {SIGHUP, 600, true}, {SIGQUIT, 600, false}, {SIGQUIT, 600, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "signal " << c.signal << " after " << c.delayMs << " ms" << (c.twice ? ", twice" : ""));
    const pid_t pid = start({"repair", big, "-r", reference, "--quiet"}, scratch);
    for (int k = 0; k < 1 + c.twice; ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(k ? 1 : c.delayMs));
      kill(pid, c.signal);
    }
    const Result r = finish(pid, scratch);
    EXPECT_EQ(r.status, 128 + c.signal) << r.err;
    EXPECT_FALSE(fs::exists(home / "big_repaired.mov"));
    EXPECT_EQ(leftovers(), 0);
  }
}

// An AVI file without its legacy index is repaired without a reference (a movie given as one
// is not needed); one whose stream descriptions are overwritten gets error 107, which names
// the way out, a healthy AVI from the same camera; bytes that are no AVI at all are refused
// before any work starts.
TEST_F(Cli, RepairsAviFiles) {
  if (!test::hasFfmpeg()) GTEST_SKIP() << "no ffmpeg";
  const fs::path avi = home / "cam.avi", healthy = home / "healthy.avi", broken = home / "broken.avi", junk = home / "junk.avi";
  for (const fs::path& to : {avi, healthy})
    ASSERT_EQ(test::runCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i "
                               "sine=frequency=440:sample_rate=22050 -t 2 -c:v mjpeg -q:v 5 -c:a pcm_s16le " + test::shellQuote(to.string())).status, 0);
  std::string bytes = readAll(avi);
  bytes.resize(bytes.rfind("idx1"));
  writeAll(avi, bytes);
  for (size_t i = bytes.find("strl"), end = i + 200; i < end; ++i) bytes[i] = char(i * 37 + 11);
  writeAll(broken, bytes);
  writeAll(junk, std::string(4096, 'x'));
  // Each row: arguments, exit status, a text the output holds (nullptr: nothing is printed at all).
  const struct { std::vector<std::string> args; int status; const char* message; } cases[] = {{{"repair", avi, "-r", reference, "--quiet", "-o", home / "quiet.avi"}, 0, nullptr},
               {{"repair", avi, "--json"}, 0, "\"videoSamples\":50"}, {{"repair", broken}, 17, "healthy AVI"},
               {{"repair", junk}, 5, "Invalid corrupted file"}, {{"repair", broken, "--reference", healthy, "--json"}, 0, "\"status\":\"repaired\""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1] + " " + std::to_string(c.status));
    const Result r = run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(c.message ? missing(r.out + r.err, {c.message}) : r.out + r.err, "");
  }
  EXPECT_FALSE(fs::exists(home / "junk_repaired.avi"));
  EXPECT_TRUE(fs::exists(home / "broken_repaired.avi"));
  EXPECT_EQ(leftovers(), 0);
}

}  // namespace
}  // namespace vr
