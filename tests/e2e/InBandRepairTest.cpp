// Repairs without a reference, through the command line, of movies whose stream carries
// its parameter sets in front of every keyframe (scripts/make-inband-media.sh: x264 and
// x265 with repeated headers, AAC at 48 and 44.1 kHz mono and stereo, PCM given with
// --audio, 2-byte NAL lengths, with and without SPS timing): every picture comes back
// bit-exact and in order, the audio within one frame with the recording's rate and
// channels, the frame rate is the stream's (or the one given). A movie that keeps its
// parameter sets only in its lost index still asks for a reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>

#include "support/TestMedia.h"

namespace vr {

namespace {

// One manifest line: "<set> <container> <fps of the SPS or -> <audio> <repair options...>".
struct InBandSet { std::string name, container, spsFps, audio, options; };
void PrintTo(const InBandSet& s, std::ostream* os) { *os << s.name; }

std::string mediaFile(const std::string& name) { return std::string(VR_INBAND_MEDIA_DIR) + "/" + name; }

std::vector<InBandSet> inBandSets() {
  const std::string script = std::string(VR_SOURCE_DIR) + "/scripts/make-inband-media.sh";
  if (test::runCommand("bash " + test::shellQuote(script) + " " + test::shellQuote(VR_INBAND_MEDIA_DIR) + " 1>&2")
          .status != 0)
    return {};
  std::vector<InBandSet> sets;
  std::ifstream in(mediaFile("manifest.txt"));
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    InBandSet s;
    if (!(fields >> s.name >> s.container >> s.spsFps >> s.audio)) continue;
    std::getline(fields, s.options);
    sets.push_back(s);
  }
  return sets;
}

// The first stream of a kind as ffprobe reports it, key by key.
std::map<std::string, std::string> probe(const std::string& path, const char* kind) {
  const auto r = test::runCommand("ffprobe -v error -count_frames -select_streams " + std::string(kind) +
                                  ":0 -show_entries stream=avg_frame_rate,sample_rate,channels,duration,nb_read_frames"
                                  " -of default=nw=1 " +
                                  test::shellQuote(path) + " 2>/dev/null");
  std::map<std::string, std::string> values;
  for (const std::string& line : test::splitLines(r.out))
    if (const size_t eq = line.find('='); eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  return values;
}

double number(const std::string& text) { return std::atof(text.c_str()); }

class InBandRepair : public ::testing::TestWithParam<InBandSet> {};

TEST_P(InBandRepair, WithoutReference) {
  const InBandSet& s = GetParam();
  const std::string original = mediaFile(s.name + ".orig." + s.container);
  const std::string lost = mediaFile(s.name + ".lost." + s.container);
  test::TempDir dir;
  const std::string out = dir.file("repaired.mov");
  const auto r = test::runCommand(std::string(VR_CLI_PATH) + " repair " + test::shellQuote(lost) + " -o " +
                                  test::shellQuote(out) + " --json " + s.options + " 2>/dev/null");
  if (s.name == "h264-noinband") {
    EXPECT_EQ(r.status, 4) << r.out;
    EXPECT_NE(r.out.find("\"status\":\"needs-reference\""), std::string::npos) << r.out;
    return;
  }
  ASSERT_EQ(r.status, 0) << r.out;

  const auto pictures = test::videoFrameMd5s(original);
  const auto recovered = test::videoFrameMd5s(out);
  ASSERT_FALSE(pictures.empty());
  EXPECT_EQ(recovered, pictures) << "every picture bit-exact and in order";
  EXPECT_TRUE(test::decodeErrors(out).empty());

  // The stream's frame rate, or the one given; 30 with a warning when neither says.
  const std::string given =
      s.options.find("--fps") != std::string::npos ? s.options.substr(s.options.find("--fps") + 6) : "";
  const double fps = s.spsFps != "-" ? number(s.spsFps) : !given.empty() ? number(given) : 30;
  const std::string rate = probe(out, "v")["avg_frame_rate"];
  EXPECT_NEAR(number(rate) / number(rate.substr(rate.find('/') + 1)), fps, 1e-6) << rate;
  EXPECT_EQ(r.out.find("\"warning\"") != std::string::npos, s.spsFps == "-" && given.empty()) << r.out;

  auto before = probe(original, "a");
  auto after = probe(out, "a");
  if (s.audio == "none") {
    EXPECT_TRUE(after.empty());
    return;
  }
  EXPECT_EQ(after["sample_rate"], before["sample_rate"]);
  EXPECT_EQ(after["channels"], before["channels"]);
  // Within one frame: AAC counts its frames; PCM packets are cut freely, so its duration
  // is compared with one AAC frame's.
  if (s.audio.rfind("aac", 0) == 0)
    EXPECT_LE(std::abs(number(after["nb_read_frames"]) - number(before["nb_read_frames"])), 1);
  else
    EXPECT_NEAR(number(after["duration"]), number(before["duration"]), 1024 / number(before["sample_rate"]));
}

// What info tells of a movie without index, and options the repair refuses.
TEST(InBandInfo, SaysWhatARepairWithoutReferenceWouldUse) {
  if (inBandSets().empty()) GTEST_SKIP() << "no in-band media";
  const std::string cli = VR_CLI_PATH;
  const struct { std::string file, options, expected; } cases[] = {
      {"h264-aac44m.lost.mp4", "", "H.264 High 192x108, 4-byte NAL lengths, 25.000 fps (from the SPS)"},
      {"h264-aac44m.lost.mp4", "", "AAC-LC mono (detected)"},
      {"h264-aac48m-nal2.lost.mov", "--fps 29.97", "2-byte NAL lengths, 29.970 fps (given)"},
      {"h265-none.lost.mp4", "--audio pcm:44100:1:be", "16-bit PCM 44100 Hz, 1 channel, big-endian (given)"},
      {"h264-noinband.lost.mov", "", "no parameter sets in the stream"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file + " " + c.options);
    const auto r = test::runCommand(cli + " info " + test::shellQuote(mediaFile(c.file)) + " " + c.options);
    EXPECT_EQ(r.status, 7);
    EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out;
  }
  for (const char* bad :
       {"--fps 0", "--fps 25x", "--audio mp3", "--audio pcm:48000:2", "--audio aac:44100", "--audio pcm:48000:0:le"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(test::runCommand(cli + " info " + test::shellQuote(mediaFile("h265-none.lost.mp4")) + " " + bad +
                               " 2>/dev/null")
                  .status,
              2);
  }
}

INSTANTIATE_TEST_SUITE_P(Sets, InBandRepair, ::testing::ValuesIn(inBandSets()),
                         [](const ::testing::TestParamInfo<InBandSet>& info) {
                           std::string name = info.param.name;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(InBandRepair);

}  // namespace

}  // namespace vr
