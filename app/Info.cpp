// The info command: what a movie offers as a repair reference.
#include <cstdio>
#include <string>
#include <vector>

#include "app/Cli.h"
#include "atoms/ReferenceCheck.h"
#include "common/FileIO.h"
#include "engine/File.h"
#include "engine/InBandReference.h"

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

// One line of the report: its label in the text form, its key and value in the JSON form.
struct Field {
  const char* label;
  const char* key;
  std::string value;
  bool number = false;
  std::string text = {};  // the text form, when it differs from the value
};

// The fields, then the reasons why the file cannot serve as a reference (when there are any).
void printReport(const Options& o, const std::vector<Field>& fields, const std::vector<std::string>& reasons) {
  if (o.json) {
    std::printf("{");
    for (size_t i = 0; i < fields.size(); ++i) {
      const Field& f = fields[i];
      std::printf(f.number ? "%s\"%s\":%s" : "%s\"%s\":\"%s\"", i ? "," : "", f.key, jsonEscape(f.value).c_str());
    }
    if (!reasons.empty()) {
      std::printf(",\"reasons\":[");
      for (size_t i = 0; i < reasons.size(); ++i) std::printf("%s\"%s\"", i ? "," : "", jsonEscape(reasons[i]).c_str());
      std::printf("]");
    }
    std::printf("}\n");
    return;
  }
  for (const Field& f : fields)
    std::printf("%-21s%s\n", (std::string(f.label) + ":").c_str(), (f.text.empty() ? f.value : f.text).c_str());
  for (const auto& r : reasons) std::printf("  not usable: %s\n", r.c_str());
}

std::string number(double v, const char* format) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

// What the stream of a movie without usable index carries in band, and what a repair
// without reference would take from it.
void addInBandFields(const Options& o, std::vector<Field>& fields) {
  const auto plan = planInBandRepair(o.input, o.inBand);
  if (!plan) {
    fields.push_back({"In band", "inBand", "no parameter sets in the stream"});
    return;
  }
  const InBandParameterSets& s = plan->sets;
  char text[160];
  std::snprintf(text, sizeof text, "%s in front of %u keyframe%s, first at byte %llu",
                s.hevc ? "VPS, SPS and PPS" : "SPS and PPS", s.keyframes, s.keyframes == 1 ? "" : "s",
                static_cast<unsigned long long>(s.firstOffset));
  fields.push_back({"In band", "inBand", text});
  fields.push_back({"Without reference", "inBandVideo", plan->videoSummary()});
  fields.push_back({"  audio", "inBandAudio", plan->audioSummary()});
}

}  // namespace

std::vector<std::string> referenceReasons(const File& file) {
  if (file.moov()) return referenceProblems(*file.moov());
  if (!file.moovRefusals.empty()) return file.moovRefusals;
  return {"no movie atom found"};
}

int runInfo(const Options& o) {
  if (const std::string problem = inputFileProblem(o.input); !problem.empty()) {
    std::fprintf(stderr, "video-repair: cannot read %s: it %s\n", o.input.c_str(), problem.c_str());
    return kExitEngineBase + 4;
  }
  auto file = File::parseFileAtPath(o.input);
  std::vector<Field> fields = {{"File", "file", o.input},
                               {"Size", "size", std::to_string(fileSizeAtPath(o.input)), true,
                                humanSize(fileSizeAtPath(o.input))}};
  const auto& moov = file->moov();
  if (!moov) {
    fields.push_back({"Index", "index", "none"});
    fields.push_back({"Usable as reference", "usableAsReference", "false", true, "no"});
    addInBandFields(o, fields);
    printReport(o, fields, referenceReasons(*file));
    if (!o.json && fields.back().key == std::string("inBandAudio"))
      std::printf("The file has no readable movie atom, but its stream carries its parameter sets: repair it\n"
                  "without a reference (the lines above say what the repair would use):\n"
                  "  video-repair repair %s\n",
                  o.input.c_str());
    else if (!o.json)
      std::printf("The file has no readable movie atom and cannot serve as a reference. If it is the damaged\n"
                  "movie, repair it with a healthy movie from the same camera:\n"
                  "  video-repair repair %s --reference HEALTHY.mov\n",
                  o.input.c_str());
    return kExitInfoNoIndex;
  }
  const bool h265 = file->videoCodec == kVideoCodecH265;
  const bool hasSps = h265 ? file->SPS265() != nullptr : file->SPS() != nullptr;
  const bool hasPps = h265 ? file->PPS265() != nullptr : file->PPS() != nullptr;
  const bool hasVps = file->VPS() != nullptr;
  std::string sets = std::string("SPS ") + (hasSps ? "yes" : "no") + ", PPS " + (hasPps ? "yes" : "no");
  if (h265) sets += std::string(", VPS ") + (hasVps ? "yes" : "no");
  const std::string maker = firstOf({file->udta ? file->udta->manufacture : std::string(),
                                     file->meta ? file->meta->manufacture : std::string(),
                                     file->ftyp ? file->ftyp->manufacture : std::string()});
  const std::string model = firstOf({file->udta ? file->udta->device : std::string(),
                                     file->meta ? file->meta->device : std::string()});
  const std::vector<std::string> reasons = referenceReasons(*file);
  const bool usable =
      (file->videoCodec == kVideoCodecH264 || h265) && hasSps && hasPps && (!h265 || hasVps) && reasons.empty();

  fields.push_back({"Index", "index", "present"});
  fields.push_back({"Video codec", "videoCodec", videoCodecName(file->videoCodec)});
  fields.push_back({"Resolution", "resolution", moov->getResolution()});
  fields.push_back({"Frame rate", "frameRate", number(file->videoFPS(), "%.3f"), true});
  fields.push_back({"Video timescale", "videoTimeScale", std::to_string(file->videoTrackTimeScale()), true});
  fields.push_back({"NAL length size", "nalLengthSize", std::to_string(file->AVCOneNaluSizeLength()), true});
  fields.push_back({"Parameter sets", "parameterSets", sets});
  fields.push_back({"Audio", "audioCodec", audioCodecName(file->audioCodec)});
  if (file->audioCodec != 0) {
    fields.push_back({"Audio timescale", "audioTimeScale", std::to_string(file->audioTrackTimeScale()), true});
    fields.push_back({"Audio rate", "audioSamplesPerSecond", number(file->audioFPS(), "%.3f"), true});
  }
  fields.push_back({"Tracks", "tracks", std::to_string(file->numberOfTracks()), true});
  fields.push_back({"Duration", "duration", file->durationOfFile()});
  fields.push_back({"Maker", "maker", maker.empty() ? "unknown" : maker});
  fields.push_back({"Model", "model", model.empty() ? "unknown" : model});
  fields.push_back({"Usable as reference", "usableAsReference", usable ? "true" : "false", true, usable ? "yes" : "no"});
  printReport(o, fields, reasons);
  if (!o.json && !usable && reasons.empty())
    std::printf("A reference needs H.264 or H.265 video with its parameter sets.\n");
  return usable ? kExitOk : kExitInfoNoIndex;
}

}  // namespace vr::cli
