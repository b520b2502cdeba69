// Atom framing: the child scan shared by every container, the file-type atom's maker rule
// and the media-data header.
#include <gtest/gtest.h>

#include "atoms/AtomFraming.h"
#include "tests/support/AtomBytes.h"

namespace vr {
namespace {

using namespace test;
using namespace std::string_view_literals;

struct Seen {
  std::string type;
  uint32_t offset, size;
};

// Runs the child scan with a table that builds the types in `built` (each recorded) and
// steps over those in `stepped` (recorded together as "(stepped)" with their total size).
struct Recorder {
  const uint8_t* base = nullptr;
  std::vector<Seen> seen;
  uint64_t built = 0;
};
std::vector<Seen> scan(const Bytes& container, ChildScanBounds bounds, std::initializer_list<uint32_t> built,
                       std::initializer_list<uint32_t> stepped = {}) {
  std::vector<ChildRow<Recorder>> rows;
  for (uint32_t t : built)
    rows.push_back({t, [](Recorder& r, const uint8_t* p, uint32_t size) {
                      r.seen.push_back({std::string(reinterpret_cast<const char*>(p + 4), 4), uint32_t(p - r.base), size});
                      r.built += size;
                    }});
  for (uint32_t t : stepped) rows.push_back({t});
  Recorder rec;
  rec.base = container.data();
  const ChildScanResult result = scanChildren(container.data(), uint32_t(container.size()), bounds,
                                              std::span<const ChildRow<Recorder>>(rows), rec);
  if (result.consumed > rec.built) rec.seen.push_back({"(stepped)", 0, uint32_t(result.consumed - rec.built)});
  return rec.seen;
}

TEST(ChildScan, FindsChildrenAndSlidesThroughTheRest) {
  // An unknown atom whose payload holds a recognised atom: the embedded one is a child.
  const Bytes unknown = box("junk", cat({zeros(3), box("tkhd", zeros(4))}));
  const Bytes container = box("trak", cat({box("mdia", Bytes(8, 1)), unknown, box("uuid", zeros(2))}));
  auto seen = scan(container, {8, false}, {fourCC("mdia"), fourCC("tkhd")}, {fourCC("uuid")});
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].type + std::to_string(seen[0].offset), "mdia8");
  EXPECT_EQ(seen[1].type + std::to_string(seen[1].offset), "tkhd35");  // 8 + 16 + 8 + 3
  EXPECT_EQ(seen[2].type + std::to_string(seen[2].size), "(stepped)10");

  // Sizes of 0 or past the end are not taken; the scan moves on by one byte.
  for (uint32_t size : {0u, 1000u}) {
    Bytes child = box("mdia", zeros(8));
    writeBE32(child.data(), size);
    EXPECT_TRUE(scan(box("trak", child), {8, false}, {fourCC("mdia")}).empty()) << size;
  }
  // The end bound: a child header that ends exactly at the end is read only with <=.
  const Bytes tight = box("stbl", box("stsd", {}));
  EXPECT_TRUE(scan(tight, {8, false}, {fourCC("stsd")}).empty());
  EXPECT_EQ(scan(tight, {8, true}, {fourCC("stsd")}).size(), 1u);
  EXPECT_TRUE(scan(zeros(4), {8, true}, {fourCC("stsd")}).empty());
}

TEST(Ftyp, RecognisesTheCameraMakerByPosition) {
  struct Case {
    Bytes bytes;
    std::string maker;
    uint32_t size;
  } cases[] = {
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
    EXPECT_EQ(f->manufacture, c.maker);
    EXPECT_EQ(f->size, c.size);
    EXPECT_EQ(f->writeData, c.bytes);
  }
}

TEST(Mdat, ReadsBothSizeFormsAndRefusesZero) {
  const struct {
    const char* header;
    uint32_t length;
    uint64_t size;  // 0: refused
  } cases[] = {
      {"00001000 6D646174 0102030405060708", 16, 0x1000}, {"00000001 6D646174 0000000100000010", 16, 0x100000010ull},
      {"00000000 6D646174 0000000000000000", 16, 0},      {"00000001 6D646174 0000000000000000", 16, 0},
      {"00001000 6D646174 0102030405060708", 15, 0},
  };
  for (const auto& c : cases) {
    const Bytes b = hex(c.header);
    auto m = Mdat::initMdatWithBytes(b.data(), c.length, 40);
    EXPECT_EQ(m ? m->size : 0, c.size) << c.header;
    if (m) { EXPECT_EQ(m->offsetInFile + m->type, 40u + fourCC("mdat")); }
  }
  EXPECT_FALSE(Mdat::initMdatWithBytes(nullptr, 16, 0));
}

}  // namespace
}  // namespace vr
