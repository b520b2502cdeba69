// video-repair: repairs movies whose index is lost or broken, and damaged AVI files.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Cli.h"

namespace {

const char* kUsage =
    "usage:\n"
    "  video-repair repair DAMAGED [-r|--reference REF] [-o|--output OUT] [--force] [--json] [--quiet]\n"
    "                      [--fps RATE] [--audio FORMAT]\n"
    "  video-repair info FILE [--json] [--fps RATE] [--audio FORMAT]\n"
    "  video-repair --help\n"
    "\n"
    "repair   Repairs a damaged movie (mov, mp4, m4v) or AVI file. A movie whose index is lost\n"
    "         needs a healthy reference movie recorded with the same camera and settings\n"
    "         (--reference); without it the damaged movie is its own reference, which works\n"
    "         while its index is still readable. AVI files need no reference; when their\n"
    "         stream descriptions are damaged, a healthy AVI from the same camera given with\n"
    "         --reference stands in for them.\n"
    "         The result goes to OUT, by default NAME_repaired.mov (or .avi) beside the damaged\n"
    "         file. It is written to a temporary file and moved into place only when the repair\n"
    "         completed. Existing files are kept unless --force is given; the damaged and the\n"
    "         reference file are never replaced. Ctrl-C (or SIGTERM, SIGHUP, SIGQUIT) stops the\n"
    "         repair and removes the partial output.\n"
    "           --json   print one JSON object with the result instead of text\n"
    "           --quiet  no progress display and no summary\n"
    "info     Prints what FILE offers as a reference: codec, resolution, frame rate, time\n"
    "         scales, NAL length size, parameter sets, audio format, tracks, maker and model;\n"
    "         for a movie without index, what its stream carries and what a repair without\n"
    "         reference would use (--fps and --audio as for repair); --json prints them as\n"
    "         one JSON object.\n"
    "\n"
    "exit status:\n"
    "    0  repaired (info: the file has a usable index)\n"
    "    2  wrong arguments\n"
    "    3  output refused: it exists (use --force), is not a regular file, would replace an\n"
    "       input, or cannot be created (missing or unwritable folder)\n"
    "    4  a reference movie is needed (the damaged movie cannot serve as its own reference:\n"
    "       no usable index and no parameter sets in its stream; or the reference has another\n"
    "       codec or lacks parameter sets)\n"
    "    5  not an AVI file this tool can read\n"
    "    6  the repaired file could not be written completely, or the repair stopped unexpectedly\n"
    "    7  info: the file has no index usable as a reference\n"
    "    8  repaired in part: less than half of the media data was recovered; the output is kept\n"
    "   11  error 101 \"No Sample Found\": nothing recoverable in the damaged file\n"
    "   12  error 102 \"Invalid Healthy File\": the reference has no usable index\n"
    "   14  error 104: the damaged file does not exist or cannot be read\n"
    "   15  error 105: the reference file does not exist or cannot be read\n"
    "   16  error 106 \"Repaired File Could not be Written\": disk full or an I/O error\n"
    "   17  error 107 \"Can not repair this file..\": the AVI file lacks what a repair needs\n"
    "       (a healthy AVI from the same camera, given with --reference, may supply it)\n"
    "  130  stopped with Ctrl-C; 128 + N when stopped by signal N (SIGHUP 129, SIGQUIT 131,\n"
    "       SIGTERM 143)\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

vr::cli::Options parseArguments(int argc, char** argv) {
  vr::cli::Options o;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) throw UsageError("no command given");
  o.command = args[0];
  std::vector<std::string> positional;
  bool referenceGiven = false, outputGiven = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* name) -> std::string {
      if (i + 1 >= args.size()) throw UsageError(std::string(name) + " needs a value");
      return args[++i];
    };
    if (a == "-r" || a == "--reference")
      o.reference = value("--reference"), referenceGiven = true;
    else if (a.rfind("--reference=", 0) == 0)
      o.reference = a.substr(12), referenceGiven = true;
    else if (a == "-o" || a == "--output")
      o.output = value("--output"), outputGiven = true;
    else if (a.rfind("--output=", 0) == 0)
      o.output = a.substr(9), outputGiven = true;
    else if (a == "--force" || a == "-f")
      o.force = true;
    else if (a == "--fps" || a.rfind("--fps=", 0) == 0) {
      const std::string v = a == "--fps" ? value("--fps") : a.substr(6);
      char* end = nullptr;
      const double fps = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || !(fps >= 1 && fps <= 240)) throw UsageError("--fps needs a rate from 1 to 240");
      o.inBand.fps = fps;
    } else if (a == "--audio" || a.rfind("--audio=", 0) == 0) {
      const std::string v = a == "--audio" ? value("--audio") : a.substr(8);
      if (!vr::parseAudioFormat(v, o.inBand))
        throw UsageError("--audio needs aac, aac:RATE:CHANNELS, pcm:RATE:CHANNELS:le|be or none");
    } else if (a == "--json")
      o.json = true;
    else if (a == "--quiet" || a == "-q")
      o.quiet = true;
    else if (a == "--")
      positional.insert(positional.end(), args.begin() + long(i) + 1, args.end()), i = args.size();
    else if (a.size() > 1 && a[0] == '-')
      throw UsageError("unknown option " + a);
    else
      positional.push_back(a);
  }
  if (positional.size() != 1) throw UsageError(o.command + " takes exactly one file");
  o.input = positional[0];
  if (o.command == "info" && (!o.reference.empty() || !o.output.empty() || o.force))
    throw UsageError("info takes only a file");
  if (referenceGiven && o.reference.empty()) throw UsageError("--reference needs a file");
  if (o.output.empty() && outputGiven) throw UsageError("--output needs a file");
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
                    std::strcmp(argv[1], "help") == 0)) {
    std::fputs(kUsage, stdout);
    return vr::cli::kExitOk;
  }
  vr::cli::Options options;
  try {
    options = parseArguments(argc, argv);
    if (options.command != "repair" && options.command != "info") throw UsageError("unknown command " + options.command);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "video-repair: %s\n\n%s", e.what(), kUsage);
    return vr::cli::kExitUsage;
  }
  if (options.command == "info") return vr::cli::runInfo(options);
  return vr::cli::runRepair(options);
}
