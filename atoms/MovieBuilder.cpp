// Builds the repaired movie's index from the reference movie's tree and two track
// requests, bottom-up: sample table, media information, media, track, movie. The new tree
// shares a few objects with the reference (movie and track headers, the sample
// description); everything else is new. Every built atom's size equals the length of its
// serialised bytes.
#include "atoms/MovieBuilder.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "common/FileIO.h"
#include "common/Text.h"

namespace vr {

namespace {

uint32_t clampU32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : uint32_t(v); }

template <typename T>
uint64_t sizeOf(const std::shared_ptr<T>& atom) {
  return atom ? atom->size : 0;
}

// Duration of n samples at a given rate in a given time scale: scale x (n / rate),
// 0 when the rate is 0.
uint32_t durationAtRate(uint32_t timescale, uint32_t n, double rate) {
  if (!(rate > 0)) return 0;
  return truncToU32(double(timescale) * (double(n) / rate));
}

uint32_t stszCount(const std::shared_ptr<Stbl>& stbl) {
  return (stbl && stbl->stsz) ? stbl->stsz->numberOfEntries : 0;
}

// An empty request of the given type, used when the caller has none.
AtomCreationRequest emptyRequest(uint64_t requestType) {
  AtomCreationRequest r;
  r.requestType = requestType;
  return r;
}

// Samples held by `chunks` chunks as a sample-to-chunk table describes them: each entry
// applies from its first chunk up to the next entry's first chunk, the last one up to the
// last chunk. An entry that does not start after the one before it (or starts at chunk 0)
// is ignored; chunks beyond the last one are not counted.
uint64_t samplesInChunks(const std::vector<std::shared_ptr<SampleToChunkEntery>>& table, uint64_t chunks) {
  std::vector<const SampleToChunkEntery*> runs;
  for (const auto& e : table)
    if (e && e->firstChunk >= 1 && (runs.empty() || e->firstChunk > runs.back()->firstChunk)) runs.push_back(e.get());
  uint64_t total = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    const uint64_t first = runs[i]->firstChunk;
    const uint64_t last = i + 1 < runs.size() ? std::min<uint64_t>(chunks, runs[i + 1]->firstChunk - 1) : chunks;
    if (last >= first) total += (last - first + 1) * runs[i]->samplesPerChunk;
  }
  return total;
}

// Every sample of a request lasts the same: time scale / rate, with a default when that
// is 0.
uint32_t sampleDuration(const AtomCreationRequest& q) {
  const uint32_t m = q.FPS > 0 ? truncToU32(double(q.timeScale) / q.FPS) : 0;
  if (m != 0) return m;
  return q.requestType == kRequestTypeVideo ? 1 : 1024;
}

// Run-length coded composition offsets, one given per sample.
std::shared_ptr<Ctts> cttsOfOffsets(uint32_t versionFlag, uint32_t count, auto&& offsetOf) {
  auto out = std::make_shared<Ctts>();
  out->version_Flag = versionFlag;
  std::shared_ptr<CompositionOffsetEntery> run;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t offset = offsetOf(i);
    if (run && run->compositionOffset == offset && run->sampleCount < UINT32_MAX) {
      ++run->sampleCount;
      continue;
    }
    if (run) run->createWirteableData();
    run = std::make_shared<CompositionOffsetEntery>();
    run->sampleCount = 1;
    run->compositionOffset = offset;
    out->compositionOffsetTable.push_back(run);
  }
  if (run) run->createWirteableData();
  out->numberOfEntries = uint32_t(out->compositionOffsetTable.size());
  out->createWiteableData();
  return out;
}

// Composition offsets of samples whose presentation positions are known: sample i is
// shown at rank(i) + d sample durations, d being the largest delay of a sample's
// decoding behind its showing, so that no offset is negative.
std::shared_ptr<Ctts> compositionOffsetsFromRanks(const std::vector<uint32_t>& ranks, uint32_t m) {
  int64_t delay = 0;
  for (size_t i = 0; i < ranks.size(); ++i) delay = std::max<int64_t>(delay, int64_t(i) - int64_t(ranks[i]));
  return cttsOfOffsets(0, uint32_t(ranks.size()), [&](uint32_t i) {
    const int64_t frames = int64_t(ranks[i]) + delay - int64_t(i);
    return clampU32(uint64_t(frames) * m);
  });
}

// Longest composition-offset pattern expanded from a reference: far beyond any group of
// pictures or test recording, and it bounds the memory a hostile table can claim.
constexpr uint64_t kMaxPatternSamples = uint64_t(1) << 22;

// The repaired video's composition offsets. A camera encodes with a fixed group of
// pictures, so every group repeats the reference's first one: the reference's offsets
// (one per sample, from its first sync sample on) over one group are repeated over the
// `newSamples` recovered pictures, which start with a key frame. The group length is the
// spacing of the reference's sync samples; without a regular spacing the whole reference
// is the pattern. Version and flags are kept, so signed offsets stay signed.
std::shared_ptr<Ctts> repeatedCompositionOffsets(const Ctts& reference, const Stss* sync, uint32_t referenceSamples,
                                                 uint32_t newSamples) {
  uint64_t start = 0;       // first sample of the pattern, from 0
  uint64_t period = 0;      // 0: up to the end of the reference
  if (sync && !sync->syncSampleTable.empty()) {
    const auto& t = sync->syncSampleTable;
    start = t[0] > 0 ? t[0] - 1 : 0;
    if (t.size() >= 2 && t[1] > t[0]) {
      const uint64_t d = t[1] - t[0];
      bool regular = true;
      for (size_t i = 2; i < t.size() && regular; ++i) regular = t[i] > t[i - 1] && t[i] - t[i - 1] == d;
      if (regular) period = d;
    }
  }

  // The offsets the pattern needs, one per sample, within what the reference holds.
  uint64_t limit = kMaxPatternSamples;
  if (referenceSamples > 0) limit = std::min<uint64_t>(limit, referenceSamples);
  const uint64_t wanted = period > 0 ? std::min(limit, start + period) : limit;
  std::vector<uint32_t> perSample;
  for (const auto& e : reference.compositionOffsetTable) {
    if (!e) continue;
    const uint64_t take = std::min<uint64_t>(e->sampleCount, wanted - perSample.size());
    perSample.insert(perSample.end(), size_t(take), e->compositionOffset);
    if (perSample.size() >= wanted) break;
  }
  // A reference too short for one whole group from its first sync sample: start at its
  // beginning instead, and take all it has.
  if (start >= perSample.size()) start = 0;
  const std::span<const uint32_t> pattern(perSample.data() + start, perSample.size() - start);

  if (pattern.empty()) return cttsOfOffsets(reference.version_Flag, 0, [](uint32_t) { return 0u; });
  return cttsOfOffsets(reference.version_Flag, newSamples,
                       [&](uint32_t i) { return pattern[i % pattern.size()]; });
}

// A sync-sample table of the given sample numbers (from 1, rising), those above n left out.
std::shared_ptr<Stss> syncSampleTable(const std::vector<uint32_t>& numbers, uint32_t n) {
  auto t = std::make_shared<Stss>();
  for (uint32_t number : numbers)
    if (number >= 1 && number <= n && (t->syncSampleTable.empty() || number > t->syncSampleTable.back()))
      t->syncSampleTable.push_back(number);
  t->numberOfEntries = uint32_t(t->syncSampleTable.size());
  t->createWriteableData();
  return t;
}

// Media time of the first picture shown: the smallest composition time, decoding time
// plus composition offset, of the samples the table describes (samples last `m` each).
uint32_t firstCompositionTime(const Stbl* stbl, uint32_t m) {
  if (!stbl || !stbl->ctts || stbl->ctts->compositionOffsetTable.empty()) return 0;
  uint64_t first = UINT64_MAX;
  uint64_t index = 0;
  for (const auto& run : stbl->ctts->compositionOffsetTable) {
    if (!run || run->sampleCount == 0) continue;
    // Within a run the offset is the same, so its first sample is shown first.
    first = std::min<uint64_t>(first, index * m + run->compositionOffset);
    index += run->sampleCount;
  }
  return first == UINT64_MAX ? 0 : clampU32(first);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Sample table

std::shared_ptr<Stbl> Stbl::createStblWithRequest(const AtomCreationRequest* request) const {
  const AtomCreationRequest fallback = emptyRequest(0);
  const AtomCreationRequest& q = request ? *request : fallback;
  const bool isVideo = q.requestType == kRequestTypeVideo;

  auto s = std::make_shared<Stbl>();
  s->type = type;
  s->stsd = stsd;
  s->stco = Stco::initWithChunkOffsetTable(q.stcoEntries);
  const uint64_t chunks = q.stcoEntries.size();
  const uint64_t codec = stsd ? stsd->codecFormat : 0;

  if (codec == kTrackCodecTWOS || codec == kTrackCodecSOWT) {
    // Raw PCM is described as fixed one-byte samples, many per chunk, chunked as the scan
    // found the stretches. Without runs there is no sample count, so no "stsz".
    s->stsc = Stsc::initSTSCWithSampleToChunkTable(q.stscEntries);
    if (s->stsc && !s->stsc->SampleToChunkTable.empty())
      s->stsz = Stsz::initSTSZWithSampleCount(clampU32(samplesInChunks(s->stsc->SampleToChunkTable, chunks)), 1);
  } else {
    s->stsc = Stsc::initSTSCWithSampleToChunkTable(q.stscEntries);
    s->stsz = Stsz::initSTSZWithSampleSizeTable(q.stszEntries);
  }
  const uint32_t n = s->stsz ? s->stsz->numberOfEntries : 0;

  uint64_t extra = 0;
  if (isVideo) {
    // Pictures stored out of presentation order (B-frames) need composition offsets. The
    // order the scan read from the pictures themselves is exact; without it the
    // reference's group-of-pictures pattern is repeated.
    if (ctts && ctts->numberOfEntries >= 2) {
      const uint32_t m = sampleDuration(q);
      s->ctts = q.presentationRanks.size() == n
                    ? compositionOffsetsFromRanks(q.presentationRanks, m)
                    : repeatedCompositionOffsets(*ctts, stss.get(), stsz ? stsz->numberOfEntries : 0, n);
      extra += sizeOf(s->ctts);
    }
    // The keyframes are those the pictures say they are. Without a sync-sample table
    // every sample counts as one, so the table is left out only when that is true.
    // Spacing them like the reference's would make players start at pictures that cannot
    // be decoded alone and skip the real keyframes. The reference's dependency flags
    // describe its own pictures, not these, so none are written.
    if (q.syncSamples.size() < n) {
      s->stss = syncSampleTable(q.syncSamples, n);
      extra += sizeOf(s->stss);
    }
  }

  s->stts = Stts::initSTTSWithSampleCount(n, sampleDuration(q));

  const uint64_t stsdSize = stsd ? stsd->stsdData.size() : 0;
  s->size = clampU32(stsdSize + sizeOf(s->stco) + sizeOf(s->stsz) + sizeOf(s->stts) + sizeOf(s->stsc) + extra + 8);
  s->writeableData = s->convertSelfToData();
  return s;
}

// ---------------------------------------------------------------------------------------
// Media information

std::shared_ptr<Minf> Minf::createMinfWithRequest(const AtomCreationRequest* request, uint64_t requestType) const {
  auto i = std::make_shared<Minf>();
  i->type = type;
  i->stbl = stbl ? stbl->createStblWithRequest(request) : nullptr;
  uint64_t headerSize = 0;
  if (requestType == kRequestTypeSound) {
    auto smhd = Smhd::init();
    headerSize = sizeOf(smhd);
    i->mediaHeader = smhd;
    i->minfMediaType = kMediaKindSound;
  } else if (requestType == kRequestTypeVideo) {
    auto vmhd = Vmhd::init();
    headerSize = sizeOf(vmhd);
    i->mediaHeader = vmhd;
    i->minfMediaType = kMediaKindVideo;
  }
  i->hdlr = Hdlr::initHDLRWithComponentType(0, fourCC("dhlr"), 0);
  i->dinf = Dinf::initDINFWithDrefEnteryType(fourCC("alis"));
  i->size = clampU32(headerSize + sizeOf(i->stbl) + sizeOf(i->hdlr) + sizeOf(i->dinf) + 8);
  i->writeableData = i->convertSelfToData();
  return i;
}

// ---------------------------------------------------------------------------------------
// Media

std::shared_ptr<Mdia> Mdia::createMediaWithRequest(const AtomCreationRequest* request, uint64_t requestType) const {
  auto m = std::make_shared<Mdia>();
  m->type = type;
  m->minf = minf ? minf->createMinfWithRequest(request, requestType) : nullptr;
  if (requestType == kRequestTypeVideo)
    m->hdlr = Hdlr::initHDLRWithComponentType(fourCC("mhlr"), fourCC("vide"), 0);
  else if (requestType == kRequestTypeSound)
    m->hdlr = Hdlr::initHDLRWithComponentType(fourCC("mhlr"), fourCC("soun"), 0);

  // The new media lasts n times the reference's average sample duration.
  const uint32_t n = m->minf ? stszCount(m->minf->stbl) : 0;
  const uint32_t timescale = mdhd ? mdhd->timescale : 0;
  uint32_t newDuration = 0;
  if (mdiaFPS > 0) newDuration = truncToU32(double(uint64_t(n) * timescale) / mdiaFPS);
  m->mdhd = Mdhd::initMDHDWithDuration(newDuration, timescale, mdhd ? mdhd->language : 0, mdhd ? mdhd->quality : 0);

  m->size = clampU32(sizeOf(m->minf) + sizeOf(m->hdlr) + sizeOf(m->mdhd) + 8);
  m->mediaType = m->getMediaType();
  m->writeableData = m->convertSelfToData();
  return m;
}

// ---------------------------------------------------------------------------------------
// Track

std::shared_ptr<Trak> Trak::createTrackWithRequest(const AtomCreationRequest* request) const {
  auto t = std::make_shared<Trak>();
  t->type = type;
  t->tkhd = tkhd;
  const uint64_t kind = getTrackType();
  if (mdia && kind == kMediaKindVideo)
    t->mdia = mdia->createMediaWithRequest(request, kRequestTypeVideo);
  else if (mdia && kind == kMediaKindSound)
    t->mdia = mdia->createMediaWithRequest(request, kRequestTypeSound);
  t->trackType = kind;
  // The shared track header has no serialised form until its duration is set; give it
  // one now so the track is complete even before setDuration.
  if (t->tkhd && t->tkhd->writeableData.empty()) t->tkhd->setDuration(t->tkhd->duration);
  t->size = clampU32(sizeOf(t->mdia) + sizeOf(t->tkhd) + 8);
  t->initProperties();
  t->writeableData = t->convertSelfToData();
  return t;
}

void Trak::setDuration(uint32_t newDuration) {
  if (tkhd) tkhd->setDuration(newDuration);
  // A video track's one edit starts at the first picture shown: with B-frames the
  // composition offsets delay every picture, without them it is the start of the media.
  if (trackType == kMediaKindVideo) {
    const Stbl* stbl = mdia && mdia->minf ? mdia->minf->stbl.get() : nullptr;
    const uint32_t m = stbl && stbl->stts ? stbl->stts->getOneSampleDuration() : 0;
    edts = Edts::initWDTSWithDuration(newDuration, firstCompositionTime(stbl, m));
  }
  // Recomputed from the children, so setting the duration twice does not grow the track.
  size = clampU32(sizeOf(tkhd) + sizeOf(edts) + sizeOf(mdia) + 8);
  writeableData = convertSelfToData();
  initProperties();
}

// ---------------------------------------------------------------------------------------
// Movie

std::shared_ptr<Moov> Moov::createMoovWithVideoRequest(const AtomCreationRequest* video,
                                                       const AtomCreationRequest* audio) {
  // A movie needs tracks and a movie header to describe them.
  if (tracks.empty() || !mvhd) return nullptr;
  const AtomCreationRequest noVideo = emptyRequest(kRequestTypeVideo);
  const AtomCreationRequest noAudio = emptyRequest(kRequestTypeSound);
  if (video == nullptr) video = &noVideo;
  if (audio == nullptr) audio = &noAudio;

  auto n = std::make_shared<Moov>();
  n->type = type;
  n->mvhd = mvhd;
  bool durationSet = false;
  // The samples found belong to the first video track (whose parameter sets the scan
  // matched) and the first sound track; further tracks of either kind (a motion photo's
  // still image, a second language) would only point at the same bytes.
  const auto videoTrack = getTrakWithType(kMediaKindVideo);
  const auto soundTrack = getTrakWithType(kMediaKindSound);
  for (const auto& t : tracks) {
    if (!t || (t != videoTrack && t != soundTrack)) continue;
    std::shared_ptr<Trak> built;
    if (t->trackType == kMediaKindVideo) {
      built = t->createTrackWithRequest(video);
      const uint32_t d = durationAtRate(mvhd->timescale, built->sampleCount, videoTrackFPS());
      mvhd->setDuration(d);
      durationSet = true;
      built->setDuration(d);
    } else if (t->trackType == kMediaKindSound) {
      built = t->createTrackWithRequest(audio);
      built->setDuration(durationAtRate(mvhd->timescale, built->sampleCount, audioTrackFPS()));
    } else {
      continue;  // timecode and other tracks are not carried over
    }
    n->tracks.push_back(built);
  }
  // Without a video track the movie header keeps the reference's duration, but it still
  // needs a serialised form or the written movie would be shorter than its size says.
  if (!durationSet) mvhd->setDuration(mvhd->duration);

  uint64_t total = 8 + uint64_t(mvhd->size);
  for (const auto& t : n->tracks) total += t->size;
  if (total > UINT32_MAX) return nullptr;  // beyond what a 32-bit atom size can describe
  n->size = uint32_t(total);
  return n;
}

Bytes Moov::convertSelfToData() const {
  Bytes out;
  appendBE32(out, size);
  appendBE32(out, type);
  if (mvhd) appendBytes(out, mvhd->writeableData);
  for (const auto& t : tracks)
    if (t) appendBytes(out, t->writeableData);
  return out;
}

void Moov::setSizeFromChildren() {
  uint64_t total = 8 + (mvhd ? mvhd->writeableData.size() : 0);
  for (const auto& t : tracks)
    if (t) total += t->writeableData.size();
  size = clampU32(total);
}

uint64_t Moov::writeToFileHandle(FileHandle& handle) {
  bytesWritten = 0;
  if (!handle.isOpen()) return 0;
  uint64_t position = handle.size();

  // Header and movie header go out as one write; then one write per track; a short write
  // ends the movie there. The caller forces the finished file to disk once.
  auto writePart = [&](const Bytes& bytes) {
    const size_t n = bytes.empty() ? 0 : handle.writeAt(position, bytes.data(), bytes.size());
    position += n;
    bytesWritten += n;
    return n == bytes.size();
  };

  Bytes head;
  appendBE32(head, size);
  appendBE32(head, type);
  if (mvhd) appendBytes(head, mvhd->writeableData);
  if (!writePart(head)) return bytesWritten;
  for (const auto& t : tracks) {
    if (!t) continue;
    if (!writePart(t->writeableData)) break;
  }
  if (bytesWritten != size) logLine("movie atom: wrote " + std::to_string(bytesWritten) + " of " +
                                    std::to_string(size) + " bytes");
  return bytesWritten;
}

}  // namespace vr
