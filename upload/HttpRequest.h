#pragma once
// One HTTP request as the storage and mail clients build it, and what came back.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/ByteOrder.h"
#include "upload/StorageAccount.h"

namespace vr {

struct HttpRequest {
  std::string method;
  StorageUri uri;
  // Headers in the order they were set; names compare without regard to case.
  std::vector<std::pair<std::string, std::string>> headers;
  Bytes body;

  // Value of a header, or the empty string.
  std::string header(std::string_view name) const;
  bool hasHeader(std::string_view name) const;
  // Sets a header, replacing any of the same name.
  void setHeader(std::string_view name, std::string value);
};

// Error codes of the storage client.
enum class StorageErrorCode : int {
  Transport = 1,         // no response: connection refused or reset, timeout, TLS failure
  HttpStatus = 3,        // the service answered with a status other than success
  OperationTimeout = 5,  // the operation's time ran out before a request was sent
  BlockListXml = 7,      // the block list could not be written
};

struct StorageError {
  StorageErrorCode code = StorageErrorCode::Transport;
  long httpStatus = 0;       // for HttpStatus
  std::string message;       // for the log; never holds keys or signatures
};

using StorageResult = std::optional<StorageError>;  // empty: success
using StorageCompletion = std::function<void(const StorageResult&)>;

struct AZSRequestOptions {
  // Each request's timeout: how long connecting, or a stall of the transfer, may last.
  std::chrono::seconds serverTimeout{60};
  std::chrono::seconds maximumExecutionTime{600};
  uint64_t maximumDownloadBufferSize = 1048576;
  // When set, operations that start after it are refused without sending anything.
  std::optional<std::chrono::system_clock::time_point> operationExpiryTime;
  // Blob options.
  bool useTransactionalMD5 = false;
  bool storeBlobContentMD5 = false;
  bool disableContentMD5Validation = false;
  int parallelismFactor = 3;
};

struct HttpResponse {
  long status = 0;
  Bytes body;  // at most the caller's limit
  std::string errorCode;  // the service's "x-ms-error-code", when given
};

}  // namespace vr
