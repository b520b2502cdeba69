#pragma once
// What the AVI engine tests add to the shared test support: quiet diagnostics, the checks of
// how a run ended, and a structural walk of a written AVI file.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "avi/RepairFileAvi.h"
#include "support/RecordingDelegate.h"
#include "support/TestMedia.h"

namespace vr::avitest {

struct QuietLog {  // quiets the engine's diagnostic lines for the lifetime of a test
  QuietLog() { setLogSink([](const std::string&) {}); }
  ~QuietLog() { setLogSink(nullptr); }
};

inline size_t completions(const test::RecordingDelegate& d) {
  const auto events = d.snapshot();
  return size_t(std::count(events.begin(), events.end(), "complete"));
}

// The run failed with this code (107 or 106) and the engine's message for it.
inline bool failedWith(const test::RecordingDelegate& d, int32_t code) {
  std::lock_guard<std::mutex> l(d.m);
  return d.errors.size() == 1 && d.errors[0].code == code && d.errors[0].domain == "com.dovex.videorepair" &&
         d.errors[0].reason() == (code == 107 ? "Can not repair this file.." : "Repaired File Could not be Written");
}

// Walks the RIFF lists of a file: every chunk on an even offset and inside its list, the sizes
// of lists adding up, and every entry of the super, standard and legacy indexes pointing at a
// chunk of the named kind and size. Every rule the file breaks is one line in `problems`.
struct AviWalk {
  std::vector<std::string> problems;
  size_t riffLists = 0, indexed[2] = {0, 0}, legacyIndexed = 0;  // chunks reached through indx, idx1
  uint32_t totalFrames = 0, length[2] = {0, 0}, sampleSize[2] = {0, 0}, scale[2] = {0, 0}, rate[2] = {0, 0};  // dmlh, strh
};

inline AviWalk walkAvi(const Bytes& f) {
  AviWalk w;
  std::map<uint64_t, std::pair<std::string, uint32_t>> chunks;  // position -> tag, size
  std::vector<uint64_t> indx, idx1, movi;
  const auto tag = [&](uint64_t p) { return std::string(f.begin() + long(p), f.begin() + long(p) + 4); };
  const auto u32 = [&](uint64_t p) { return p + 4 <= f.size() ? readLE32(f.data() + p) : 0u; };
  const auto u64 = [&](uint64_t p) { return uint64_t(u32(p)) | (uint64_t(u32(p + 4)) << 32); };
  const auto bad = [&](const std::string& what, uint64_t p) { w.problems.push_back(what + " at " + std::to_string(p)); };
  std::function<void(uint64_t, uint64_t)> walk = [&](uint64_t p, uint64_t end) {
    while (p < end) {
      if (p & 1) bad("chunk on an odd offset", p);
      if (p + 8 > end) return bad("chunk header past its list", p);
      const std::string t = tag(p);
      const uint32_t size = u32(p + 4);
      if (p + 8 + size > end) return bad(t + " past its list", p);
      chunks[p] = {t, size};
      if (t == "LIST" && tag(p + 8) == "movi") movi.push_back(p + 8);
      if (t == "LIST")
        walk(p + 12, p + 8 + size);
      else if (t == "indx" || t == "idx1")
        (t == "indx" ? indx : idx1).push_back(p);
      else if (t == "strh" && size >= 48) {
        const int s = tag(p + 8) == "vids" ? 0 : 1;
        w.length[s] = u32(p + 8 + 32);
        w.sampleSize[s] = u32(p + 8 + 44);
        w.scale[s] = u32(p + 8 + 20);
        w.rate[s] = u32(p + 8 + 24);
      } else if (t == "dmlh")
        w.totalFrames = u32(p + 8);
      p += 8 + size + (size & 1);
    }
  };
  for (uint64_t p = 0; p < f.size();) {
    if (p + 12 > f.size() || tag(p) != "RIFF" || tag(p + 8) != (p == 0 ? "AVI " : "AVIX")) return bad("no RIFF list", p), w;
    const uint64_t end = p + 8 + u32(p + 4);
    if (end > f.size()) return bad("RIFF list past the end of the file", p), w;
    walk(p + 12, end);
    ++w.riffLists;
    p = end;
  }
  const auto chunkIs = [&](uint64_t p, const std::string& t, uint32_t size) {
    return chunks.count(p) && chunks[p] == std::make_pair(t, size);
  };
  for (uint64_t s : indx) {
    const std::string id = tag(s + 16);
    for (uint32_t e = 0; e < u32(s + 12); ++e) {
      const uint64_t ix = u64(s + 32 + 16 * e);
      if (!chunks.count(ix) || chunks[ix].first.substr(0, 2) != "ix") {
        bad("super index entry not at a standard index", ix);
        continue;
      }
      const uint64_t base = u64(ix + 20);
      for (uint32_t k = 0; k < u32(ix + 12); ++k)
        if (chunkIs(base + u32(ix + 32 + 8 * k) - 8, id, u32(ix + 36 + 8 * k) & 0x7FFFFFFF))
          ++w.indexed[id == "01wb"];
        else
          bad("standard index entry " + std::to_string(k) + " not at its chunk", ix);
    }
  }
  for (uint64_t p : idx1)
    for (uint32_t e = 0; e < u32(p + 4) / 16; ++e) {
      const uint64_t entry = p + 8 + 16 * e;
      if (!movi.empty() && chunkIs(movi[0] + u32(entry + 8), tag(entry), u32(entry + 12)))
        ++w.legacyIndexed;
      else
        bad("idx1 entry " + std::to_string(e) + " not at its chunk", p);
    }
  return w;
}

}  // namespace vr::avitest
