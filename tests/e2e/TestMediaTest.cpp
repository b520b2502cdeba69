// What the other suites take for granted about the generated movies: every camera setting
// is there with all its files (a missing set would silently drop its cases), a lost index is
// really gone, and the reference shows other pictures than the recording (so that a repair
// copying the reference's samples cannot pass).
#include <gtest/gtest.h>

#include "support/TestMedia.h"

namespace vr::test {
namespace {

TEST(TestMedia, EverySetIsCompleteAndDamagedAsNamed) {
  ASSERT_TRUE(hasFfmpeg());
  ASSERT_EQ(manifest().size(), 32u) << "sets listed in " << mediaDir();
  EXPECT_EQ(setsWhere([](const MediaSet& s) { return s.codec == "h265"; }).size(), 11u);
  for (const char* special : {"faststart.mov", "mdat64.mov", "moovtext.mov", "moovtext-badmdat.mov",
                              "big-damaged-mdat.mov"})
    EXPECT_GT(fileSizeOf(specialFile(special)), 0u) << special;
  for (const MediaSet& s : manifest()) {
    SCOPED_TRACE(s.name);
    for (const char* role : {"ref", "orig", "lost", "cut", "garbage"}) EXPECT_GT(fileSizeOf(s.file(role)), 0u) << role;
    EXPECT_TRUE(findTopLevelAtom(s.orig(), "moov"));
    EXPECT_FALSE(findTopLevelAtom(s.lost(), "moov"));
  }
  const MediaSet* s = findSet("h264-aac-mov");
  ASSERT_TRUE(s);
  EXPECT_NE(videoFrameMd5s(s->ref()).at(0), videoFrameMd5s(s->orig()).at(0));
}

}  // namespace
}  // namespace vr::test
