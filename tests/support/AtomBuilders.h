#pragma once
// Hand-made movie trees for the atom tests: a movie atom of chosen tracks, each with the
// full chain of containers down to its sample table, and requests that describe a parsed
// track's own samples.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "atoms/Containers.h"
#include "atoms/MovieBuilder.h"
#include "tests/support/AtomBytes.h"
#include "tests/support/TestMedia.h"

namespace vr::test {

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

inline const Bytes kMatrix = cat({be32(0x10000), zeros(12), be32(0x10000), zeros(12), be32(0x40000000)});

inline Bytes mvhdBox(uint32_t timescale, uint32_t duration, uint32_t nextTrackID) {
  return fullBox("mvhd", 0, cat({zeros(8), be32(timescale), be32(duration), be32(0x10000), be16(0x100), zeros(10),
                                 kMatrix, zeros(24), be32(nextTrackID)}));
}

inline Bytes trakBox(const TrackShape& t) {
  // Sample description: an 86-byte video entry without decoder configuration, a 36-byte
  // sound entry, or no entry.
  Bytes entry;
  if (t.codec == "avc1" || t.codec == "hvc1")
    entry = box(t.codec, cat({zeros(6), be16(1), zeros(16), be16(320), be16(240), zeros(46), be16(24), be16(0xFFFF)}));
  else if (!t.codec.empty())
    entry = box(t.codec, cat({zeros(6), be16(1), zeros(8), be16(2), be16(16), zeros(4), be32(48000u << 16)}));
  Bytes stsz = cat({be32(t.fixedSampleSize), be32(t.sampleCount)});
  for (uint32_t i = 0; t.fixedSampleSize == 0 && i < t.sampleCount; ++i) appendBE32(stsz, 100 + i);
  const uint32_t chunks = (t.sampleCount + t.samplesPerChunk - 1) / t.samplesPerChunk;
  Bytes stco = be32(chunks);
  for (uint32_t i = 0; i < chunks; ++i) appendBE32(stco, 1000 + 4096 * i);
  const Bytes stbl = cat({fullBox("stsd", 0, cat({be32(entry.empty() ? 0 : 1), entry})),
                          fullBox("stts", 0, cat({be32(1), be32(t.sampleCount), be32(t.sampleDuration)})), t.extraStbl,
                          fullBox("stsc", 0, cat({be32(1), be32(1), be32(t.samplesPerChunk), be32(1)})),
                          fullBox("stsz", 0, stsz), fullBox("stco", 0, stco)});
  Bytes mediaHeader;
  if (t.mediaHeader == "vmhd") mediaHeader = fullBox("vmhd", 1, zeros(8));
  if (t.mediaHeader == "smhd") mediaHeader = fullBox("smhd", 0, zeros(4));
  if (t.mediaHeader == "gmhd") mediaHeader = box("gmhd", fullBox("gmin", 0, zeros(12)));
  const Bytes minf = cat({mediaHeader, fullBox("hdlr", 0, cat({text("dhlr"), text("alis"), zeros(14)})),
                          box("dinf", fullBox("dref", 0, cat({be32(1), fullBox("alis", 1, {})}))), box("stbl", stbl)});
  const Bytes mdia =
      cat({fullBox("mdhd", 0, cat({zeros(8), be32(t.timescale), be32(t.mediaDuration), be16(0x55C4), be16(0)})),
           fullBox("hdlr", 0, cat({text("mhlr"), text(t.handler), zeros(14)})), box("minf", minf), t.extraMdia});
  const Bytes tkhd = fullBox("tkhd", 0xF, cat({zeros(8), be32(t.trackID), zeros(4), be32(1000), zeros(12), be16(0x100),
                                               zeros(2), kMatrix, be32(320u << 16), be32(240u << 16)}));
  return box("trak", cat({tkhd, box("mdia", mdia)}));
}

inline Bytes moovBox(uint32_t movieTimescale, const std::vector<TrackShape>& tracks, uint32_t nextTrackID) {
  Bytes payload = mvhdBox(movieTimescale, 1000, nextTrackID);
  for (const TrackShape& t : tracks) payload = cat({payload, trakBox(t)});
  return box("moov", payload);
}

inline std::shared_ptr<Moov> parseMoov(const Bytes& bytes) {
  return Moov::initMOOVWithData(bytes.data(), uint32_t(bytes.size()));
}

// H.264, 25 samples of 512 at 12800.
inline TrackShape videoTrack() {
  return {.handler = "vide", .mediaHeader = "vmhd", .codec = "avc1", .timescale = 12800, .mediaDuration = 12800,
          .sampleCount = 25, .sampleDuration = 512};
}
// 48 kHz sound: 48 AAC frames, or one second of PCM in chunks of 2048 one-byte samples.
inline TrackShape soundTrack(const std::string& codec) {
  if (codec == "mp4a")
    return {.handler = "soun", .mediaHeader = "smhd", .codec = codec, .timescale = 48000, .mediaDuration = 48 * 1024,
            .sampleCount = 48, .sampleDuration = 1024, .trackID = 2};
  return {.handler = "soun", .mediaHeader = "smhd", .codec = codec, .timescale = 48000, .mediaDuration = 48000,
          .sampleCount = 48000, .sampleDuration = 1, .fixedSampleSize = 1, .samplesPerChunk = 2048, .trackID = 2};
}
// A timecode track: fixed 2-byte samples, 512 to a chunk.
inline TrackShape timecodeTrack() {
  return {.handler = "tmcd", .mediaHeader = "gmhd", .codec = "", .timescale = 25, .mediaDuration = 25,
          .sampleCount = 512, .sampleDuration = 25, .fixedSampleSize = 2, .samplesPerChunk = 512, .trackID = 3};
}

inline const Stbl& stblOf(const Trak& t) { return *t.mdia->minf->stbl; }

// A request describing a parsed track's own tables, as far as they were read: what the
// writer would ask for had it found exactly the track's media data.
inline AtomCreationRequest requestFromTrack(const std::shared_ptr<Trak>& t, uint64_t type) {
  AtomCreationRequest r;
  r.requestType = type;
  if (!t) return r;
  r.timeScale = t->trakMediaTimeScale;
  r.FPS = t->trakFPS;
  const Stbl& s = stblOf(*t);
  if (s.stco) r.stcoEntries = s.stco->chunkOffsetTable;
  if (s.stsz) r.stszEntries = s.stsz->SampleSizeTable;
  if (s.stsc) r.stscEntries = s.stsc->SampleToChunkTable;
  return r;
}

// Lists the atoms of a serialised tree, containers with their children in brackets, and
// fails unless every container's children fill it exactly.
inline std::string layout(const uint8_t* p, size_t n) {
  std::string out;
  size_t pos = 0;
  while (pos < n) {
    const uint32_t size = n - pos >= 8 ? readBE32(p + pos) : 0;
    if (size < 8 || size > n - pos) {
      ADD_FAILURE() << "atom at " << pos << " does not fit its container";
      return out + "!";
    }
    const std::string type(reinterpret_cast<const char*>(p + pos + 4), 4);
    out += (out.empty() ? "" : " ") + type;
    if (type == "moov" || type == "trak" || type == "mdia" || type == "minf" || type == "stbl" || type == "edts" ||
        type == "dinf")
      out += "(" + layout(p + pos + 8, size - 8) + ")";
    pos += size;
  }
  return out;
}

// The serialised movie: its size field and `size` both equal its length, and it is well formed.
inline std::string checkedLayout(const Moov& m) {
  const Bytes bytes = m.convertSelfToData();
  EXPECT_EQ(bytes.size(), m.size);
  EXPECT_EQ(readBE32(bytes.data()), bytes.size());
  return layout(bytes.data(), bytes.size());
}

}  // namespace vr::test
