#pragma once
// The numbers the atom library and the engine switch on: codec numbers at track and at movie
// level, media kinds and the types of the track requests.
#include <cstdint>

namespace vr {

// Track-level codec numbers, set by the first sample entry's type.
inline constexpr uint64_t kTrackCodecAVC1 = 1001;
inline constexpr uint64_t kTrackCodecMP4A = 1002;
inline constexpr uint64_t kTrackCodecSOWT = 1003;
inline constexpr uint64_t kTrackCodecTWOS = 1004;
inline constexpr uint64_t kTrackCodecHVC1 = 1005;

// Movie-level codec numbers (what the engine switches on). Video 1002 and audio 1002 share
// a number on purpose; they are never compared with each other.
inline constexpr uint64_t kVideoCodecH264 = 1001;
inline constexpr uint64_t kVideoCodecH265 = 1002;
inline constexpr uint64_t kAudioCodecAAC = 1002;
inline constexpr uint64_t kAudioCodecSowt = 1003;
inline constexpr uint64_t kAudioCodecTwos = 1004;

// Media kinds of tracks and media: 1 video, 2 sound, all bits set for anything else.
inline constexpr uint64_t kMediaKindVideo = 1;
inline constexpr uint64_t kMediaKindSound = 2;
inline constexpr uint64_t kMediaKindOther = ~uint64_t(0);

// Request types handed down the builders: 2 video, 1 sound.
inline constexpr uint64_t kRequestTypeVideo = 2;
inline constexpr uint64_t kRequestTypeSound = 1;

}  // namespace vr
