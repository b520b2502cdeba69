#pragma once
// Base64, HMAC-SHA256 and random identifiers for request signing and block names.
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/ByteOrder.h"

namespace vr {

// Standard Base64 with padding.
std::string base64Encode(std::span<const uint8_t> data);
std::string base64Encode(std::string_view text);
// Strict standard Base64: length a multiple of 4, padding only at the end. Empty on refusal.
std::optional<Bytes> base64Decode(std::string_view text);

// HMAC-SHA256 of message keyed with key (32 bytes).
Bytes hmacSha256(std::span<const uint8_t> key, std::string_view message);

// A random (version 4) UUID in its usual upper-case 36-character text, from the system's
// cryptographic random source.
std::string makeUuidString();
// A random UUID without dashes, lower-cased: 32 hexadecimal characters.
std::string makeUuidHex();
// length characters drawn uniformly and independently from a-z, A-Z and 0-9.
std::string randomStringWithLength(size_t length);

}  // namespace vr
