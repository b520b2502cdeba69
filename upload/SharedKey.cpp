#include "upload/SharedKey.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <map>

#include "upload/Crypto.h"

namespace vr {

namespace {

std::string toLower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Every white-space or line-break character becomes one space; runs stay as they are.
std::string spacesForBreaks(std::string s) {
  for (char& c : s)
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') c = ' ';
  return s;
}

}  // namespace

std::string httpDate(std::chrono::system_clock::time_point t) {
  static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t secs = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday % 7],
                tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  return buf;
}

std::string AZSSharedKeyBlobAuthenticationHandler::stringToSign(const HttpRequest& request) const {
  std::string s = request.method + "\n";
  for (const char* name : {"Content-Encoding", "Content-Language"}) s += request.header(name) + "\n";
  const std::string length = request.header("Content-Length");
  s += (length == "0" ? std::string() : length) + "\n";
  for (const char* name : {"Content-MD5", "Content-Type"}) s += request.header(name) + "\n";
  s += "\n";  // the date travels in x-ms-date
  for (const char* name :
       {"If-Modified-Since", "If-Match", "If-None-Match", "If-Unmodified-Since", "Range"})
    s += request.header(name) + "\n";

  std::map<std::string, std::string> msHeaders;
  for (const auto& [name, value] : request.headers)
    if (name.rfind("x-ms-", 0) == 0) msHeaders[toLower(name)] = value;
  for (const auto& [name, value] : msHeaders)
    s += spacesForBreaks(name) + ":" + spacesForBreaks(value) + "\n";

  s += "/" + credentials_.accountName + request.uri.encodedPath();
  // Items are split before they are decoded, so an encoded "&" inside a value stays in it.
  std::map<std::string, std::string> query;
  const std::string& encoded = request.uri.query();
  size_t pos = 0;
  while (!encoded.empty() && pos <= encoded.size()) {
    size_t end = encoded.find('&', pos);
    if (end == std::string::npos) end = encoded.size();
    const std::string item = encoded.substr(pos, end - pos);
    const size_t eq = item.find('=');
    if (!item.empty())
      query[toLower(percentDecode(item.substr(0, eq)))] =
          eq == std::string::npos ? std::string() : percentDecode(item.substr(eq + 1));
    pos = end + 1;
  }
  for (const auto& [name, value] : query) s += "\n" + name + ":" + value;
  return s;
}

void AZSSharedKeyBlobAuthenticationHandler::signRequest(
    HttpRequest& request, std::chrono::system_clock::time_point now) const {
  request.setHeader("x-ms-date", httpDate(now));
  const Bytes mac = hmacSha256(credentials_.accountKey, stringToSign(request));
  request.setHeader("Authorization",
                    "SharedKey " + credentials_.accountName + ":" + base64Encode(mac));
}

}  // namespace vr
