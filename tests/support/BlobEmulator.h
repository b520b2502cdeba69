#pragma once
// The blob emulator started by the test command: its address comes from
// VR_TEST_BLOB_ENDPOINT; the account is the emulator's publicly documented development
// account.
#include <cstdlib>
#include <string>

namespace vr::test {

inline constexpr const char* kDevAccountName = "devstoreaccount1";
inline constexpr const char* kDevAccountKey =
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";

// Empty when no emulator runs.
inline std::string blobEmulatorEndpoint() {
  const char* e = std::getenv("VR_TEST_BLOB_ENDPOINT");
  return e ? e : "";
}

inline std::string emulatorConnectionString(const std::string& endpoint, const std::string& key = kDevAccountKey) {
  return std::string("DefaultEndpointsProtocol=http;AccountName=") + kDevAccountName +
         ";AccountKey=" + key + ";BlobEndpoint=" + endpoint;
}

}  // namespace vr::test
