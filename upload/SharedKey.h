#pragma once
// Shared Key signing of Blob service requests.
#include <chrono>
#include <string>

#include "upload/HttpRequest.h"
#include "upload/StorageAccount.h"

namespace vr {

class AZSSharedKeyBlobAuthenticationHandler {
 public:
  explicit AZSSharedKeyBlobAuthenticationHandler(AZSStorageCredentials credentials)
      : credentials_(std::move(credentials)) {}

  // Sets "x-ms-date" to the given time and "Authorization" to the signature.
  void signRequest(HttpRequest& request, std::chrono::system_clock::time_point now) const;

  // The text that is signed: fixed headers, canonical "x-ms-" headers, canonical resource.
  std::string stringToSign(const HttpRequest& request) const;

 private:
  AZSStorageCredentials credentials_;
};

// "Mon, 07 Dec 2026 03:11:40 GMT": RFC 1123 time in English whatever the locale.
std::string httpDate(std::chrono::system_clock::time_point t);

}  // namespace vr
