// Damaged movie atoms: truncated and bit-flipped copies of real movie atoms must parse or
// be refused without crashing or reading outside their bytes (run under the
// AddressSanitizer build), and whatever parses must still build a well-formed repaired
// index whose size matches its bytes. A fixed seed keeps every run the same.
#include <gtest/gtest.h>

#include <random>

#include "tests/support/AtomBuilders.h"

namespace vr {
namespace {

using namespace test;

// Parses a candidate held in a heap block of exactly its length (so over-reads are caught),
// asks every query, and for a movie the engine would accept (a known video codec) builds
// the repaired index. Returns whether the movie atom was accepted.
bool exercise(const Bytes& candidate) {
  const Bytes exact(candidate);
  auto moov = Moov::initMOOVWithData(exact.empty() ? nullptr : exact.data(), uint32_t(exact.size()));
  if (!moov) return false;
  for (uint64_t kind : {kMediaKindVideo, kMediaKindSound, kMediaKindOther}) {
    moov->getTrackDecoderWith(kind);
    moov->getOneSampleDurationOfTackType(kind);
  }
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
    sources.push_back(moovOfFile(s->ref()));
    ASSERT_TRUE(exercise(sources.back())) << "an intact movie atom must parse";
  }

  std::mt19937 rng(20240611);
  int accepted = 0, total = 0;
  for (const Bytes& source : sources) {
    std::uniform_int_distribution<size_t> anyPos(0, source.size() - 1);
    // Cut short at random lengths (the size field still claims the whole atom).
    for (int i = 0; i < 150; ++i, ++total) {
      accepted += exercise(Bytes(source.begin(), source.begin() + std::ptrdiff_t(anyPos(rng))));
    }
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
