#pragma once
// Whether a movie index can serve as a repair reference: what the repair takes from it (time
// scales, frame rate, the sample description copied into the repaired movie, the sample
// tables that give the sample count) must be sound, or the repaired movie would not play.
#include <string>
#include <vector>

namespace vr {

class Moov;

// Time scales beyond this are no camera's and make durations overflow.
inline constexpr uint32_t kMaxSaneTimeScale = 10'000'000;

// Each problem with its path ("track 1: stbl has no stsz", "track 1: avcC: length size 3 is
// not 1, 2 or 4"); empty when the movie can serve. A video track that is not H.264 or H.265,
// and a missing one, are not listed: the repair asks for another reference for those.
std::vector<std::string> referenceProblems(const Moov& moov);

}  // namespace vr
