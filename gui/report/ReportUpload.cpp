#include "gui/report/ReportUpload.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>

#include "common/FileIO.h"
#include "upload/Crypto.h"

namespace vr {

uint64_t uploadBlockCount(uint64_t fileSize) {
  return fileSize < kUploadBlockSize ? 1 : (fileSize + kUploadBlockSize - 1) / kUploadBlockSize;
}

bool validateEmailWithString(const std::string& email) {
  // No address is longer than 254 characters; the limit also bounds the regular
  // expression's work.
  if (email.size() > 254 || std::count(email.begin(), email.end(), '@') >= 2) return false;
  static const std::regex kPattern("^.+@([A-Za-z0-9-]+\\.)+[A-Za-z]{2}[A-Za-z]*$");
  return std::regex_match(email, kPattern);
}

std::string reportSubject() {
  return "Dovex Video Repair Software Mac - Error Report x" + randomStringWithLength(10);
}

std::string reportBody(const std::string& description, const std::vector<std::string>& links,
                       const std::string& osVersion, const std::string& uid) {
  std::string body = description;
  for (const auto& link : links) body += "\n\n" + link;
  body += "\n\nMacOS : " + osVersion;
  body += "\n\nUID : " + uid;
  return body;
}

void appendToErrorLog(const std::string& logPath, const std::string& filePath) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(logPath).parent_path(), ec);
  std::ofstream log(logPath, std::ios::app);
  log << filePath << " Failed to upload.\n";
  if (!log) uploadLog("cannot write the error log " + logPath);
}

ReportUpload::ReportUpload(std::string connectionString, std::shared_ptr<MailSender> mail,
                           ErrorReportDelegate& delegate)
    : connectionString_(std::move(connectionString)), mail_(std::move(mail)), delegate_(delegate) {}

ReportUpload::~ReportUpload() {
  abort();
  wait();
}

void ReportUpload::start(ReportSubmission submission) {
  wait();
  abort_ = false;
  running_ = true;
  {
    std::lock_guard lock(mutex_);
    containerName_ = makeUuidHex();
  }
  thread_ = std::thread([this, s = std::move(submission)]() mutable {
    run(std::move(s));
    running_ = false;
  });
}

void ReportUpload::abort() {
  abort_ = true;
  changed_.notify_all();
}

void ReportUpload::wait() {
  if (thread_.joinable()) thread_.join();
}

std::string ReportUpload::containerName() const {
  std::lock_guard lock(mutex_);
  return containerName_;
}

bool ReportUpload::reachable(const StorageUri& endpoint) const {
  return endpointReachable(endpoint, std::min(serverTimeout, std::chrono::seconds(5)));
}

void ReportUpload::run(ReportSubmission s) {
  delegate_.setUploadCompleted(false);
  const auto account = AZSCloudStorageAccount::accountFromConnectionString(connectionString_);
  if (!account || !reachable(account->blobEndpoint())) {
    delegate_.runAlert(kInternetMessage, "information-icon", false);
    return;
  }
  const auto client = account->getBlobClient();
  client->defaultRequestOptions().serverTimeout = serverTimeout;
  const AZSCloudBlobContainer container = client->containerReferenceFromName(containerName());

  const auto endWithInternetMessage = [&] {
    if (const auto r = container.deleteContainer(); r && r->httpStatus != 404)
      uploadLog("the report's container could not be deleted: " + r->message);
    delegate_.setUploadCompleted(false);
    delegate_.runAlert(kInternetMessage, "information-icon", false);
  };
  const auto endAborted = [&] {
    if (const auto r = container.deleteContainer(); r && r->httpStatus != 404)
      uploadLog("the report's container could not be deleted: " + r->message);
    delegate_.changeErrorTabView("3", "Close", true);
  };

  if (const auto r = container.createContainerIfNotExists()) {
    uploadLog("the report's container could not be created: " + r->message);
    if (abort_)
      endAborted();
    else
      endWithInternetMessage();
    return;
  }

  // "email.txt" goes up beside the files; its result is looked at before the end.
  struct EmailState {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool failed = false;
  };
  auto email = std::make_shared<EmailState>();
  container.blockBlobReferenceFromName("email.txt").uploadFromText(s.email, [email](const StorageResult& r) {
    if (r) uploadLog("email.txt could not be uploaded: " + r->message);
    std::lock_guard lock(email->mutex);
    email->finished = true;
    email->failed = r.has_value();
    email->done.notify_all();
  });
  const auto emailFailed = [&] {
    std::lock_guard lock(email->mutex);
    return email->failed;
  };

  std::vector<std::string> links;
  int reached = 0;   // selected files begun, for the progress line
  int uploaded = 0;  // files that went up completely
  bool failed = false;
  bool connectionLost = false;
  for (const auto& row : s.files) {
    if (abort_ || connectionLost || emailFailed()) break;
    struct stat st {};
    if (::stat(row.filePath.c_str(), &st) != 0) {
      failed = true;
      appendToErrorLog(s.errorLogPath, row.filePath);
      continue;
    }
    if (!row.select) continue;
    ++reached;
    const std::string name = std::filesystem::path(row.filePath).filename().string();
    const AZSCloudBlockBlob blob = container.blockBlobReferenceFromName(name);
    char line[64];
    std::snprintf(line, sizeof line, "Uploading (%d/%d): ", reached, s.selectedCount);
    delegate_.changeUploadFileName(line + name);
    switch (uploadFile(blob, row.filePath, account->blobEndpoint())) {
      case FileOutcome::Uploaded:
        ++uploaded;
        links.push_back(blob.storageUri().deletingLastPathComponent().toString() +
                        percentEncodePath(name));
        break;
      case FileOutcome::Failed:
        failed = true;
        appendToErrorLog(s.errorLogPath, row.filePath);
        break;
      case FileOutcome::ConnectionLost:
        connectionLost = true;
        break;
      case FileOutcome::Aborted:
        break;
    }
  }
  {
    std::unique_lock lock(email->mutex);
    email->done.wait(lock, [&] { return email->finished; });
  }

  if (abort_) {
    endAborted();
    return;
  }
  if (connectionLost || emailFailed()) {
    endWithInternetMessage();
    return;
  }
  const auto sendReport = [&] {
    if (mail_) mail_->sendMailWithSubject(reportSubject(), s.email,
                                          reportBody(s.description, links, s.osVersion, container.name()));
  };
  if (failed) {
    if (uploaded > 0) {
      delegate_.failedUploadWithHeader(std::to_string(uploaded) + " File uploaded sucessfully.");
      delegate_.failedUploadWithHeaderState(true);
      sendReport();
    } else {
      delegate_.failedUploadWithHeaderState(false);
    }
    delegate_.changeErrorTabView("1", "Close", true);
    return;
  }
  delegate_.setUploadCompleted(true);
  sendReport();
  delegate_.changeErrorTabView("4", "Close", true);
}

ReportUpload::FileOutcome ReportUpload::uploadFile(const AZSCloudBlockBlob& blob,
                                                   const std::string& path,
                                                   const StorageUri& endpoint) {
  FileHandle file = FileHandle::openForReading(path);
  if (!file.isOpen()) {
    uploadLog("cannot open " + path + " for the report");
    return FileOutcome::Failed;
  }
  const uint64_t size = file.size();
  const uint64_t count = uploadBlockCount(size);

  struct InFlight {
    std::mutex mutex;
    std::condition_variable done;
    bool ready = true;
    StorageResult error;
  };
  auto flight = std::make_shared<InFlight>();
  const auto waitReady = [&] {
    std::unique_lock lock(flight->mutex);
    flight->done.wait(lock, [&] { return flight->ready; });
    return flight->error;
  };

  std::vector<AZSBlockListItem> items;
  bool readFailed = false;
  for (uint64_t k = 0; k < count && !abort_; ++k) {
    const uint64_t offset = k * kUploadBlockSize;
    const size_t length = static_cast<size_t>(std::min<uint64_t>(kUploadBlockSize, size - offset));
    Bytes data = file.readAt(offset, length);
    if (data.size() != length) {
      // A short read would put a shortened copy up as if it were the file.
      uploadLog("cannot read " + path + " for the report");
      readFailed = true;
      break;
    }
    items.push_back({base64Encode(makeUuidHex()), AZSBlockListMode::Latest, length});
    if (waitReady()) break;
    {
      std::lock_guard lock(flight->mutex);
      flight->ready = false;
    }
    delegate_.updatePercentageForErrorUpload(double(k) * (100.0 / double(count)));
    blob.uploadBlockFromData(std::move(data), items.back().blockID, [flight](const StorageResult& r) {
      std::lock_guard lock(flight->mutex);
      if (r && !flight->error) flight->error = r;
      flight->ready = true;
      flight->done.notify_all();
    });
  }
  const StorageResult blockError = waitReady();
  if (abort_) return FileOutcome::Aborted;
  if (readFailed) return FileOutcome::Failed;
  if (blockError) {
    uploadLog("a block of " + path + " could not be uploaded: " + blockError->message);
    return reachable(endpoint) ? FileOutcome::Failed : FileOutcome::ConnectionLost;
  }
  if (const auto r = blob.uploadBlockListFromArray(items)) {
    uploadLog("the blocks of " + path + " could not be committed: " + r->message);
    if (abort_) return FileOutcome::Aborted;
    return reachable(endpoint) ? FileOutcome::Failed : FileOutcome::ConnectionLost;
  }
  return FileOutcome::Uploaded;
}

}  // namespace vr
