// Damaged references. One is refused, with the reason and its path, when what the repair
// takes from it is broken: each refusal path once, on damaged copies of real movie atoms.
// Truncated and bit-flipped copies of real movie atoms must parse or be refused without
// crashing or reading outside their bytes (run under the AddressSanitizer build); whatever
// parses must still build a well-formed repaired index. A fixed seed keeps runs the same.
#include <gtest/gtest.h>

#include <functional>
#include <random>

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
  const Bytes h264 = topLevelAtomBytes(std::string(VR_SOURCE_DIR) + "/samples/reference.mov", "moov");
  ASSERT_FALSE(h264.empty());
  EXPECT_EQ(firstReason(h264), "");
  const bool haveH265 = ensureTestMedia();
  const Bytes h265 = haveH265 ? topLevelAtomBytes(mediaPath("h265-aac-mov.ref.mov"), "moov") : Bytes();
  auto put32 = [](const char (&type)[5], size_t at, uint32_t v, int nth = 0) {
    return [&type, at, v, nth](Bytes& m) { writeBE32(&m[atomAt(m, type, nth) + at], v); };
  };
  auto rename = [](const char (&type)[5], const char (&to)[5]) {
    return [&type, &to](Bytes& m) { writeBE32(&m[atomAt(m, type) + 4], fourCC(to)); };
  };
  // reason: the start of the reason expected
  const struct { const char* reason; bool hevc; std::function<void(Bytes&)> damage; } cases[] = {
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
       [](Bytes& m) { m[atomAt(m, "avcC") + 16 + readBE16(&m[atomAt(m, "avcC") + 14])] = 255; }},
      {"track 1: avcC: SPS 1 of 1 does not parse", false, [](Bytes& m) { m[atomAt(m, "avcC") + 15] = 2; }},
      {"track 2: esds: the decoder-specific info is missing or runs past", false,
       [](Bytes& m) {  // the size byte of the AudioSpecificConfig inside the decoder configuration
         const size_t config = descriptorBody(m, descriptorBody(m, atomAt(m, "esds") + 12) + 3);
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

// Parses a candidate held in a heap block of exactly its length (so over-reads are caught),
// asks every query, and for a movie the engine would accept (a known video codec) builds
// the repaired index. Returns whether the movie atom was accepted.
bool exercise(const Bytes& candidate) {
  const Bytes exact(candidate);
  auto moov = Moov::initMOOVWithData(exact.empty() ? nullptr : exact.data(), uint32_t(exact.size()));
  if (!moov) return false;
  for (uint64_t kind : {kMediaKindVideo, kMediaKindSound, kMediaKindOther})
    (void)moov->getTrackDecoderWith(kind), (void)moov->getOneSampleDurationOfTackType(kind);
  (void)moov->videoTrackFPS(), (void)moov->audioTrackFPS(), (void)moov->getAVCOneNALUSizeLength();
  (void)moov->duration(), (void)moov->getSampleSkip(), (void)moov->getAudioCodecFormat();
  (void)moov->SPS(), (void)moov->PPS(), (void)moov->VPS(), (void)moov->SPS265(), (void)moov->PPS265();
  (void)moov->decodeSpecificInfo(), (void)moov->getResolution();
  if (moov->getVideoCodecFormat() == 0) return true;
  const AtomCreationRequest video = requestFromTrack(moov->getTrakWithType(kMediaKindVideo), kRequestTypeVideo);
  const AtomCreationRequest audio = requestFromTrack(moov->getTrakWithType(kMediaKindSound), kRequestTypeSound);
  auto built = moov->createMoovWithVideoRequest(&video, &audio);
  if (built) checkedLayout(*built);
  return true;
}

TEST(MoovFuzz, TruncatedAndBitFlippedMovieAtoms) {
  if (!hasFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  std::vector<Bytes> sources;
  for (const char* name : {"h264-aac-mov", "h265-aac-mp4", "h264-aac-mov-tmcd", "h264-twos-mov",
                           "h264-aac-mov-bframes", "h265-sowt-mov"}) {
    const MediaSet* s = findSet(name);
    ASSERT_TRUE(s) << name;
    sources.push_back(topLevelAtomBytes(s->ref(), "moov"));
    ASSERT_TRUE(exercise(sources.back())) << "an intact movie atom must parse";
  }
  std::mt19937 rng(20240611);
  int accepted = 0, total = 0;
  for (const Bytes& source : sources) {
    std::uniform_int_distribution<size_t> anyPos(0, source.size() - 1);
    // Cut short at random lengths (the size field still claims the whole atom).
    for (int i = 0; i < 150; ++i, ++total)
      accepted += exercise(Bytes(source.begin(), source.begin() + std::ptrdiff_t(anyPos(rng))));
    // A few flipped bits, and every third time a 32-bit word overwritten with a size-like value.
    for (int i = 0; i < 450; ++i, ++total) {
      Bytes m = source;
      for (int f = 1 + int(rng() % 6); f > 0; --f) m[anyPos(rng)] ^= uint8_t(1u << (rng() % 8));
      if (i % 3 == 0) {
        static const uint32_t kWords[] = {0, 1, 7, 8, 9, 12, 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFF8};
        const size_t at = anyPos(rng) & ~size_t(3);
        if (at + 4 <= m.size()) writeBE32(m.data() + at, kWords[rng() % std::size(kWords)]);
      }
      accepted += exercise(m);
    }
  }
  // Much of the damage lands in tables and leaves the movie readable.
  EXPECT_GT(accepted, total / 10);
}

}  // namespace
}  // namespace vr
