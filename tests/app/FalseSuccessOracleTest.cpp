// The false-success oracle: repairs with mutated references, damaged movies and AVI files,
// seeded and bounded. Every repair that exits 0 must leave a file that ffprobe opens and
// decodes at least one picture from; every other outcome must be a documented status.
#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestMedia.h"

namespace fs = std::filesystem;

namespace vr {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int kCases = 60;  // the sanitizer build runs every repair several times slower
#else
constexpr int kCases = 240;
#endif

const std::set<int> kDocumentedFailures = {2, 3, 4, 5, 6, 7, 11, 12, 14, 15, 16, 17};

// Where mutations land: the whole file, or one range of it (a movie atom, AVI headers).
struct Target {
  Bytes bytes;
  size_t from = 0, to = 0;
};

// One to three random damages inside the target's range; returns what was done.
std::string mutate(Bytes& b, size_t from, size_t to, std::mt19937& rng) {
  static const uint32_t kValues[] = {0, 1, 2, 3, 7, 255, 0x7FFFFFFF, 0xFFFFFFFF, 0x10000};
  std::string what;
  const int n = 1 + int(rng() % 3);
  for (int k = 0; k < n && to > from + 4; ++k) {
    const size_t at = from + rng() % (to - from - 4);
    char text[96];
    switch (rng() % 6) {
      case 0: {
        const int bit = int(rng() % 8);
        b[at] ^= uint8_t(1 << bit);
        std::snprintf(text, sizeof text, " flip %zu.%d", at, bit);
        break;
      }
      case 1: {
        const uint32_t v = kValues[rng() % std::size(kValues)];
        writeBE32(&b[at], v);
        std::snprintf(text, sizeof text, " put32 %zu=%u", at, v);
        break;
      }
      case 2: {
        b[at] = uint8_t(rng());
        std::snprintf(text, sizeof text, " put8 %zu=%u", at, unsigned(b[at]));
        break;
      }
      case 3:
      case 4: {
        // A field near the start of an index atom: counts, time scales, sizes, lengths.
        static const char* kTypes[] = {"mvhd", "tkhd", "mdhd", "hdlr", "stsd", "avc1", "avcC", "hvcC", "esds",
                                       "mp4a", "stts", "stsc", "stsz", "stco", "stss", "ctts", "elst", "strh",
                                       "strf", "avih", "LIST", "movi", "idx1"};
        const char* type = kTypes[rng() % std::size(kTypes)];
        const auto found = std::search(b.begin() + long(from), b.begin() + long(to), type, type + 4);
        if (found == b.begin() + long(to)) break;
        const size_t field = size_t(found - b.begin()) + 4 + rng() % 40;
        if (field + 4 > to) break;
        const uint32_t v = rng() % 2 ? kValues[rng() % std::size(kValues)] : uint32_t(rng() % 256);
        if (rng() % 2) writeBE32(&b[field], v); else b[field] = uint8_t(v);
        std::snprintf(text, sizeof text, " %s+%zu=%u", type, field - size_t(found - b.begin()), v);
        break;
      }
      default: {
        // A size field (at a four-character code) set to something else.
        size_t p = at;
        while (p < to - 4 && !(std::isalpha(b[p]) && std::isalnum(b[p + 1]) && std::isalnum(b[p + 2]))) ++p;
        if (p < from + 4 || p >= to - 4) break;
        const uint32_t v = kValues[rng() % std::size(kValues)];
        writeBE32(&b[p - 4], v);
        std::snprintf(text, sizeof text, " size %zu=%u", p - 4, v);
      }
    }
    what += text;
  }
  return what;
}

// The bytes of the first decoder configuration record ("avcC" or "hvcC") in a file.
Bytes configurationRecord(const Bytes& b) {
  for (const char* type : {"avcC", "hvcC"}) {
    const auto at = std::search(b.begin(), b.end(), type, type + 4);
    if (at - b.begin() < 4) continue;
    const size_t start = size_t(at - b.begin()) - 4;
    return Bytes(at - 4, at - 4 + long(std::min<size_t>(readBE32(&b[start]), b.size() - start)));
  }
  return {};
}

class FalseSuccessOracle : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    dir = fs::temp_directory_path() / ("vr-oracle-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  // Runs the repair; an empty text when the outcome is sound, else what went wrong.
  std::string check(const std::vector<std::string>& args, int* exitStatus = nullptr) {
    const fs::path out = dir / "out";
    fs::remove(out);
    std::string cmd = "timeout 60 " + test::shellQuote(VR_CLI_PATH) + " repair";
    for (const auto& a : args) cmd += " " + test::shellQuote(a);
    cmd += " -o " + test::shellQuote(out.string()) + " --quiet --force >/dev/null 2>&1";
    const int status = test::runCommand(cmd).status;
    if (exitStatus) *exitStatus = status;
    if (status == 0) {
      // The first pictures are enough to tell a file that plays from one that does not.
      const auto probe = test::runCommand("ffprobe -v error -select_streams v:0 -count_frames -read_intervals %+#8 "
                                          "-show_entries stream=nb_read_frames -of csv=p=0 " +
                                          test::shellQuote(out.string()) + " 2>/dev/null");
      if (probe.status != 0) return "exit 0, but ffprobe cannot open the output";
      if (std::atoi(probe.out.c_str()) < 1) return "exit 0, but no picture decodes";
      return {};
    }
    if (!kDocumentedFailures.count(status)) return "undocumented exit status " + std::to_string(status);
    for (const auto& e : fs::directory_iterator(dir))
      if (e.path().filename().string().find(".partial") != std::string::npos) return "a partial file was left";
    return {};
  }

  fs::path dir;
};

TEST_F(FalseSuccessOracle, NoMutationEndsInAFalseSuccess) {
  const std::string samples = std::string(VR_SOURCE_DIR) + "/samples/";
  Target reference{test::readFileBytes(samples + "reference.mov")};
  Target damaged{test::readFileBytes(samples + "damaged.mov")};
  ASSERT_FALSE(reference.bytes.empty());
  ASSERT_FALSE(damaged.bytes.empty());
  const auto moov = test::findTopLevelAtom(samples + "reference.mov", "moov");
  ASSERT_TRUE(moov);
  reference.from = moov->offset;
  reference.to = moov->end();
  damaged.to = damaged.bytes.size();

  // A small camera-like AVI: its headers are the range that matters.
  Target avi;
  const fs::path aviPath = dir / "cam.avi";
  if (test::runCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=160x120:rate=10 -f lavfi -i "
                       "sine=sample_rate=8000 -t 1 -c:v mjpeg -c:a pcm_s16le " +
                       test::shellQuote(aviPath.string()) + " 2>/dev/null")
          .status == 0) {
    avi.bytes = test::readFileBytes(aviPath.string());
    avi.to = std::min<size_t>(avi.bytes.size(), 4096);
  }

  std::mt19937 rng(20261207);
  std::vector<std::string> failures, contradictions;
  const Bytes healthyRecord = configurationRecord(reference.bytes);
  const fs::path ref = dir / "ref.mov", bad = dir / "bad.mov", badAvi = dir / "bad.avi";
  for (int i = 0; i < kCases; ++i) {
    const int kind = i % 4;
    std::string what, problem;
    if (kind == 0 || kind == 1) {
      // A damaged reference, given as the reference (0) or repairing itself (1).
      Bytes b = reference.bytes;
      what = mutate(b, reference.from, reference.to, rng);
      test::writeFileBytes(ref.string(), b);
      problem = kind == 0 ? check({samples + "damaged.mov", "-r", ref.string()}) : check({ref.string()});
      what = (kind == 0 ? "reference:" : "self-reference:") + what;
    } else if (kind == 2) {
      Bytes b = damaged.bytes;
      what = "damaged:" + mutate(b, damaged.from, damaged.to, rng);
      if (rng() % 4 == 0) {
        b.resize(b.size() / 2 + rng() % (b.size() / 2));
        what += " cut " + std::to_string(b.size());
      }
      test::writeFileBytes(bad.string(), b);
      problem = check({bad.string(), "-r", samples + "reference.mov"});
    } else {
      if (avi.bytes.empty()) continue;
      Bytes b = avi.bytes;
      what = "avi:" + mutate(b, avi.from, avi.to, rng);
      test::writeFileBytes(badAvi.string(), b);
      problem = check({badAvi.string()});
    }
    if (problem.empty()) continue;
    const std::string line = "case " + std::to_string(i) + " (" + what + "): " + problem;
    // Parameter sets that still parse but are not those the damaged stream was encoded
    // with: the reference is sound, the damaged data contradicts it. Telling that needs the
    // scan of the damaged data, which is checked elsewhere; such cases are listed only.
    const bool contradicted = problem.find("exit 0") == 0 && kind < 2 &&
                              configurationRecord(test::readFileBytes(ref.string())) != healthyRecord;
    (contradicted ? contradictions : failures).push_back(line);
  }
  for (const auto& f : failures) ADD_FAILURE() << f;
  for (const auto& c : contradictions)
    std::fprintf(stderr, "note: reference contradicted by the damaged data, repaired all the same: %s\n", c.c_str());
}

// The minimised cases the oracle once found, made by a script from the bundled reference.
TEST_F(FalseSuccessOracle, RegressionReferencesAreRefused) {
  const std::string samples = std::string(VR_SOURCE_DIR) + "/samples/";
  const fs::path corpus = dir / "corpus";
  ASSERT_EQ(test::runCommand("python3 " + test::shellQuote(std::string(VR_SOURCE_DIR) +
                                                           "/scripts/make-regression-references.py") +
                             " " + test::shellQuote(samples + "reference.mov") + " " +
                             test::shellQuote(corpus.string()))
                .status,
            0);
  const Bytes list = test::readFileBytes((corpus / "corpus.txt").string());
  const auto lines = test::splitLines(std::string(list.begin(), list.end()));
  EXPECT_GE(lines.size(), 5u);
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    const std::string name = line.substr(0, line.find(' '));
    int status = -1;
    EXPECT_EQ(check({samples + "damaged.mov", "-r", (corpus / name).string()}, &status), "");
    EXPECT_EQ(status, std::stoi(line.substr(line.find(' ') + 1)));
  }
}

}  // namespace
}  // namespace vr
