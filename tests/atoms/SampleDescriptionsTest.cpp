// Sample descriptions and their "esds" descriptors: the entry walk and the extension search
// on hand-made atoms, and damaged atoms that must never be read past their end. Those of
// real movies are checked with the movie tree (ContainersTest.cpp).
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "atoms/SampleDescriptions.h"
#include "tests/support/AtomBytes.h"
#include "tests/support/TestMedia.h"

namespace vr {
namespace {

using namespace test;

// Parameter sets written by libx264 and libx265 for a 160x120 4:2:0 picture.
const Bytes kAvcSps = hex("6764000bacd942847e5c0440000003004000000c83c50a6580");
const Bytes kAvcPps = hex("68ebe3cb22c0");
const Bytes kHevcVps = hex("40010c01ffff01600000030090000003000003001e959809");
const Bytes kHevcSps = hex("42010101600000030090000003000003001ea014207965959a4932bc05a02000000300200000030321");
const Bytes kHevcPps = hex("4401c172b46240");

Bytes lengthPrefixed(const std::vector<Bytes>& units) {
  Bytes out;
  for (const auto& u : units) out = cat({out, be16(uint16_t(u.size())), u});
  return out;
}

Bytes avcC(uint8_t lengthSizeMinusOne, const std::vector<Bytes>& sps, const std::vector<Bytes>& pps) {
  return box("avcC", cat({{0x01, 0x64, 0x00, 0x0B, uint8_t(0xFC | lengthSizeMinusOne), uint8_t(0xE0 | sps.size())},
                          lengthPrefixed(sps), {uint8_t(pps.size())}, lengthPrefixed(pps)}));
}

// An "hvcC": the record's fixed part with its own length size in the low bits of byte 21,
// the array count, then arrays of {NAL type, units}.
Bytes hvcC(const std::vector<std::pair<uint8_t, std::vector<Bytes>>>& arrays, uint8_t lengthSizeMinusOne = 3,
           int arrayCount = -1) {
  Bytes p = cat({hex("010160000000900000000000 1ef000fcfdf8f80000"), {uint8_t(0x0C | lengthSizeMinusOne)},
                 {uint8_t(arrayCount < 0 ? int(arrays.size()) : arrayCount)}});
  for (const auto& [nalType, units] : arrays)
    p = cat({p, {uint8_t(0x80 | nalType)}, be16(uint16_t(units.size())), lengthPrefixed(units)});
  return box("hvcC", p);
}
const Bytes kHvcC = hvcC({{32, {kHevcVps}}, {33, {kHevcSps}}, {34, {kHevcPps}}});

// A 160x120 video sample entry named "\x04test", then the extension atoms.
Bytes videoEntry(const char* type, const Bytes& extensions) {
  return box(type, cat({hex("00000000000000010000000046464d50000002000000020000a00078004800000048000000"
                            "000000000104746573740000000000000000000000000000000000000000000000000000000018ffff"),
                        extensions}));
}
// A sound sample entry of description version 0, stereo 16-bit 48 kHz, then extensions.
Bytes audioEntry(const char* type, const Bytes& extensions) {
  return box(type, cat({hex("000000000000000100000000000000000002001000000000bb800000"), extensions}));
}
// An "esds" for AAC-LC 48 kHz stereo (AudioSpecificConfig 11 90) at 96000/80000 b/s.
const Bytes kEsds = hex("000000276573647300000000031900010004114015000000" "00017700" "00013880" "05021190060102");

Bytes stsdOf(const std::vector<Bytes>& entries, int declaredCount = -1) {
  Bytes p = be32(uint32_t(declaredCount < 0 ? int(entries.size()) : declaredCount));
  for (const auto& e : entries) p = cat({p, e});
  return fullBox("stsd", 0, p);
}
std::shared_ptr<Stsd> parse(const Bytes& b) { return Stsd::initSTSDWithBytes(b.data(), uint32_t(b.size())); }
auto videoOf(const Stsd& s) { return std::dynamic_pointer_cast<VideoSampleDescriptionEntery>(s.getDecoder()); }

// The table names the codec of its last recognised entry; the queries answer from the
// first entry. The walk ends at the first entry it cannot take. The extension area of a
// video entry is searched byte by byte; only "colr" atoms are stepped over whole, and
// nothing whose size is 0 or runs past the entry is taken.
TEST(SampleDescriptions, EntryWalkAndExtensionSearch) {
  const Bytes good = avcC(3, {kAvcSps}, {kAvcPps});
  const Bytes avc1 = videoEntry("avc1", good), mp4a = audioEntry("mp4a", kEsds), ulaw = audioEntry("ulaw", {});
  const Bytes colr = box("colr", cat({text("nclx"), {0, 1, 0, 1, 0, 1}}));
  Bytes overrun = stsdOf({avc1, mp4a}), zeroSized = stsdOf({avc1});  // a size of 0 would repeat one entry forever
  writeBE32(&overrun[16 + avc1.size()], uint32_t(mp4a.size() + 1));
  writeBE32(&zeroSized[12], 0xFFFFFFFF);
  writeBE32(&zeroSized[16], 0);
  Bytes zeroColr = colr, zeroAvcC = box("avcC", {}), longColr = colr;
  writeBE32(&zeroColr[0], 0);
  writeBE32(&zeroAvcC[0], 0);
  writeBE32(&longColr[0], 0x1000);
  // nalLength: the first entry's, for a video codec
  const struct { const char* name; Bytes stsd; size_t entries; uint64_t codec; uint32_t nalLength; } cases[] = {
      {"video then sound", stsdOf({avc1, mp4a}), 2, kTrackCodecMP4A, 0},
      {"unknown entry ends the walk", stsdOf({avc1, ulaw, mp4a}), 1, kTrackCodecAVC1, 4},
      {"unknown first entry", stsdOf({ulaw, avc1}), 0, 0, 0},
      {"entry running past the atom", overrun, 1, kTrackCodecAVC1, 4},
      {"count above the entries present", stsdOf({avc1}, 5), 1, kTrackCodecAVC1, 4},
      {"count of zero", stsdOf({avc1}, 0), 0, 0, 0},
      {"entry of size 0 under a huge count", zeroSized, 0, 0, 0},
      {"avcC with 2-byte lengths", stsdOf({videoEntry("avc1", avcC(1, {kAvcSps}, {kAvcPps}))}), 1, kTrackCodecAVC1, 2},
      {"avcC after a colr of size 0", stsdOf({videoEntry("avc1", cat({zeroColr, good}))}), 1, kTrackCodecAVC1, 4},
      {"avcC after an avcC of size 0", stsdOf({videoEntry("avc1", cat({zeroAvcC, good}))}), 1, kTrackCodecAVC1, 4},
      {"avcC after a colr running past the entry", stsdOf({videoEntry("avc1", cat({longColr, good}))}), 1,
       kTrackCodecAVC1, 4},
      {"avcC nested in another atom", stsdOf({videoEntry("avc1", box("uuid", good))}), 1, kTrackCodecAVC1, 4},
      {"avcC followed by a refused hvcC", stsdOf({videoEntry("avc1", cat({good, box("hvcC", zeros(10))}))}), 1,
       kTrackCodecAVC1, 4},
      {"avcC running past the entry: none", stsdOf({videoEntry("avc1", Bytes(good.begin(), good.end() - 1))}), 1,
       kTrackCodecAVC1, 1},
      {"hvcC with 2-byte lengths", stsdOf({videoEntry("hvc1", hvcC({{32, {kHevcVps}}, {33, {kHevcSps}},
                                                                     {34, {kHevcPps}}}, 1))}), 1, kTrackCodecHVC1, 2},
      {"hvc1 without hvcC", stsdOf({videoEntry("hvc1", {})}), 1, kTrackCodecHVC1, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto s = parse(c.stsd);
    EXPECT_EQ(std::tuple(s->sampleDescriptionTable.size(), s->codecFormat, s->getResolution(), s->avc1NaluSizeLength(),
                         bool(s->SPS())),
              std::tuple(c.entries, c.codec, c.entries ? "160x120" : "", c.nalLength,
                         c.codec == kTrackCodecAVC1 && c.nalLength != 1));
    if (c.entries) { EXPECT_EQ(videoOf(*s)->compressorName, "\x04test"); }  // count byte included
  }
  // Two of each parameter set: the last one stays.
  const Bytes secondSps = cat({kAvcSps, {0x80}});  // a trailing byte makes it distinguishable
  auto rec = videoOf(*parse(stsdOf({videoEntry("avc1", avcC(3, {kAvcSps, secondSps}, {kAvcPps}))})))->avcDecoder;
  ASSERT_TRUE(rec && rec->sps && rec->pps);
  EXPECT_EQ(rec->sequenceParameterSetNALUnit, secondSps);
}

TEST(SampleDescriptions, HvcCParameterSetSearch) {
  auto record = [](const Bytes& hvcc) {
    return HVCDecoderConfigurationRecord::initHVCDecoderWithBytes(hvcc.data(), uint32_t(hvcc.size()), 160, 120);
  };
  auto one = record(kHvcC);
  ASSERT_TRUE(one && one->vps && one->sps && one->pps);
  EXPECT_EQ(one->ppsSize, kHevcPps.size());
  // Two SPS units in one array are built in turn; the second one stays.
  const Bytes longerSps = cat({kHevcSps, {0x80}});
  auto two = record(hvcC({{32, {kHevcVps}}, {33, {kHevcSps, longerSps}}, {34, {kHevcPps}}}));
  EXPECT_EQ(std::pair(two->numOfSPS, size_t(two->spsSize)), std::pair(uint8_t(2), longerSps.size()));
  EXPECT_TRUE(two->sps && two->pps);
  // Refused with fewer than three arrays or fewer than 31 bytes.
  EXPECT_FALSE(record(hvcC({{32, {kHevcVps}}, {33, {kHevcSps}}, {34, {kHevcPps}}}, 3, 2)));
  EXPECT_FALSE(HVCDecoderConfigurationRecord::initHVCDecoderWithBytes(kHvcC.data(), 30, 160, 120));
  // A unit claiming more bytes than the record holds is not built.
  auto cut = record(Bytes(kHvcC.begin(), kHvcC.end() - 3));
  EXPECT_TRUE(cut->sps && !cut->pps);
}

// Records built from a stream's own parameter sets read back as the reader reads those of
// real movies; sets that cannot make a record are refused.
TEST(SampleDescriptions, RecordsBuiltFromParameterSets) {
  auto avc = AVCDecoderConfigurationRecord::initAVCCWithParameterSets(kAvcSps, kAvcPps, 4);
  ASSERT_TRUE(avc);
  EXPECT_EQ(avc->writeableData, avcC(3, {kAvcSps}, {kAvcPps}));
  const auto built = HVCDecoderConfigurationRecord::initHVCCWithParameterSets(kHevcVps, kHevcSps, kHevcPps, 2, 1, 8, 8);
  ASSERT_TRUE(built);
  auto hevc = HVCDecoderConfigurationRecord::initHVCDecoderWithBytes(built->writeableData.data(),
                                                                     uint32_t(built->writeableData.size()), 160, 120);
  ASSERT_TRUE(hevc && hevc->vps && hevc->sps && hevc->pps);
  EXPECT_EQ(std::tuple(hevc->lengthSizeMinusOne, size_t(hevc->ppsSize), hevc->problem),
            std::tuple(uint8_t(1), kHevcPps.size(), std::string()));
  for (uint8_t lengthSize : {0, 3, 8}) {
    EXPECT_FALSE(AVCDecoderConfigurationRecord::initAVCCWithParameterSets(kAvcSps, kAvcPps, lengthSize));
    EXPECT_FALSE(HVCDecoderConfigurationRecord::initHVCCWithParameterSets(kHevcVps, kHevcSps, kHevcPps, lengthSize, 1,
                                                                          8, 8));
  }
  EXPECT_FALSE(AVCDecoderConfigurationRecord::initAVCCWithParameterSets(kAvcSps, {}, 4));
  EXPECT_FALSE(AVCDecoderConfigurationRecord::initAVCCWithParameterSets(Bytes(kAvcSps.begin(), kAvcSps.begin() + 3),
                                                                        kAvcPps, 4));
  EXPECT_FALSE(HVCDecoderConfigurationRecord::initHVCCWithParameterSets(kHevcVps, kHevcSps, Bytes(70000, 1), 4, 1, 8, 8));
}

// Every prefix of a sample description, and many copies with flipped bits, parse without
// reading outside the bytes given (the sanitizer build checks this).
TEST(SampleDescriptions, TruncatedAndCorruptedAtomsStayInBounds) {
  std::vector<Bytes> samples = {stsdOf({videoEntry("avc1", avcC(3, {kAvcSps}, {kAvcPps}))}),
                                stsdOf({videoEntry("hvc1", kHvcC)}),
                                stsdOf({audioEntry("mp4a", kEsds), audioEntry("sowt", {})})};
  for (const char* set : {"h264-aac-mov", "h265-aac-mp4"})
    if (hasFfmpeg() && findSet(set))
      for (auto& a : collectAtoms(readFileBytes(findSet(set)->ref()), "stsd")) samples.push_back(std::move(a));
  std::mt19937 rng(11);
  for (const Bytes& sample : samples) {
    for (size_t n = 0; n <= sample.size(); ++n) {
      const Bytes prefix(sample.begin(), sample.begin() + n);
      auto s = Stsd::initSTSDWithBytes(n ? prefix.data() : nullptr, uint32_t(n));
      EXPECT_EQ(s->stsdData.size(), n);
      s->avc1NaluSizeLength();
      s->decoderSpecificInfo();
    }
    for (int i = 0; i < 3000; ++i) {
      Bytes b = sample;
      for (int f = 1 + int(rng() % 3); f > 0; --f) b[rng() % b.size()] ^= uint8_t(1u << (rng() % 8));
      parse(b)->getResolution();
    }
  }
}

// ---- Elementary-stream descriptors of "esds" atoms: size forms, optional ES fields and
// missing or malformed levels ----

// An "esds" atom around an ES-descriptor body given in hex, with a one-byte size.
Bytes esds(const std::string& body) {
  return cat({hex("00000000657364730000000003"), {uint8_t(body.size() / 2)}, hex(body)});
}

// ffmpeg's layout for AAC-LC 48 kHz stereo at 128 kb/s: padded sizes, buffer size 500.
const Bytes kFfmpegEsds = hex(
    "00000036657364730000000003808080250002000480808017401500" "01f4" "0001f4000001f161"
    "0580808005119056e500" "068080800102");
// A decoder configuration at 96000/64000 b/s with the AudioSpecificConfig 11 90, then an
// SL descriptor.
const std::string kConfig = "0411" "4015000000" "00017700" "0000fa00" "05021190" "060102";

TEST(Descriptors, DescriptorSizeForms) {
  // field: the tag followed by the size bytes
  const struct { const char* field; bool ok; uint32_t bodyStart; uint64_t bodyLength; } cases[] = {
      {"0322", true, 2, 34},        {"0380808022", true, 5, 34},  // one byte; padded
      {"038122", true, 3, 162},                                   // two significant bytes
      {"0300", false, 2, 0},        {"0380808000", false, 5, 0},  // no body
      {"038080", false, 3, 0},      {"03", false, 1, 0},          // runs off the data
      {"03ffffffffff7f", false, 6, 0},                            // more than 32 bits
  };
  for (const auto& c : cases) {
    const Bytes field = hex(c.field);
    uint32_t start = 99;
    uint64_t length = 99;
    const bool ok = readDescriptorLength(field.data(), uint32_t(field.size()), 0, start, length);
    EXPECT_EQ(std::tuple(ok, start, length), std::tuple(c.ok, c.bodyStart, c.bodyLength)) << c.field;
  }
}

// Each level is found where its parent's fields put it; a missing or malformed level leaves
// what lies below it empty, while what lies above stays.
TEST(Descriptors, Levels) {
  Bytes noEs = kFfmpegEsds, esOverruns = kFfmpegEsds;
  noEs[12] = 0x04;
  esOverruns[16] = 0x40;
  const struct { const char* name; Bytes atom; uint32_t maxRate, avgRate; Bytes dsi; } cases[] = {
      {"ffmpeg", kFfmpegEsds, 128000, 127329, hex("119056e500")},
      {"no optional fields", esds("000500" + kConfig), 96000, 64000, hex("1190")},
      {"dependence and OCR fields", esds("0005a000070009" + kConfig), 96000, 64000, hex("1190")},
      {"all optional fields", esds("0005e30007027879" "0009" + kConfig), 96000, 64000, hex("1190")},
      {"no AudioSpecificConfig", esds("000500040d4015000000000177000000fa00"), 96000, 64000, {}},
      {"AudioSpecificConfig overruns", esds("00050004114015000000000177000000fa00050911900601"), 96000, 64000, {}},
      {"no decoder configuration", esds("000500060102"), 0, 0, {}},
      {"byte 12 is not an ES descriptor", noEs, 0, 0, {}},
      {"ES descriptor overruns the atom", esOverruns, 0, 0, {}},
      {"header only", Bytes(kFfmpegEsds.begin(), kFfmpegEsds.begin() + 12), 0, 0, {}},
  };
  for (const auto& c : cases) {
    auto e = EsdsDecoder::initESDSWithBytes(c.atom.data(), uint32_t(c.atom.size()));
    const auto rates = e->config() ? std::pair(e->config()->maxBitrate, e->config()->avgBitrate) : std::pair(0u, 0u);
    EXPECT_EQ(std::tuple(rates.first, rates.second, e->decoderSpecificInfo()), std::tuple(c.maxRate, c.avgRate, c.dsi))
        << c.name;
  }
}

// The AudioSpecificConfig of AAC-LC by rate and channels (a rate without an index is
// 48 kHz), and the esds built around it, which the reader hands it back from.
TEST(Descriptors, BuiltAudioConfiguration) {
  const struct { uint32_t rate, channels; const char* config; } cases[] = {
      {48000, 2, "1190"}, {44100, 1, "1208"}, {7350, 2, "1610"}, {96000, 6, "1030"}, {12345, 2, "1190"}};
  for (const auto& c : cases) {
    const Bytes config = aacAudioSpecificConfig(c.rate, c.channels);
    EXPECT_EQ(config, hex(c.config)) << c.rate;
    auto built = EsdsDecoder::initESDSWithAudioSpecificConfig(config);
    ASSERT_TRUE(built);
    auto read = EsdsDecoder::initESDSWithBytes(built->writeableData.data(), uint32_t(built->writeableData.size()));
    EXPECT_EQ(read->decoderSpecificInfo(), config) << c.rate;
  }
  EXPECT_FALSE(EsdsDecoder::initESDSWithAudioSpecificConfig({}));
  EXPECT_FALSE(EsdsDecoder::initESDSWithAudioSpecificConfig(Bytes(65, 0x11)));
}

}  // namespace
}  // namespace vr
