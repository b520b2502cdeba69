// Header atoms: byte-exact builders, version 0 and 1 readers, lists that end early, and
// reads of truncated or garbage bytes (the sanitizer build catches any read outside).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <random>

#include "atoms/HeaderAtoms.h"
#include "atoms/SampleTableAtoms.h"
#include "tests/support/AtomBytes.h"
#include "tests/support/TestMedia.h"

namespace vr {
namespace {

using test::built;
using test::Built;
using test::cat;
using test::hex;

// An atom whose body bytes count up from `seed`, so that every field differs.
Bytes patternAtom(uint32_t size, const char (&type)[5], uint32_t versionFlag, uint8_t seed) {
  Bytes a;
  appendBE32(a, size);
  appendBE32(a, fourCC(type));
  appendBE32(a, versionFlag);
  for (uint32_t i = 12; i < size; ++i) a.push_back(uint8_t(seed + i));
  return a;
}

// The version 1 form of a version 0 header: the 32-bit fields at `wide` become 64-bit.
Bytes toVersion1(const Bytes& v0, std::initializer_list<size_t> wide) {
  Bytes v1;
  for (size_t i = 0; i < v0.size(); ++i) {
    for (size_t w : wide)
      if (i == w) v1.insert(v1.end(), 4, 0);
    v1.push_back(v0[i]);
  }
  writeBE32(v1.data(), uint32_t(v1.size()));
  v1[8] = 1;
  return v1;
}

TEST(HeaderAtomsBuilt, ProduceTheExactBytesAndMatchingSize) {
  const std::string z12 = "00 00 00 00 00 00 00 00 00 00 00 00";
  auto edit = EditListEntery::initWithTrackDuration(0x1234, 1001, 1);
  const Built cases[] = {
      built("default vmhd", Vmhd::init(), "00 00 00 14 76 6D 68 64 00 00 00 01 00 00 00 00 00 00 00 00"),
      built("default smhd", Smhd::init(), "00 00 00 10 73 6D 68 64 00 00 00 00 00 00 00 00"),
      built("video handler", Hdlr::initHDLRWithComponentType(fourCC("mhlr"), fourCC("vide"), 0),
            "00 00 00 22 68 64 6C 72 00 00 00 00 6D 68 6C 72 76 69 64 65" + z12 + "00 00"),
      built("sound handler", Hdlr::initHDLRWithComponentType(fourCC("mhlr"), fourCC("soun"), 0),
            "00 00 00 22 68 64 6C 72 00 00 00 00 6D 68 6C 72 73 6F 75 6E" + z12 + "00 00"),
      built("data handler", Hdlr::initHDLRWithComponentType(0, fourCC("dhlr"), 0),
            "00 00 00 22 68 64 6C 72 00 00 00 00 00 00 00 00 64 68 6C 72" + z12 + "00 00"),
      built("named handler writes only the name's length byte",
            Hdlr::initHDLRWithComponentType(fourCC("mhlr"), fourCC("vide"), 0x105, "Video"),
            "00 00 00 22 68 64 6C 72 00 00 00 00 6D 68 6C 72 76 69 64 65" + z12 + "05 00"),
      built("media header", Mdhd::initMDHDWithDuration(270000, 90000, 0x55C4, 0x10000),
            "00 00 00 20 6D 64 68 64" + z12 + "00 01 5F 90 00 04 1E B0 55 C4 00 00"),
      built("data reference entry", DrefEntry::initWithType(fourCC("alis")), "00 00 00 0C 61 6C 69 73 00 00 00 01"),
      built("data reference", Dref::initDREFWithDrefEnteryType(fourCC("alis")),
            "00 00 00 1C 64 72 65 66 00 00 00 00 00 00 00 01 00 00 00 0C 61 6C 69 73 00 00 00 01"),
      {"edit with rate 1", EditListEntery::kSize, edit->writeableData, hex("00 00 12 34 00 00 03 E9 00 01 00 00")},
      built("edit list of two edits",
            Elst::initELSTWithEditListTable({EditListEntery::initWithTrackDuration(18018, 1001, 1),
                                             EditListEntery::initWithTrackDuration(600, 0, 2)}),
            "00 00 00 28 65 6C 73 74 00 00 00 00 00 00 00 02 00 00 46 62 00 00 03 E9 00 01 00 00"
            " 00 00 02 58 00 00 00 00 00 02 00 00"),
      built("empty edit list", Elst::initELSTWithEditListTable({}), "00 00 00 10 65 6C 73 74 00 00 00 00 00 00 00 00"),
  };
  test::expectBuilt(cases);
}

TEST(HeaderAtomsRead, DurationChangeRewritesOnlyTheDuration) {
  const Bytes mvhd = patternAtom(108, "mvhd", 0, 0x20);
  auto m = Mvhd::initMVHDWithBytes(mvhd.data(), uint32_t(mvhd.size()));
  EXPECT_TRUE(m->writeableData.empty());  // no serialised form until the duration is set
  EXPECT_EQ(m->nextTrackID, readBE32(mvhd.data() + 104));
  m->setDuration(0xCAFEF00D);
  Bytes expected = mvhd;
  writeBE32(expected.data() + 24, 0xCAFEF00D);
  EXPECT_EQ(m->writeableData, expected);

  const Bytes tkhd = patternAtom(92, "tkhd", 0x0000000F, 0x41);
  auto t = Tkhd::initTKHDWithBytes(tkhd.data(), uint32_t(tkhd.size()));
  EXPECT_EQ(t->trackWidth, readBE32(tkhd.data() + 84));
  t->setDuration(18018);
  expected = tkhd;
  writeBE32(expected.data() + 28, 18018);
  EXPECT_EQ(t->writeableData, expected);

  const Bytes mdhd = patternAtom(32, "mdhd", 0, 0x07);
  EXPECT_EQ(Mdhd::initMDHDWithBytes(mdhd.data(), uint32_t(mdhd.size()))->convertSelfToData(), mdhd);
}

// A version 1 header must read to the values of its version 0 twin and be written exactly
// as that twin (version byte 0, flags kept, version 0 size).
TEST(HeaderAtomsRead, Version1HeadersReadLikeVersion0AndWriteVersion0) {
  const Bytes mvhd0 = patternAtom(108, "mvhd", 3, 0x30), mvhd1 = toVersion1(mvhd0, {12, 16, 24});
  const Bytes tkhd0 = patternAtom(92, "tkhd", 7, 0x50), tkhd1 = toVersion1(tkhd0, {12, 16, 28});
  Bytes mdhd0 = patternAtom(32, "mdhd", 0, 0x60), mdhd1 = toVersion1(mdhd0, {12, 16, 24});
  ASSERT_EQ(mvhd1.size(), 120u);
  ASSERT_EQ(tkhd1.size(), 104u);
  ASSERT_EQ(mdhd1.size(), 44u);

  auto m0 = Mvhd::initMVHDWithBytes(mvhd0.data(), uint32_t(mvhd0.size()));
  auto m1 = Mvhd::initMVHDWithBytes(mvhd1.data(), uint32_t(mvhd1.size()));
  EXPECT_EQ(m1->versionInFile, 1);
  EXPECT_EQ(m1->sizeInFile, 120u);
  EXPECT_EQ(m1->size, 108u);
  EXPECT_EQ(m1->duration, m0->duration);
  EXPECT_EQ(m1->nextTrackID, m0->nextTrackID);
  m0->setDuration(777);
  m1->setDuration(777);
  EXPECT_EQ(m1->writeableData, m0->writeableData);

  auto t0 = Tkhd::initTKHDWithBytes(tkhd0.data(), uint32_t(tkhd0.size()));
  auto t1 = Tkhd::initTKHDWithBytes(tkhd1.data(), uint32_t(tkhd1.size()));
  EXPECT_EQ(t1->size, 92u);
  EXPECT_EQ(t1->trackID, t0->trackID);
  EXPECT_EQ(t1->duration, t0->duration);
  t1->setDuration(t1->duration);
  EXPECT_EQ(t1->writeableData, tkhd0);

  auto d1 = Mdhd::initMDHDWithBytes(mdhd1.data(), uint32_t(mdhd1.size()));
  EXPECT_EQ(d1->convertSelfToData(), mdhd0);
  // A 64-bit duration beyond 32 bits is held at the largest 32-bit value, not wrapped.
  writeBE64(mdhd1.data() + 32, 0x100000005ull);
  EXPECT_EQ(Mdhd::initMDHDWithBytes(mdhd1.data(), uint32_t(mdhd1.size()))->duration, 0xFFFFFFFFu);
}

TEST(HeaderAtomsRead, DataReferenceEntriesEndAtTheFirstMisfit) {
  const Bytes alis = hex("00 00 00 0C 61 6C 69 73 00 00 00 01");
  const Bytes url = hex("00 00 00 10 75 72 6C 20 00 00 00 00 AA BB CC DD");
  struct Case {
    const char* name;
    uint32_t count;
    Bytes body;
    std::vector<uint32_t> types;
  };
  const Case cases[] = {
      {"entries of different sizes", 2, cat({url, alis}), {fourCC("url "), fourCC("alis")}},
      {"count above the entries present", 5, cat({alis, url}), {fourCC("alis"), fourCC("url ")}},
      {"count below the entries present", 1, cat({alis, url}), {fourCC("alis")}},
      {"zero-size entry", 3, cat({alis, hex("00 00 00 00 61 6C 69 73 00 00 00 01"), alis}), {fourCC("alis")}},
      {"entry shorter than its header", 2, cat({hex("00 00 00 08 61 6C 69 73"), alis}), {}},
      {"entry running past the atom", 2, cat({alis, hex("00 00 00 40 61 6C 69 73 00 00 00 01")}), {fourCC("alis")}},
      {"entry cut inside its size field", 2, cat({alis, hex("00 00")}), {fourCC("alis")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes a = test::tableAtom("dref", c.count, c.body);
    auto d = Dref::initDREFWithBytes(a.data(), uint32_t(a.size()));
    EXPECT_EQ(d->numberOfEntries, c.count);
    ASSERT_EQ(d->entries.size(), c.types.size());
    for (size_t i = 0; i < c.types.size(); ++i) EXPECT_EQ(d->entries[i]->type, c.types[i]);
    // Written again, it is a well-formed atom of the entries kept.
    const Bytes out = d->convertSelfToData();
    EXPECT_EQ(readBE32(out.data()), out.size());
    EXPECT_EQ(readBE32(out.data() + 12), c.types.size());
  }
}

TEST(HeaderAtomsRead, EditListKeepsTheRateIntegerAndDropsEditsThatDoNotFit) {
  const Bytes whole = hex("00 00 00 28 65 6C 73 74 00 00 00 00 00 00 00 03 00 00 46 62 00 00 03 E9 00 01 00 00"
                          " 00 00 02 58 FF FF FF FF 00 02 80 00");
  const Bytes a = cat({whole, hex("00 00 00 01 00 00")});  // the third edit is cut short
  auto l = Elst::initELSTWithBytes(a.data(), uint32_t(a.size()));
  EXPECT_EQ(l->numberOfEntries, 3u);
  ASSERT_EQ(l->editListTable.size(), 2u);
  EXPECT_EQ(l->editListTable[0]->trackDuration, 18018u);
  EXPECT_EQ(l->editListTable[0]->mediaTime, 1001u);
  EXPECT_EQ(l->editListTable[0]->mediaRate, 1u);
  EXPECT_EQ(l->editListTable[1]->mediaRate, 2u);
  l->creteWriteableData();
  Bytes expected = whole;
  expected[15] = 2;     // the count of edits kept
  expected[38] = 0;     // the rate's fraction is not kept
  EXPECT_EQ(l->writeableData, expected);
}

// Every byte constructor is given every prefix of a valid atom and random garbage, each in
// a buffer of exactly that length, and serialises what it read.
TEST(HeaderAtomsRead, TruncatedAndGarbageInputIsReadWithinBounds) {
  const Bytes mvhd = patternAtom(108, "mvhd", 0, 0x11);
  auto cut = Mvhd::initMVHDWithBytes(mvhd.data(), 26);  // cut inside the duration
  EXPECT_EQ(cut->timescale, readBE32(mvhd.data() + 20));
  EXPECT_EQ(cut->duration, 0u);
  EXPECT_EQ(cut->nextTrackID, 0u);
  cut->setDuration(9);
  EXPECT_EQ(cut->writeableData.size(), 108u);
  EXPECT_EQ(Gmin::initGMINWithBytes(patternAtom(24, "gmin", 0, 1).data(), 21)->balance, 0u);

  using Parse = std::function<void(const uint8_t*, uint32_t)>;
  const std::pair<Bytes, Parse> parsers[] = {
      {toVersion1(mvhd, {12, 16, 24}), [](auto p, auto n) { Mvhd::initMVHDWithBytes(p, n)->setDuration(1); }},
      {mvhd, [](auto p, auto n) { Mvhd::initMVHDWithBytes(p, n)->setDuration(1); }},
      {toVersion1(patternAtom(92, "tkhd", 0, 2), {12, 16, 28}),
       [](auto p, auto n) { Tkhd::initTKHDWithBytes(p, n)->setDuration(1); }},
      {patternAtom(32, "mdhd", 0, 3), [](auto p, auto n) { Mdhd::initMDHDWithBytes(p, n)->convertSelfToData(); }},
      {cat({patternAtom(32, "hdlr", 0, 4), hex("04 41 42 43 44")}),
       [](auto p, auto n) { Hdlr::initHDLRWithBytes(p, n)->convertSelfToData(); }},
      {patternAtom(20, "vmhd", 1, 5), [](auto p, auto n) { Vmhd::initVMHDWithBytes(p, n)->convertSelfToData(); }},
      {patternAtom(16, "smhd", 0, 6), [](auto p, auto n) { Smhd::initSMHDWithBytes(p, n)->convertSelfToData(); }},
      {patternAtom(24, "gmin", 0, 7), [](auto p, auto n) { Gmin::initGMINWithBytes(p, n); }},
      {patternAtom(8, "gmhd", 0, 8), [](auto p, auto n) { Gmhd::initGMHDWithBytes(p, n); }},
      {Dref::initDREFWithDrefEnteryType(fourCC("alis"))->writeableData,
       [](auto p, auto n) { Dref::initDREFWithBytes(p, n)->convertSelfToData(); }},
      {Elst::initELSTWithEditListTable({EditListEntery::initWithTrackDuration(1, 2, 1)})->writeableData,
       [](auto p, auto n) { Elst::initELSTWithBytes(p, n)->creteWriteableData(); }},
  };
  std::mt19937 rng(1234);
  for (const auto& [atom, parse] : parsers) {
    test::readEveryPrefixAndGarbage(atom, parse, rng, 80, 200, [](uint8_t* g, size_t len, int round) {
      if (len >= 16 && (round & 1)) std::memset(g + 12, 0xFF, 4);  // huge counts
    });
  }
}

// ---------------------------------------------------------------------------------------
// Real movies: every header and sample-table atom ffmpeg writes reads back to its bytes,
// and the tables of each track agree with each other.

template <typename T>
Bytes rewritten(const std::shared_ptr<T>& a) {
  if constexpr (requires { a->setDuration(0); }) {
    a->setDuration(a->duration);
    return a->writeableData;
  } else if constexpr (requires { a->creteWriteableData(); }) {
    a->creteWriteableData();
    return a->writeableData;
  } else if constexpr (requires { a->asignWritableData(); }) {
    a->asignWritableData();
    return a->writeableData;
  } else if constexpr (requires { a->createWriteableData(); }) {
    a->createWriteableData();
    return a->writeableData;
  } else if constexpr (requires { a->convertSelfToData(); }) {
    return a->convertSelfToData();
  } else {
    return a->writeableData;  // serialised when read
  }
}

TEST(IndexAtomsRealMovies, FfmpegAtomsWriteBackTheirBytesAndAgree) {
  if (!test::hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  if (test::manifest().empty()) GTEST_SKIP() << "test media could not be made";
  using Rewrite = std::function<Bytes(const uint8_t*, uint32_t)>;
  const std::pair<uint32_t, Rewrite> kinds[] = {
      {fourCC("mvhd"), [](auto p, auto n) { return rewritten(Mvhd::initMVHDWithBytes(p, n)); }},
      {fourCC("tkhd"), [](auto p, auto n) { return rewritten(Tkhd::initTKHDWithBytes(p, n)); }},
      {fourCC("mdhd"), [](auto p, auto n) { return rewritten(Mdhd::initMDHDWithBytes(p, n)); }},
      {fourCC("vmhd"), [](auto p, auto n) { return rewritten(Vmhd::initVMHDWithBytes(p, n)); }},
      {fourCC("smhd"), [](auto p, auto n) { return rewritten(Smhd::initSMHDWithBytes(p, n)); }},
      {fourCC("elst"), [](auto p, auto n) { return rewritten(Elst::initELSTWithBytes(p, n)); }},
      {fourCC("stts"), [](auto p, auto n) { return rewritten(Stts::initSTTSWithBytes(p, n)); }},
      {fourCC("stsc"), [](auto p, auto n) { return rewritten(Stsc::initSTSCWithBytes(p, n)); }},
      {fourCC("stsz"), [](auto p, auto n) { return rewritten(Stsz::initSTSZWithBytes(p, n)); }},
      {fourCC("stco"), [](auto p, auto n) { return rewritten(Stco::initSTCOWithBytes(p, n, false)); }},
      {fourCC("ctts"), [](auto p, auto n) { return rewritten(Ctts::initCTTSWithBytes(p, n)); }},
      {fourCC("stss"), [](auto p, auto n) { return rewritten(Stss::initSTSSWithBytes(p, n)); }},
  };
  for (const test::MediaSet& set : test::manifest()) {
    SCOPED_TRACE(set.ref());
    const auto moov = test::findTopLevelAtom(set.ref(), "moov");
    const Bytes file = test::readFileBytes(set.ref());
    ASSERT_TRUE(moov && file.size() >= moov->end());
    std::map<uint32_t, std::vector<Bytes>> found;
    for (const auto& [type, rewrite] : kinds) {
      test::collectAtoms(file.data() + moov->offset, moov->size, type, found[type]);
      for (const Bytes& b : found[type]) EXPECT_EQ(rewrite(b.data(), uint32_t(b.size())), b);
    }
    ASSERT_EQ(found[fourCC("mvhd")].size(), 1u);
    EXPECT_EQ(found[fourCC("smhd")].empty(), !set.hasAudio());
    // Per track: the time-to-sample runs count every sample of the size table.
    const auto &stts = found[fourCC("stts")], &stsz = found[fourCC("stsz")];
    ASSERT_FALSE(stsz.empty());
    ASSERT_EQ(stts.size(), stsz.size());
    for (size_t i = 0; i < stsz.size(); ++i) {
      auto tt = Stts::initSTTSWithBytes(stts[i].data(), uint32_t(stts[i].size()));
      uint64_t timed = 0;
      for (const auto& e : tt->entries) timed += e->sampleCount;
      EXPECT_EQ(timed, Stsz::initSTSZWithBytes(stsz[i].data(), uint32_t(stsz[i].size()))->numberOfEntries);
      EXPECT_GT(tt->getOneSampleDuration(), 0u);
    }
    for (const Bytes& b : found[fourCC("stss")])
      EXPECT_EQ(Stss::initSTSSWithBytes(b.data(), uint32_t(b.size()))->syncSampleTable.at(0), 1u);
  }
}

}  // namespace
}  // namespace vr
