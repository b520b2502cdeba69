#pragma once
// The part of a Blob service client that the error report uses: containers that are
// created, tested and deleted, and block blobs uploaded block by block.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "upload/Executor.h"
#include "upload/HttpRequest.h"
#include "upload/SharedKey.h"
#include "upload/StorageAccount.h"

namespace vr {

enum class AZSBlockListMode : int { Latest = 0, Committed = 1, Uncommitted = 2 };

struct AZSBlockListItem {
  std::string blockID;
  AZSBlockListMode blockListMode = AZSBlockListMode::Latest;
  uint64_t size = 0;
};

// The block-list body: an XML document in ISO-8859-1 with one "Latest", "Committed" or
// "Uncommitted" element per item, in order. Empty when the XML writer fails.
std::optional<std::string> AZSBlobRequestXML(const std::vector<AZSBlockListItem>& items);

// The service version and client name sent with every request.
inline constexpr const char* kStorageServiceVersion = "2015-02-21";
std::string storageUserAgent();

// Builders of the five requests the report sends.
struct AZSBlobRequestFactory {
  static HttpRequest containerExists(const StorageUri& container);
  static HttpRequest createContainer(const StorageUri& container);
  static HttpRequest deleteContainer(const StorageUri& container);
  static HttpRequest putBlock(const StorageUri& blob, Bytes data, const std::string& blockID);
  static HttpRequest putBlockList(const StorageUri& blob, const std::string& xml);
};

// Adds the headers every request carries before it is signed.
void addCommonHeaders(HttpRequest& request, const std::string& clientRequestId);

class AZSCloudBlobContainer;
class AZSCloudBlockBlob;

// Holds the endpoint, the credentials, the request options and the worker threads of the
// asynchronous operations. Containers and blobs keep their client alive.
class AZSCloudBlobClient : public std::enable_shared_from_this<AZSCloudBlobClient> {
 public:
  AZSCloudBlobClient(StorageUri endpoint, AZSStorageCredentials credentials);

  const StorageUri& endpoint() const { return endpoint_; }
  AZSRequestOptions& defaultRequestOptions() { return options_; }
  const AZSRequestOptions& defaultRequestOptions() const { return options_; }

  AZSCloudBlobContainer containerReferenceFromName(const std::string& name);

  // Signs and sends one request: the client request id, the user agent and the service
  // version are added first. Refused without sending when the operation's time is over.
  std::variant<HttpResponse, StorageError> execute(HttpRequest request,
                                                   size_t maxResponseBytes = 65536);
  // Runs job on a worker thread of this client.
  void post(std::function<void()> job);

  // Called with the method, address and status (0 without response) of every request
  // sent; for diagnostics and tests.
  std::function<void(const std::string&, const std::string&, long)> requestObserver;

 private:
  StorageUri endpoint_;
  AZSSharedKeyBlobAuthenticationHandler signer_;
  AZSRequestOptions options_;
  std::shared_ptr<TaskRunner> runner_;
};

class AZSCloudBlobContainer {
 public:
  AZSCloudBlobContainer(std::shared_ptr<AZSCloudBlobClient> client, std::string name);

  const std::string& name() const { return name_; }
  const StorageUri& storageUri() const { return uri_; }

  AZSCloudBlockBlob blockBlobReferenceFromName(const std::string& name) const;

  // Tests for the container (HEAD) and creates it (PUT) only when the test says 404.
  StorageResult createContainerIfNotExists() const;
  void createContainerIfNotExists(StorageCompletion completion) const;
  StorageResult deleteContainer() const;
  void deleteContainer(StorageCompletion completion) const;

 private:
  std::shared_ptr<AZSCloudBlobClient> client_;
  std::string name_;
  StorageUri uri_;
};

class AZSCloudBlockBlob {
 public:
  AZSCloudBlockBlob(std::shared_ptr<AZSCloudBlobClient> client, const StorageUri& containerUri,
                    std::string name);

  const std::string& name() const { return name_; }
  const StorageUri& storageUri() const { return uri_; }

  StorageResult uploadBlockFromData(const Bytes& data, const std::string& blockID) const;
  void uploadBlockFromData(Bytes data, std::string blockID, StorageCompletion completion) const;
  StorageResult uploadBlockListFromArray(const std::vector<AZSBlockListItem>& items) const;
  void uploadBlockListFromArray(std::vector<AZSBlockListItem> items,
                                StorageCompletion completion) const;
  // Uploads the text's UTF-8 bytes in blocks of 4 MiB, at most parallelismFactor of them
  // at once, then commits them in order.
  StorageResult uploadFromText(const std::string& text) const;
  void uploadFromText(std::string text, StorageCompletion completion) const;

 private:
  std::shared_ptr<AZSCloudBlobClient> client_;
  std::string name_;
  StorageUri uri_;
};

}  // namespace vr
