// A reference is refused, with the reason and its path, when what the repair takes from it
// is broken: each refusal path once, on damaged copies of real movie atoms.
#include <functional>

#include <gtest/gtest.h>

#include "atoms/ReferenceCheck.h"
#include "tests/support/AtomBuilders.h"

namespace vr {
namespace {

using namespace test;

// Offset of the n-th atom of the given type inside a movie atom (found by its code).
size_t atomAt(const Bytes& moov, const char (&type)[5], int nth = 0) {
  for (size_t i = 4; i + 4 <= moov.size(); ++i)
    if (readBE32(&moov[i]) == fourCC(type) && nth-- == 0) return i - 4;
  return std::string::npos;
}

// Offset just after the expandable size field of the descriptor whose tag is at `tag`.
size_t descriptorBody(const Bytes& b, size_t tag) {
  size_t p = tag + 1;
  while (b[p] & 0x80) ++p;
  return p + 1;
}

// Why the movie atom cannot serve: the refusal of its parse, or the first problem found.
std::string firstReason(const Bytes& moov) {
  std::string why;
  auto m = Moov::initMOOVWithData(moov.data(), uint32_t(moov.size()), &why);
  if (!m) return why;
  const auto problems = referenceProblems(*m);
  return problems.empty() ? std::string() : problems.front();
}

TEST(ReferenceCheck, EveryBrokenPartIsNamedWithItsPath) {
  const Bytes h264 = moovOfFile(std::string(VR_SOURCE_DIR) + "/samples/reference.mov");
  ASSERT_FALSE(h264.empty());
  EXPECT_EQ(firstReason(h264), "");
  const bool haveH265 = ensureTestMedia();
  const Bytes h265 = haveH265 ? moovOfFile(mediaPath("h265-aac-mov.ref.mov")) : Bytes();

  struct Case {
    const char* reason;   // the start of the reason expected
    bool hevc;
    std::function<void(Bytes&)> damage;
  };
  auto put32 = [](const char (&type)[5], size_t at, uint32_t v, int nth = 0) {
    return [&type, at, v, nth](Bytes& m) { writeBE32(&m[atomAt(m, type, nth) + at], v); };
  };
  auto rename = [](const char (&type)[5], const char (&to)[5]) {
    return [&type, &to](Bytes& m) { writeBE32(&m[atomAt(m, type) + 4], fourCC(to)); };
  };
  const Case cases[] = {
      {"moov has no mvhd", false, rename("mvhd", "free")},
      {"mvhd: time scale 4294967295 is not between 1 and", false, put32("mvhd", 20, 0xFFFFFFFF)},
      {"track 1: mdhd: time scale 0 is not", false, put32("mdhd", 20, 0)},
      {"track 2: mdhd: time scale 0 is not", false, put32("mdhd", 20, 0, 1)},
      {"track 1: stsd declares 255 entries but only 1 fit", false, put32("stsd", 12, 255)},
      {"track 1: stbl has no stsz", false, rename("stsz", "free")},
      {"track 1: stsz declares 268435455 sizes but holds", false, put32("stsz", 16, 0x0FFFFFFF)},
      {"track 1: stts times", false, put32("stts", 16, 7)},
      {"track 1: stsc puts", false, put32("stsc", 20, 7)},
      {"track 1: stbl: the bytes at offset", false, rename("stss", "xxxx")},
      {"track 1: minf has no stbl", false, rename("stbl", "free")},
      {"track 1: mdia has no minf", false, rename("minf", "free")},
      {"track 1: trak has no mdia", false, rename("mdia", "free")},
      {"track 1: avcC: version 0 is not 1", false, [](Bytes& m) { m[atomAt(m, "avcC") + 8] = 0; }},
      {"track 1: avcC: length size 3 is not 1, 2 or 4", false, [](Bytes& m) { m[atomAt(m, "avcC") + 12] = 0xFE; }},
      {"track 1: avcC: PPS 2 of 255 runs past", false,
       [](Bytes& m) {
         const size_t a = atomAt(m, "avcC");
         m[a + 16 + readBE16(&m[a + 14])] = 255;
       }},
      {"track 1: avcC: SPS 1 of 1 does not parse", false,
       [](Bytes& m) { m[atomAt(m, "avcC") + 15] = 2; }},
      {"track 2: esds: the decoder-specific info is missing or runs past", false,
       [](Bytes& m) {
         const size_t es = atomAt(m, "esds") + 12;
         const size_t config = descriptorBody(m, descriptorBody(m, es) + 3);
         m[descriptorBody(m, config + 13) - 1] = 0x7F;
       }},
      {"track 1: hvcC: length size 3 is not 1, 2 or 4", true, [](Bytes& m) { m[atomAt(m, "hvcC") + 29] ^= 1; }},
      {"track 1: hvcC: array", true, [](Bytes& m) { m[atomAt(m, "hvcC") + 30] = 9; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    if (c.hevc && h265.empty()) continue;
    Bytes m = c.hevc ? h265 : h264;
    c.damage(m);
    EXPECT_EQ(firstReason(m).rfind(c.reason, 0), 0u) << firstReason(m);
  }
}

}  // namespace
}  // namespace vr
