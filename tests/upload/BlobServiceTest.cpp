// The storage client against the blob emulator: containers, blocks, block lists, uploads
// read back byte for byte, and the failures a caller must see as errors.
#include <gtest/gtest.h>

#include <mutex>
#include <random>

#include "support/BlobEmulator.h"
#include "support/LoopbackHttpServer.h"
#include "upload/BlobClient.h"
#include "upload/Crypto.h"

namespace vr {
namespace {

class BlobService : public ::testing::Test {
 protected:
  void SetUp() override {
    endpoint_ = test::blobEmulatorEndpoint();
    if (endpoint_.empty()) GTEST_SKIP() << "VR_TEST_BLOB_ENDPOINT not set: no blob emulator";
    client_ = clientFor(test::emulatorConnectionString(endpoint_));
    ASSERT_TRUE(client_);
    client_->requestObserver = [this](const std::string& method, const std::string&, long status) {
      std::lock_guard lock(mutex_);
      sent_.push_back(method + " " + std::to_string(status));
    };
    container_ = std::make_unique<AZSCloudBlobContainer>(client_->containerReferenceFromName("t" + makeUuidHex()));
  }
  void TearDown() override {
    if (container_) container_->deleteContainer();
  }

  static std::shared_ptr<AZSCloudBlobClient> clientFor(const std::string& connection) {
    const auto account = AZSCloudStorageAccount::accountFromConnectionString(connection);
    return account ? account->getBlobClient() : nullptr;
  }
  std::vector<std::string> takeSent() {
    std::lock_guard lock(mutex_);
    return std::exchange(sent_, {});
  }
  // The blob's bytes as the service holds them; nullopt when it cannot be read.
  std::optional<Bytes> download(const AZSCloudBlockBlob& blob) {
    auto r = client_->execute(HttpRequest{"GET", blob.storageUri(), {}, {}}, size_t(64) << 20);
    if (auto* ok = std::get_if<HttpResponse>(&r)) return ok->body;
    return std::nullopt;
  }

  std::string endpoint_;
  std::shared_ptr<AZSCloudBlobClient> client_;
  std::unique_ptr<AZSCloudBlobContainer> container_;
  std::mutex mutex_;
  std::vector<std::string> sent_;
};

Bytes randomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(gen());
  return b;
}

TEST_F(BlobService, CreateIfNotExistsTestsFirstAndDeleteRemoves) {
  EXPECT_FALSE(container_->createContainerIfNotExists());
  EXPECT_EQ(takeSent(), (std::vector<std::string>{"HEAD 404", "PUT 201"}));
  EXPECT_FALSE(container_->createContainerIfNotExists());
  EXPECT_EQ(takeSent(), (std::vector<std::string>{"HEAD 200"}));
  EXPECT_FALSE(container_->deleteContainer());
  const auto again = container_->deleteContainer();
  EXPECT_TRUE(again && again->code == StorageErrorCode::HttpStatus && again->httpStatus == 404);
}

// Files go up in blocks of a mebibyte and come back as the block list orders them.
TEST_F(BlobService, BlocksComeBackInTheOrderOfTheBlockList) {
  ASSERT_FALSE(container_->createContainerIfNotExists());
  constexpr size_t kMiB = 1048576;
  for (size_t size : {size_t(0), kMiB, kMiB + 1, 3 * kMiB + 5}) {
    SCOPED_TRACE(size);
    const Bytes data = randomBytes(size, unsigned(size));
    const AZSCloudBlockBlob blob = container_->blockBlobReferenceFromName("file " + std::to_string(size) + ".mov");
    std::vector<AZSBlockListItem> items;
    Bytes reversed;
    for (size_t offset = 0; offset < size || items.empty(); offset += kMiB) {
      const Bytes block(data.begin() + long(offset), data.begin() + long(std::min(size, offset + kMiB)));
      items.push_back({base64Encode(makeUuidHex()), AZSBlockListMode::Latest, block.size()});
      ASSERT_FALSE(blob.uploadBlockFromData(block, items.back().blockID));
      reversed.insert(reversed.begin(), block.begin(), block.end());
    }
    ASSERT_FALSE(blob.uploadBlockListFromArray(items));
    EXPECT_EQ(download(blob), data);
    std::reverse(items.begin(), items.end());
    ASSERT_FALSE(blob.uploadBlockListFromArray(items));
    EXPECT_EQ(download(blob), reversed);
  }
  // A block that was never uploaded cannot be committed.
  const auto missing = container_->blockBlobReferenceFromName("x").uploadBlockListFromArray({{base64Encode(makeUuidHex())}});
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->httpStatus, 400);
}

TEST_F(BlobService, FailuresAreErrorsWithTheirStatus) {
  ASSERT_FALSE(container_->createContainerIfNotExists());
  // The development key with its first character changed.
  std::string wrongKey = test::kDevAccountKey;
  wrongKey[0] = wrongKey[0] == 'A' ? 'B' : 'A';
  const auto wrong = clientFor(test::emulatorConnectionString(endpoint_, wrongKey));
  ASSERT_TRUE(wrong);
  const auto denied = wrong->containerReferenceFromName(container_->name()).deleteContainer();
  ASSERT_TRUE(denied);
  EXPECT_TRUE(denied->code == StorageErrorCode::HttpStatus && denied->httpStatus == 403);
  EXPECT_EQ(denied->message.find(wrongKey), std::string::npos);

  // Nothing listens on a port just released; a server that never answers runs into the
  // request timeout.
  int closedPort = 0;
  { test::LoopbackHttpServer gone; closedPort = gone.port(); }
  test::LoopbackHttpServer silent(0);
  for (const std::string& endpoint : {"http://127.0.0.1:" + std::to_string(closedPort) + "/devstoreaccount1",
                                      silent.url() + "/devstoreaccount1"}) {
    SCOPED_TRACE(endpoint);
    const auto client = clientFor(test::emulatorConnectionString(endpoint));
    ASSERT_TRUE(client);
    client->defaultRequestOptions().serverTimeout = std::chrono::seconds(1);
    const auto r = client->containerReferenceFromName("unreachable").createContainerIfNotExists();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->code, StorageErrorCode::Transport);
    EXPECT_EQ(endpointReachable(*StorageUri::parse(endpoint), std::chrono::seconds(1)),
              endpoint.find(std::to_string(closedPort)) == std::string::npos);
  }
}

}  // namespace
}  // namespace vr
