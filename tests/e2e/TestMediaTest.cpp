// Checks the generated test movies every other suite relies on: the set is complete, the
// healthy movies decode cleanly and hold what their names promise, and the damaged copies
// and special files are damaged exactly as described.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "engine/RepairFile.h"
#include "support/RecordingDelegate.h"
#include "support/TestMedia.h"

namespace vr::test {
namespace {

const std::set<std::string> kChildTypes = {"mvhd", "uuid", "free", "udta", "trak"};

// Offsets of every "moov" text in data[begin, end).
std::vector<size_t> findMoovText(const Bytes& data, size_t begin, size_t end) {
  std::vector<size_t> at;
  for (size_t i = begin; i + 4 <= end; ++i) {
    if (std::memcmp(data.data() + i, "moov", 4) == 0) at.push_back(i);
  }
  return at;
}

// The NAL units of one chunk of video: pictures stored back to back between other data.
struct VideoChunk {
  uint64_t offset = 0;
  size_t units = 0;
  uint32_t largestOtherUnit = 0;  // largest unit that is not a picture slice (SEI, parameter sets)
  uint32_t largestUnit = 0;
};

// Walks the video chunks of a movie (consecutive packets of its first video stream, as
// ffprobe lists them) through their length prefixes of lengthSize bytes.
std::vector<VideoChunk> videoChunks(const std::string& movie, bool hevc, size_t lengthSize) {
  const auto r = runCommand("ffprobe -v error -select_streams v:0 -show_entries packet=pos,size "
                            "-of compact=p=0:nk=0 " + shellQuote(movie) + " 2>/dev/null");
  std::vector<std::pair<uint64_t, uint64_t>> packets;  // pos, size
  for (const std::string& line : splitLines(r.out)) {
    unsigned long pos = 0, size = 0;
    if (std::sscanf(line.c_str(), "size=%lu|pos=%lu", &size, &pos) == 2 ||
        std::sscanf(line.c_str(), "pos=%lu|size=%lu", &pos, &size) == 2)
      packets.emplace_back(pos, size);
  }
  std::sort(packets.begin(), packets.end());
  const Bytes data = readFileBytes(movie);
  std::vector<VideoChunk> chunks;
  for (size_t i = 0; i < packets.size();) {
    uint64_t end = packets[i].first + packets[i].second;
    size_t j = i + 1;
    while (j < packets.size() && packets[j].first == end) end += packets[j++].second;
    VideoChunk c;
    c.offset = packets[i].first;
    for (uint64_t p = c.offset; p + lengthSize + 1 <= end && end <= data.size();) {
      uint32_t n = 0;
      for (size_t k = 0; k < lengthSize; ++k) n = (n << 8) | data[p + k];
      const uint8_t h = data[p + lengthSize];
      const bool slice = hevc ? ((h >> 1) & 0x3F) < 32 : (h & 0x1F) >= 1 && (h & 0x1F) <= 5;
      if (!slice) c.largestOtherUnit = std::max(c.largestOtherUnit, n);
      c.largestUnit = std::max(c.largestUnit, n);
      ++c.units;
      p += lengthSize + uint64_t(n);
    }
    chunks.push_back(c);
    i = j;
  }
  return chunks;
}

// The sets hold the layouts users bring. Camera-like sets put an access unit delimiter
// into every picture, so each chunk holds two NAL units or more, and their other units
// stay short. Sets written as ffmpeg's muxer writes by default hold chunks of a single
// unit (a picture alone between two pieces of audio), except mux1, whose pictures are cut
// into slices so that every unit fits a 1-byte length (mux2 and mux1 store 2- and 1-byte
// lengths). The high-rate sets hold keyframes of more than three megabytes.
TEST(TestMedia, VideoChunksHaveTheLayoutOfTheirSet) {
  ASSERT_FALSE(manifest().empty());
  struct Movie {
    std::string path;
    bool hevc;
    std::string variant;
  };
  std::vector<Movie> movies = {{std::string(VR_SOURCE_DIR) + "/samples/reference.mov", false, "plain"}};
  for (const MediaSet& s : manifest()) {
    movies.push_back({s.ref(), s.codec == "h265", s.variant});
    movies.push_back({s.orig(), s.codec == "h265", s.variant});
  }
  for (const Movie& m : movies) {
    SCOPED_TRACE(m.path);
    const size_t lengthSize = m.variant == "mux2" ? 2 : m.variant == "mux1" ? 1 : 4;
    const auto chunks = videoChunks(m.path, m.hevc, lengthSize);
    ASSERT_FALSE(chunks.empty());
    const bool muxed = m.variant.rfind("mux", 0) == 0 || m.variant == "hiratemux";
    const bool highRate = m.variant.rfind("hirate", 0) == 0;
    size_t lone = 0;
    uint32_t largest = 0;
    for (const VideoChunk& c : chunks) {
      if (c.units == 1) ++lone;
      largest = std::max(largest, c.largestUnit);
      if (!highRate) {
        EXPECT_LE(c.largestOtherUnit, 800u) << "chunk at " << c.offset;
      }
    }
    if (lengthSize == 1) {
      EXPECT_LT(largest, 256u);
      EXPECT_LT(lone * 2, chunks.size()) << "most pictures should be several slices";
    } else if (muxed) {
      EXPECT_GT(lone * 2, chunks.size()) << "most chunks should be one unit";
    } else if (!highRate) {
      EXPECT_EQ(lone, 0u);
    }
    if (highRate) {
      EXPECT_GT(largest, 3'000'000u);
    }
  }
}

TEST(TestMedia, ManifestListsEveryCameraSetting) {
  ASSERT_TRUE(hasFfmpeg());
  const auto& sets = manifest();
  ASSERT_FALSE(sets.empty()) << "no manifest in " << mediaDir();

  // name -> codec, audio, container, variant
  const std::map<std::string, std::vector<std::string>> expected = {
      {"h264-aac-mov", {"h264", "aac", "mov", "plain"}},
      {"h264-sowt-mov", {"h264", "sowt", "mov", "plain"}},
      {"h264-twos-mov", {"h264", "twos", "mov", "plain"}},
      {"h264-none-mov", {"h264", "none", "mov", "plain"}},
      {"h264-aac-mp4", {"h264", "aac", "mp4", "plain"}},
      {"h264-none-mp4", {"h264", "none", "mp4", "plain"}},
      {"h265-aac-mov", {"h265", "aac", "mov", "plain"}},
      {"h265-sowt-mov", {"h265", "sowt", "mov", "plain"}},
      {"h265-twos-mov", {"h265", "twos", "mov", "plain"}},
      {"h265-none-mov", {"h265", "none", "mov", "plain"}},
      {"h265-aac-mp4", {"h265", "aac", "mp4", "plain"}},
      {"h265-none-mp4", {"h265", "none", "mp4", "plain"}},
      {"h264-aac-mov-inband", {"h264", "aac", "mov", "inband"}},
      {"h264-aac-mov-slices", {"h264", "aac", "mov", "slices"}},
      {"h264-aac-mov-bframes", {"h264", "aac", "mov", "bframes"}},
      {"h264-aac-mov-tmcd", {"h264", "aac", "mov", "tmcd"}},
      {"h264-aac-mp4-mono", {"h264", "aac", "mp4", "mono"}},
      {"h264-aac-mov-mux", {"h264", "aac", "mov", "mux"}},
      {"h264-aac-mp4-muxbf", {"h264", "aac", "mp4", "muxbf"}},
      {"h264-aac-mov-muxgop", {"h264", "aac", "mov", "muxgop"}},
      {"h264-aac-mp4-muxmono", {"h264", "aac", "mp4", "muxmono"}},
      {"h264-sowt-mov-mux", {"h264", "sowt", "mov", "mux"}},
      {"h264-twos-mov-mux", {"h264", "twos", "mov", "mux"}},
      {"h265-aac-mp4-mux", {"h265", "aac", "mp4", "mux"}},
      {"h265-aac-mov-muxbf", {"h265", "aac", "mov", "muxbf"}},
      {"h265-sowt-mov-mux", {"h265", "sowt", "mov", "mux"}},
      {"h264-aac-mov-mux2", {"h264", "aac", "mov", "mux2"}},
      {"h264-aac-mov-mux1", {"h264", "aac", "mov", "mux1"}},
      {"h265-aac-mp4-mux2", {"h265", "aac", "mp4", "mux2"}},
      {"h265-aac-mp4-mux1", {"h265", "aac", "mp4", "mux1"}},
      {"h264-aac-mov-hirate", {"h264", "aac", "mov", "hirate"}},
      {"h264-aac-mov-hiratemux", {"h264", "aac", "mov", "hiratemux"}},
  };
  EXPECT_EQ(sets.size(), expected.size());
  for (const auto& [name, fields] : expected) {
    const MediaSet* s = findSet(name);
    ASSERT_NE(s, nullptr) << name;
    EXPECT_EQ(std::vector<std::string>({s->codec, s->audio, s->container, s->variant}), fields) << name;
    for (const char* role : {"ref", "orig", "lost", "cut", "garbage"}) {
      EXPECT_GT(fileSizeOf(s->file(role)), 0u) << s->file(role);
    }
  }
  for (const char* special :
       {"faststart.mov", "mdat64.mov", "moovtext.mov", "moovtext-badmdat.mov", "big-damaged-mdat.mov"}) {
    EXPECT_GT(fileSizeOf(specialFile(special)), 0u) << special;
  }
  EXPECT_EQ(setsWhere([](const MediaSet& s) { return s.codec == "h265"; }).size(), 11u);
}

TEST(TestMedia, HealthyMoviesDecodeCleanlyWithTheirCodecs) {
  ASSERT_FALSE(manifest().empty());
  const std::map<std::string, std::string> audioCodec = {
      {"aac", "aac"}, {"sowt", "pcm_s16le"}, {"twos", "pcm_s16be"}};
  for (const MediaSet& s : manifest()) {
    for (const auto& [path, seconds] : {std::pair{s.ref(), s.referenceSeconds()}, std::pair{s.orig(), s.recordingSeconds()}}) {
      SCOPED_TRACE(path);
      EXPECT_EQ(decodeErrors(path), std::vector<std::string>{});
      const auto streams = ffprobeStreams(path);
      const auto video = firstStream(streams, "video");
      ASSERT_TRUE(video);
      EXPECT_EQ(video->codecName, s.codec == "h264" ? "h264" : "hevc");
      EXPECT_NEAR(video->duration, seconds, 0.05);
      EXPECT_GT(video->nbReadFrames, 0);
      EXPECT_EQ(video->nbReadFrames, video->nbFrames);
      const auto audio = firstStream(streams, "audio");
      ASSERT_EQ(bool(audio), s.hasAudio());
      if (audio) {
        EXPECT_EQ(audio->codecName, audioCodec.at(s.audio));
        EXPECT_NEAR(audio->duration, seconds, 0.05);
      }
      EXPECT_EQ(bool(firstStream(streams, "data")), s.variant == "tmcd");
    }
    // The reference is other content, not a prefix of the recording.
    const auto refFrames = videoFrameMd5s(s.ref());
    const auto origFrames = videoFrameMd5s(s.orig());
    ASSERT_FALSE(refFrames.empty());
    EXPECT_NE(refFrames[0], origFrames.at(0)) << s.name;
  }
}

TEST(TestMedia, DamagedCopiesAreCutAndOverwrittenInsideTheMediaData) {
  ASSERT_FALSE(manifest().empty());
  for (const MediaSet& s : manifest()) {
    SCOPED_TRACE(s.name);
    const auto mdat = findTopLevelAtom(s.orig(), "mdat");
    ASSERT_TRUE(mdat);
    ASSERT_TRUE(findTopLevelAtom(s.orig(), "moov"));
    const Bytes orig = readFileBytes(s.orig());
    const Bytes lost = readFileBytes(s.lost());
    const Bytes cut = readFileBytes(s.cut());
    const Bytes garbage = readFileBytes(s.garbage());
    const uint64_t payload = mdat->size - mdat->headerSize;

    // Index lost: the original up to the end of its media data, header untouched.
    ASSERT_EQ(lost.size(), mdat->end());
    EXPECT_TRUE(std::equal(lost.begin(), lost.end(), orig.begin()));
    EXPECT_FALSE(findTopLevelAtom(s.lost(), "moov"));

    // Cut short: 60 % of the payload remains, while the header still states the full size.
    ASSERT_EQ(cut.size(), mdat->payloadOffset() + payload * 6 / 10);
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), orig.begin()));

    // Garbage: same size as the lost copy, different only inside one window of 64 KiB (or
    // half the payload, if less) in the middle of the payload.
    ASSERT_EQ(garbage.size(), lost.size());
    size_t first = garbage.size(), last = 0;
    for (size_t i = 0; i < garbage.size(); ++i) {
      if (garbage[i] != lost[i]) {
        first = std::min(first, i);
        last = i;
      }
    }
    ASSERT_LT(first, garbage.size()) << "no byte overwritten";
    EXPECT_GE(first, mdat->payloadOffset());
    EXPECT_LT(last, mdat->end());
    EXPECT_LT(last - first, 65536u);
    // The window covers half of a smaller payload at most.
    EXPECT_GT(last - first, std::min<uint64_t>(60000, payload / 2 * 9 / 10));
    EXPECT_LT(first, mdat->payloadOffset() + payload / 2);
    EXPECT_GT(last, mdat->payloadOffset() + payload / 2);
  }
}

TEST(TestMedia, SpecialLayoutsKeepTheMovieIntact) {
  const MediaSet* base = findSet("h264-aac-mov");
  ASSERT_NE(base, nullptr);
  const auto baseFrames = videoFrameMd5s(base->orig());
  ASSERT_EQ(baseFrames.size(), 100u);
  const auto baseMdat = findTopLevelAtom(base->orig(), "mdat");
  ASSERT_TRUE(baseMdat);

  // Index first.
  {
    const auto atoms = topLevelAtoms(specialFile("faststart.mov"));
    std::vector<std::string> types;
    for (const auto& a : atoms) types.push_back(a.type);
    const auto moov = std::find(types.begin(), types.end(), "moov");
    const auto mdat = std::find(types.begin(), types.end(), "mdat");
    ASSERT_NE(moov, types.end());
    ASSERT_NE(mdat, types.end());
    EXPECT_LT(moov, mdat);
    EXPECT_EQ(decodeErrors(specialFile("faststart.mov")), std::vector<std::string>{});
  }
  // 64-bit media-data size: the same payload at the same place under a 16-byte header.
  {
    const std::string path = specialFile("mdat64.mov");
    const Bytes data = readFileBytes(path);
    const auto mdat = findTopLevelAtom(path, "mdat");
    ASSERT_TRUE(mdat);
    EXPECT_EQ(mdat->headerSize, 16u);
    EXPECT_EQ(readBE32At(data.data(), data.size(), mdat->offset), 1u);
    EXPECT_EQ(mdat->payloadOffset(), baseMdat->payloadOffset());
    EXPECT_EQ(mdat->end(), baseMdat->end());
    EXPECT_FALSE(findTopLevelAtom(path, "wide"));
    EXPECT_EQ(decodeErrors(path), std::vector<std::string>{});
    EXPECT_EQ(videoFrameMd5s(path), baseFrames);
  }
  // False "moov" texts inside the media data: plausible sizes, implausible first children;
  // the pictures are unchanged since the text sits in an SEI message.
  for (const char* name : {"moovtext.mov", "moovtext-badmdat.mov"}) {
    SCOPED_TRACE(name);
    const std::string path = specialFile(name);
    const Bytes data = readFileBytes(path);
    const auto atoms = topLevelAtoms(path);
    ASSERT_EQ(atoms.size(), 4u);  // ftyp wide <media data> moov
    const TopAtom& media = atoms[2];
    EXPECT_EQ(media.type, std::string(name) == "moovtext.mov" ? "mdat" : "xxxx");
    const auto hits = findMoovText(data, media.payloadOffset(), media.end());
    EXPECT_GE(hits.size(), 3u);
    for (size_t at : hits) {
      const size_t start = at - 4;
      const uint32_t size = readBE32At(data.data(), data.size(), start);
      EXPECT_GT(size, 8u);
      EXPECT_LE(start + size, data.size());
      for (size_t child : {start + 12, start + 20}) {
        EXPECT_EQ(kChildTypes.count(std::string(data.begin() + child, data.begin() + child + 4)), 0u);
      }
    }
    EXPECT_EQ(decodeErrors(path), std::vector<std::string>{});
    EXPECT_EQ(videoFrameMd5s(path), baseFrames);
  }
  // Big file with a damaged media-data header, index at the end beyond 90 % of the file.
  {
    const std::string path = specialFile("big-damaged-mdat.mov");
    const auto atoms = topLevelAtoms(path);
    const uint64_t size = fileSizeOf(path);
    EXPECT_GT(size, 100u * 65535u);
    EXPECT_FALSE(findTopLevelAtom(path, "mdat"));
    const auto moov = findTopLevelAtom(path, "moov");
    ASSERT_TRUE(moov);
    EXPECT_EQ(moov->end(), size);
    const uint64_t windows = (size + 65534) / 65535;
    EXPECT_GE(moov->offset, (windows / 100) * 90 * 65535);
    EXPECT_EQ(videoFrameMd5s(path), baseFrames);
  }
}

TEST(TestMedia, DemoSamplesAreAHealthyReferenceAndAMovieWithoutIndex) {
  const std::string reference = std::string(VR_SOURCE_DIR) + "/samples/reference.mov";
  const std::string damaged = std::string(VR_SOURCE_DIR) + "/samples/damaged.mov";
  EXPECT_LT(fileSizeOf(reference) + fileSizeOf(damaged), 1024u * 1024u);

  EXPECT_EQ(decodeErrors(reference), std::vector<std::string>{});
  const auto streams = ffprobeStreams(reference, false);
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].codecName, "h264");
  EXPECT_EQ(streams[1].codecName, "aac");

  const auto atoms = topLevelAtoms(damaged);
  ASSERT_FALSE(atoms.empty());
  EXPECT_EQ(atoms.front().type, "ftyp");
  EXPECT_EQ(atoms.back().type, "mdat");
  EXPECT_EQ(atoms.back().end(), fileSizeOf(damaged));
  EXPECT_GT(atoms.back().size, 400u * 1024u);  // several seconds of pictures and sound
  EXPECT_FALSE(findTopLevelAtom(damaged, "moov"));
}

// The demo must show a repair that works: every picture and the sound come back, decodable.
TEST(TestMedia, DemoSamplesRepairWithAllPicturesAndSound) {
  ASSERT_TRUE(hasFfmpeg());
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  RecordingDelegate delegate;
  RepairFile repair;
  repair.delegate = &delegate;
  const std::string out = dir.file("demo.mov");
  repair.repairMOVWithRefFileAtPath(std::string(VR_SOURCE_DIR) + "/samples/reference.mov",
                                    std::string(VR_SOURCE_DIR) + "/samples/damaged.mov", out);
  ASSERT_TRUE(delegate.completed);
  EXPECT_EQ(repair.videoSampleCount, 150u);  // six seconds at 25 pictures a second
  EXPECT_EQ(decodeErrors(out), std::vector<std::string>{});
  const auto streams = ffprobeStreams(out);
  const auto video = firstStream(streams, "video");
  const auto audio = firstStream(streams, "audio");
  ASSERT_TRUE(video && audio);
  EXPECT_GE(video->nbReadFrames, 149);  // the edit list may hide the first picture
  EXPECT_NEAR(audio->duration, 6.0, 0.12);
}

TEST(TestMedia, SecondRunOfTheScriptChangesNothing) {
  ASSERT_FALSE(manifest().empty());
  struct stat before {}, after {};
  ASSERT_EQ(::stat(mediaPath("manifest.txt").c_str(), &before), 0);
  const std::string cmd = "bash " + shellQuote(std::string(VR_SOURCE_DIR) + "/scripts/make-test-media.sh") + " " +
                          shellQuote(mediaDir()) + " 2>&1";
  const CommandResult r = runCommand(cmd);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "");
  ASSERT_EQ(::stat(mediaPath("manifest.txt").c_str(), &after), 0);
  EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
}

TEST(TestMediaHelpers, ParsersAndCommands) {
  // Manifest lines: comments, blanks and malformed lines are dropped.
  const auto sets = parseManifest(
      "# comment\n\nh264-aac-mov h264 aac mov plain\nshort line\nh265-none-mp4 h265 none mp4 plain extra\n"
      "h265-twos-mov h265 twos mov plain\r\n");
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[1].name, "h265-twos-mov");
  EXPECT_EQ(sets[1].variant, "plain");
  EXPECT_EQ(sets[1].orig(), mediaDir() + "/h265-twos-mov.orig.mov");
  EXPECT_FALSE((MediaSet{"x", "h264", "none", "mp4", "plain"}.hasAudio()));

  // ffprobe compact output, with fields ffprobe could not give.
  const auto streams = parseFfprobeCompact(
      "codec_name=h264|codec_type=video|duration=4.000000|nb_frames=100|nb_read_frames=99\n"
      "codec_name=unknown|codec_type=data|duration=N/A|nb_frames=N/A\n");
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].codecName, "h264");
  EXPECT_DOUBLE_EQ(streams[0].duration, 4.0);
  EXPECT_EQ(streams[0].nbFrames, 100);
  EXPECT_EQ(streams[0].nbReadFrames, 99);
  EXPECT_EQ(streams[1].codecType, "data");
  EXPECT_EQ(streams[1].duration, -1);
  EXPECT_EQ(streams[1].nbFrames, -1);
  EXPECT_EQ(streams[1].nbReadFrames, -1);

  // Commands: status, captured output, quoting.
  EXPECT_EQ(runCommand("exit 3").status, 3);
  const auto echo = runCommand("printf '%s' " + shellQuote("it's $HOME `x`"));
  EXPECT_EQ(echo.status, 0);
  EXPECT_EQ(echo.out, "it's $HOME `x`");

  // A temporary folder goes away with everything in it; a file ffmpeg cannot read is an error.
  std::string kept;
  {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    kept = dir.path();
    const Bytes junk = {'n', 'o', 't', ' ', 'a', ' ', 'm', 'o', 'v', 'i', 'e'};
    ASSERT_TRUE(writeFileBytes(dir.file("junk.mov"), junk));
    EXPECT_EQ(readFileBytes(dir.file("junk.mov")), junk);
    EXPECT_FALSE(decodeErrors(dir.file("junk.mov")).empty());
    EXPECT_TRUE(ffprobeStreams(dir.file("junk.mov")).empty());
    // The text reads as one atom far larger than the file; it is listed, and the walk ends.
    const auto atoms = topLevelAtoms(dir.file("junk.mov"));
    ASSERT_EQ(atoms.size(), 1u);
    EXPECT_EQ(atoms[0].type, "a mo");
    EXPECT_GT(atoms[0].end(), junk.size());
  }
  EXPECT_FALSE(std::filesystem::exists(kept));
}

}  // namespace
}  // namespace vr::test
