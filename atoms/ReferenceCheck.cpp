#include "atoms/ReferenceCheck.h"

#include <algorithm>

#include "atoms/Containers.h"

namespace vr {

namespace {

std::string timeScaleProblem(const char* atom, uint32_t scale) {
  if (scale != 0 && scale <= kMaxSaneTimeScale) return {};
  return std::string(atom) + ": time scale " + std::to_string(scale) + " is not between 1 and " +
         std::to_string(kMaxSaneTimeScale);
}

// The sample description: every declared entry lies within the atom, and the first one's
// decoder configuration is complete.
std::string descriptionProblem(const Stsd& stsd, bool video) {
  uint64_t p = 16;
  for (uint32_t i = 0; i < stsd.numberOfEntries; ++i) {
    const uint32_t entrySize = readBE32At(stsd.stsdData.data(), stsd.stsdData.size(), p);
    if (entrySize < 8 || p + entrySize > stsd.stsdData.size())
      return "stsd declares " + std::to_string(stsd.numberOfEntries) + " entries but only " + std::to_string(i) +
             " fit inside it";
    p += entrySize;
  }
  const auto first = stsd.getDecoder();
  if (video) {
    const auto* v = dynamic_cast<const VideoSampleDescriptionEntery*>(first.get());
    if (v && v->avcDecoder && !v->avcDecoder->problem.empty()) return v->avcDecoder->problem;
    if (v && v->hvcDecoder && !v->hvcDecoder->problem.empty()) return v->hvcDecoder->problem;
    return {};
  }
  const auto* a = dynamic_cast<const AudioSampleDescriptionEntery*>(first.get());
  if (a == nullptr) return {};
  if (stsd.codecFormat != kTrackCodecMP4A)
    return a->numberOfChannels == 0 ? "the PCM sample entry has no channels" : std::string();
  const auto& esds = a->decoder;
  if (!esds) return "mp4a has no esds";
  if (!esds->objectDesc) return "esds: the ES descriptor is missing or runs past the end of the atom";
  if (!esds->objectDesc->decoderConfigDescriptor)
    return "esds: the decoder configuration is missing or runs past the ES descriptor";
  if (esds->decoderSpecificInfo().empty())
    return "esds: the decoder-specific info is missing or runs past the decoder configuration";
  return {};
}

// Samples of `chunks` chunks as the sample-to-chunk runs give them.
uint64_t samplesInChunks(const Stsc& stsc, uint64_t chunks) {
  uint64_t total = 0;
  const auto& runs = stsc.SampleToChunkTable;
  for (size_t i = 0; i < runs.size(); ++i) {
    if (!runs[i] || (i + 1 < runs.size() && !runs[i + 1])) return 0;
    const uint64_t first = runs[i]->firstChunk;
    const uint64_t next = i + 1 < runs.size() ? runs[i + 1]->firstChunk : chunks + 1;
    if (next > first) total += (std::min(next, chunks + 1) - std::min(first, chunks + 1)) * runs[i]->samplesPerChunk;
  }
  return total;
}

// The sample tables agree on the number of samples.
std::string tableProblem(const Stbl& st, bool video) {
  if (!st.stsz) return "stbl has no stsz";
  if (!st.stts) return "stbl has no stts";
  if (!st.stsc) return "stbl has no stsc";
  if (!st.stco) return "stbl has no stco or co64";
  const uint64_t n = st.stsz->numberOfEntries;
  if (st.stsz->sampleSize == 0 && st.stsz->SampleSizeTable.size() != n)
    return "stsz declares " + std::to_string(n) + " sizes but holds " + std::to_string(st.stsz->SampleSizeTable.size());
  if (video && n == 0) return "stsz lists no samples, so the frame rate is unknown";
  uint64_t timed = 0;
  for (const auto& e : st.stts->entries) timed += e->sampleCount;
  if (st.stts->entries.size() != st.stts->numberOfEntries || timed != n)
    return "stts times " + std::to_string(timed) + " samples, stsz lists " + std::to_string(n);
  if (st.stco->chunkOffsetTable.size() != st.stco->numberOfEntries)
    return "the chunk offset table declares " + std::to_string(st.stco->numberOfEntries) + " chunks but holds " +
           std::to_string(st.stco->chunkOffsetTable.size());
  // PCM references count either bytes or frames in their chunks; only the total of
  // compressed tracks must match.
  const uint64_t chunked = samplesInChunks(*st.stsc, st.stco->numberOfEntries);
  if (video && (st.stsc->SampleToChunkTable.size() != st.stsc->numberOfEntries || chunked != n))
    return "stsc puts " + std::to_string(chunked) + " samples in chunks, stsz lists " + std::to_string(n);
  return {};
}

std::string trackProblem(const Trak& t, bool video) {
  if (!t.tkhd) return "trak has no tkhd";
  if (!t.mdia->mdhd) return "mdia has no mdhd";
  if (auto p = timeScaleProblem("mdhd", t.mdia->mdhd->timescale); !p.empty()) return p;
  const Stbl& st = *t.mdia->minf->stbl;
  if (!st.stsd) return "stbl has no stsd";
  if (auto p = descriptionProblem(*st.stsd, video); !p.empty()) return p;
  if (auto p = tableProblem(st, video); !p.empty()) return p;
  // Every repaired picture lasts time scale / frame rate units, which must be at least 1.
  if (video && !(t.trakFPS > 0 && t.trakFPS <= t.trakMediaTimeScale))
    return "the frame rate " + std::to_string(t.trakFPS) + " does not fit the time scale " +
           std::to_string(t.trakMediaTimeScale);
  return {};
}

}  // namespace

std::vector<std::string> referenceProblems(const Moov& moov) {
  std::vector<std::string> problems;
  if (!moov.mvhd)
    problems.push_back("moov has no mvhd");
  else if (auto p = timeScaleProblem("mvhd", moov.mvhd->timescale); !p.empty())
    problems.push_back(p);
  const auto video = moov.getTrakWithType(kMediaKindVideo);
  const auto sound = moov.getTrakWithType(kMediaKindSound);
  for (size_t i = 0; i < moov.tracks.size(); ++i) {
    const auto& t = moov.tracks[i];
    const bool isVideo = t == video && moov.getVideoCodecFormat() != 0;
    const bool isSound = t == sound && moov.getAudioCodecFormat() != 0;
    if (!isVideo && !isSound) continue;  // not taken into the repaired movie
    if (auto p = trackProblem(*t, isVideo); !p.empty()) problems.push_back("track " + std::to_string(i + 1) + ": " + p);
  }
  return problems;
}

}  // namespace vr
