// Container atoms: the movie tree read from real ffmpeg movies and from hand-made trees,
// the refusal chain, the derived track values and the queries of the movie file model.
// The tree-building helpers at the top are declared in tests/support/AtomBuilders.h and
// shared with MovieBuilderTest.cpp.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "atoms/Containers.h"
#include "tests/support/AtomBuilders.h"
#include "tests/support/AtomBytes.h"
#include "tests/support/TestMedia.h"

namespace vr::atomtest {

Bytes be16(uint16_t v) { return Bytes{uint8_t(v >> 8), uint8_t(v)}; }
Bytes be32(uint32_t v) { return Bytes{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
Bytes cat(std::initializer_list<Bytes> parts) { return test::cat(parts); }
Bytes zeros(size_t n) { return Bytes(n, 0); }
Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }
Bytes box(const char* type, const Bytes& payload) {
  Bytes out(8 + payload.size());
  writeBE32(out.data(), uint32_t(out.size()));
  std::memcpy(out.data() + 4, type, 4);
  std::copy(payload.begin(), payload.end(), out.begin() + 8);
  return out;
}
Bytes fullBox(const char* type, uint32_t versionFlags, const Bytes& payload) {
  return box(type, cat({be32(versionFlags), payload}));
}

const Bytes kMatrix = cat({be32(0x10000), zeros(12), be32(0x10000), zeros(12), be32(0x40000000)});
Bytes mvhdBox(uint32_t timescale, uint32_t duration, uint32_t nextTrackID) {
  return fullBox("mvhd", 0, cat({zeros(8), be32(timescale), be32(duration), be32(0x10000), be16(0x100), zeros(10),
                                 kMatrix, zeros(24), be32(nextTrackID)}));
}
Bytes trakBox(const TrackShape& t) {
  // Sample description: an 86-byte video entry without decoder configuration, a 36-byte
  // sound entry, or no entry.
  Bytes entry;
  if (t.codec == "avc1" || t.codec == "hvc1") {
    entry = box(t.codec.c_str(), cat({zeros(6), be16(1), zeros(16), be16(320), be16(240), zeros(14), zeros(32),
                                      be16(24), be16(0xFFFF)}));
  } else if (!t.codec.empty()) {
    entry = box(t.codec.c_str(), cat({zeros(6), be16(1), zeros(8), be16(2), be16(16), zeros(4), be32(48000u << 16)}));
  }
  Bytes stsz = cat({be32(t.fixedSampleSize), be32(t.sampleCount)});
  for (uint32_t i = 0; t.fixedSampleSize == 0 && i < t.sampleCount; ++i) appendBE32(stsz, 100 + i);
  const uint32_t chunks = (t.sampleCount + t.samplesPerChunk - 1) / t.samplesPerChunk;
  Bytes stco = be32(chunks);
  for (uint32_t i = 0; i < chunks; ++i) appendBE32(stco, 1000 + 4096 * i);
  const Bytes stbl = cat({fullBox("stsd", 0, cat({be32(entry.empty() ? 0 : 1), entry})),
                          fullBox("stts", 0, cat({be32(1), be32(t.sampleCount), be32(t.sampleDuration)})), t.extraStbl,
                          fullBox("stsc", 0, cat({be32(1), be32(1), be32(t.samplesPerChunk), be32(1)})),
                          fullBox("stsz", 0, stsz), fullBox("stco", 0, stco)});
  Bytes mediaHeader;
  if (t.mediaHeader == "vmhd") mediaHeader = fullBox("vmhd", 1, zeros(8));
  if (t.mediaHeader == "smhd") mediaHeader = fullBox("smhd", 0, zeros(4));
  if (t.mediaHeader == "gmhd") mediaHeader = box("gmhd", fullBox("gmin", 0, zeros(12)));
  const Bytes minf = cat({mediaHeader, fullBox("hdlr", 0, cat({text("dhlr"), text("alis"), zeros(14)})),
                          box("dinf", fullBox("dref", 0, cat({be32(1), fullBox("alis", 1, {})}))), box("stbl", stbl)});
  const Bytes mdia =
      cat({fullBox("mdhd", 0, cat({zeros(8), be32(t.timescale), be32(t.mediaDuration), be16(0x55C4), be16(0)})),
           fullBox("hdlr", 0, cat({text("mhlr"), text(t.handler.c_str()), zeros(14)})), box("minf", minf), t.extraMdia});
  const Bytes tkhd = fullBox("tkhd", 0xF, cat({zeros(8), be32(t.trackID), zeros(4), be32(1000), zeros(12), be16(0x100),
                                               zeros(2), kMatrix, be32(320u << 16), be32(240u << 16)}));
  return box("trak", cat({tkhd, box("mdia", mdia)}));
}
Bytes moovBox(uint32_t movieTimescale, const std::vector<TrackShape>& tracks, uint32_t nextTrackID) {
  Bytes payload = mvhdBox(movieTimescale, 1000, nextTrackID);
  for (const TrackShape& t : tracks) payload = cat({payload, trakBox(t)});
  return box("moov", payload);
}
std::shared_ptr<Moov> parseMoov(const Bytes& bytes) {
  return Moov::initMOOVWithData(bytes.data(), uint32_t(bytes.size()));
}

TrackShape videoTrack() {
  return {.handler = "vide", .mediaHeader = "vmhd", .codec = "avc1", .timescale = 12800, .mediaDuration = 12800,
          .sampleCount = 25, .sampleDuration = 512};
}
// 48 kHz sound: 48 AAC frames, or one second of PCM in chunks of 2048 one-byte samples.
TrackShape soundTrack(const std::string& codec) {
  if (codec == "mp4a")
    return {.handler = "soun", .mediaHeader = "smhd", .codec = codec, .timescale = 48000, .mediaDuration = 48 * 1024,
            .sampleCount = 48, .sampleDuration = 1024, .trackID = 2};
  return {.handler = "soun", .mediaHeader = "smhd", .codec = codec, .timescale = 48000, .mediaDuration = 48000,
          .sampleCount = 48000, .sampleDuration = 1, .fixedSampleSize = 1, .samplesPerChunk = 2048, .trackID = 2};
}
// A timecode track: fixed 2-byte samples, 512 to a chunk.
TrackShape timecodeTrack() {
  return {.handler = "tmcd", .mediaHeader = "gmhd", .codec = "", .timescale = 25, .mediaDuration = 25,
          .sampleCount = 512, .sampleDuration = 25, .fixedSampleSize = 2, .samplesPerChunk = 512, .trackID = 3};
}

Bytes moovOfFile(const std::string& path) {
  const auto atom = test::findTopLevelAtom(path, "moov");
  const Bytes file = test::readFileBytes(path);
  if (!atom || atom->end() > file.size()) return {};
  return Bytes(file.begin() + std::ptrdiff_t(atom->offset), file.begin() + std::ptrdiff_t(atom->end()));
}

}  // namespace vr::atomtest

namespace vr {
namespace {

using namespace atomtest;

TEST(ContainersRealMovies, QueriesAnswerWhatTheEncoderWasAskedFor) {
  if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  const auto& sets = test::manifest();
  ASSERT_FALSE(sets.empty()) << "test media could not be made";
  for (const test::MediaSet& s : sets) {
    SCOPED_TRACE(s.name);
    auto moov = parseMoov(moovOfFile(s.ref()));
    ASSERT_TRUE(moov && moov->mvhd);
    const bool h264 = s.codec == "h264";

    // Codec numbers: track level 1001/1005, movie level 1001/1002.
    auto video = moov->getTrakWithType(kMediaKindVideo);
    ASSERT_TRUE(video && video->trackDecoder);
    EXPECT_TRUE(video->trackDecoder->isVideo());
    EXPECT_EQ(video->trackCodecFormat, h264 ? kTrackCodecAVC1 : kTrackCodecHVC1);
    EXPECT_EQ(moov->getVideoCodecFormat(), h264 ? kVideoCodecH264 : kVideoCodecH265);
    EXPECT_EQ(moov->getAudioCodecFormat(),
              s.audio == "aac" ? 1002u : s.audio == "sowt" ? 1003u : s.audio == "twos" ? 1004u : 0u);

    // H.264 at 25 fps and 320x240, H.265 at 30 fps and 320x180, one second long.
    EXPECT_NEAR(moov->videoTrackFPS(), h264 ? 25.0 : 30.0, 1e-9);
    EXPECT_EQ(moov->getOneSampleDurationOfTackType(kMediaKindVideo), moov->videoTrackTimeScale() / (h264 ? 25 : 30));
    EXPECT_NEAR(double(moov->duration()) / moov->mvhd->timescale, s.referenceSeconds(), 0.1);
    EXPECT_EQ(moov->getResolution(), s.resolution());
    EXPECT_EQ(moov->getAVCOneNALUSizeLength(), s.nalLengthSize());
    EXPECT_EQ(moov->SPS() && moov->PPS(), h264);
    EXPECT_EQ(moov->VPS() && moov->SPS265() && moov->PPS265(), !h264);
    EXPECT_EQ(!moov->VPS() && !moov->SPS265() && !moov->PPS265(), h264);

    EXPECT_EQ(moov->audioTrackTimeScale(), s.hasAudio() ? 48000u : 0u);
    if (s.audio == "aac") {
      // AAC LC, 48 kHz, stereo (AudioSpecificConfig 11 90) at 128 kb/s: about 341 bytes in
      // a frame of 1024 samples; the mono variant (11 88) at 64 kb/s, half that.
      const bool mono = s.monoAAC();
      auto dsi = moov->decodeSpecificInfo();
      ASSERT_TRUE(dsi);
      EXPECT_EQ(Bytes(dsi->decoderSpecificInfo.begin(), dsi->decoderSpecificInfo.begin() + 2),
                (Bytes{0x11, uint8_t(mono ? 0x88 : 0x90)}));
      EXPECT_GT(moov->getAverageAudioSize(), mono ? 125u : 250u);
      EXPECT_LE(moov->getAverageAudioSize(), moov->getMaxAudioSize());
      EXPECT_LT(moov->getMaxAudioSize(), mono ? 225u : 450u);
      EXPECT_EQ(moov->aacSampleMean(), 0u);  // frames vary in size
      EXPECT_NEAR(moov->audioTrackFPS(), 48000.0 / 1024, 0.5);
    } else {
      EXPECT_FALSE(moov->decodeSpecificInfo());
      EXPECT_EQ(moov->getAverageAudioSize() + moov->getMaxAudioSize() + moov->aacSampleMean(), 0u);
      EXPECT_EQ(moov->audioTrackFPS(), s.hasAudio() ? 48000.0 : 0.0);
    }

    // The timecode track stays in the list as neither video nor sound; its fixed 4-byte
    // samples, one to a chunk, are what the scan must skip.
    EXPECT_EQ(moov->numberOfTracks(), (s.variant == "tmcd" ? 3u : s.hasAudio() ? 2u : 1u));
    EXPECT_EQ(moov->getSampleSkip(), s.variant == "tmcd" ? 4u : 0u);
    if (s.variant == "tmcd") {
      EXPECT_EQ(moov->tracks[2]->trackType, kMediaKindOther);
    }
  }
}

TEST(ContainersRealMovies, MakerAndModelFromUserData) {
  if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  const test::MediaSet* s = test::findSet("h264-aac-mov");
  ASSERT_TRUE(s);
  // A user-data atom after the one ffmpeg writes (the last one read wins).
  Bytes moov = cat({moovOfFile(s->ref()), box("udta", cat({box("manu", text("Canon")),
                                                           box("modl", cat({be16(0x15C7), text("EOS R5")}))}))});
  writeBE32(moov.data(), uint32_t(moov.size()));
  auto parsed = parseMoov(moov);
  ASSERT_TRUE(parsed && parsed->udta);
  EXPECT_EQ(parsed->udta->manufacture, "Canon");
  EXPECT_EQ(parsed->udta->device, "EOS R5");
}

TEST(ContainersRefusals, ForeignChildInAnySampleTableRefusesTheMovie) {
  struct Case {
    const char* name;
    int track;  // 0 video, 1 sound, 2 timecode
    Bytes extra;
    bool accepted;
  };
  const Case cases[] = {
      {"clean", 0, {}, true},
      {"stepped-over types", 0, cat({box("free", zeros(4)), box("sgpd", zeros(8)), box("sbgp", zeros(8))}), true},
      {"foreign atom in video", 0, box("abcd", zeros(4)), false},
      {"foreign atom in timecode track", 2, box("abcd", zeros(4)), false},
      {"stray bytes in sound", 1, zeros(3), false},
      {"child running past the table", 0, cat({be32(0x100), text("free")}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<TrackShape> tracks = {videoTrack(), soundTrack("mp4a"), timecodeTrack()};
    tracks[size_t(c.track)].extraStbl = c.extra;
    EXPECT_EQ(parseMoov(moovBox(600, tracks, 4)) != nullptr, c.accepted);
  }
}

TEST(ContainersRefusals, RequiredChildrenAndEmptyTables) {
  // A sample table of only its header is accepted; its track has no samples.
  const Bytes minf = box("minf", cat({fullBox("vmhd", 1, zeros(8)), box("stbl", {})}));
  const Bytes mdia = box("mdia", cat({fullBox("mdhd", 0, zeros(20)), fullBox("hdlr", 0, cat({zeros(4), text("vide"), zeros(14)})), minf}));
  const Bytes tkhd = fullBox("tkhd", 0, zeros(80));
  Bytes trak = box("trak", cat({tkhd, mdia}));
  auto t = Trak::initTRAKWithBytes(trak.data(), uint32_t(trak.size()));
  ASSERT_TRUE(t);
  EXPECT_EQ(t->sampleCount, 0u);
  EXPECT_EQ(t->trackType, kMediaKindVideo);
  EXPECT_EQ(t->trakFPS, 0.0);  // media duration 0

  // Each container lacking its required child refuses itself.
  const Bytes noStbl = box("minf", fullBox("vmhd", 1, zeros(8)));
  EXPECT_FALSE(Minf::initMINFWithBytes(noStbl.data(), uint32_t(noStbl.size())));
  const Bytes noMinf = box("mdia", fullBox("mdhd", 0, zeros(20)));
  EXPECT_FALSE(Mdia::initMDIAWithBytes(noMinf.data(), uint32_t(noMinf.size())));
  const Bytes noMdia = box("trak", tkhd);
  EXPECT_FALSE(Trak::initTRAKWithBytes(noMdia.data(), uint32_t(noMdia.size())));
  // A track header claiming more than the track holds leaves no media either.
  writeBE32(trak.data() + 8, uint32_t(trak.size()));
  EXPECT_FALSE(Trak::initTRAKWithBytes(trak.data(), uint32_t(trak.size())));

  // A movie without tracks is read; absent data is not.
  EXPECT_FALSE(Moov::initMOOVWithData(nullptr, 100));
  auto moov = parseMoov(box("moov", mvhdBox(600, 0, 1)));
  ASSERT_TRUE(moov);
  EXPECT_EQ(moov->getResolution(), "Missing");
  EXPECT_EQ(moov->getVideoCodecFormat(), 0u);
  EXPECT_FALSE(moov->SPS() || moov->getTrackDecoderWith(kMediaKindVideo));
}

TEST(ContainersTracks, DerivedRateAndKind) {
  struct Case {
    const char* codec;
    uint32_t duration;
    double fps;
  };
  // 48000 samples in 47000 units of 48000: raw little-endian PCM counts whole samples.
  const Case rates[] = {{"sowt", 47000, 49021.0}, {"twos", 47000, 48000.0 * 48000 / 47000},
                        {"mp4a", 47000, 48000.0 * 48000 / 47000}, {"mp4a", 0, 0.0}};
  for (const Case& c : rates) {
    SCOPED_TRACE(std::string(c.codec) + " " + std::to_string(c.duration));
    TrackShape t = soundTrack(c.codec);
    t.mediaDuration = c.duration;
    t.sampleCount = 48000;
    t.fixedSampleSize = 1;
    auto moov = parseMoov(moovBox(600, {t}, 2));
    ASSERT_TRUE(moov);
    EXPECT_DOUBLE_EQ(moov->audioTrackFPS(), c.fps);
  }

  struct Kind {
    const char* handler;
    const char* mediaHeader;
    uint64_t kind;
  };
  // The media handler decides first, then the media-type header.
  const Kind kinds[] = {{"vide", "smhd", kMediaKindVideo}, {"soun", "vmhd", kMediaKindSound},
                        {"xxxx", "vmhd", kMediaKindVideo}, {"xxxx", "smhd", kMediaKindSound},
                        {"xxxx", "gmhd", kMediaKindOther}, {"xxxx", "", kMediaKindOther}};
  for (const Kind& k : kinds) {
    SCOPED_TRACE(std::string(k.handler) + "/" + k.mediaHeader);
    TrackShape t = videoTrack();
    t.handler = k.handler;
    t.mediaHeader = k.mediaHeader;
    auto moov = parseMoov(moovBox(600, {t}, 2));
    ASSERT_TRUE(moov);
    EXPECT_EQ(moov->tracks[0]->trackType, k.kind);
  }
}

TEST(ContainersTracks, FirstTrackOfAKindAnswersAndLaterTracksAreSkipped) {
  TrackShape hevc = videoTrack();
  hevc.codec = "hvc1";
  hevc.mediaDuration = 15360;
  auto moov = parseMoov(moovBox(600, {videoTrack(), hevc, timecodeTrack(), soundTrack("twos")}, 5));
  ASSERT_TRUE(moov);
  ASSERT_EQ(moov->numberOfTracks(), 4u);
  EXPECT_EQ(moov->getTrakWithType(kMediaKindVideo), moov->tracks[0]);
  EXPECT_EQ(moov->getVideoCodecFormat(), kVideoCodecH264);
  EXPECT_DOUBLE_EQ(moov->videoTrackFPS(), 25.0);
  EXPECT_EQ(moov->getTrakWithType(kMediaKindSound), moov->tracks[3]);
  EXPECT_EQ(moov->getSampleSkip(), 2u * 512 + 1u * 2048);  // tracks three and four

  auto alone = parseMoov(moovBox(600, {hevc}, 2));
  ASSERT_TRUE(alone);
  EXPECT_EQ(alone->getVideoCodecFormat(), kVideoCodecH265);
  EXPECT_EQ(alone->getAVCOneNALUSizeLength(), 4u);  // always 4 for hvc1
}

TEST(ContainersUserData, WhereItComesFromAndHowTextIsDecoded) {
  const Bytes sony = box("udta", box("manu", text("Sony")));
  TrackShape inStbl = videoTrack(), inMdia = videoTrack();
  inStbl.extraStbl = sony;
  inMdia.extraMdia = sony;
  auto moov = parseMoov(moovBox(600, {inStbl, soundTrack("mp4a")}, 3));
  ASSERT_TRUE(moov && moov->udta);
  EXPECT_EQ(moov->udta->manufacture, "Sony");  // from the sample table, kept past a later track
  moov = parseMoov(moovBox(600, {inMdia}, 2));
  ASSERT_TRUE(moov);
  EXPECT_FALSE(moov->udta);  // the media's own user data is ignored

  struct Case {
    Bytes payload;
    std::string text;
  };
  const Case cases[] = {
      {{0x15, 0xC7, 0x41, 0x42, 0x00}, "AB"},                // marker pair and zero dropped
      {{0x41, 0x15}, "A"},                                    // marker at the very end
      {{0xC3, 0xA9, 0x74, 0xC3, 0xA9}, "\xC3\xA9t\xC3\xA9"},  // UTF-8 kept
      {{0x43, 0x61, 0x66, 0xE9}, "Caf\xC3\xA9"},              // Latin-1 converted
      {{0xED, 0xA0, 0x80}, "\xC3\xAD\xC2\xA0\xC2\x80"},       // a surrogate is not UTF-8
  };
  for (const Case& c : cases) {
    const Bytes atom = box("udta", box("modl", c.payload));
    EXPECT_EQ(Udta::initUDTAWithBytes(atom.data(), uint32_t(atom.size()))->device, c.text);
  }
  // A child shorter than its own header has no text.
  const Bytes tiny = cat({be32(16), text("udta"), be32(4), text("manu")});
  EXPECT_EQ(Udta::initUDTAWithBytes(tiny.data(), 16)->manufacture, "");
}

TEST(ContainersMeta, MakerAndModelFromXmlAttributes) {
  struct Case {
    const char* xml;
    const char* maker;
    const char* model;
  };
  const Case cases[] = {
      {R"(<?xml version="1.0"?><Device manufacturer="Sony" modelName="ILCE-7SM3"/>)", "Sony", "ILCE-7SM3"},
      {R"(<M xmlns="urn:schemas-professionalDisc:nonRealTimeMeta:ver.2.00"><Device manufacturer="Sony" modelName="FX3"/></M>)",
       "Sony", "FX3"},
      {R"(<a manufacturer="A"><b manufacturer="B" modelName="M"/></a>)", "B", "M"},  // later wins
      {R"(<a manufacturer="Canon"><b modelName="R5"></a>)", "Canon", "R5"},        // error keeps values
      {R"(<!DOCTYPE a [<!ENTITY e SYSTEM "file:///etc/passwd">]><a manufacturer="&e;"/>)", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xml);
    // The scan starts at 8 and slides over the version word to the "xml " child.
    const Bytes atom = fullBox("meta", 0, fullBox("xml ", 0, text(c.xml)));
    auto meta = Meta::initMetaWithByte(atom.data(), uint32_t(atom.size()));
    EXPECT_EQ(meta->manufacture, c.maker);
    EXPECT_EQ(meta->device, c.model);
  }
}

TEST(ContainersBuilders, DataInformationAndEditAtomBytes) {
  auto dinf = Dinf::initDINFWithDrefEnteryType(fourCC("alis"));
  EXPECT_EQ(dinf->writeableData,
            cat({be32(36), text("dinf"), be32(28), text("dref"), be32(0), be32(1), be32(12), text("alis"), be32(1)}));
  EXPECT_EQ(dinf->size, 36u);
  auto edts = Edts::initWDTSWithDuration(18018, 1001);
  EXPECT_EQ(edts->writeableData, cat({be32(36), text("edts"), be32(28), text("elst"), be32(0), be32(1), be32(18018),
                                      be32(1001), be32(0x00010000)}));
  EXPECT_EQ(edts->size, 36u);
}

}  // namespace
}  // namespace vr
