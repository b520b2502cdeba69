#include "upload/Executor.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace vr {

namespace {

std::mutex gLogMutex;
std::function<void(const std::string&)> gLogSink;

bool equalNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

struct CurlGlobal {
  CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};

void ensureCurlGlobal() {
  static CurlGlobal once;
  (void)once;
}

struct Transfer {
  const Bytes* upload = nullptr;
  size_t uploaded = 0;
  size_t maxResponse = 0;
  HttpResponse response;
};

size_t readBody(char* buffer, size_t size, size_t count, void* userdata) {
  auto* t = static_cast<Transfer*>(userdata);
  const size_t n = std::min(size * count, t->upload->size() - t->uploaded);
  if (n) std::memcpy(buffer, t->upload->data() + t->uploaded, n);
  t->uploaded += n;
  return n;
}

size_t writeBody(char* data, size_t size, size_t count, void* userdata) {
  auto* t = static_cast<Transfer*>(userdata);
  const size_t n = size * count;
  const size_t keep = std::min(n, t->maxResponse - std::min(t->maxResponse, t->response.body.size()));
  t->response.body.insert(t->response.body.end(), data, data + keep);
  return n;
}

size_t readHeader(char* data, size_t size, size_t count, void* userdata) {
  auto* t = static_cast<Transfer*>(userdata);
  const size_t n = size * count;
  const std::string_view line(data, n);
  const size_t colon = line.find(':');
  if (colon != std::string_view::npos && equalNoCase(line.substr(0, colon), "x-ms-error-code")) {
    std::string_view v = line.substr(colon + 1);
    while (!v.empty() && std::isspace(static_cast<unsigned char>(v.front()))) v.remove_prefix(1);
    while (!v.empty() && std::isspace(static_cast<unsigned char>(v.back()))) v.remove_suffix(1);
    t->response.errorCode = std::string(v.substr(0, 128));
  }
  return n;
}

void applyCommonOptions(CURL* curl, const StorageUri& uri, const TransferLimits& limits) {
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  const long wait = std::max<long>(1, static_cast<long>(limits.connectAndStallTimeout.count()));
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, wait);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, wait);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT,
                   std::max<long>(1, static_cast<long>(limits.totalTimeout.count())));
  curl_easy_setopt(curl, CURLOPT_URL, uri.toString().c_str());
}

}  // namespace

std::string HttpRequest::header(std::string_view name) const {
  for (const auto& [n, v] : headers)
    if (equalNoCase(n, name)) return v;
  return {};
}

bool HttpRequest::hasHeader(std::string_view name) const {
  return std::any_of(headers.begin(), headers.end(),
                     [&](const auto& h) { return equalNoCase(h.first, name); });
}

void HttpRequest::setHeader(std::string_view name, std::string value) {
  for (auto& [n, v] : headers)
    if (equalNoCase(n, name)) {
      v = std::move(value);
      return;
    }
  headers.emplace_back(std::string(name), std::move(value));
}

std::variant<HttpResponse, StorageError> performRequest(const HttpRequest& request,
                                                        const TransferLimits& limits) {
  ensureCurlGlobal();
  CURL* curl = curl_easy_init();
  if (!curl) return StorageError{StorageErrorCode::Transport, 0, "cannot start a transfer"};
  Transfer t;
  t.upload = &request.body;
  t.maxResponse = limits.maxResponseBytes;
  applyCommonOptions(curl, request.uri, limits);

  curl_slist* headers = nullptr;
  for (const auto& [name, value] : request.headers) {
    // "Name;" is curl's way of sending a header with an empty value.
    const std::string line = value.empty() ? name + ";" : name + ": " + value;
    headers = curl_slist_append(headers, line.c_str());
  }
  headers = curl_slist_append(headers, "Expect:");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);

  if (request.method == "HEAD") {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  } else if (request.method == "PUT") {
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, readBody);
    curl_easy_setopt(curl, CURLOPT_READDATA, &t);
  } else if (request.method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
  } else if (request.method != "GET") {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, readHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);

  const CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);

  if (rc != CURLE_OK)
    return StorageError{StorageErrorCode::Transport, 0,
                        request.method + " " + request.uri.origin() + ": " + curl_easy_strerror(rc)};
  t.response.status = status;
  if (status == 200 || status == 201 || status == 202 || status == 204 || status == 206)
    return std::move(t.response);
  std::string message = request.method + " " + request.uri.origin() + request.uri.encodedPath() +
                        ": HTTP status " + std::to_string(status);
  if (!t.response.errorCode.empty()) message += " (" + t.response.errorCode + ")";
  return StorageError{StorageErrorCode::HttpStatus, status, message};
}

bool endpointReachable(const StorageUri& uri, std::chrono::seconds timeout) {
  ensureCurlGlobal();
  CURL* curl = curl_easy_init();
  if (!curl) return false;
  TransferLimits limits;
  limits.connectAndStallTimeout = timeout;
  limits.totalTimeout = timeout;
  applyCommonOptions(curl, uri, limits);
  curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
  const CURLcode rc = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  return rc == CURLE_OK;
}

TaskRunner::TaskRunner() : state_(std::make_shared<State>()) {}

TaskRunner::~TaskRunner() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stop = true;
  }
  state_->wake.notify_all();
  for (auto& w : workers_) {
    if (w.get_id() == std::this_thread::get_id())
      w.detach();
    else if (w.joinable())
      w.join();
  }
}

void TaskRunner::post(std::function<void()> job) {
  std::lock_guard lock(state_->mutex);
  state_->jobs.push_back(std::move(job));
  if (state_->idleWorkers == 0)
    workers_.emplace_back(workerLoop, state_);
  else
    state_->wake.notify_one();
}

void TaskRunner::waitIdle() {
  std::unique_lock lock(state_->mutex);
  state_->idle.wait(lock, [&] { return state_->jobs.empty() && state_->running == 0; });
}

void TaskRunner::workerLoop(std::shared_ptr<State> state) {
  std::unique_lock lock(state->mutex);
  for (;;) {
    ++state->idleWorkers;
    state->wake.wait(lock, [&] { return state->stop || !state->jobs.empty(); });
    --state->idleWorkers;
    if (state->jobs.empty()) return;  // stopping and nothing left to do
    auto job = std::move(state->jobs.front());
    state->jobs.pop_front();
    ++state->running;
    lock.unlock();
    job();
    job = nullptr;
    lock.lock();
    --state->running;
    if (state->jobs.empty() && state->running == 0) state->idle.notify_all();
  }
}

void uploadLog(const std::string& line) {
  std::lock_guard lock(gLogMutex);
  if (gLogSink)
    gLogSink(line);
  else
    std::fprintf(stderr, "video-repair: %s\n", line.c_str());
}

void setUploadLogSink(std::function<void(const std::string&)> sink) {
  std::lock_guard lock(gLogMutex);
  gLogSink = std::move(sink);
}

}  // namespace vr
