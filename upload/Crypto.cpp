#include "upload/Crypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>

namespace vr {

std::string base64Encode(std::span<const uint8_t> data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(),
                                static_cast<int>(data.size()));
  out.resize(n > 0 ? size_t(n) : 0);
  return out;
}

std::string base64Encode(std::string_view text) {
  return base64Encode(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()),
                                               text.size()));
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t pad = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '=') {
      // Padding only in the last two places, and nothing but padding after it.
      if (i + 2 < text.size()) return std::nullopt;
      ++pad;
    } else if (pad || !(std::isalnum(c) || c == '+' || c == '/')) {
      return std::nullopt;
    }
  }
  Bytes out(text.size() / 4 * 3);
  if (text.empty()) return out;
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0 || size_t(n) < pad) return std::nullopt;
  out.resize(size_t(n) - pad);
  return out;
}

Bytes hmacSha256(std::span<const uint8_t> key, std::string_view message) {
  Bytes mac(EVP_MAX_MD_SIZE);
  unsigned int len = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
            reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac.data(),
            &len))
    return {};
  mac.resize(len);
  return mac;
}

namespace {

std::array<uint8_t, 16> randomUuidBytes() {
  std::array<uint8_t, 16> b{};
  // Without the random source no identifier is better than a predictable one.
  if (RAND_bytes(b.data(), static_cast<int>(b.size())) != 1) std::abort();
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return b;
}

std::string hexOf(const std::array<uint8_t, 16>& b, bool dashes, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < b.size(); ++i) {
    if (dashes && (i == 4 || i == 6 || i == 8 || i == 10)) s += '-';
    s += digits[b[i] >> 4];
    s += digits[b[i] & 0x0F];
  }
  return s;
}

}  // namespace

std::string randomStringWithLength(size_t length) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string out;
  while (out.size() < length) {
    unsigned char b[32];
    if (RAND_bytes(b, sizeof b) != 1) std::abort();
    for (unsigned char c : b)
      // 248 = 4 * 62: values above it are dropped so that every character is equally likely.
      if (c < 248 && out.size() < length) out += kAlphabet[c % 62];
  }
  return out;
}

std::string makeUuidString() { return hexOf(randomUuidBytes(), true, true); }
std::string makeUuidHex() { return hexOf(randomUuidBytes(), false, false); }

}  // namespace vr
