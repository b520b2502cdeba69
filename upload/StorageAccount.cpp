#include "upload/StorageAccount.h"

#include <cctype>

#include "upload/BlobClient.h"
#include "upload/Crypto.h"

namespace vr {

namespace {

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  return true;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

namespace {

std::string percentEncode(std::string_view text, std::string_view allowed) {
  std::string out;
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) && c < 0x80) {
      out += ch;
    } else if (allowed.find(ch) != std::string_view::npos) {
      out += ch;
    } else {
      static const char* digits = "0123456789ABCDEF";
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 0x0F];
    }
  }
  return out;
}

}  // namespace

std::string percentEncodePath(std::string_view path) {
  // Characters allowed in a path as they are: unreserved ones and the sub-delimiters,
  // ":", "@" and "/".
  return percentEncode(path, "-._~!$&'()*+,;=:@/");
}

std::string percentEncodeQueryValue(std::string_view value) { return percentEncode(value, "-._~"); }

std::string percentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
        hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::optional<StorageUri> StorageUri::parse(std::string_view text) {
  size_t schemeLen = 0;
  if (startsWithNoCase(text, "https://"))
    schemeLen = 8;
  else if (startsWithNoCase(text, "http://"))
    schemeLen = 7;
  else
    return std::nullopt;
  const size_t hostEnd = text.find_first_of("/?#", schemeLen);
  const std::string_view authority =
      text.substr(schemeLen, hostEnd == std::string_view::npos ? text.npos : hostEnd - schemeLen);
  if (authority.empty() || authority.find_first_of(" @") != std::string_view::npos)
    return std::nullopt;
  StorageUri uri;
  uri.origin_ = std::string(text.substr(0, schemeLen - 3));
  for (char& c : uri.origin_) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  uri.origin_ += "://";
  uri.origin_ += authority;
  if (hostEnd == std::string_view::npos) return uri;
  std::string_view rest = text.substr(hostEnd);
  if (const size_t hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);
  const size_t q = rest.find('?');
  uri.path_ = percentDecode(rest.substr(0, q));
  if (q != std::string_view::npos) uri.query_ = std::string(rest.substr(q + 1));
  return uri;
}

bool StorageUri::isHttps() const { return origin_.rfind("https://", 0) == 0; }

std::string StorageUri::encodedPath() const {
  return path_.empty() ? std::string("/") : percentEncodePath(path_);
}

std::string StorageUri::toString() const {
  std::string s = origin_ + encodedPath();
  if (!query_.empty()) s += "?" + query_;
  return s;
}

StorageUri StorageUri::appendingPathComponent(std::string_view name) const {
  StorageUri u = *this;
  if (u.path_.empty() || u.path_.back() != '/') u.path_ += '/';
  u.path_ += name;
  return u;
}

StorageUri StorageUri::deletingLastPathComponent() const {
  StorageUri u = *this;
  u.query_.clear();
  std::string& p = u.path_;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  p = slash == std::string::npos ? "/" : p.substr(0, slash + 1);
  return u;
}

StorageUri StorageUri::appendingQueryItem(std::string_view item) const {
  StorageUri u = *this;
  if (!u.query_.empty()) u.query_ += '&';
  u.query_ += item;
  return u;
}

std::map<std::string, std::string> parseConnectionString(std::string_view text) {
  std::map<std::string, std::string> pairs;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(';', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view item = text.substr(pos, end - pos);
    const size_t eq = item.find('=');
    if (!item.empty() && eq != std::string_view::npos && eq > 0)
      pairs[std::string(item.substr(0, eq))] = std::string(item.substr(eq + 1));
    pos = end + 1;
  }
  return pairs;
}

std::optional<AZSCloudStorageAccount> AZSCloudStorageAccount::accountFromConnectionString(
    std::string_view text) {
  const auto pairs = parseConnectionString(text);
  const auto get = [&](const char* key) -> std::string {
    const auto it = pairs.find(key);
    return it == pairs.end() ? std::string() : it->second;
  };
  AZSCloudStorageAccount account;
  account.credentials_.accountName = get("AccountName");
  const auto key = base64Decode(get("AccountKey"));
  if (account.credentials_.accountName.empty() || !key || key->empty()) return std::nullopt;
  account.credentials_.accountKey = *key;

  const std::string protocol = get("DefaultEndpointsProtocol") == "http" ? "http" : "https";
  const std::string suffix = get("EndpointSuffix");
  const std::string& name = account.credentials_.accountName;
  if (pairs.count("BlobEndpoint")) {
    auto endpoint = StorageUri::parse(get("BlobEndpoint"));
    if (!endpoint) return std::nullopt;
    account.blobEndpoint_ = *endpoint;
  } else if (!suffix.empty()) {
    auto endpoint = StorageUri::parse(protocol + "://" + name + ".blob." + suffix);
    if (!endpoint) return std::nullopt;
    account.blobEndpoint_ = *endpoint;
  } else {
    return std::nullopt;
  }
  if (!suffix.empty()) {
    if (auto secondary = StorageUri::parse(protocol + "://" + name + "-secondary.blob." + suffix))
      account.secondaryBlobEndpoint_ = *secondary;
  }
  return account;
}

std::shared_ptr<AZSCloudBlobClient> AZSCloudStorageAccount::getBlobClient() const {
  return std::make_shared<AZSCloudBlobClient>(blobEndpoint_, credentials_);
}

}  // namespace vr
