// Container atoms: the movie tree read from real ffmpeg movies and from hand-made trees,
// the refusal chain, the derived track values, user data and XML metadata.
#include <gtest/gtest.h>

#include "atoms/Containers.h"
#include "bitstream/SPS.h"
#include "bitstream/SPS_265.h"
#include "tests/support/AtomBuilders.h"

namespace vr {
namespace {

using namespace test;

// H.264 at 25 fps and 320x240 (High, Baseline at high rates), H.265 at 30 fps and 320x180;
// AAC-LC, "sowt" stereo or "twos" mono at 48 kHz; a timecode track in "tmcd" sets.
TEST(ContainersRealMovies, QueriesAnswerWhatTheEncoderWasAskedFor) {
  if (!hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  ASSERT_FALSE(manifest().empty()) << "test media could not be made";
  for (const MediaSet& s : manifest()) {
    SCOPED_TRACE(s.name);
    auto moov = parseMoov(topLevelAtomBytes(s.ref(), "moov"));
    ASSERT_TRUE(moov && moov->mvhd);
    const bool h264 = s.codec == "h264", aac = s.audio == "aac";
    auto video = moov->getTrakWithType(kMediaKindVideo);
    ASSERT_TRUE(video && video->trackDecoder && video->trackDecoder->isVideo());
    // The timecode track is neither video nor sound; its fixed 4-byte samples, one to a
    // chunk, are what the scan must skip.
    const bool tmcd = s.variant == "tmcd";
    EXPECT_EQ(std::tuple(video->trackCodecFormat, moov->getVideoCodecFormat(), moov->getAudioCodecFormat(),
                         moov->audioTrackTimeScale(), moov->numberOfTracks(), moov->getSampleSkip()),
              std::tuple(h264 ? kTrackCodecAVC1 : kTrackCodecHVC1, h264 ? kVideoCodecH264 : kVideoCodecH265,
                         aac ? 1002u : s.audio == "sowt" ? 1003u : s.audio == "twos" ? 1004u : 0u,
                         s.hasAudio() ? 48000u : 0u, tmcd ? 3u : s.hasAudio() ? 2u : 1u, tmcd ? 4u : 0u));
    EXPECT_NEAR(moov->videoTrackFPS(), h264 ? 25.0 : 30.0, 1e-9);
    EXPECT_EQ(moov->getOneSampleDurationOfTackType(kMediaKindVideo), moov->videoTrackTimeScale() / (h264 ? 25 : 30));
    EXPECT_NEAR(double(moov->duration()) / moov->mvhd->timescale, s.referenceSeconds(), 0.1);
    EXPECT_EQ(moov->getResolution(), s.resolution());
    EXPECT_EQ(moov->getAVCOneNALUSizeLength(), s.nalLengthSize());
    EXPECT_EQ(std::pair(bool(moov->SPS() && moov->PPS()), bool(moov->VPS() || moov->SPS265() || moov->PPS265())),
              std::pair(h264, !h264));
    auto dsi = moov->decodeSpecificInfo();
    ASSERT_EQ(bool(dsi), aac);
    if (dsi) {  // AudioSpecificConfig of AAC LC, 48 kHz, stereo (11 90) or mono (11 88)
      EXPECT_EQ(Bytes(dsi->decoderSpecificInfo.begin(), dsi->decoderSpecificInfo.begin() + 2),
                (Bytes{0x11, uint8_t(s.monoAAC() ? 0x88 : 0x90)}));
    }
    EXPECT_NEAR(moov->audioTrackFPS(), aac ? 48000.0 / 1024 : s.hasAudio() ? 48000.0 : 0.0, 0.5);
    if (tmcd) { EXPECT_EQ(moov->tracks[2]->trackType, kMediaKindOther); }
    const Stsd& vd = *stblOf(*video).stsd;
    EXPECT_EQ(h264 ? vd.SPS()->profile_idc : vd.SPS265()->pic_width_in_luma_samples,
              h264 ? (s.highRate() ? 66 : 100) : 320);
    const auto sound = moov->getTrakWithType(kMediaKindSound);
    if (!sound) continue;
    const auto a = std::dynamic_pointer_cast<AudioSampleDescriptionEntery>(stblOf(*sound).stsd->getDecoder());
    ASSERT_TRUE(a);
    EXPECT_EQ(std::pair(int(a->numberOfChannels), a->sampleRate), std::pair(s.audio == "twos" ? 1 : 2, 48000u << 16));
    // QuickTime nests the "esds" in the "wave" of a version 1 description.
    EXPECT_EQ(a->version, aac && s.container == "mov" ? 1 : 0);
  }
}

TEST(ContainersRefusals, ForeignChildInAnySampleTableRefusesTheMovie) {
  // track: 0 video, 1 sound, 2 timecode
  const struct { const char* name; int track; Bytes extra; bool accepted; } cases[] = {
      {"clean", 0, {}, true},
      {"stepped-over types", 0, cat({box("free", zeros(4)), box("sgpd", zeros(8)), box("sbgp", zeros(8))}), true},
      {"foreign atom in video", 0, box("abcd", zeros(4)), false},
      {"foreign atom in timecode track", 2, box("abcd", zeros(4)), false},
      {"stray bytes in sound", 1, zeros(3), false},
      {"child running past the table", 0, cat({be32(0x100), text("free")}), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<TrackShape> tracks = {videoTrack(), soundTrack("mp4a"), timecodeTrack()};
    tracks[size_t(c.track)].extraStbl = c.extra;
    EXPECT_EQ(parseMoov(moovBox(600, tracks, 4)) != nullptr, c.accepted);
  }
}

// A sample table of only its header is accepted and its track has no samples; a track
// header claiming more than the track holds leaves no media. (Missing children are refused
// in the reference check's table.) A movie without tracks is read; absent data is not.
TEST(ContainersRefusals, EmptyTablesAndTracks) {
  const Bytes minf = box("minf", cat({fullBox("vmhd", 1, zeros(8)), box("stbl", {})}));
  const Bytes hdlr = fullBox("hdlr", 0, cat({zeros(4), text("vide"), zeros(14)}));
  const Bytes mdia = box("mdia", cat({fullBox("mdhd", 0, zeros(20)), hdlr, minf}));
  Bytes trak = box("trak", cat({fullBox("tkhd", 0, zeros(80)), mdia}));
  auto t = Trak::initTRAKWithBytes(trak.data(), uint32_t(trak.size()));
  ASSERT_TRUE(t);
  EXPECT_EQ(t->sampleCount + t->trakFPS, 0.0);  // media duration 0
  EXPECT_EQ(t->trackType, kMediaKindVideo);
  writeBE32(trak.data() + 8, uint32_t(trak.size()));
  EXPECT_FALSE(Trak::initTRAKWithBytes(trak.data(), uint32_t(trak.size())));
  EXPECT_FALSE(Moov::initMOOVWithData(nullptr, 100));
  auto moov = parseMoov(box("moov", mvhdBox(600, 0, 1)));
  ASSERT_TRUE(moov);
  EXPECT_EQ(moov->getResolution() + std::to_string(moov->getVideoCodecFormat()), "Missing0");
  EXPECT_FALSE(moov->SPS() || moov->getTrackDecoderWith(kMediaKindVideo));
}

TEST(ContainersTracks, DerivedRateKindAndTheFirstTrackOfAKind) {
  // 48000 samples in 47000 units of 48000: raw little-endian PCM counts whole samples.
  const struct { const char* codec; uint32_t duration; double fps; } rates[] = {
      {"sowt", 47000, 49021.0}, {"twos", 47000, 48000.0 * 48000 / 47000},
      {"mp4a", 47000, 48000.0 * 48000 / 47000}, {"mp4a", 0, 0.0}};
  for (const auto& c : rates) {
    SCOPED_TRACE(std::string(c.codec) + " " + std::to_string(c.duration));
    TrackShape t = soundTrack(c.codec);
    t.mediaDuration = c.duration, t.sampleCount = 48000, t.fixedSampleSize = 1;
    auto moov = parseMoov(moovBox(600, {t}, 2));
    ASSERT_TRUE(moov);
    EXPECT_DOUBLE_EQ(moov->audioTrackFPS(), c.fps);
  }
  // The media handler decides first, then the media-type header.
  const struct { const char* handler; const char* mediaHeader; uint64_t kind; } kinds[] = {
      {"vide", "smhd", kMediaKindVideo}, {"soun", "vmhd", kMediaKindSound},
      {"xxxx", "vmhd", kMediaKindVideo}, {"xxxx", "smhd", kMediaKindSound},
      {"xxxx", "gmhd", kMediaKindOther}, {"xxxx", "", kMediaKindOther}};
  for (const auto& k : kinds) {
    SCOPED_TRACE(std::string(k.handler) + "/" + k.mediaHeader);
    TrackShape t = videoTrack();
    t.handler = k.handler, t.mediaHeader = k.mediaHeader;
    auto moov = parseMoov(moovBox(600, {t}, 2));
    ASSERT_TRUE(moov);
    EXPECT_EQ(moov->tracks[0]->trackType, k.kind);
  }
  // The first track of a kind answers; later ones are skipped.
  TrackShape hevc = videoTrack();
  hevc.codec = "hvc1", hevc.mediaDuration = 15360;
  auto moov = parseMoov(moovBox(600, {videoTrack(), hevc, timecodeTrack(), soundTrack("twos")}, 5));
  ASSERT_TRUE(moov);
  ASSERT_EQ(moov->numberOfTracks(), 4u);
  // tracks three and four skipped
  EXPECT_EQ(std::tuple(moov->getTrakWithType(kMediaKindVideo), moov->getVideoCodecFormat(), moov->videoTrackFPS(),
                       moov->getTrakWithType(kMediaKindSound), moov->getSampleSkip()),
            std::tuple(moov->tracks[0], kVideoCodecH264, 25.0, moov->tracks[3], 2u * 512 + 1u * 2048));
  auto alone = parseMoov(moovBox(600, {hevc}, 2));
  ASSERT_TRUE(alone);
  EXPECT_EQ(std::pair(alone->getVideoCodecFormat(), alone->getAVCOneNALUSizeLength()), std::pair(kVideoCodecH265, 4u));
}

TEST(ContainersUserData, WhereItComesFromAndHowTextIsDecoded) {
  const Bytes sony = box("udta", box("manu", text("Sony")));
  TrackShape inStbl = videoTrack(), inMdia = videoTrack();
  inStbl.extraStbl = inMdia.extraMdia = sony;
  auto moov = parseMoov(moovBox(600, {inStbl, soundTrack("mp4a")}, 3));
  ASSERT_TRUE(moov && moov->udta);
  EXPECT_EQ(moov->udta->manufacture, "Sony");  // from the sample table, kept past a later track
  moov = parseMoov(moovBox(600, {inMdia}, 2));
  ASSERT_TRUE(moov);
  EXPECT_FALSE(moov->udta);  // the media's own user data is ignored
  const std::pair<Bytes, std::string> cases[] = {
      {{0x15, 0xC7, 0x41, 0x42, 0x00}, "AB"},                // marker pair and zero dropped
      {{0x41, 0x15}, "A"},                                    // marker at the very end
      {{0xC3, 0xA9, 0x74, 0xC3, 0xA9}, "\xC3\xA9t\xC3\xA9"},  // UTF-8 kept
      {{0x43, 0x61, 0x66, 0xE9}, "Caf\xC3\xA9"},              // Latin-1 converted
      {{0xED, 0xA0, 0x80}, "\xC3\xAD\xC2\xA0\xC2\x80"},       // a surrogate is not UTF-8
  };
  for (const auto& [payload, decoded] : cases) {
    const Bytes atom = box("udta", box("modl", payload));
    EXPECT_EQ(Udta::initUDTAWithBytes(atom.data(), uint32_t(atom.size()))->device, decoded);
  }
  // A child shorter than its own header has no text.
  const Bytes tiny = cat({be32(16), text("udta"), be32(4), text("manu")});
  EXPECT_EQ(Udta::initUDTAWithBytes(tiny.data(), 16)->manufacture, "");
}

TEST(ContainersMeta, MakerAndModelFromXmlAttributes) {
  const struct { const char* xml; const char* maker; const char* model; } cases[] = {
      {R"(<?xml version="1.0"?><Device manufacturer="Sony" modelName="ILCE-7SM3"/>)", "Sony", "ILCE-7SM3"},
      {R"(<M xmlns="urn:schemas-professionalDisc:nonRealTimeMeta:ver.2.00">)"
       R"(<Device manufacturer="Sony" modelName="FX3"/></M>)", "Sony", "FX3"},
      {R"(<a manufacturer="A"><b manufacturer="B" modelName="M"/></a>)", "B", "M"},  // later wins
      {R"(<a manufacturer="Canon"><b modelName="R5"></a>)", "Canon", "R5"},        // error keeps values
      {R"(<!DOCTYPE a [<!ENTITY e SYSTEM "file:///etc/passwd">]><a manufacturer="&e;"/>)", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.xml);
    // The scan starts at 8 and slides over the version word to the "xml " child.
    const Bytes atom = fullBox("meta", 0, fullBox("xml ", 0, text(c.xml)));
    auto meta = Meta::initMetaWithByte(atom.data(), uint32_t(atom.size()));
    EXPECT_EQ(meta->manufacture + "/" + meta->device, std::string(c.maker) + "/" + c.model);
  }
}

}  // namespace
}  // namespace vr
