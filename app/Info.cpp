// The info command: what a movie offers as a repair reference.
#include <cstdio>
#include <string>

#include "app/Cli.h"
#include "common/FileIO.h"
#include "engine/File.h"

namespace vr::cli {

namespace {

const char* videoCodecName(uint64_t codec) {
  switch (codec) {
    case kVideoCodecH264: return "H.264 (avc1)";
    case kVideoCodecH265: return "H.265 (hvc1)";
    default: return "none or unsupported";
  }
}

const char* audioCodecName(uint64_t codec) {
  switch (codec) {
    case kAudioCodecAAC: return "AAC (mp4a)";
    case kAudioCodecSowt: return "16-bit PCM little-endian (sowt)";
    case kAudioCodecTwos: return "16-bit PCM big-endian (twos)";
    default: return "none or unsupported";
  }
}

// The first non-empty of the given texts.
std::string firstOf(std::initializer_list<std::string> texts) {
  for (const auto& t : texts)
    if (!t.empty()) return t;
  return {};
}

}  // namespace

int runInfo(const Options& o) {
  if (!fileExistsAndIsReadable(o.input)) {
    std::fprintf(stderr, "video-repair: cannot read %s\n", o.input.c_str());
    return kExitEngineBase + 4;
  }
  auto file = File::parseFileAtPath(o.input);
  std::printf("File:            %s\n", o.input.c_str());
  std::printf("Size:            %s\n", humanSize(fileSizeAtPath(o.input)).c_str());
  const auto& moov = file->moov();
  if (!moov) {
    std::printf("Index:           none usable (no readable movie atom)\n");
    std::printf("This file cannot serve as a reference. If it is the damaged movie, repair it with a\n"
                "healthy movie from the same camera: video-repair repair %s --reference HEALTHY.mov\n",
                o.input.c_str());
    return kExitInfoNoIndex;
  }
  std::printf("Index:           present\n");
  std::printf("Video codec:     %s\n", videoCodecName(file->videoCodec));
  std::printf("Resolution:      %s\n", moov->getResolution().c_str());
  std::printf("Frame rate:      %.3f\n", file->videoFPS());
  std::printf("Video timescale: %u\n", file->videoTrackTimeScale());
  std::printf("NAL length size: %u\n", file->AVCOneNaluSizeLength());
  const bool h265 = file->videoCodec == kVideoCodecH265;
  const bool hasSps = h265 ? file->SPS265() != nullptr : file->SPS() != nullptr;
  const bool hasPps = h265 ? file->PPS265() != nullptr : file->PPS() != nullptr;
  const bool hasVps = file->VPS() != nullptr;
  std::printf("Parameter sets:  SPS %s, PPS %s", hasSps ? "yes" : "no", hasPps ? "yes" : "no");
  if (h265) std::printf(", VPS %s", hasVps ? "yes" : "no");
  std::printf("\n");
  std::printf("Audio:           %s\n", audioCodecName(file->audioCodec));
  if (file->audioCodec != 0) {
    std::printf("Audio timescale: %u\n", file->audioTrackTimeScale());
    std::printf("Audio rate:      %.3f samples per second\n", file->audioFPS());
  }
  std::printf("Tracks:          %llu\n", static_cast<unsigned long long>(file->numberOfTracks()));
  std::printf("Duration:        %s\n", file->durationOfFile().c_str());
  const std::string maker = firstOf({file->udta ? file->udta->manufacture : std::string(),
                                     file->meta ? file->meta->manufacture : std::string(),
                                     file->ftyp ? file->ftyp->manufacture : std::string()});
  const std::string model = firstOf({file->udta ? file->udta->device : std::string(),
                                     file->meta ? file->meta->device : std::string()});
  std::printf("Maker:           %s\n", maker.empty() ? "unknown" : maker.c_str());
  std::printf("Model:           %s\n", model.empty() ? "unknown" : model.c_str());
  const bool usable =
      (file->videoCodec == kVideoCodecH264 || file->videoCodec == kVideoCodecH265) && hasSps && hasPps && (!h265 || hasVps);
  std::printf("Usable as reference: %s\n", usable ? "yes" : "no (needs H.264 or H.265 video with parameter sets)");
  return kExitOk;
}

}  // namespace vr::cli
