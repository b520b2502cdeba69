// Sample-table atoms: byte-exact builders, the sync-sample spacing, tables whose count
// claims more than they hold, and reads of truncated or garbage bytes. The tables of real
// movies are checked with the header atoms (HeaderAtomsTest.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "atoms/SampleTableAtoms.h"
#include "tests/support/AtomBytes.h"

namespace vr {
namespace {

using test::built;
using test::Built;
using test::hex;
using test::tableAtom;

// Random strings whose first 20 bytes are all ones every other round: huge sizes and counts.
void hugeSizesAndCounts(uint8_t* garbage, size_t length, int round) {
  if (length >= 20 && (round & 1)) std::memset(garbage, 0xFF, 20);
}

TEST(SampleTablesBuilt, ProduceTheExactBytesAndMatchingSize) {
  const Built cases[] = {
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
      built("stss of 10 samples spaced by 3", Stss::initSTSSWithSampleCount(10, 4),
            "00 00 00 20 73 74 73 73 00 00 00 00 00 00 00 04 00 00 00 01 00 00 00 04 00 00 00 07 00 00 00 0A"),
      built("sdtp repeating three flags over 7 samples", Sdtp::initSDTPWithSampleCount(7, hex("20 10 10")),
            "00 00 00 13 73 64 74 70 00 00 00 00 20 10 10 20 10 10 20"),
      built("sdtp of no samples", Sdtp::initSDTPWithSampleCount(0, hex("20")), "00 00 00 0C 73 64 74 70 00 00 00 00"),
  };
  test::expectBuilt(cases);
  // No reference flags to repeat: no dependency-flag atom at all.
  EXPECT_EQ(Sdtp::initSDTPWithSampleCount(100, {}), nullptr);
}

// The sync samples of n new samples follow the reference's spacing (1, g, 2g - 1, ...)
// to the last sample and never name a sample that does not exist.
TEST(SampleTablesBuilt, SyncSamplesFollowTheReferenceSpacingUpToTheLastSample) {
  struct Case {
    uint32_t n, g;
    std::vector<uint32_t> head;  // the first entries
    uint32_t last;
    size_t count;
  };
  const Case cases[] = {
      {300, 16, {1, 16, 31}, 286, 20},  // 256, 271 and 286 included
      {300, 3, {1, 3, 5}, 299, 150},    {300, 2, {1, 2, 3}, 300, 300}, {300, 1, {1, 2}, 300, 300},
      {300, 0, {1, 2}, 300, 300},       {16, 16, {1, 16}, 16, 2},      {10, 11, {1}, 1, 1},
      {10, 300, {1}, 1, 1},             {1, 16, {1}, 1, 1},            {0, 16, {}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("n=" + std::to_string(c.n) + " g=" + std::to_string(c.g));
    auto s = Stss::initSTSSWithSampleCount(c.n, c.g);
    ASSERT_NE(s, nullptr);
    const auto& t = s->syncSampleTable;
    ASSERT_EQ(t.size(), c.count);
    EXPECT_EQ(s->numberOfEntries, c.count);
    EXPECT_TRUE(std::equal(c.head.begin(), c.head.end(), t.begin()));
    if (!t.empty()) {
      EXPECT_EQ(t.back(), c.last);
    }
    EXPECT_EQ(s->size, 16 + 4 * c.count);
    EXPECT_EQ(s->writeableData.size(), s->size);
  }
}

// Each table claims 4 entries but holds 2 whole ones and part of a third: the count is kept
// and only whole entries are read. Every prefix of it and random garbage, each in a buffer
// of exactly that length, are read and written again within bounds.
TEST(SampleTablesRead, CountsAreKeptButOnlyEntriesThatFitAreRead) {
  using Read = std::function<std::pair<uint32_t, size_t>(const uint8_t*, uint32_t)>;  // count, entries held
  const std::tuple<const char*, Bytes, Read> cases[] = {
      {"stts", tableAtom("stts", 4, "00 00 00 05 00 00 03 E9 00 00 00 01 00 00 07 D2 00 00 00"),
       [](auto p, auto n) {
         auto a = Stts::initSTTSWithBytes(p, n);
         a->convertSelfToData();
         return std::pair(a->numberOfEntries, a->entries.size());
       }},
      {"stsc", tableAtom("stsc", 4, "00 00 00 01 00 00 00 1E 00 00 00 01 00 00 00 07 00 00 00 02 00 00 00 01 00 00"),
       [](auto p, auto n) {
         auto a = Stsc::initSTSCWithBytes(p, n);
         const auto read = std::pair(a->numberOfEntries, a->SampleToChunkTable.size());
         a->asignWritableData();
         return read;
       }},
      {"stsz", hex("00 00 00 1E 73 74 73 7A 00 00 00 00 00 00 00 00 00 00 00 04 00 00 00 10 00 00 20 00 00 00"),
       [](auto p, auto n) {
         auto a = Stsz::initSTSZWithBytes(p, n);
         a->convertSelfToData();
         return std::pair(a->numberOfEntries, a->SampleSizeTable.size());
       }},
      {"stco", tableAtom("stco", 4, "00 00 00 10 FF FF FF F0 00 00"),
       [](auto p, auto n) {
         auto a = Stco::initSTCOWithBytes(p, n, false);
         a->convertSelfToData();
         return std::pair(a->numberOfEntries, a->chunkOffsetTable.size());
       }},
      {"co64", tableAtom("co64", 4, "00 00 00 00 00 00 00 10 00 00 00 00 FF FF FF F0 00 00 00 01"),
       [](auto p, auto n) {
         auto a = Stco::initSTCOWithBytes(p, n, true);
         a->convertSelfToData();
         return std::pair(a->numberOfEntries, a->chunkOffsetTable.size());
       }},
      {"ctts", tableAtom("ctts", 4, "00 00 00 01 00 00 03 E9 00 00 00 02 FF FF FC 17 00 00"),
       [](auto p, auto n) {
         auto a = Ctts::initCTTSWithBytes(p, n);
         return std::pair(a->numberOfEntries, a->compositionOffsetTable.size());
       }},
      {"stss", tableAtom("stss", 4, "00 00 00 01 00 00 00 10 00 00"),
       [](auto p, auto n) {
         auto a = Stss::initSTSSWithBytes(p, n);
         const auto read = std::pair(a->numberOfEntries, a->syncSampleTable.size());
         a->createWriteableData();
         return read;
       }},
  };
  std::mt19937 rng(99);
  for (const auto& [name, atom, read] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(read(atom.data(), uint32_t(atom.size())), std::pair(4u, size_t(2)));
    test::readEveryPrefixAndGarbage(atom, [&](auto p, auto n) { read(p, n); }, rng, 64, 200, hugeSizesAndCounts);
  }
  // A fixed sample size: the count is the sample count and there is no table.
  const Bytes fixed = hex("00 00 00 14 73 74 73 7A 00 00 00 00 00 00 00 01 00 00 03 E8");
  auto sz = Stsz::initSTSZWithBytes(fixed.data(), uint32_t(fixed.size()));
  EXPECT_EQ(sz->numberOfEntries, 1000u);
  EXPECT_TRUE(sz->SampleSizeTable.empty());
}

TEST(SampleTablesRead, WellFormedTablesWriteBackTheirBytes) {
  const Bytes stts = tableAtom("stts", 2, "00 00 00 05 00 00 03 E9 00 00 00 01 00 00 07 D2");
  EXPECT_EQ(Stts::initSTTSWithBytes(stts.data(), uint32_t(stts.size()))->getOneSampleDuration(), 1001u);

  // Serialised as soon as it is read; a negative (version 1) offset is kept bit for bit.
  const Bytes ctts = tableAtom("ctts", 2, "00 00 00 01 00 00 03 E9 00 00 00 02 FF FF FC 17", 0x01000000);
  auto ct = Ctts::initCTTSWithBytes(ctts.data(), uint32_t(ctts.size()));
  EXPECT_EQ(ct->writeableData, ctts);
  EXPECT_EQ(ct->size, ctts.size());

  // "stco" and "co64" holding the same offsets read alike; each writes its own width.
  const Bytes stco = tableAtom("stco", 3, "00 00 00 00 00 00 00 10 FF FF FF FF");
  const Bytes co64 = tableAtom("co64", 3, "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 10 00 00 00 00 FF FF FF FF");
  auto s32 = Stco::initSTCOWithBytes(stco.data(), uint32_t(stco.size()), false);
  auto s64 = Stco::initSTCOWithBytes(co64.data(), uint32_t(co64.size()), true);
  EXPECT_EQ(s32->chunkOffsetTable, (std::vector<uint64_t>{0, 16, 0xFFFFFFFF}));
  EXPECT_EQ(s64->chunkOffsetTable, s32->chunkOffsetTable);
  EXPECT_EQ(s32->convertSelfToData(), stco);
  EXPECT_EQ(s64->convertSelfToData(), co64);

  const Bytes stss = tableAtom("stss", 2, "00 00 00 01 00 00 00 10");
  auto ss = Stss::initSTSSWithBytes(stss.data(), uint32_t(stss.size()));
  ss->createWriteableData();
  EXPECT_EQ(ss->writeableData, stss);

  const Bytes empty = tableAtom("stts", 3, "");
  EXPECT_EQ(Stts::initSTTSWithBytes(empty.data(), uint32_t(empty.size()))->getOneSampleDuration(), 0u);
}

// A reference table carried into the new movie whose count claims more than it holds must
// not be written with a size that disagrees with its bytes: the movie would not open.
TEST(SampleTablesRead, ReusedTablesWithBadCountsAreWrittenWellFormed) {
  const Bytes ctts = tableAtom("ctts", 9, "00 00 00 01 00 00 03 E9 00 00 00 02 00 00 00 00 00 00 00");
  auto ct = Ctts::initCTTSWithBytes(ctts.data(), uint32_t(ctts.size()));
  EXPECT_EQ(ct->numberOfEntries, 9u);
  EXPECT_EQ(ct->writeableData, tableAtom("ctts", 2, "00 00 00 01 00 00 03 E9 00 00 00 02 00 00 00 00"));
  EXPECT_EQ(ct->size, ct->writeableData.size());

  const Bytes stsc = tableAtom("stsc", 7, "00 00 00 01 00 00 04 00 00 00 00 01 00 00 00 05");
  auto sc = Stsc::initSTSCWithBytes(stsc.data(), uint32_t(stsc.size()));
  sc->asignWritableData();
  EXPECT_EQ(sc->writeableData, tableAtom("stsc", 1, "00 00 00 01 00 00 04 00 00 00 00 01"));
  EXPECT_EQ(sc->size, sc->writeableData.size());
  EXPECT_EQ(sc->numberOfEntries, 1u);
}

TEST(SampleTablesRead, DependencyFlagsStopAtTheSizeAndTheBytesGiven) {
  const Bytes full = hex("00 00 00 10 73 64 74 70 00 00 00 00 20 10 10 18 AA AA");
  const std::pair<uint32_t, Bytes> cases[] = {
      {18, hex("20 10 10 18")}, {14, hex("20 10")}, {12, {}}, {5, {}}};
  for (const auto& [length, expected] : cases) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[length]);
    std::memcpy(exact.get(), full.data(), length);
    EXPECT_EQ(Sdtp::initSDTPWithBytes(exact.get(), length)->Data, expected) << length;
  }
  std::mt19937 rng(98);
  test::readEveryPrefixAndGarbage(full, [](auto p, auto n) { Sdtp::initSDTPWithBytes(p, n); }, rng, 64, 200,
                                  hugeSizesAndCounts);
}

}  // namespace
}  // namespace vr
