#pragma once
// A storage account read from a connection string, its credentials and the addresses of
// the blob service, containers and blobs.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/ByteOrder.h"

namespace vr {

// An http(s) address held as its origin ("https://host:port"), its decoded path and its
// percent-encoded query. The path is encoded again whenever the address is written out,
// so names with spaces and similar characters stay one path segment.
class StorageUri {
 public:
  StorageUri() = default;
  // Refuses anything but an absolute http or https address with a host.
  static std::optional<StorageUri> parse(std::string_view text);

  const std::string& origin() const { return origin_; }
  const std::string& path() const { return path_; }
  const std::string& query() const { return query_; }
  bool isHttps() const;
  // The path percent-encoded as it is sent; "/" when empty.
  std::string encodedPath() const;
  std::string toString() const;

  // The address with "/" and name appended to the path.
  StorageUri appendingPathComponent(std::string_view name) const;
  // The address without the last path segment, ending in "/".
  StorageUri deletingLastPathComponent() const;
  // The address with "name=value" appended to the query (joined with "&"); the item is
  // taken as already encoded.
  StorageUri appendingQueryItem(std::string_view item) const;

 private:
  std::string origin_;
  std::string path_;
  std::string query_;
};

std::string percentEncodePath(std::string_view path);
// Encodes all but letters, digits and "-._~", so a value may hold "=", "+", "/" and "&".
std::string percentEncodeQueryValue(std::string_view value);
std::string percentDecode(std::string_view text);

// The account name and the decoded account key.
struct AZSStorageCredentials {
  std::string accountName;
  Bytes accountKey;
};

class AZSCloudBlobClient;

class AZSCloudStorageAccount {
 public:
  // Reads "key=value;key=value" pairs. Gives no account without an account name and a
  // valid Base64 account key, or without a way to name the blob endpoint (an explicit
  // "BlobEndpoint" or an "EndpointSuffix").
  static std::optional<AZSCloudStorageAccount> accountFromConnectionString(std::string_view text);

  const AZSStorageCredentials& credentials() const { return credentials_; }
  const StorageUri& blobEndpoint() const { return blobEndpoint_; }
  const StorageUri& secondaryBlobEndpoint() const { return secondaryBlobEndpoint_; }

  std::shared_ptr<AZSCloudBlobClient> getBlobClient() const;

 private:
  AZSStorageCredentials credentials_;
  StorageUri blobEndpoint_;
  StorageUri secondaryBlobEndpoint_;
};

// The pairs of a connection string, each split at its first "="; empty items are skipped.
std::map<std::string, std::string> parseConnectionString(std::string_view text);

}  // namespace vr
