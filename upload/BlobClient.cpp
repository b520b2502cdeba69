#include "upload/BlobClient.h"

#include <libxml/xmlwriter.h>
#include <sys/utsname.h>

#include <condition_variable>
#include <mutex>

#include "upload/Crypto.h"

namespace vr {

namespace {

constexpr size_t kTextBlockSize = 4194304;

const char* modeName(AZSBlockListMode mode) {
  switch (mode) {
    case AZSBlockListMode::Committed: return "Committed";
    case AZSBlockListMode::Uncommitted: return "Uncommitted";
    case AZSBlockListMode::Latest: break;
  }
  return "Latest";
}

StorageResult resultOf(const std::variant<HttpResponse, StorageError>& r) {
  if (const auto* e = std::get_if<StorageError>(&r)) return *e;
  return std::nullopt;
}

}  // namespace

std::optional<std::string> AZSBlobRequestXML(const std::vector<AZSBlockListItem>& items) {
  xmlBufferPtr buffer = xmlBufferCreate();
  if (!buffer) return std::nullopt;
  xmlTextWriterPtr writer = xmlNewTextWriterMemory(buffer, 0);
  if (!writer) {
    xmlBufferFree(buffer);
    return std::nullopt;
  }
  bool ok = xmlTextWriterStartDocument(writer, nullptr, "ISO-8859-1", nullptr) >= 0 &&
            xmlTextWriterStartElement(writer, BAD_CAST "BlockList") >= 0;
  for (const auto& item : items) {
    if (!ok) break;
    ok = xmlTextWriterWriteElement(writer, BAD_CAST modeName(item.blockListMode),
                                   BAD_CAST item.blockID.c_str()) >= 0;
  }
  ok = ok && xmlTextWriterEndDocument(writer) >= 0;
  xmlFreeTextWriter(writer);  // flushes into the buffer
  std::optional<std::string> xml;
  if (ok) xml = std::string(reinterpret_cast<const char*>(xmlBufferContent(buffer)),
                            static_cast<size_t>(xmlBufferLength(buffer)));
  xmlBufferFree(buffer);
  return xml;
}

std::string storageUserAgent() {
  std::string version = "unknown";
  utsname u{};
  if (uname(&u) == 0) version = std::string(u.sysname) + " " + u.release;
  return "Azure-Storage/0.1.2-preview (iOS " + version + ")";
}

HttpRequest AZSBlobRequestFactory::containerExists(const StorageUri& container) {
  return HttpRequest{"HEAD", container.appendingQueryItem("restype=container"), {}, {}};
}

HttpRequest AZSBlobRequestFactory::createContainer(const StorageUri& container) {
  return HttpRequest{"PUT", container.appendingQueryItem("restype=container"), {}, {}};
}

HttpRequest AZSBlobRequestFactory::deleteContainer(const StorageUri& container) {
  return HttpRequest{"DELETE", container.appendingQueryItem("restype=container"), {}, {}};
}

HttpRequest AZSBlobRequestFactory::putBlock(const StorageUri& blob, Bytes data,
                                            const std::string& blockID) {
  HttpRequest put{"PUT", blob.appendingQueryItem("comp=block").appendingQueryItem("blockid=" + percentEncodeQueryValue(blockID)),
                  {}, std::move(data)};
  put.setHeader("Content-Length", std::to_string(put.body.size()));
  return put;
}

HttpRequest AZSBlobRequestFactory::putBlockList(const StorageUri& blob, const std::string& xml) {
  HttpRequest put{"PUT", blob.appendingQueryItem("comp=blocklist"), {}, Bytes(xml.begin(), xml.end())};
  put.setHeader("Content-Length", std::to_string(xml.size()));
  return put;
}

void addCommonHeaders(HttpRequest& request, const std::string& clientRequestId) {
  request.setHeader("x-ms-version", kStorageServiceVersion);
  request.setHeader("User-Agent", storageUserAgent());
  request.setHeader("x-ms-client-request-id", clientRequestId);
}

AZSCloudBlobClient::AZSCloudBlobClient(StorageUri endpoint, AZSStorageCredentials credentials)
    : endpoint_(std::move(endpoint)),
      signer_(std::move(credentials)),
      runner_(std::make_shared<TaskRunner>()) {}

AZSCloudBlobContainer AZSCloudBlobClient::containerReferenceFromName(const std::string& name) {
  return AZSCloudBlobContainer(shared_from_this(), name);
}

std::variant<HttpResponse, StorageError> AZSCloudBlobClient::execute(HttpRequest request,
                                                                     size_t maxResponseBytes) {
  const auto now = std::chrono::system_clock::now();
  addCommonHeaders(request, makeUuidString());
  signer_.signRequest(request, now);

  // Without an expiry time an operation has a week.
  const auto remaining = options_.operationExpiryTime
                             ? std::chrono::duration_cast<std::chrono::seconds>(
                                   *options_.operationExpiryTime - now)
                             : std::chrono::seconds(604800);
  std::variant<HttpResponse, StorageError> result =
      StorageError{StorageErrorCode::OperationTimeout, 0, "the operation's time ran out"};
  if (remaining.count() > 0) {
    TransferLimits limits;
    limits.connectAndStallTimeout = options_.serverTimeout;
    limits.totalTimeout = remaining;
    limits.maxResponseBytes = maxResponseBytes;
    result = performRequest(request, limits);
  }
  if (requestObserver) {
    long status = 0;
    if (const auto* r = std::get_if<HttpResponse>(&result)) status = r->status;
    if (const auto* e = std::get_if<StorageError>(&result)) status = e->httpStatus;
    requestObserver(request.method, request.uri.toString(), status);
  }
  return result;
}

void AZSCloudBlobClient::post(std::function<void()> job) { runner_->post(std::move(job)); }

AZSCloudBlobContainer::AZSCloudBlobContainer(std::shared_ptr<AZSCloudBlobClient> client,
                                             std::string name)
    : client_(std::move(client)), name_(std::move(name)) {
  uri_ = client_->endpoint().appendingPathComponent(name_);
}

AZSCloudBlockBlob AZSCloudBlobContainer::blockBlobReferenceFromName(const std::string& name) const {
  return AZSCloudBlockBlob(client_, uri_, name);
}

StorageResult AZSCloudBlobContainer::createContainerIfNotExists() const {
  const StorageResult r = resultOf(client_->execute(AZSBlobRequestFactory::containerExists(uri_)));
  if (!r) return std::nullopt;
  if (r->code != StorageErrorCode::HttpStatus || r->httpStatus != 404) return r;
  return resultOf(client_->execute(AZSBlobRequestFactory::createContainer(uri_)));
}

void AZSCloudBlobContainer::createContainerIfNotExists(StorageCompletion completion) const {
  client_->post([self = *this, completion = std::move(completion)] {
    completion(self.createContainerIfNotExists());
  });
}

StorageResult AZSCloudBlobContainer::deleteContainer() const {
  return resultOf(client_->execute(AZSBlobRequestFactory::deleteContainer(uri_)));
}

void AZSCloudBlobContainer::deleteContainer(StorageCompletion completion) const {
  client_->post([self = *this, completion = std::move(completion)] {
    completion(self.deleteContainer());
  });
}

AZSCloudBlockBlob::AZSCloudBlockBlob(std::shared_ptr<AZSCloudBlobClient> client,
                                     const StorageUri& containerUri, std::string name)
    : client_(std::move(client)), name_(std::move(name)) {
  uri_ = containerUri.appendingPathComponent(name_);
}

StorageResult AZSCloudBlockBlob::uploadBlockFromData(const Bytes& data,
                                                     const std::string& blockID) const {
  return resultOf(client_->execute(AZSBlobRequestFactory::putBlock(uri_, data, blockID)));
}

void AZSCloudBlockBlob::uploadBlockFromData(Bytes data, std::string blockID,
                                            StorageCompletion completion) const {
  client_->post([self = *this, data = std::move(data), blockID = std::move(blockID),
                 completion = std::move(completion)] {
    completion(self.uploadBlockFromData(data, blockID));
  });
}

StorageResult AZSCloudBlockBlob::uploadBlockListFromArray(
    const std::vector<AZSBlockListItem>& items) const {
  const auto xml = AZSBlobRequestXML(items);
  if (!xml) return StorageError{StorageErrorCode::BlockListXml, 0, "the block list could not be written"};
  return resultOf(client_->execute(AZSBlobRequestFactory::putBlockList(uri_, *xml)));
}

void AZSCloudBlockBlob::uploadBlockListFromArray(std::vector<AZSBlockListItem> items,
                                                 StorageCompletion completion) const {
  client_->post([self = *this, items = std::move(items), completion = std::move(completion)] {
    completion(self.uploadBlockListFromArray(items));
  });
}

StorageResult AZSCloudBlockBlob::uploadFromText(const std::string& text) const {
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    int inFlight = 0;
    StorageResult firstError;
  };
  auto shared = std::make_shared<Shared>();
  const int parallel = std::max(1, client_->defaultRequestOptions().parallelismFactor);
  std::vector<AZSBlockListItem> items;
  for (size_t offset = 0; offset < text.size(); offset += kTextBlockSize) {
    const size_t n = std::min(kTextBlockSize, text.size() - offset);
    AZSBlockListItem item{base64Encode("blockid" + makeUuidHex()), AZSBlockListMode::Latest, n};
    {
      std::unique_lock lock(shared->mutex);
      shared->changed.wait(lock, [&] { return shared->inFlight < parallel; });
      if (shared->firstError) break;
      ++shared->inFlight;
    }
    uploadBlockFromData(Bytes(text.begin() + offset, text.begin() + offset + n), item.blockID,
                        [shared](const StorageResult& r) {
                          std::lock_guard lock(shared->mutex);
                          if (r && !shared->firstError) shared->firstError = r;
                          --shared->inFlight;
                          shared->changed.notify_all();
                        });
    items.push_back(std::move(item));
  }
  {
    std::unique_lock lock(shared->mutex);
    shared->changed.wait(lock, [&] { return shared->inFlight == 0; });
    if (shared->firstError) return shared->firstError;
  }
  return uploadBlockListFromArray(items);
}

void AZSCloudBlockBlob::uploadFromText(std::string text, StorageCompletion completion) const {
  client_->post([self = *this, text = std::move(text), completion = std::move(completion)] {
    completion(self.uploadFromText(text));
  });
}

}  // namespace vr
