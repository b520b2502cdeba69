#pragma once
// A small HTTP/1.1 server on a free 127.0.0.1 port that records every request it gets and
// answers each with a fixed status, or never answers (to test timeouts). Each connection is
// served on a thread of its own; a subclass may serve connections its own way.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vr::test {

struct RecordedRequest {
  std::string method;
  std::string path;
  std::map<std::string, std::string> headers;  // names lower-cased
  std::string body;
};

class LoopbackHttpServer {
 public:
  // status 0: accept connections and read requests, but never answer.
  explicit LoopbackHttpServer(int status = 202) : LoopbackHttpServer(0, [this, status](int c) { answer(c, status); }) {}
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

 protected:
  // Hands every connection to serve, on a thread of its own; serve closes it.
  LoopbackHttpServer(int, std::function<void(int)> serve) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 8) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, serve] {
      std::vector<std::thread> connections;
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        const int c = ::poll(&p, 1, 50) > 0 ? ::accept(fd_, nullptr, nullptr) : -1;
        if (c >= 0) connections.emplace_back(serve, c);
      }
      for (auto& t : connections) t.join();
    });
  }
  std::atomic<bool> stop_{false};

 private:
  // Reads one request (head and Content-Length bytes of body), records it and answers.
  void answer(int c, int status) {
    std::string data;
    char buf[4096];
    size_t headEnd = std::string::npos, need = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
      if (headEnd != std::string::npos && data.size() >= headEnd + 4 + need) break;
      pollfd p{c, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::read(c, buf, sizeof buf);
      if (n <= 0) break;
      data.append(buf, size_t(n));
      if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
        const auto headers = parseHead(data.substr(0, headEnd)).headers;
        need = headers.count("content-length") ? std::stoul(headers.at("content-length")) : 0;
      }
    }
    if (headEnd != std::string::npos) {
      RecordedRequest req = parseHead(data.substr(0, headEnd));
      req.body = data.substr(headEnd + 4);
      std::lock_guard lock(mutex_);
      requests_.push_back(std::move(req));
      arrived_.notify_all();
    }
    const std::string reply = "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    if (status != 0) (void)!::write(c, reply.data(), reply.size());
    while (status == 0 && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::close(c);
  }

  static RecordedRequest parseHead(const std::string& head) {
    RecordedRequest r;
    const size_t sp1 = head.find(' '), sp2 = head.find(' ', sp1 + 1);
    r.method = head.substr(0, sp1);
    r.path = head.substr(sp1 + 1, sp2 - sp1 - 1);
    for (size_t pos = head.find("\r\n"); pos != std::string::npos;) {
      const size_t next = head.find("\r\n", pos + 2);
      const std::string line = head.substr(pos + 2, next == std::string::npos ? next : next - pos - 2);
      const size_t colon = line.find(':');
      pos = next;
      if (colon == std::string::npos) continue;
      std::string name = line.substr(0, colon);
      std::transform(name.begin(), name.end(), name.begin(), [](unsigned char ch) { return char(std::tolower(ch)); });
      r.headers[name] = line.substr(std::min(line.find_first_not_of(' ', colon + 1), line.size()));
    }
    return r;
  }

  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace vr::test
