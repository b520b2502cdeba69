#pragma once
// What the report window's tests need around it: the settings that point it at the blob
// emulator and a local mail server, and reading back what an upload stored.
#include <QByteArray>
#include <QtGlobal>
#include <memory>
#include <string>

#include "support/BlobEmulator.h"
#include "upload/BlobClient.h"

namespace vr::test {

// Points the report window at the blob endpoint and the mail server at mailUrl.
inline void configureReport(const std::string& blobEndpoint, const std::string& mailUrl) {
  qputenv("VR_STORAGE_CONNECTION_STRING", emulatorConnectionString(blobEndpoint).c_str());
  qputenv("VR_MAIL_API_KEY", "test-mail-key");
  qputenv("VR_MAIL_ENDPOINT", QByteArray::fromStdString(mailUrl));
  qputenv("VR_SUPPORT_MAILBOX", "support@example.com");
}

inline std::shared_ptr<AZSCloudBlobClient> emulatorClient() {
  return AZSCloudStorageAccount::accountFromConnectionString(emulatorConnectionString(blobEmulatorEndpoint()))
      ->getBlobClient();
}

// The blob's content, or "(missing)".
inline QByteArray downloadBlob(const std::string& container, const std::string& blob) {
  const auto client = emulatorClient();
  const auto uri = client->containerReferenceFromName(container).blockBlobReferenceFromName(blob).storageUri();
  auto r = client->execute(HttpRequest{"GET", uri, {}, {}}, size_t(64) << 20);
  if (auto* ok = std::get_if<HttpResponse>(&r))
    return QByteArray(reinterpret_cast<const char*>(ok->body.data()), qsizetype(ok->body.size()));
  return "(missing)";
}

}  // namespace vr::test
