#pragma once
// Hand-made movie trees for the atom tests: a movie atom of chosen tracks, each with the
// full chain of containers down to its sample table. Defined in tests/atoms/ContainersTest.cpp.
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "atoms/Containers.h"
#include "atoms/MovieBuilder.h"
#include "common/ByteOrder.h"

namespace vr::atomtest {

struct TrackShape {
  std::string handler;      // media handler subtype: "vide", "soun", "tmcd", ...
  std::string mediaHeader;  // "vmhd", "smhd", "gmhd" or "" for none
  std::string codec;        // sample entry type, "" for an empty sample description
  uint32_t timescale = 0, mediaDuration = 0;
  uint32_t sampleCount = 0, sampleDuration = 0, fixedSampleSize = 0, samplesPerChunk = 1;
  uint32_t trackID = 1;
  Bytes extraStbl = {};  // appended to the sample table after "stts"
  Bytes extraMdia = {};  // appended to the media after "minf"
};

Bytes be32(uint32_t v);
Bytes cat(std::initializer_list<Bytes> parts);
Bytes zeros(size_t n);
Bytes text(const char* s);
Bytes box(const char* type, const Bytes& payload);
Bytes fullBox(const char* type, uint32_t versionFlags, const Bytes& payload);
Bytes mvhdBox(uint32_t timescale, uint32_t duration, uint32_t nextTrackID);
Bytes moovBox(uint32_t movieTimescale, const std::vector<TrackShape>& tracks, uint32_t nextTrackID);
std::shared_ptr<Moov> parseMoov(const Bytes& bytes);
TrackShape videoTrack();                          // H.264, 25 samples of 512 at 12800
TrackShape soundTrack(const std::string& codec);  // 48 kHz "mp4a", or PCM of the given codec
TrackShape timecodeTrack();                       // fixed 2-byte samples, 512 to a chunk
Bytes moovOfFile(const std::string& path);        // the movie atom of a file; empty if none

// A request describing a parsed track's own tables, as far as they were read: what the
// writer would ask for had it found exactly the track's media data.
inline AtomCreationRequest requestFromTrack(const std::shared_ptr<Trak>& t, uint64_t type) {
  AtomCreationRequest r;
  r.requestType = type;
  if (!t) return r;
  r.timeScale = t->trakMediaTimeScale;
  r.FPS = t->trakFPS;
  const Stbl& s = *t->mdia->minf->stbl;
  if (s.stco) r.stcoEntries = s.stco->chunkOffsetTable;
  if (s.stsz) r.stszEntries = s.stsz->SampleSizeTable;
  if (s.stsc) r.stscEntries = s.stsc->SampleToChunkTable;
  return r;
}

}  // namespace vr::atomtest
