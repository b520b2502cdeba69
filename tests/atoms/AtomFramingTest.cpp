// Atom framing: the child scan shared by every container, the file-type atom's maker rule
// and the media-data header.
#include <gtest/gtest.h>

#include "atoms/AtomFraming.h"
#include "tests/support/AtomBytes.h"

namespace vr {
namespace {

using namespace test;
using namespace std::string_view_literals;

// Runs the child scan with a table that builds the types in `built` and steps over those in
// `stepped`: "type@offset" for each child built, then "+n" for the bytes stepped over.
std::string scan(const Bytes& container, ChildScanBounds bounds, std::initializer_list<uint32_t> built,
                 std::initializer_list<uint32_t> stepped = {}) {
  struct Recorder {
    const uint8_t* base;
    std::string seen;
    uint64_t built = 0;
  } rec{container.data(), ""};
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
