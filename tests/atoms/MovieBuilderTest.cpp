// Building the repaired movie's index: durations and sample tables from the requests,
// what is carried over from the reference, and well-formed bytes. Indexes built for real
// movies are checked with ffprobe by the end-to-end repairs.
#include <gtest/gtest.h>

#include "common/FileIO.h"
#include "tests/support/AtomBuilders.h"

namespace vr {
namespace {

using namespace test;

// A request for n samples in chunks of perChunk samples.
AtomCreationRequest makeRequest(uint64_t type, uint32_t timeScale, double fps, uint32_t n, uint32_t perChunk) {
  AtomCreationRequest r;
  r.requestType = type;
  r.timeScale = timeScale;
  r.FPS = fps;
  for (uint32_t i = 0; i < n; ++i) r.stszEntries.push_back(200 + i);
  for (uint32_t i = 0; i * perChunk < n; ++i) r.stcoEntries.push_back(16 + uint64_t(i) * 100000);
  if (n) r.stscEntries.push_back(SampleToChunkEntery::initWithFirstChunk(1, perChunk, 1));
  return r;
}

TEST(MovieBuilder, DurationsAndLayout) {
  // Reference video: 10 samples in 1000 units of a 2997 time scale, i.e. 29.97 per second.
  TrackShape v = videoTrack();
  v.timescale = 2997, v.mediaDuration = 1000, v.sampleCount = 10;
  auto ref = parseMoov(moovBox(600, {v, soundTrack("mp4a"), timecodeTrack()}, 7));
  ASSERT_TRUE(ref);
  const AtomCreationRequest video = makeRequest(kRequestTypeVideo, 2997, 29.97, 900, 30);
  const AtomCreationRequest audio = makeRequest(kRequestTypeSound, 48000, 46.875, 1500, 1);
  auto movie = ref->createMoovWithVideoRequest(&video, &audio);
  ASSERT_TRUE(movie);
  // The timecode track is dropped; only the video track has an edit. No picture of the
  // request is a keyframe, so the sync-sample table is there and empty.
  EXPECT_EQ(checkedLayout(*movie),
            "moov(mvhd trak(tkhd edts(elst) mdia(mdhd hdlr minf(vmhd hdlr dinf(dref) stbl(stsd stss stts stsc stsz co64)))) "
            "trak(tkhd mdia(mdhd hdlr minf(smhd hdlr dinf(dref) stbl(stsd stts stsc stsz co64)))))");
  EXPECT_TRUE(movie->mvhd == ref->mvhd && movie->mvhd->nextTrackID == 7);  // shared with the reference
  const Trak& nv = *movie->tracks[0];
  EXPECT_EQ(std::pair(movie->mvhd->duration, nv.tkhd->duration), std::pair(18018u, 18018u));  // 600 x 900 / 29.97
  // 900 x the reference's 100 units a sample, in the reference's language
  EXPECT_EQ(std::pair(nv.mdia->mdhd->duration, int(nv.mdia->mdhd->language)), std::pair(90000u, 0x55C4));
  EXPECT_EQ(stblOf(nv).stts->getOneSampleDuration(), 100u);  // 2997 / 29.97
  // Without composition offsets the edit starts with the media: the first picture is shown.
  EXPECT_EQ(std::pair(nv.edts->elst->editListTable.at(0)->mediaTime, nv.edts->elst->editListTable[0]->trackDuration),
            std::pair(0u, 18018u));
  // Handlers: "mhlr"/"vide" for the media, 0/"dhlr" for the media information.
  EXPECT_EQ(nv.mdia->hdlr->componentSubtype + nv.mdia->minf->hdlr->componentSubtype, fourCC("vide") + fourCC("dhlr"));
  EXPECT_EQ(stblOf(nv).stco->writeableData.size(), 16u + 8 * 30);
  // The sound track does not change the movie's duration.
  const Trak& na = *movie->tracks[1];
  EXPECT_EQ(na.tkhd->duration, uint32_t(600.0 * 1500 / ref->audioTrackFPS()));
  EXPECT_EQ(stblOf(na).stts->getOneSampleDuration(), 1024u);
  EXPECT_EQ(stblOf(na).stsz->SampleSizeTable, audio.stszEntries);
  // The new movie reads back with the new sample counts.
  auto reread = parseMoov(movie->convertSelfToData());
  ASSERT_TRUE(reread);
  EXPECT_EQ(std::pair(reread->tracks[0]->sampleCount, reread->tracks[1]->sampleCount), std::pair(900u, 1500u));
}

// The composition offsets of the repaired video, as (count, offset) runs.
std::vector<std::pair<uint32_t, uint32_t>> cttsRuns(const Stbl& stbl) {
  std::vector<std::pair<uint32_t, uint32_t>> runs;
  if (!stbl.ctts) return runs;
  EXPECT_EQ(stbl.ctts->size, stbl.ctts->writeableData.size());
  EXPECT_EQ(readBE32(stbl.ctts->writeableData.data() + 12), stbl.ctts->compositionOffsetTable.size());
  for (const auto& e : stbl.ctts->compositionOffsetTable) runs.emplace_back(e->sampleCount, e->compositionOffset);
  return runs;
}

// B-frames: the offsets follow the order the pictures carry when the scan could read it,
// and otherwise repeat the reference's first group of pictures over the new samples.
TEST(MovieBuilder, CompositionOffsetsForReorderedPictures) {
  using Runs = std::vector<std::pair<uint32_t, uint32_t>>;
  // Reference of 12 pictures in groups of 4 (I P B B), every group alike but the last.
  const Bytes ctts = tableAtom("ctts", 7, words({1, 512, 1, 1536, 2, 0, 1, 512, 1, 1536, 2, 0, 4, 512}));
  const Bytes groups4 = tableAtom("stss", 3, words({1, 5, 9}));
  // ranks: the order the scan read, if any
  const struct { const char* name; Bytes sync; std::vector<uint32_t> ranks; uint32_t samples; Runs expected; } cases[] = {
      {"groups of 4 repeated", groups4, {}, 10,
       {{1, 512}, {1, 1536}, {2, 0}, {1, 512}, {1, 1536}, {2, 0}, {1, 512}, {1, 1536}}},
      {"irregular sync samples: the whole reference is the pattern", tableAtom("stss", 3, words({1, 5, 8})), {}, 14,
       {{1, 512}, {1, 1536}, {2, 0}, {1, 512}, {1, 1536}, {2, 0}, {5, 512}, {1, 1536}}},
      {"no sync samples: the whole reference is the pattern", {}, {}, 13,
       {{1, 512}, {1, 1536}, {2, 0}, {1, 512}, {1, 1536}, {2, 0}, {5, 512}}},
      // Decoded I P B B P B, shown I B B P B P: one picture of delay.
      {"order read from the pictures", groups4, {0, 3, 1, 2, 5, 4}, 6,
       {{1, 512}, {1, 1536}, {2, 0}, {1, 1024}, {1, 0}}},
      {"order of another sample count is not used", groups4, {0, 2, 1}, 4, {{1, 512}, {1, 1536}, {2, 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TrackShape v = videoTrack();
    v.sampleCount = 12, v.extraStbl = cat({c.sync, ctts});
    auto ref = parseMoov(moovBox(600, {v, soundTrack("mp4a")}, 3));
    ASSERT_TRUE(ref);
    AtomCreationRequest video = makeRequest(kRequestTypeVideo, 12800, 25, c.samples, 5);
    video.presentationRanks = c.ranks;
    EXPECT_EQ(cttsRuns(*stblOf(*ref->tracks[0]).createStblWithRequest(&video)), c.expected);
  }
}

TEST(MovieBuilder, VideoOnlyTablesFromTheReference) {
  const Bytes ctts2 = fullBox("ctts", 0, words({2, 1, 1024, 1, 0}));
  const Bytes stss = fullBox("stss", 0, words({3, 1, 16, 31}));
  std::vector<uint32_t> everyPicture(300);
  for (uint32_t i = 0; i < 300; ++i) everyPicture[i] = i + 1;
  // Keyframes come from the request (as the pictures say), never from the reference's tables
  // (extra); the reference's dependency flags are never copied. editStart: media time of the
  // first picture shown.
  const struct { const char* name; Bytes extra; std::vector<uint32_t> keyframes; const char* videoStbl; uint32_t editStart; } cases[] = {
      {"two composition runs", ctts2, {1, 200}, "stbl(stsd stss ctts stts stsc stsz co64)", 512},
      {"one composition run", fullBox("ctts", 0, words({1, 25, 512})), {1},
       "stbl(stsd stss stts stsc stsz co64)", 0},
      {"sync samples and flags", cat({stss, fullBox("sdtp", 0, Bytes{0x20, 0x10, 0x10})}), {1, 7, 300},
       "stbl(stsd stss stts stsc stsz co64)", 0},
      {"every picture a keyframe", stss, everyPicture, "stbl(stsd stts stsc stsz co64)", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TrackShape v = videoTrack(), a = soundTrack("mp4a");
    v.extraStbl = a.extraStbl = c.extra;  // the sound track never takes them
    auto ref = parseMoov(moovBox(600, {v, a}, 3));
    ASSERT_TRUE(ref);
    AtomCreationRequest video = makeRequest(kRequestTypeVideo, 12800, 25, 300, 15);
    video.syncSamples = c.keyframes;
    const AtomCreationRequest audio = makeRequest(kRequestTypeSound, 48000, 46.875, 400, 1);
    auto movie = ref->createMoovWithVideoRequest(&video, &audio);
    ASSERT_TRUE(movie);
    const std::string all = checkedLayout(*movie);
    EXPECT_NE(all.find(c.videoStbl), std::string::npos) << all;
    EXPECT_NE(all.find("stbl(stsd stts stsc stsz co64)))))"), std::string::npos) << all;
    const Stbl& nv = stblOf(*movie->tracks[0]);
    uint64_t covered = 0;  // one offset for each of the 300 new samples, not the reference's 2
    for (const auto& e : nv.ctts ? nv.ctts->compositionOffsetTable : decltype(nv.ctts->compositionOffsetTable){})
      covered += e->sampleCount;
    EXPECT_EQ(covered, nv.ctts ? 300u : 0u);
    if (nv.stss) { EXPECT_EQ(nv.stss->syncSampleTable, c.keyframes); }
    EXPECT_EQ(movie->tracks[0]->edts->elst->editListTable.at(0)->mediaTime, c.editStart);
  }
}

TEST(MovieBuilder, DegenerateReferencesAndRequests) {
  const AtomCreationRequest video = makeRequest(kRequestTypeVideo, 12800, 25, 50, 25);
  const AtomCreationRequest audio = makeRequest(kRequestTypeSound, 48000, 46.875, 90, 1);
  // No tracks: no movie.
  EXPECT_FALSE(parseMoov(box("moov", mvhdBox(600, 1000, 1)))->createMoovWithVideoRequest(&video, &audio));
  // No requests: empty tracks.
  auto ref = parseMoov(moovBox(600, {videoTrack(), soundTrack("mp4a")}, 3));
  auto blank = ref->createMoovWithVideoRequest(nullptr, nullptr);
  ASSERT_TRUE(blank);
  checkedLayout(*blank);
  EXPECT_EQ(blank->tracks[0]->sampleCount, 0u);
  // Without a rate every sample lasts 1 (video) or 1024 (sound) units.
  EXPECT_EQ(stblOf(*blank->tracks[0]).stts->writeableData, tableAtom("stts", 1, words({0, 1})));
  EXPECT_EQ(stblOf(*blank->tracks[1]).stts->writeableData, tableAtom("stts", 1, words({0, 1024})));
  // Sound only: the movie header keeps the reference's duration but is still written.
  auto soundOnly = parseMoov(moovBox(600, {soundTrack("mp4a")}, 2))->createMoovWithVideoRequest(&video, &audio);
  ASSERT_TRUE(soundOnly);
  EXPECT_EQ(soundOnly->mvhd->duration, 1000u);
  EXPECT_EQ(checkedLayout(*soundOnly),
            "moov(mvhd trak(tkhd mdia(mdhd hdlr minf(smhd hdlr dinf(dref) stbl(stsd stts stsc stsz co64)))))");
  FileHandle closed;
  EXPECT_EQ(soundOnly->writeToFileHandle(closed), 0u);
}

}  // namespace
}  // namespace vr
