#pragma once
// Runs HTTP requests with libcurl (TLS certificates and host names checked), one transfer
// per operation, and runs asynchronous operations on worker threads of their own.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

#include "upload/HttpRequest.h"

namespace vr {

struct TransferLimits {
  std::chrono::seconds connectAndStallTimeout{60};
  std::chrono::seconds totalTimeout{604800};
  size_t maxResponseBytes = 65536;  // more of a response body is read and dropped
};

// Sends one request and waits for its response. A status other than 200, 201, 202, 204
// or 206 is an error with that status; no response at all is a transport error.
std::variant<HttpResponse, StorageError> performRequest(const HttpRequest& request,
                                                        const TransferLimits& limits);

// True when a TCP (and, for https, TLS) connection to the address's host can be opened
// within the timeout. Nothing is sent.
bool endpointReachable(const StorageUri& uri, std::chrono::seconds timeout);

// Runs posted jobs on worker threads, one thread per job that finds no idle worker. The
// destructor waits for all jobs to end (a job that drops the last reference itself is
// left to finish on its own thread).
class TaskRunner {
 public:
  TaskRunner();
  ~TaskRunner();
  TaskRunner(const TaskRunner&) = delete;
  TaskRunner& operator=(const TaskRunner&) = delete;

  void post(std::function<void()> job);
  // Waits until no job is queued or running.
  void waitIdle();

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<std::function<void()>> jobs;
    int idleWorkers = 0;
    int running = 0;
    bool stop = false;
  };
  static void workerLoop(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
  std::vector<std::thread> workers_;
};

// Writes a diagnostic line to the log (standard error unless a sink is set).
void uploadLog(const std::string& line);
// Replaces where diagnostic lines go; an empty function restores standard error.
void setUploadLogSink(std::function<void(const std::string&)> sink);

}  // namespace vr
