// Request signing, connection strings, addresses and the block-list body: everything the
// storage client computes before a byte goes over the network.
#include <gtest/gtest.h>

#include "upload/BlobClient.h"
#include "upload/Crypto.h"
#include "upload/SharedKey.h"
#include "upload/StorageAccount.h"

namespace vr {
namespace {

// Base64 of the 64 ASCII bytes "0123456789abcdef" four times: a made-up test key.
constexpr const char* kTestKey = "MDEyMzQ1Njc4OWFiY2RlZjAxMjM0NTY3ODlhYmNkZWYwMTIzNDU2Nzg5YWJjZGVmMDEyMzQ1Njc4OWFiY2RlZg==";
const auto kSignTime = std::chrono::system_clock::from_time_t(1796612400);  // 2026-12-07 03:00:00

AZSCloudStorageAccount testAccount() {
  auto account = AZSCloudStorageAccount::accountFromConnectionString(
      std::string("DefaultEndpointsProtocol=https;AccountName=acct;AccountKey=") + kTestKey +
      ";EndpointSuffix=example.net");
  EXPECT_TRUE(account.has_value());
  return *account;
}

TEST(SharedKey, PutBlockOfFiveBytesSignsByteForByte) {
  const auto account = testAccount();
  const StorageUri blob = account.blobEndpoint().appendingPathComponent("c1").appendingPathComponent("a.mov");
  EXPECT_EQ(blob.toString(), "https://acct.blob.example.net/c1/a.mov");
  HttpRequest put = AZSBlobRequestFactory::putBlock(blob, Bytes{1, 2, 3, 4, 5}, "YmxvY2tpZDAx");
  addCommonHeaders(put, "9B2C2E7A-3F5D-4C1E-8A7B-6D5E4F3A2B1C");
  AZSSharedKeyBlobAuthenticationHandler signer(account.credentials());
  signer.signRequest(put, kSignTime);

  EXPECT_EQ(put.uri.toString(), "https://acct.blob.example.net/c1/a.mov?comp=block&blockid=YmxvY2tpZDAx");
  EXPECT_EQ(signer.stringToSign(put), "PUT\n\n\n5\n\n\n\n\n\n\n\n\n"
            "x-ms-client-request-id:9B2C2E7A-3F5D-4C1E-8A7B-6D5E4F3A2B1C\n"
            "x-ms-date:Mon, 07 Dec 2026 03:00:00 GMT\n"
            "x-ms-version:2015-02-21\n"
            "/acct/c1/a.mov\nblockid:YmxvY2tpZDAx\ncomp:block");
  EXPECT_EQ(put.header("Authorization"), "SharedKey acct:ouMWRmNPBoIRRky4BojPqD7kePHDoE4U3hVu3VVA6ag=");
  EXPECT_EQ(put.header("x-ms-date"), "Mon, 07 Dec 2026 03:00:00 GMT");

  // Base64 padding travels percent-encoded and is signed decoded, as the service reads it.
  const HttpRequest padded = AZSBlobRequestFactory::putBlock(blob, Bytes{}, "YWI+/w==");
  EXPECT_EQ(padded.uri.toString(), "https://acct.blob.example.net/c1/a.mov?comp=block&blockid=YWI%2B%2Fw%3D%3D");
  const std::string signedText = signer.stringToSign(padded);
  EXPECT_EQ(signedText.substr(signedText.rfind("\nblockid:")), "\nblockid:YWI+/w==\ncomp:block");
}

TEST(SharedKey, StringToSignRules) {
  const auto account = testAccount();
  const AZSSharedKeyBlobAuthenticationHandler signer(account.credentials());
  const StorageUri container = account.blobEndpoint().appendingPathComponent("my clips");
  HttpRequest zeroLength = AZSBlobRequestFactory::createContainer(container);
  zeroLength.setHeader("Content-Length", "0");
  HttpRequest headers = AZSBlobRequestFactory::containerExists(container);
  headers.setHeader("x-ms-meta-B", "two\twords\r\n");
  headers.setHeader("x-ms-meta-a", "1");
  headers.setHeader("X-MS-ignored", "case-sensitive prefix");
  headers.setHeader("content-type", "text/plain");
  headers.setHeader("Range", "bytes=0-9");
  HttpRequest query = AZSBlobRequestFactory::deleteContainer(container);
  query.uri = query.uri.appendingQueryItem("Timeout=30&comp=x%3Dy&comp=last");
  const struct { const char* what; HttpRequest request; std::string expected; } cases[] = {
      {"no body: empty length line", AZSBlobRequestFactory::containerExists(container),
       "HEAD\n\n\n\n\n\n\n\n\n\n\n\n/acct/my%20clips\nrestype:container"},
      {"Content-Length 0: empty length line", zeroLength, "PUT\n\n\n\n\n\n\n\n\n\n\n\n/acct/my%20clips\nrestype:container"},
      {"x-ms- headers lower-cased, sorted, breaks made spaces; standard headers by any case", headers,
       "HEAD\n\n\n\n\ntext/plain\n\n\n\n\n\nbytes=0-9\nx-ms-meta-a:1\nx-ms-meta-b:two words  \n"
       "/acct/my%20clips\nrestype:container"},
      {"query decoded, names lower-cased and sorted, the last of a name kept", query,
       "DELETE\n\n\n\n\n\n\n\n\n\n\n\n/acct/my%20clips\ncomp:last\nrestype:container\ntimeout:30"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(signer.stringToSign(c.request), c.expected);
  }
}

TEST(ConnectionString, AccountsAndRefusals) {
  const std::string key = std::string("AccountKey=") + kTestKey;
  const struct { std::string text; const char* endpoint; } cases[] = {  // endpoint nullptr: no account
      {"DefaultEndpointsProtocol=https;AccountName=acct;" + key + ";EndpointSuffix=example.net", "https://acct.blob.example.net/"},
      {"DefaultEndpointsProtocol=http;AccountName=acct;" + key + ";EndpointSuffix=example.net;", "http://acct.blob.example.net/"},
      {"DefaultEndpointsProtocol=ftp;AccountName=acct;" + key + ";EndpointSuffix=example.net", "https://acct.blob.example.net/"},
      {"AccountName=devstoreaccount1;" + key + ";BlobEndpoint=http://127.0.0.1:10000/devstoreaccount1;EndpointSuffix=x.y",
       "http://127.0.0.1:10000/devstoreaccount1"},
      {"AccountName=acct;" + key, nullptr},                            // no endpoint
      {"AccountName=acct;EndpointSuffix=example.net", nullptr},        // no key
      {key + ";EndpointSuffix=example.net", nullptr},                  // no name
      {"AccountName=acct;AccountKey=not*base64;EndpointSuffix=example.net", nullptr},
      {"AccountName=acct;AccountKey=QUJD=;EndpointSuffix=example.net", nullptr},
      {"AccountName=acct;" + key + ";BlobEndpoint=file:///etc", nullptr},
      {"SharedAccessSignature=sv=1&sig=x;BlobEndpoint=https://h/", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto account = AZSCloudStorageAccount::accountFromConnectionString(c.text);
    EXPECT_EQ(account ? account->blobEndpoint().toString() : "(refused)", c.endpoint ? c.endpoint : "(refused)");
  }
  // A key split at its first "=" keeps the padding of its Base64 value.
  EXPECT_EQ(parseConnectionString("A=b==;C=;=x;D")["A"], "b==");
}

TEST(StorageUri, NamesStayOnePathSegment) {
  const auto base = StorageUri::parse("http://127.0.0.1:10000/devstoreaccount1");
  ASSERT_TRUE(base);
  const struct { const char *name, *url; } cases[] = {
      {"clip.mov", "http://127.0.0.1:10000/devstoreaccount1/c/clip.mov"},
      {"my clip #2?.mov", "http://127.0.0.1:10000/devstoreaccount1/c/my%20clip%20%232%3F.mov"},
      {"100%.mp4", "http://127.0.0.1:10000/devstoreaccount1/c/100%25.mp4"},
      {"caf\xC3\xA9+(1).avi", "http://127.0.0.1:10000/devstoreaccount1/c/caf%C3%A9+(1).avi"},
  };
  for (const auto& c : cases) {
    const StorageUri blob = base->appendingPathComponent("c").appendingPathComponent(c.name);
    EXPECT_EQ(blob.toString(), c.url);
    EXPECT_EQ(blob.deletingLastPathComponent().toString(), "http://127.0.0.1:10000/devstoreaccount1/c/");
  }
  EXPECT_FALSE(StorageUri::parse("127.0.0.1:10000"));
  EXPECT_FALSE(StorageUri::parse("https:///path"));
}

TEST(BlockList, XmlBodyAndIdentifiers) {
  const auto xml = AZSBlobRequestXML({{"QUFB", AZSBlockListMode::Latest, 1}, {"QkJC", AZSBlockListMode::Latest, 2},
                                      {"Q0ND", AZSBlockListMode::Uncommitted, 3}});
  ASSERT_TRUE(xml);
  EXPECT_EQ(*xml, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
            "<BlockList><Latest>QUFB</Latest><Latest>QkJC</Latest><Uncommitted>Q0ND</Uncommitted>"
            "</BlockList>\n");

  // Block identifiers of one blob must all have the same length.
  const std::string hex = makeUuidHex();
  EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(base64Encode(hex).size(), 44u);
}

}  // namespace
}  // namespace vr
