#include "upload/ReportConfig.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vr {

namespace {

std::string trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

struct Field {
  const char* key;
  const char* env;
  std::string ReportConfig::*member;
};

const Field kFields[] = {
    {"storage_connection_string", "VR_STORAGE_CONNECTION_STRING", &ReportConfig::storageConnectionString},
    {"mail_api_key", "VR_MAIL_API_KEY", &ReportConfig::mailApiKey},
    {"mail_endpoint", "VR_MAIL_ENDPOINT", &ReportConfig::mailEndpoint},
    {"support_mailbox", "VR_SUPPORT_MAILBOX", &ReportConfig::supportMailbox},
};

}  // namespace

std::string ReportConfig::defaultPath() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  std::string base = xdg && *xdg ? xdg : std::string(home ? home : "") + "/.config";
  return base + "/video-repair/report.conf";
}

ReportConfig ReportConfig::fromText(const std::string& text) {
  ReportConfig c;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    line = trim(line);
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = trim(line.substr(0, eq));
    for (const auto& f : kFields)
      if (key == f.key) c.*f.member = trim(line.substr(eq + 1));
  }
  return c;
}

ReportConfig ReportConfig::load(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  if (in) {
    // A settings file is small; anything past 64 KiB is not read.
    text.resize(65536);
    in.read(text.data(), std::streamsize(text.size()));
    text.resize(size_t(in.gcount()));
  }
  ReportConfig c = fromText(text);
  c.applyEnvironment();
  return c;
}

void ReportConfig::applyEnvironment() {
  for (const auto& f : kFields)
    if (const char* v = std::getenv(f.env); v && *v) this->*f.member = v;
}

}  // namespace vr
