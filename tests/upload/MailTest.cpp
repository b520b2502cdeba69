// The report mail as a local server receives it, and the settings that say where it goes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>

#include "support/LoopbackHttpServer.h"
#include "support/TestMedia.h"
#include "upload/Mail.h"
#include "upload/ReportConfig.h"

namespace vr {
namespace {

TEST(Mail, RequestReachesTheServerAndItsResultIsOnlyLogged) {
  std::mutex mutex;
  std::vector<std::string> log;
  setUploadLogSink([&](const std::string& line) {
    std::lock_guard lock(mutex);
    log.push_back(line);
  });
  int closedPort = 0;
  { test::LoopbackHttpServer gone; closedPort = gone.port(); }
  // The server's status (-1: nothing listens) and the line logged.
  const struct { int status; const char* logged; } cases[] = {{202, "Email sent successfully!"}, {500, "Error sending email: POST http://127.0.0.1:"},
                        {-1, "Error sending email: POST http://127.0.0.1:"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    log.clear();
    test::LoopbackHttpServer server(c.status < 0 ? 202 : c.status);
    const std::string endpoint = c.status < 0 ? "http://127.0.0.1:" + std::to_string(closedPort) : server.url();
    MailSender sender({endpoint, "test-api-key", "support@example.com"});
    sender.sendMailWithSubject("Report x\"1\"", "user@example.org", "Line one\n\nMacOS : \x01\xFF");
    sender.waitIdle();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind(c.logged, 0), 0u) << log[0];
    EXPECT_EQ(log[0].find("test-api-key"), std::string::npos);
    if (c.status < 0) continue;
    const auto got = server.waitFor(1, std::chrono::seconds(5));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].method + " " + got[0].path, "POST /v3/mail/send");
    EXPECT_EQ(got[0].headers.at("authorization"), "Bearer test-api-key");
    EXPECT_EQ(got[0].headers.at("content-type"), "application/json");
    EXPECT_EQ(got[0].body, "{\"personalizations\":[{\"to\":[{\"email\":\"support@example.com\"}],"
              "\"subject\":\"Report x\\\"1\\\"\"}],\"from\":{\"email\":\"user@example.org\"},"
              "\"subject\":\"Report x\\\"1\\\"\",\"content\":[{\"type\":\"text/plain\","
              "\"value\":\"Line one\\n\\nMacOS : \\u0001\xEF\xBF\xBD\"}]}");
  }
  setUploadLogSink(nullptr);
  EXPECT_FALSE(mailRequest({"mail.example.com", "k", "s@example.com"}, "s", "f", "b"));
}

TEST(ReportConfig, FileThenEnvironment) {
  test::TempDir dir;
  const std::string path = dir.file("report.conf");
  std::string text = "# report settings\n"
      "storage_connection_string = AccountName=a;AccountKey=QUJD;BlobEndpoint=http://127.0.0.1:1/a\n"
      "mail_api_key=from-file\n"
      "unknown = ignored\n"
      "support_mailbox = support@example.com \n";
  test::writeFileBytes(path, Bytes(text.begin(), text.end()));
  ::unsetenv("VR_STORAGE_CONNECTION_STRING");
  ::unsetenv("VR_SUPPORT_MAILBOX");
  ::setenv("VR_MAIL_API_KEY", "from-environment", 1);
  ::setenv("VR_MAIL_ENDPOINT", "http://127.0.0.1:2", 1);
  const ReportConfig c = ReportConfig::load(path);
  EXPECT_EQ(c.storageConnectionString, "AccountName=a;AccountKey=QUJD;BlobEndpoint=http://127.0.0.1:1/a");
  EXPECT_EQ(c.mailApiKey, "from-environment");
  EXPECT_EQ(c.mailEndpoint, "http://127.0.0.1:2");
  EXPECT_EQ(c.supportMailbox, "support@example.com");
  EXPECT_TRUE(c.isComplete());
  ::unsetenv("VR_MAIL_API_KEY");
  ::unsetenv("VR_MAIL_ENDPOINT");
  EXPECT_FALSE(ReportConfig::load(dir.file("missing.conf")).isComplete());
}

}  // namespace
}  // namespace vr
