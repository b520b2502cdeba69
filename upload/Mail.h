#pragma once
// The report mail: one POST to the mail-send web API with a JSON body.
#include <memory>
#include <optional>
#include <string>

#include "upload/Executor.h"
#include "upload/HttpRequest.h"

namespace vr {

struct MailSettings {
  std::string endpoint;  // origin of the API, e.g. "https://host"; "/v3/mail/send" is added
  std::string apiKey;
  std::string supportMailbox;
};

// The request of one mail to the support mailbox; nullopt when the endpoint is no
// http(s) address.
std::optional<HttpRequest> mailRequest(const MailSettings& settings, const std::string& subject,
                                       const std::string& fromAddress, const std::string& body);

// A JSON string literal with quotes; bytes that are not valid UTF-8 become U+FFFD.
std::string jsonString(const std::string& text);

// Sends mails on a worker thread of its own; the result is only logged ("Email sent
// successfully!" or "Error sending email: ...").
class MailSender {
 public:
  explicit MailSender(MailSettings settings) : settings_(std::move(settings)) {}
  void sendMailWithSubject(const std::string& subject, const std::string& fromAddress,
                           const std::string& body);
  // Waits until every mail handed over has been sent or has failed.
  void waitIdle() { runner_.waitIdle(); }

 private:
  MailSettings settings_;
  TaskRunner runner_;
};

}  // namespace vr
