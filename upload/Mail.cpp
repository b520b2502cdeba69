#include "upload/Mail.h"

#include <cstdio>

namespace vr {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t utf8Length(const std::string& s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || (n > 1 && c < 0xC2) || c > 0xF4 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  const unsigned char c1 = static_cast<unsigned char>(n > 1 ? s[i + 1] : 0);
  if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) ||
      (c == 0xF4 && c1 > 0x8F))
    return 0;  // overlong forms, surrogates, beyond U+10FFFF
  return n;
}

}  // namespace

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else if (c >= 0x80) {
      const size_t n = utf8Length(text, i);
      if (n == 0) {
        out += "\xEF\xBF\xBD";
        ++i;
        continue;
      }
      out.append(text, i, n);
      i += n;
      continue;
    } else {
      out += char(c);
    }
    ++i;
  }
  return out + "\"";
}

std::optional<HttpRequest> mailRequest(const MailSettings& settings, const std::string& subject,
                                       const std::string& fromAddress, const std::string& body) {
  auto endpoint = StorageUri::parse(settings.endpoint);
  if (!endpoint || !endpoint->query().empty()) return std::nullopt;
  HttpRequest post;
  post.method = "POST";
  post.uri = endpoint->appendingPathComponent("v3/mail/send");
  post.setHeader("Authorization", "Bearer " + settings.apiKey);
  post.setHeader("Content-Type", "application/json");
  const std::string json =
      "{\"personalizations\":[{\"to\":[{\"email\":" + jsonString(settings.supportMailbox) +
      "}],\"subject\":" + jsonString(subject) + "}],\"from\":{\"email\":" +
      jsonString(fromAddress) + "},\"subject\":" + jsonString(subject) +
      ",\"content\":[{\"type\":\"text/plain\",\"value\":" + jsonString(body) + "}]}";
  post.body.assign(json.begin(), json.end());
  return post;
}

void MailSender::sendMailWithSubject(const std::string& subject, const std::string& fromAddress,
                                     const std::string& body) {
  auto request = mailRequest(settings_, subject, fromAddress, body);
  runner_.post([request = std::move(request)] {
    if (!request) {
      uploadLog("Error sending email: the mail endpoint is not an http(s) address");
      return;
    }
    const auto r = performRequest(*request, TransferLimits{std::chrono::seconds(60),
                                                           std::chrono::seconds(300), 65536});
    if (const auto* e = std::get_if<StorageError>(&r))
      uploadLog("Error sending email: " + e->message);
    else
      uploadLog("Email sent successfully!");
  });
}

}  // namespace vr
