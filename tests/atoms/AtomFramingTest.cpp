// Atom framing: the child scan shared by every container, the file-type atom's maker rule
// and the media-data header.
#include <gtest/gtest.h>

#include "atoms/AtomFraming.h"
#include "tests/support/AtomBytes.h"

namespace vr {
namespace {

using test::atomOf;
using test::cat;

struct Seen {
  std::string type;
  uint32_t offset, size;
  bool stepped;
};

// Runs the child scan with a table made of the given types; every child consumed is
// recorded, those stepped over by what the scan consumed beyond the built ones.
struct Recorder {
  const uint8_t* base = nullptr;
  std::vector<Seen> seen;
  uint64_t built = 0;
};

std::vector<Seen> scan(const Bytes& container, ChildScanBounds bounds, std::initializer_list<uint32_t> built,
                       std::initializer_list<uint32_t> stepped) {
  std::vector<ChildRow<Recorder>> rows;
  for (uint32_t t : built)
    rows.push_back({t, [](Recorder& r, const uint8_t* p, uint32_t size) {
                      r.seen.push_back({std::string(reinterpret_cast<const char*>(p + 4), 4),
                                        uint32_t(p - r.base), size, false});
                      r.built += size;
                    }});
  for (uint32_t t : stepped) rows.push_back({t});
  Recorder rec;
  rec.base = container.data();
  const ChildScanResult result = scanChildren(container.data(), uint32_t(container.size()), bounds,
                                              std::span<const ChildRow<Recorder>>(rows), rec);
  if (result.consumed > rec.built) rec.seen.push_back({"(stepped)", 0, uint32_t(result.consumed - rec.built), true});
  return rec.seen;
}

TEST(ChildScan, FindsChildrenAndSlidesThroughTheRest) {
  // An unknown atom whose payload holds a recognised atom: the embedded one is a child.
  const Bytes embedded = atomOf("tkhd", Bytes(4, 0));
  const Bytes unknown = atomOf("junk", cat({Bytes(3, 0), embedded}));
  const Bytes body = cat({atomOf("mdia", Bytes(8, 1)), unknown, atomOf("uuid", Bytes(2, 0))});
  const Bytes container = atomOf("trak", body);
  auto seen = scan(container, {8, false}, {fourCC("mdia"), fourCC("tkhd")}, {fourCC("uuid")});
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].type, "mdia");
  EXPECT_EQ(seen[0].offset, 8u);
  EXPECT_EQ(seen[1].type, "tkhd");
  EXPECT_EQ(seen[1].offset, 8u + 16 + 8 + 3);
  EXPECT_TRUE(seen[2].stepped);
  EXPECT_EQ(seen[2].size, 10u);

  // Sizes of 0 or past the end are not taken; the scan moves on by one byte.
  Bytes zero = atomOf("mdia", Bytes(8, 0));
  writeBE32(zero.data(), 0);
  Bytes tooLong = atomOf("mdia", Bytes(8, 0));
  writeBE32(tooLong.data(), 1000);
  EXPECT_TRUE(scan(atomOf("trak", zero), {8, false}, {fourCC("mdia")}, {}).empty());
  EXPECT_TRUE(scan(atomOf("trak", tooLong), {8, false}, {fourCC("mdia")}, {}).empty());

  // The end bound: a child header that ends exactly at the end is read only with <=.
  const Bytes tight = atomOf("stbl", atomOf("stsd", {}));
  EXPECT_TRUE(scan(tight, {8, false}, {fourCC("stsd")}, {}).empty());
  EXPECT_EQ(scan(tight, {8, true}, {fourCC("stsd")}, {}).size(), 1u);
  // Tiny or absent containers.
  EXPECT_TRUE(scan(Bytes(4, 0), {8, true}, {fourCC("stsd")}, {}).empty());
}

TEST(Ftyp, RecognisesTheCameraMakerByPosition) {
  struct Case {
    Bytes bytes;
    std::string maker;
    uint32_t size;
  } cases[] = {
      {atomOf("ftyp", {'q', 't', ' ', ' ', 0, 0, 0, 0, 'C', 'A', 'E', 'P'}), "Canon", 20},
      {atomOf("ftyp", {'X', 'A', 'V', 'C', 0, 0, 0, 0, 'C', 'A', 'E', 'P'}), "Sony", 20},
      {atomOf("ftyp", {'q', 't', ' ', ' ', 'M', 'S', 'N', 'V'}), "Sony", 16},
      {atomOf("ftyp", {0, 'p', 'a', 'n', 'a', 0}), "Panasonic", 14},  // unaligned
      {atomOf("ftyp", {'C', 'A', 'E', 'P'}), "Canon", 12},              // 12 bytes: only offset 8
      {atomOf("ftyp", {'i', 's', 'o', 'm'}), "", 12},
      {Bytes{0, 0, 0, 7, 'f', 't', 'y'}, "", 0},
  };
  for (const auto& c : cases) {
    auto f = Ftyp::initFtypWithBytes(c.bytes.data(), uint32_t(c.bytes.size()));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->manufacture, c.maker);
    EXPECT_EQ(f->size, c.size);
    EXPECT_EQ(f->writeData, c.bytes);
  }
}

TEST(Mdat, ReadsBothSizeFormsAndRefusesZero) {
  Bytes small = {0, 0, 0x10, 0, 'm', 'd', 'a', 't', 1, 2, 3, 4, 5, 6, 7, 8};
  auto m = Mdat::initMdatWithBytes(small.data(), 16, 40);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->size, 0x1000u);
  EXPECT_EQ(m->offsetInFile, 40u);
  EXPECT_EQ(m->type, fourCC("mdat"));

  Bytes large = {0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 1, 0, 0, 0, 0x10};
  m = Mdat::initMdatWithBytes(large.data(), 16, 0);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->size, 0x100000010ull);

  Bytes zero = {0, 0, 0, 0, 'm', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_FALSE(Mdat::initMdatWithBytes(zero.data(), 16, 0));
  Bytes zero64 = {0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_FALSE(Mdat::initMdatWithBytes(zero64.data(), 16, 0));
  EXPECT_FALSE(Mdat::initMdatWithBytes(small.data(), 15, 0));
  EXPECT_FALSE(Mdat::initMdatWithBytes(nullptr, 16, 0));
}

}  // namespace
}  // namespace vr
