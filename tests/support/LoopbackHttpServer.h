#pragma once
// A small HTTP/1.1 server on a free 127.0.0.1 port that records every request it gets and
// answers each with a fixed status, or never answers (to test timeouts). Each connection is
// served on a thread of its own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vr::test {

struct RecordedRequest {
  std::string method, path, body;
  std::map<std::string, std::string> headers;  // names lower-cased
};

class LoopbackHttpServer {
 public:
  // status 0: accept connections and read requests, but never answer.
  explicit LoopbackHttpServer(int status = 202) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 8) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, status] {
      std::vector<std::thread> connections;
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        const int c = ::poll(&p, 1, 50) > 0 ? ::accept(fd_, nullptr, nullptr) : -1;
        if (c >= 0) connections.emplace_back([this, c, status] { answer(c, status); });
      }
      for (auto& t : connections) t.join();
    });
  }
  ~LoopbackHttpServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }

  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // Waits up to the timeout until count requests have arrived; returns what arrived.
  std::vector<RecordedRequest> waitFor(size_t count, std::chrono::seconds timeout) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
    return requests_;
  }

 private:
  std::atomic<bool> stop_{false};

  // Reads one request (head and Content-Length bytes of body), records it and answers.
  void answer(int c, int status) {
    std::string data;
    char buf[4096];
    RecordedRequest r;
    size_t headEnd = std::string::npos, need = 0;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         !stop_ && std::chrono::steady_clock::now() < end && (headEnd == std::string::npos || data.size() < headEnd + 4 + need);) {
      pollfd p{c, POLLIN, 0};
      const ssize_t n = ::poll(&p, 1, 50) > 0 ? ::read(c, buf, sizeof buf) : -2;
      if (n == -2) continue;
      if (n <= 0) break;
      data.append(buf, size_t(n));
      if (headEnd != std::string::npos || (headEnd = data.find("\r\n\r\n")) == std::string::npos) continue;
      std::istringstream head(data.substr(0, headEnd));
      std::string line;
      head >> r.method >> r.path;
      while (std::getline(head, line))
        if (const size_t colon = line.find(':'); colon != std::string::npos) {
          std::string name = line.substr(0, colon), value = line.substr(std::min(line.find_first_not_of(' ', colon + 1), line.size()));
          for (char& ch : name) ch = char(std::tolower(static_cast<unsigned char>(ch)));
          r.headers[name] = value.substr(0, value.find_last_not_of('\r') + 1);
        }
      need = r.headers.count("content-length") ? std::stoul(r.headers.at("content-length")) : 0;
    }
    if (headEnd != std::string::npos) {
      r.body = data.substr(headEnd + 4);
      std::lock_guard lock(mutex_);
      requests_.push_back(std::move(r));
      arrived_.notify_all();
    }
    const std::string reply = "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    if (status != 0) (void)!::write(c, reply.data(), reply.size());
    while (status == 0 && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::close(c);
  }

  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace vr::test
