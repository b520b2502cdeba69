#pragma once
// The error report's upload sequence: a new container, "email.txt" with the user's
// address, each chosen file in 1 MiB blocks (one block in flight, the next read while it
// travels), then the report mail with the download links. It runs on a thread of its own
// and tells the result dialog what to show through ErrorReportDelegate.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "upload/BlobClient.h"
#include "upload/Mail.h"

namespace vr {

// Receives the result dialog's updates; called from the sequence's thread.
class ErrorReportDelegate {
 public:
  virtual ~ErrorReportDelegate() = default;
  virtual void changeErrorTabView(const std::string& identifier, const std::string& closeTitle,
                                  bool retryHidden) = 0;
  virtual void changeUploadFileName(const std::string& text) = 0;
  virtual void updatePercentageForErrorUpload(double percent) = 0;
  virtual void failedUploadWithHeader(const std::string& header) = 0;
  virtual void failedUploadWithHeaderState(bool state) = 0;
  virtual void runAlert(const std::string& message, const std::string& image, bool retryHidden) = 0;
  virtual void setUploadCompleted(bool completed) = 0;
};

inline constexpr const char* kInternetMessage = "Please check your internet connection and try again.";
inline constexpr uint64_t kUploadBlockSize = 1048576;

// Number of 1 MiB blocks a file of the given size goes up in: at least one, also when empty.
uint64_t uploadBlockCount(uint64_t fileSize);

// "^.+@([A-Za-z0-9-]+\.)+[A-Za-z]{2}[A-Za-z]*$" over the whole text, with at most one "@".
bool validateEmailWithString(const std::string& email);

// "Dovex Video Repair Software Mac - Error Report x" followed by 10 random characters.
std::string reportSubject();
// The description, one "\n\n" line per link, the system's version and the identifier.
std::string reportBody(const std::string& description, const std::vector<std::string>& links,
                       const std::string& osVersion, const std::string& uid);

// Appends "<path> Failed to upload.\n" to the error log, creating it (and its folder).
void appendToErrorLog(const std::string& logPath, const std::string& filePath);

struct ReportFile {
  std::string filePath;
  bool select = true;
};

struct ReportSubmission {
  std::string email;
  std::string description;
  std::vector<ReportFile> files;
  int selectedCount = 0;
  std::string osVersion;
  std::string errorLogPath;
};

class ReportUpload {
 public:
  // The account comes from the connection string; a string that gives no account ends
  // the sequence with the internet message, as the unreachable service does.
  ReportUpload(std::string connectionString, std::shared_ptr<MailSender> mail,
               ErrorReportDelegate& delegate);
  ~ReportUpload();  // aborts a running sequence and waits for it
  ReportUpload(const ReportUpload&) = delete;
  ReportUpload& operator=(const ReportUpload&) = delete;

  void start(ReportSubmission submission);
  // The user asked to abort: the sequence stops at its next test and deletes the container.
  void abort();
  bool running() const { return running_; }
  // Name of the container of the last start (32 lower-case hexadecimal characters).
  std::string containerName() const;
  // Waits until the sequence has ended.
  void wait();

  // Request timeout of the storage operations; the short connect test uses at most 5 s.
  std::chrono::seconds serverTimeout{60};

 private:
  enum class FileOutcome { Uploaded, Failed, ConnectionLost, Aborted };
  void run(ReportSubmission submission);
  FileOutcome uploadFile(const AZSCloudBlockBlob& blob, const std::string& path, const StorageUri& endpoint);
  bool reachable(const StorageUri& endpoint) const;

  std::string connectionString_;
  std::shared_ptr<MailSender> mail_;
  ErrorReportDelegate& delegate_;
  std::atomic<bool> abort_{false};
  std::atomic<bool> running_{false};
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string containerName_;
  std::thread thread_;
};

}  // namespace vr
