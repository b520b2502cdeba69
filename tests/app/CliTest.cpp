// The command-line front end, run as a program: arguments, exit statuses, output safety,
// JSON and Ctrl-C.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string readAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs the program with the given arguments; stdout and stderr are captured in files.
Result run(const std::vector<std::string>& args, const fs::path& scratch) {
  const fs::path out = scratch / "stdout.txt", err = scratch / "stderr.txt";
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(VR_CLI_PATH));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(VR_CLI_PATH, argv.data());
    _exit(127);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  Result r;
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.out = readAll(out);
  r.err = readAll(err);
  return r;
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("vr-cli-" + std::to_string(getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    scratch = dir / "scratch";
    fs::create_directories(scratch);
    const fs::path samples = fs::path(VR_SOURCE_DIR) / "samples";
    if (!fs::exists(samples / "damaged.mov") || !fs::exists(samples / "reference.mov")) GTEST_SKIP() << "no samples";
    damaged = dir / "clip.mov";
    reference = dir / "reference.mov";
    fs::copy_file(samples / "damaged.mov", damaged);
    fs::copy_file(samples / "reference.mov", reference);
  }
  void TearDown() override { fs::remove_all(dir); }

  // Hidden temporary files left in the work folder.
  int leftovers() const {
    int n = 0;
    for (const auto& e : fs::directory_iterator(dir))
      if (e.path().filename().string().find(".partial") != std::string::npos) ++n;
    return n;
  }

  fs::path dir, scratch, damaged, reference;
};

TEST_F(Cli, ArgumentErrorsAndHelp) {
  EXPECT_EQ(run({}, scratch).status, 2);
  EXPECT_EQ(run({"frobnicate", damaged}, scratch).status, 2);
  EXPECT_EQ(run({"repair"}, scratch).status, 2);
  EXPECT_EQ(run({"repair", damaged, "--bogus"}, scratch).status, 2);
  EXPECT_EQ(run({"repair", damaged, "-o"}, scratch).status, 2);
  EXPECT_EQ(run({"repair", damaged, "--reference="}, scratch).status, 2);
  Result help = run({"--help"}, scratch);
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--reference"), std::string::npos);
  EXPECT_NE(help.out.find("130"), std::string::npos);
}

TEST_F(Cli, MissingInputsHaveTheirOwnStatuses) {
  EXPECT_EQ(run({"repair", (dir / "nope.mov").string()}, scratch).status, 14);
  EXPECT_EQ(run({"repair", scratch.string(), "-r", reference}, scratch).status, 14);
  EXPECT_EQ(run({"repair", damaged, "-r", scratch.string()}, scratch).status, 15);
  Result r = run({"repair", damaged, "--reference", (dir / "nope.mov").string(), "--quiet"}, scratch);
  EXPECT_EQ(r.status, 15);
  EXPECT_NE(r.err.find("Healthy File Does not Exist or Unreadbale"), std::string::npos);
  EXPECT_NE(r.err.find("105"), std::string::npos);
  // Bytes without a single picture: error 101.
  const fs::path zeros = dir / "zeros.mov";
  { std::ofstream(zeros, std::ios::binary) << std::string(100000, '\0'); }
  EXPECT_EQ(run({"repair", zeros, "-r", reference, "--quiet"}, scratch).status, 11);
  EXPECT_EQ(leftovers(), 0);
}

TEST_F(Cli, DamagedMovieWithoutReferenceAsksForOne) {
  Result r = run({"repair", damaged}, scratch);
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.err.find("--reference"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "clip_repaired.mov"));
  EXPECT_EQ(leftovers(), 0);
}

TEST_F(Cli, RepairsWritesDefaultOutputAndKeepsExistingFiles) {
  Result r = run({"repair", damaged, "-r", reference}, scratch);
  ASSERT_EQ(r.status, 0) << r.err;
  const fs::path out = dir / "clip_repaired.mov";
  ASSERT_TRUE(fs::exists(out));
  EXPECT_GT(fs::file_size(out), 1000u);
  // Readable by others like any new file (the temporary file it was written to is private).
  const auto perms = fs::status(out).permissions();
  EXPECT_NE(perms & fs::perms::others_read, fs::perms::none);
  EXPECT_NE(r.out.find("AVC1"), std::string::npos);
  EXPECT_EQ(leftovers(), 0);

  // The result is kept unless --force is given.
  const auto before = fs::last_write_time(out);
  EXPECT_EQ(run({"repair", damaged, "-r", reference, "--quiet"}, scratch).status, 3);
  EXPECT_EQ(fs::last_write_time(out), before);
  EXPECT_EQ(run({"repair", damaged, "-r", reference, "--quiet", "--force"}, scratch).status, 0);
  EXPECT_EQ(leftovers(), 0);

  // The repaired movie now serves as a reference of its own.
  Result info = run({"info", out}, scratch);
  EXPECT_EQ(info.status, 0);
  EXPECT_NE(info.out.find("H.264"), std::string::npos);
}

TEST_F(Cli, NeverWritesOverItsInputs) {
  const std::string damagedBytes = readAll(damaged);
  const std::string referenceBytes = readAll(reference);
  EXPECT_EQ(run({"repair", damaged, "-r", reference, "-o", damaged, "--force"}, scratch).status, 3);
  EXPECT_EQ(run({"repair", damaged, "-r", reference, "-o", reference, "--force"}, scratch).status, 3);
  // The same file under another name.
  EXPECT_EQ(run({"repair", damaged, "-r", reference, "-o", (dir / "." / "clip.mov").string(), "--force"}, scratch).status,
            3);
  EXPECT_EQ(readAll(damaged), damagedBytes);
  EXPECT_EQ(readAll(reference), referenceBytes);
}

TEST_F(Cli, JsonReportsTheResult) {
  const fs::path out = dir / "out.mov";
  Result r = run({"repair", damaged, "-r", reference, "-o", out, "--json"}, scratch);
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* key : {"\"status\":\"repaired\"", "\"video\":\"AVC1\"", "\"fps\":", "\"track\":", "\"duration\":",
                          "\"size\":", "\"videoSamples\":", "\"audioSamples\":", "\"elapsedSeconds\":",
                          "\"coverage\":1.0000", "\"videoSeconds\":", "\"audioSeconds\":", "\"partial\":false"})
    EXPECT_NE(r.out.find(key), std::string::npos) << key << " in " << r.out;
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line";
  EXPECT_EQ(r.err, "") << "--json prints no progress";

  Result failed = run({"repair", damaged, "--json"}, scratch);
  EXPECT_EQ(failed.status, 4);
  EXPECT_NE(failed.out.find("\"status\":\"needs-reference\""), std::string::npos);
}

// Media data that is mostly not recoverable: the repair keeps what it found, says so in one
// sentence and exits with a status of its own.
TEST_F(Cli, LessThanHalfRecoveredIsNotASuccess) {
  std::ifstream in(damaged, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string tag = "mdat";
  auto at = std::search(bytes.begin(), bytes.end(), tag.begin(), tag.end());
  ASSERT_NE(at, bytes.end());
  std::fill(at - 4, at, 0);  // the media data runs to the end of the file
  std::mt19937 noise(5);
  for (size_t i = 0, n = bytes.size() * 3; i < n; ++i) bytes.push_back(char(noise()));
  const fs::path mostlyNoise = dir / "noise.mov";
  std::ofstream(mostlyNoise, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
  const fs::path out = dir / "partial.mov";
  Result r = run({"repair", mostlyNoise, "-r", reference, "-o", out}, scratch);
  EXPECT_EQ(r.status, 8) << r.err;
  EXPECT_TRUE(fs::exists(out));
  EXPECT_NE(r.err.find("Less than half"), std::string::npos) << r.err;
  Result json = run({"repair", mostlyNoise, "-r", reference, "-o", dir / "partial2.mov", "--json"}, scratch);
  EXPECT_EQ(json.status, 8);
  EXPECT_NE(json.out.find("\"partial\":true"), std::string::npos) << json.out;
}

TEST_F(Cli, InfoSaysPlainlyWhenThereIsNoIndex) {
  Result r = run({"info", damaged}, scratch);
  EXPECT_EQ(r.status, 7);
  EXPECT_NE(r.out.find("no readable movie atom"), std::string::npos);
  EXPECT_NE(r.out.find("--reference"), std::string::npos);
  Result ok = run({"info", reference}, scratch);
  EXPECT_EQ(ok.status, 0);
  for (const char* field : {"Video codec:", "Resolution:", "Frame rate:", "NAL length size:     4", "SPS yes, PPS yes",
                            "Audio:", "Tracks:", "Usable as reference: yes"})
    EXPECT_NE(ok.out.find(field), std::string::npos) << field;
  Result json = run({"info", reference, "--json"}, scratch);
  EXPECT_EQ(json.status, 0);
  for (const char* key : {"\"videoCodec\":\"H.264 (avc1)\"", "\"nalLengthSize\":4", "\"usableAsReference\":true",
                          "\"audioTimeScale\":48000"})
    EXPECT_NE(json.out.find(key), std::string::npos) << key << " in " << json.out;
  // Bytes that are not UTF-8 (here in a file name) still give valid JSON.
  const fs::path latin1 = dir / "caf\xe9.mov";
  fs::copy_file(reference, latin1);
  Result escaped = run({"info", latin1.string(), "--json"}, scratch);
  EXPECT_NE(escaped.out.find("caf\\u00e9.mov"), std::string::npos) << escaped.out;
  Result none = run({"info", damaged, "--json"}, scratch);
  EXPECT_EQ(none.status, 7);
  EXPECT_NE(none.out.find("\"index\":\"none\""), std::string::npos);
}

// A copy of `from` whose movie atom went through `damage` (given the atom's offset).
using Damage = std::function<void(std::string&, size_t)>;
fs::path damagedCopy(const fs::path& from, const fs::path& to, const Damage& damage) {
  std::string bytes = readAll(from);
  damage(bytes, bytes.find("moov") - 4);
  std::ofstream(to, std::ios::binary | std::ios::trunc) << bytes;
  return to;
}

TEST_F(Cli, AReferenceThatCannotServeSaysWhy) {
  auto rename = [](const char* type, const char* to) {
    return [=](std::string& b, size_t moov) { b.replace(b.find(type, moov) , 4, to); };
  };
  struct Case {
    const char* name;
    Damage damage;
    int status;           // of the repair with this reference
    const char* reason;   // shown by the repair and by info; empty when it serves
  };
  const Case cases[] = {
      {"no movie header", rename("mvhd", "free"), 12, "moov has no mvhd"},
      {"avcC length size 3", [](std::string& b, size_t moov) { b[b.find("avcC", moov) + 8] = char(0xFE); }, 12,
       "track 1: avcC: length size 3 is not 1, 2 or 4"},
      {"stray atom in the sample table", rename("stss", "xxxx"), 12, "track 1: stbl: the bytes at offset"},
      {"movie atom inside a movie atom",
       [](std::string& b, size_t moov) {
         const uint32_t size = uint32_t(uint8_t(b[moov]) << 24 | uint8_t(b[moov + 1]) << 16 |
                                        uint8_t(b[moov + 2]) << 8 | uint8_t(b[moov + 3])) + 8;
         const char header[8] = {char(size >> 24), char(size >> 16), char(size >> 8), char(size), 'm', 'o', 'o', 'v'};
         b.insert(moov, header, 8);
       },
       0, ""},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path ref = damagedCopy(reference, dir / ("ref" + std::to_string(++n) + ".mov"), c.damage);
    const fs::path out = dir / ("out" + std::to_string(n) + ".mov");
    Result r = run({"repair", damaged, "-r", ref, "-o", out, "--quiet"}, scratch);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    Result info = run({"info", ref}, scratch);
    Result json = run({"info", ref, "--json"}, scratch);
    EXPECT_EQ(info.status, c.status ? 7 : 0);
    if (c.status == 0) continue;
    EXPECT_NE(info.out.find(std::string("not usable: ") + c.reason), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Usable as reference: no"), std::string::npos) << info.out;
    EXPECT_NE(json.out.find(std::string("\"reasons\":[\"") + c.reason), std::string::npos) << json.out;
    // The same damage in a movie that is its own reference asks for another one.
    const fs::path self = damagedCopy(reference, dir / ("self" + std::to_string(n) + ".mov"), c.damage);
    EXPECT_EQ(run({"repair", self, "-o", out, "--quiet"}, scratch).status, 4);
  }
  EXPECT_EQ(leftovers(), 0);
}

// Starts a repair of a large sparse file of zeros (the scan keeps busy on it) with its
// output in `dir`; returns the child's id.
pid_t startLongRepair(const fs::path& dir, const fs::path& reference, const fs::path& scratch) {
  const fs::path big = dir / "big.mov";
  if (!fs::exists(big)) {
    { std::ofstream(big).put('\0'); }
    fs::resize_file(big, uint64_t(8) << 30);
  }
  const fs::path err = scratch / "stderr.txt";
  pid_t pid = fork();
  if (pid == 0) {
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(e, 2);
    execl(VR_CLI_PATH, VR_CLI_PATH, "repair", big.c_str(), "-r", reference.c_str(), "--quiet",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

int waitStatus(pid_t pid) {
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

TEST_F(Cli, EveryStopSignalEndsTheRepairAndRemovesThePartialOutput) {
  struct Case {
    int signal;
    int delayMs;   // after the start; 0 sends it before the program is up
    bool twice;    // a second signal right after the first
    int status;
  };
  const Case cases[] = {
      {SIGINT, 0, false, 130},   {SIGINT, 2, false, 130},   {SIGINT, 15, false, 130},
      {SIGINT, 600, false, 130}, {SIGINT, 600, true, 130},  {SIGTERM, 600, false, 143},
      {SIGTERM, 5, true, 143},   {SIGHUP, 600, false, 129}, {SIGHUP, 600, true, 129},
      {SIGQUIT, 600, false, 131}, {SIGQUIT, 600, true, 131},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "signal " << c.signal << " after " << c.delayMs << " ms"
                                      << (c.twice ? ", twice" : ""));
    const pid_t pid = startLongRepair(dir, reference, scratch);
    std::this_thread::sleep_for(std::chrono::milliseconds(c.delayMs));
    kill(pid, c.signal);
    if (c.twice) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      kill(pid, c.signal);
    }
    EXPECT_EQ(waitStatus(pid), c.status) << readAll(scratch / "stderr.txt");
    EXPECT_FALSE(fs::exists(dir / "big_repaired.mov"));
    EXPECT_EQ(leftovers(), 0);
  }
}

TEST_F(Cli, OnlyFilesAreReadAndOnlyRegularFilesReplaced) {
  const fs::path fifo = dir / "fifo.mov";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  // A device node: a private copy of /dev/null where that is allowed, else a link to it.
  const fs::path device = dir / "null.mov";
  if (mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) fs::create_symlink("/dev/null", device);
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{"info", fifo}, 14, "is a FIFO"},
      {{"repair", fifo, "-r", reference}, 14, "is a FIFO"},
      {{"repair", damaged, "-r", fifo}, 15, "is a FIFO"},
      {{"repair", damaged, "-r", device}, 15, "character device"},
      {{"repair", damaged, "-r", reference, "-o", fifo, "--force"}, 3, "not a regular file"},
      {{"repair", damaged, "-r", reference, "-o", device, "--force"}, 3, "not a regular file"},
      {{"repair", damaged, "-r", reference, "-o", (dir / "none" / "out.mov").string()}, 3, "cannot create"},
      {{"repair", damaged, "-r", reference, "-o", "/proc/out.mov"}, 3, "cannot create"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args.back());
    Result r = run(c.args, scratch);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  struct stat st {};
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  ASSERT_EQ(stat(device.c_str(), &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(leftovers(), 0);
}

}  // namespace

namespace {

TEST_F(Cli, RepairsAviFilesWithoutReference) {
  if (system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
  const fs::path avi = dir / "cam.avi";
  const std::string make = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i "
                           "sine=frequency=440:sample_rate=22050 -t 2 -c:v mjpeg -q:v 5 -c:a pcm_s16le " +
                           avi.string();
  ASSERT_EQ(system(make.c_str()), 0);
  // Drop the legacy index, as a recording cut off before it was written.
  std::string bytes = readAll(avi);
  const size_t idx1 = bytes.rfind("idx1");
  ASSERT_NE(idx1, std::string::npos);
  bytes.resize(idx1);
  { std::ofstream(avi, std::ios::binary | std::ios::trunc) << bytes; }

  // A reference is taken only for what the AVI cannot give itself; --quiet prints nothing at all.
  Result quiet = run({"repair", avi, "-r", reference, "--quiet", "-o", (dir / "quiet.avi").string()}, scratch);
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out + quiet.err, "");
  Result r = run({"repair", avi, "--json"}, scratch);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\"status\":\"repaired\""), std::string::npos);
  const fs::path out = dir / "cam_repaired.avi";
  ASSERT_TRUE(fs::exists(out));
  const std::string probe = "ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
                            "-of csv=p=0 " + out.string() + " > " + (scratch / "probe.txt").string();
  ASSERT_EQ(system(probe.c_str()), 0);
  EXPECT_EQ(std::stoi(readAll(scratch / "probe.txt")), 50);
  EXPECT_EQ(leftovers(), 0);

  // Stream descriptions overwritten: error 107 names the way out, a healthy AVI from the same
  // camera; with one given as the reference the repair goes through.
  const fs::path healthy = dir / "healthy.avi", broken = dir / "broken.avi";
  ASSERT_EQ(system((make.substr(0, make.rfind(' ') + 1) + healthy.string()).c_str()), 0);
  std::string damaged = readAll(avi);
  const size_t strl = damaged.find("strl");
  ASSERT_NE(strl, std::string::npos);
  for (size_t i = strl; i < strl + 200; ++i) damaged[i] = char(i * 37 + 11);
  { std::ofstream(broken, std::ios::binary) << damaged; }
  Result needs = run({"repair", broken}, scratch);
  EXPECT_EQ(needs.status, 17);
  EXPECT_NE(needs.err.find("healthy AVI"), std::string::npos) << needs.err;
  EXPECT_EQ(run({"repair", broken, "--reference", healthy}, scratch).status, 0);
  EXPECT_TRUE(fs::exists(dir / "broken_repaired.avi"));

  // Bytes that are no AVI at all are refused before any work starts.
  const fs::path junk = dir / "junk.avi";
  { std::ofstream(junk, std::ios::binary) << std::string(4096, 'x'); }
  Result bad = run({"repair", junk}, scratch);
  EXPECT_EQ(bad.status, 5);
  EXPECT_NE(bad.err.find("Invalid corrupted file"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "junk_repaired.avi"));
}

}  // namespace
