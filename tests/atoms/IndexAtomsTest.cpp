// Framing, header and sample-table atoms: the child scan, byte-exact builders, version 0
// and 1 readers, tables that end early or claim more than they hold, reads of truncated or
// garbage bytes (the sanitizer build catches any read outside), and the atoms of real
// ffmpeg movies written back byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>

#include "atoms/Containers.h"
#include "tests/support/AtomBytes.h"
#include "tests/support/TestMedia.h"

namespace vr {
namespace {

using namespace test;
using namespace std::string_view_literals;

// An atom whose body bytes count up from `seed`, so that every field differs.
Bytes patternAtom(uint32_t size, const char (&type)[5], uint32_t versionFlag, uint8_t seed) {
  Bytes a = cat({be32(size), text(type), be32(versionFlag)});
  for (uint32_t i = 12; i < size; ++i) a.push_back(uint8_t(seed + i));
  return a;
}

// The version 1 form of a version 0 header: the 32-bit fields at `wide` become 64-bit.
Bytes toVersion1(const Bytes& v0, std::initializer_list<size_t> wide) {
  Bytes v1;
  for (size_t i = 0; i < v0.size(); v1.push_back(v0[i++]))
    if (std::find(wide.begin(), wide.end(), i) != wide.end()) v1.insert(v1.end(), 4, 0);
  writeBE32(v1.data(), uint32_t(v1.size()));
  v1[8] = 1;
  return v1;
}

TEST(IndexAtomsBuilt, ProduceTheExactBytesAndMatchingSize) {
  const std::string z12 = "00 00 00 00 00 00 00 00 00 00 00 00";
  const Built cases[] = {
      built("default vmhd", Vmhd::init(), "00 00 00 14 76 6D 68 64 00 00 00 01 00 00 00 00 00 00 00 00"),
      built("default smhd", Smhd::init(), "00 00 00 10 73 6D 68 64 00 00 00 00 00 00 00 00"),
      built("video handler", Hdlr::initHDLRWithComponentType(fourCC("mhlr"), fourCC("vide"), 0),
            "00 00 00 22 68 64 6C 72 00 00 00 00 6D 68 6C 72 76 69 64 65" + z12 + "00 00"),
      built("named data handler writes only the name's length byte",
            Hdlr::initHDLRWithComponentType(0, fourCC("dhlr"), 0x105, "Video"),
            "00 00 00 22 68 64 6C 72 00 00 00 00 00 00 00 00 64 68 6C 72" + z12 + "05 00"),
      built("media header", Mdhd::initMDHDWithDuration(270000, 90000, 0x55C4, 0x10000),
            "00 00 00 20 6D 64 68 64" + z12 + "00 01 5F 90 00 04 1E B0 55 C4 00 00"),
      built("data information", Dinf::initDINFWithDrefEnteryType(fourCC("alis")),
            "00000024 64696E66 0000001C 64726566 00000000 00000001 0000000C 616C6973 00000001"),
      built("edit atom of one edit at rate 1", Edts::initWDTSWithDuration(18018, 1001),
            "00000024 65647473 0000001C 656C7374 00000000 00000001 00004662 000003E9 00010000"),
      built("edit list of two edits",
            Elst::initELSTWithEditListTable({EditListEntery::initWithTrackDuration(18018, 1001, 1),
                                             EditListEntery::initWithTrackDuration(600, 0, 0x10002)}),
            "00 00 00 28 65 6C 73 74 00 00 00 00 00 00 00 02 00 00 46 62 00 00 03 E9 00 01 00 00"
            " 00 00 02 58 00 00 00 00 00 02 00 00"),
      built("stts of 1800 samples of 1001", Stts::initSTTSWithSampleCount(1800, 1001),
            "00 00 00 18 73 74 74 73 00 00 00 00 00 00 00 01 00 00 07 08 00 00 03 E9"),
      built("stsz with a fixed size", Stsz::initSTSZWithSampleCount(1000, 1),
            "00 00 00 14 73 74 73 7A 00 00 00 00 00 00 00 01 00 00 03 E8"),
      built("stsz of three sizes", Stsz::initSTSZWithSampleSizeTable({0x10, 0x2000, 0x30000}),
            "00 00 00 20 73 74 73 7A 00 00 00 00 00 00 00 00 00 00 00 03 00 00 00 10 00 00 20 00 00 03 00 00"),
      built("co64 with an offset above 4 GiB", Stco::initWithChunkOffsetTable({16, 5000000000ull}),
            "00 00 00 20 63 6F 36 34 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00 10 00 00 00 01 2A 05 F2 00"),
      built("empty co64", Stco::initWithChunkOffsetTable({}), "00 00 00 10 63 6F 36 34 00 00 00 00 00 00 00 00"),
      built("stsc of two runs",
            Stsc::initSTSCWithSampleToChunkTable({SampleToChunkEntery::initWithFirstChunk(1, 30, 1),
                                                  SampleToChunkEntery::initWithFirstChunk(7, 2, 1)}),
            "00 00 00 28 73 74 73 63 00 00 00 00 00 00 00 02 00 00 00 01 00 00 00 1E 00 00 00 01"
            " 00 00 00 07 00 00 00 02 00 00 00 01"),
  };
  expectBuilt(cases);
}

// What an atom read from a file writes when it is carried into a new movie.
template <typename T>
Bytes rewritten(const std::shared_ptr<T>& a) {
  if constexpr (requires { a->setDuration(0); }) {
    return a->setDuration(a->duration), a->writeableData;
  } else if constexpr (requires { a->creteWriteableData(); }) {
    return a->creteWriteableData(), a->writeableData;
  } else if constexpr (requires { a->asignWritableData(); }) {
    return a->asignWritableData(), a->writeableData;
  } else if constexpr (requires { a->createWriteableData(); }) {
    return a->createWriteableData(), a->writeableData;
  } else if constexpr (requires { a->convertSelfToData(); }) {
    return a->convertSelfToData();
  } else if constexpr (requires { a->writeableData; }) {
    return a->writeableData;  // serialised when read
  } else {
    return Bytes{};  // never written
  }
}

// A version 1 header must read to the values of its version 0 twin and be written exactly
// as that twin (version byte 0, flags kept, version 0 size).
TEST(IndexAtomsRead, Version1HeadersReadLikeVersion0AndWriteVersion0) {
  const Bytes mvhd0 = patternAtom(108, "mvhd", 3, 0x30), tkhd0 = patternAtom(92, "tkhd", 7, 0x50);
  const Bytes mdhd0 = patternAtom(32, "mdhd", 0, 0x60);
  const Bytes mvhd1 = toVersion1(mvhd0, {12, 16, 24}), tkhd1 = toVersion1(tkhd0, {12, 16, 28});
  Bytes mdhd1 = toVersion1(mdhd0, {12, 16, 24});
  auto m1 = Mvhd::initMVHDWithBytes(mvhd1.data(), uint32_t(mvhd1.size()));
  EXPECT_EQ(std::pair(m1->versionInFile, m1->sizeInFile), std::pair(uint8_t(1), 120u));
  EXPECT_EQ(rewritten(m1), mvhd0);
  EXPECT_EQ(rewritten(Tkhd::initTKHDWithBytes(tkhd1.data(), uint32_t(tkhd1.size()))), tkhd0);
  EXPECT_EQ(Mdhd::initMDHDWithBytes(mdhd1.data(), uint32_t(mdhd1.size()))->convertSelfToData(), mdhd0);
  // A 64-bit duration beyond 32 bits is held at the largest 32-bit value, not wrapped.
  writeBE64(mdhd1.data() + 32, 0x100000005ull);
  EXPECT_EQ(Mdhd::initMDHDWithBytes(mdhd1.data(), uint32_t(mdhd1.size()))->duration, 0xFFFFFFFFu);
  // Cut inside the duration: what lies past the end reads as 0, and it is still written whole.
  auto cut = Mvhd::initMVHDWithBytes(mvhd0.data(), 26);
  EXPECT_EQ(std::tuple(cut->timescale, cut->duration, cut->nextTrackID), std::tuple(readBE32(mvhd0.data() + 20), 0u, 0u));
  cut->setDuration(9);
  EXPECT_EQ(cut->writeableData.size(), 108u);
}

// Reads an atom and writes it again, as the real-movie and garbage checks do.
template <typename Init>
auto writeBack(Init init) {
  return [init](const uint8_t* p, uint32_t n) { return rewritten(init(p, n)); };
}

// Reads a table, then writes it again: the count read and the bytes written, which must be
// a well-formed atom.
template <typename Init>
auto readAndWrite(Init init) {
  return [init](const uint8_t* p, uint32_t n) {
    auto a = init(p, n);
    const uint32_t count = a->numberOfEntries;
    const Bytes out = rewritten(a);
    EXPECT_EQ(readBE32At(out.data(), out.size(), 0), out.size());
    return std::pair(count, out);
  };
}

// Each table claims 4 entries but holds 2 whole ones and part of a third: the count is kept,
// only whole entries are read, and a table carried into a new movie is written with the
// count and size of what it holds (otherwise the movie would not open). Every prefix and
// random garbage are read and written again within bounds.
TEST(IndexAtomsRead, CountsAreKeptButOnlyEntriesThatFitAreReadAndWritten) {
  using Read = std::function<std::pair<uint32_t, Bytes>(const uint8_t*, uint32_t)>;  // count read, bytes written
  const Bytes twoRefs = tableAtom("dref", 2, "0000000C 75726C20 00000000 0000000C 616C6973 00000001");
  const std::tuple<Bytes, Read, Bytes> cases[] = {
      {tableAtom("stts", 4, "00000005 000003E9 00000001 000007D2 000000"), readAndWrite(&Stts::initSTTSWithBytes),
       tableAtom("stts", 2, "00000005 000003E9 00000001 000007D2")},
      {tableAtom("stsc", 4, "00000001 0000001E 00000001 00000007 00000002 00000001 0000"),
       readAndWrite(&Stsc::initSTSCWithBytes),
       tableAtom("stsc", 2, "00000001 0000001E 00000001 00000007 00000002 00000001")},
      {hex("0000001E 7374737A 00000000 00000000 00000004 00000010 00002000 0000"),
       readAndWrite(&Stsz::initSTSZWithBytes),
       hex("0000001C 7374737A 00000000 00000000 00000002 00000010 00002000")},
      {tableAtom("stco", 4, "00000010 FFFFFFF0 0000"),
       readAndWrite([](auto p, auto n) { return Stco::initSTCOWithBytes(p, n, false); }),
       tableAtom("stco", 2, "00000010 FFFFFFF0")},
      {tableAtom("co64", 4, "0000000000000010 00000001FFFFFFF0 00000001"),
       readAndWrite([](auto p, auto n) { return Stco::initSTCOWithBytes(p, n, true); }),
       tableAtom("co64", 2, "0000000000000010 00000001FFFFFFF0")},
      // Serialised as soon as it is read; a negative (version 1) offset is kept bit for bit.
      {tableAtom("ctts", 4, "00000001 000003E9 00000002 FFFFFC17 0000", 0x01000000),
       readAndWrite(&Ctts::initCTTSWithBytes),
       tableAtom("ctts", 2, "00000001 000003E9 00000002 FFFFFC17", 0x01000000)},
      {tableAtom("stss", 4, "00000001 00000010 0000"), readAndWrite(&Stss::initSTSSWithBytes),
       tableAtom("stss", 2, "00000001 00000010")},
      // The rate's fraction is not kept.
      {tableAtom("elst", 4, "00004662 000003E9 00018000 00000258 FFFFFFFF 00020000 000000"),
       readAndWrite(&Elst::initELSTWithBytes),
       tableAtom("elst", 2, "00004662 000003E9 00010000 00000258 FFFFFFFF 00020000")},
      // Data references of their own sizes (written in the 12-byte form) end at the first one
      // of size 0 (which would never advance), shorter than its header or running past.
      {tableAtom("dref", 4, "00000010 75726C20 00000000 AABBCCDD 0000000C 616C6973 00000001 00000000 616C6973"),
       readAndWrite(&Dref::initDREFWithBytes), twoRefs},
      {tableAtom("dref", 4, "0000000C 75726C20 00000000 0000000C 616C6973 00000001 00000008 616C6973"),
       readAndWrite(&Dref::initDREFWithBytes), twoRefs},
      {tableAtom("dref", 4, "0000000C 75726C20 00000000 0000000C 616C6973 00000001 00000040 616C6973 00000001"),
       readAndWrite(&Dref::initDREFWithBytes), twoRefs},
  };
  std::mt19937 rng(99);
  for (const auto& [atom, read, written] : cases) {
    SCOPED_TRACE(std::string(atom.begin() + 4, atom.begin() + 8));
    EXPECT_EQ(read(atom.data(), uint32_t(atom.size())), std::pair(4u, written));
    readEveryPrefixAndGarbage(atom, [&](auto p, auto n) { read(p, n); }, rng, 64);
  }
}

// Every other byte constructor is given every prefix of an atom and random garbage, each in
// a buffer of exactly that length, and serialises what it read.
TEST(IndexAtomsRead, TruncatedAndGarbageInputIsReadWithinBounds) {
  const Bytes sdtp = hex("00000010 73647470 00000000 20101018 AAAA");
  using Parse = std::function<void(const uint8_t*, uint32_t)>;
  const std::pair<Bytes, Parse> parsers[] = {
      {toVersion1(patternAtom(108, "mvhd", 0, 1), {12, 16, 24}), writeBack(&Mvhd::initMVHDWithBytes)},
      {toVersion1(patternAtom(92, "tkhd", 0, 2), {12, 16, 28}), writeBack(&Tkhd::initTKHDWithBytes)},
      {patternAtom(32, "mdhd", 0, 3), writeBack(&Mdhd::initMDHDWithBytes)},
      {cat({patternAtom(32, "hdlr", 0, 4), hex("04 41 42 43 44")}), writeBack(&Hdlr::initHDLRWithBytes)},
      {patternAtom(20, "vmhd", 1, 5), writeBack(&Vmhd::initVMHDWithBytes)},
      {patternAtom(16, "smhd", 0, 6), writeBack(&Smhd::initSMHDWithBytes)},
      {sdtp, writeBack(&Sdtp::initSDTPWithBytes)},
  };
  std::mt19937 rng(1234);
  for (const auto& [atom, parse] : parsers) readEveryPrefixAndGarbage(atom, parse, rng);
}

// Real movies: every header and sample-table atom ffmpeg writes reads back to its bytes.
TEST(IndexAtomsRealMovies, FfmpegAtomsWriteBackTheirBytesAndAgree) {
  if (!hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  if (manifest().empty()) GTEST_SKIP() << "test media could not be made";
  using Rewrite = std::function<Bytes(const uint8_t*, uint32_t)>;
  const std::pair<uint32_t, Rewrite> kinds[] = {
      {fourCC("mvhd"), writeBack(&Mvhd::initMVHDWithBytes)},
      {fourCC("tkhd"), writeBack(&Tkhd::initTKHDWithBytes)},
      {fourCC("mdhd"), writeBack(&Mdhd::initMDHDWithBytes)},
      {fourCC("vmhd"), writeBack(&Vmhd::initVMHDWithBytes)},
      {fourCC("smhd"), writeBack(&Smhd::initSMHDWithBytes)},
      {fourCC("elst"), writeBack(&Elst::initELSTWithBytes)},
      {fourCC("stts"), writeBack(&Stts::initSTTSWithBytes)},
      {fourCC("stsc"), writeBack(&Stsc::initSTSCWithBytes)},
      {fourCC("stsz"), writeBack(&Stsz::initSTSZWithBytes)},
      {fourCC("stco"), [](auto p, auto n) { return rewritten(Stco::initSTCOWithBytes(p, n, false)); }},
      {fourCC("ctts"), writeBack(&Ctts::initCTTSWithBytes)},
      {fourCC("stss"), writeBack(&Stss::initSTSSWithBytes)},
      {fourCC("stsd"), writeBack(&Stsd::initSTSDWithBytes)},
  };
  for (const MediaSet& set : manifest()) {
    SCOPED_TRACE(set.ref());
    const Bytes moov = topLevelAtomBytes(set.ref(), "moov");
    ASSERT_FALSE(moov.empty());
    std::map<uint32_t, std::vector<Bytes>> found;
    for (const auto& [type, rewrite] : kinds) {
      collectAtoms(moov.data(), moov.size(), type, found[type]);
      for (const Bytes& b : found[type]) EXPECT_EQ(rewrite(b.data(), uint32_t(b.size())), b);
    }
    ASSERT_EQ(found[fourCC("mvhd")].size(), 1u);
    EXPECT_EQ(found[fourCC("smhd")].empty(), !set.hasAudio());
    for (const Bytes& b : found[fourCC("stss")])
      EXPECT_EQ(Stss::initSTSSWithBytes(b.data(), uint32_t(b.size()))->syncSampleTable.at(0), 1u);
  }
}

// ---- Framing: the child scan shared by every container, the file-type atom's maker rule
// and the media-data header ----

// Runs the child scan with a table that builds the types in `built` and steps over those in
// `stepped`: "type@offset" for each child built, then "+n" for the bytes stepped over.
std::string scan(const Bytes& container, ChildScanBounds bounds, std::initializer_list<uint32_t> built,
                 std::initializer_list<uint32_t> stepped = {}) {
  struct Recorder { const uint8_t* base; std::string seen; uint64_t built = 0; } rec{container.data(), ""};
  std::vector<ChildRow<Recorder>> rows;
  for (uint32_t t : built)
    rows.push_back({t, [](Recorder& r, const uint8_t* p, uint32_t size) {
                      r.seen += std::string(reinterpret_cast<const char*>(p + 4), 4) + "@";
                      r.seen += std::to_string(p - r.base) + " ";
                      r.built += size;
                    }});
  for (uint32_t t : stepped) rows.push_back({t});
  const ChildScanResult result = scanChildren(container.data(), uint32_t(container.size()), bounds,
                                              std::span<const ChildRow<Recorder>>(rows), rec);
  return rec.seen + "+" + std::to_string(result.consumed - rec.built);
}

TEST(ChildScan, FindsChildrenAndSlidesThroughTheRest) {
  // An unknown atom whose payload holds a recognised atom: the embedded one is a child.
  const Bytes unknown = box("junk", cat({zeros(3), box("tkhd", zeros(4))}));
  const Bytes container = box("trak", cat({box("mdia", Bytes(8, 1)), unknown, box("uuid", zeros(2))}));
  EXPECT_EQ(scan(container, {8, false}, {fourCC("mdia"), fourCC("tkhd")}, {fourCC("uuid")}), "mdia@8 tkhd@35 +10");
  // Sizes of 0 or past the end are not taken; the scan moves on by one byte.
  for (uint32_t size : {0u, 1000u}) {
    Bytes child = box("mdia", zeros(8));
    writeBE32(child.data(), size);
    EXPECT_EQ(scan(box("trak", child), {8, false}, {fourCC("mdia")}), "+0") << size;
  }
  // The end bound: a child header that ends exactly at the end is read only with <=.
  const Bytes tight = box("stbl", box("stsd", {}));
  EXPECT_EQ(scan(tight, {8, false}, {fourCC("stsd")}) + scan(tight, {8, true}, {fourCC("stsd")}), "+0stsd@8 +0");
  EXPECT_EQ(scan(zeros(4), {8, true}, {fourCC("stsd")}), "+0");
}

TEST(Ftyp, RecognisesTheCameraMakerByPosition) {
  const struct { Bytes bytes; std::string maker; uint32_t size; } cases[] = {
      {box("ftyp", text("qt  \0\0\0\0CAEP"sv)), "Canon", 20},
      {box("ftyp", text("XAVC\0\0\0\0CAEP"sv)), "Sony", 20},
      {box("ftyp", text("qt  MSNV")), "Sony", 16},
      {box("ftyp", text("\0pana\0"sv)), "Panasonic", 14},  // unaligned
      {box("ftyp", text("CAEP")), "Canon", 12},            // 12 bytes: only offset 8
      {box("ftyp", text("isom")), "", 12},
      {Bytes{0, 0, 0, 7, 'f', 't', 'y'}, "", 0},
  };
  for (const auto& c : cases) {
    auto f = Ftyp::initFtypWithBytes(c.bytes.data(), uint32_t(c.bytes.size()));
    ASSERT_TRUE(f);
    EXPECT_EQ(std::tuple(f->manufacture, f->size, f->writeData), std::tuple(c.maker, c.size, c.bytes));
  }
}

// The 64-bit size form and the offset are checked on a real file with the file model.
TEST(Mdat, RefusesZeroSizesAndShortHeaders) {
  for (const char* header : {"00000000 6D646174 0102030405060708", "00000001 6D646174 0000000000000000"}) {
    const Bytes b = hex(header);
    EXPECT_FALSE(Mdat::initMdatWithBytes(b.data(), 16, 0)) << header;
    EXPECT_FALSE(Mdat::initMdatWithBytes(b.data(), 15, 0)) << header;
  }
  EXPECT_FALSE(Mdat::initMdatWithBytes(nullptr, 16, 0));
  const Bytes small = hex("00001000 6D646174 0102030405060708");
  EXPECT_EQ(Mdat::initMdatWithBytes(small.data(), 16, 0)->size, 0x1000u);
}

}  // namespace
}  // namespace vr
