#pragma once
// Where the error report sends its files and its mail. Nothing is built into the program:
// the values come from a settings file in the user's config folder and from environment
// variables, which win over the file.
#include <map>
#include <string>

namespace vr {

struct ReportConfig {
  std::string storageConnectionString;  // "storage_connection_string" / VR_STORAGE_CONNECTION_STRING
  std::string mailApiKey;               // "mail_api_key" / VR_MAIL_API_KEY
  std::string mailEndpoint;             // "mail_endpoint" / VR_MAIL_ENDPOINT, e.g. https://host
  std::string supportMailbox;           // "support_mailbox" / VR_SUPPORT_MAILBOX

  bool isComplete() const {
    return !storageConnectionString.empty() && !mailApiKey.empty() && !mailEndpoint.empty() &&
           !supportMailbox.empty();
  }

  // $XDG_CONFIG_HOME/video-repair/report.conf, or ~/.config/video-repair/report.conf.
  static std::string defaultPath();
  // Reads "key = value" lines ("#" starts a comment line; a value runs to the end of its
  // line and may hold "=" and ";"), then applies the environment.
  static ReportConfig load(const std::string& path = defaultPath());
  static ReportConfig fromText(const std::string& text);
  void applyEnvironment();
};

}  // namespace vr
