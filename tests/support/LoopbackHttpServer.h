#pragma once
// A small HTTP/1.1 server on a free 127.0.0.1 port that records every request it gets and
// answers each with a fixed status, or never answers (to test timeouts).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
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
  explicit LoopbackHttpServer(int status = 202) : status_(status) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd_, 8) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
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
  void serve() {
    std::vector<int> open;
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      handle(c);
      if (status_ == 0)
        open.push_back(c);
      else
        ::close(c);
    }
    for (int c : open) ::close(c);
  }

  void handle(int c) {
    std::string data;
    char buf[4096];
    size_t headerEnd = std::string::npos;
    size_t need = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!stop_ && std::chrono::steady_clock::now() < deadline && data.size() < (1u << 20)) {
      if (headerEnd != std::string::npos && data.size() >= headerEnd + 4 + need) break;
      pollfd p{c, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::read(c, buf, sizeof buf);
      if (n <= 0) break;
      data.append(buf, size_t(n));
      if (headerEnd == std::string::npos && (headerEnd = data.find("\r\n\r\n")) != std::string::npos) {
        const auto req = parseHead(data.substr(0, headerEnd));
        const auto it = req.headers.find("content-length");
        need = it == req.headers.end() ? 0 : std::stoul(it->second);
      }
    }
    if (headerEnd == std::string::npos) return;
    RecordedRequest req = parseHead(data.substr(0, headerEnd));
    req.body = data.substr(headerEnd + 4);
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(std::move(req));
    }
    arrived_.notify_all();
    if (status_ != 0) {
      const std::string reply = "HTTP/1.1 " + std::to_string(status_) +
                                " Status\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      (void)!::write(c, reply.data(), reply.size());
    }
  }

  static RecordedRequest parseHead(const std::string& head) {
    RecordedRequest r;
    size_t pos = head.find("\r\n");
    const std::string first = head.substr(0, pos);
    const size_t sp1 = first.find(' '), sp2 = first.rfind(' ');
    r.method = first.substr(0, sp1);
    r.path = first.substr(sp1 + 1, sp2 - sp1 - 1);
    while (pos != std::string::npos && pos < head.size()) {
      const size_t next = head.find("\r\n", pos + 2);
      const std::string line = head.substr(pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2);
      const size_t colon = line.find(':');
      if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char ch) { return std::tolower(ch); });
        r.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1) == std::string::npos
                                          ? line.size()
                                          : line.find_first_not_of(' ', colon + 1));
      }
      pos = next;
    }
    return r;
  }

  int status_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace vr::test
