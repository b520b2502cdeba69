// What the other suites take for granted about the generated movies: every camera setting is
// there (a missing set would silently drop its cases), a lost index is really gone, and the
// reference shows other pictures than the recording (a repair copying its samples cannot pass).
#include <gtest/gtest.h>

#include "support/TestMedia.h"

namespace vr::test {
namespace {

TEST(TestMedia, EverySetIsThereAndDamagedAsNamed) {
  ASSERT_TRUE(hasFfmpeg());
  ASSERT_EQ(manifest().size(), 32u) << "sets listed in " << mediaDir();
  for (const MediaSet& s : manifest()) EXPECT_FALSE(findTopLevelAtom(s.lost(), "moov")) << s.name;
  const MediaSet* s = findSet("h264-aac-mov");
  ASSERT_TRUE(s);
  EXPECT_NE(videoFrameMd5s(s->ref()).at(0), videoFrameMd5s(s->orig()).at(0));
}

}  // namespace
}  // namespace vr::test
