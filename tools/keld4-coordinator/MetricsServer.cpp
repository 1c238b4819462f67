// SPDX-License-Identifier: Apache-2.0
#include "MetricsServer.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Errors.h"
#include "Metrics.h"
#include "Protocol.h"
#include "StatusPage.h"

namespace coord {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// httplib's own queue runs each connection on a worker from its accept on;
// this one runs the hand-over to the room at once, on the accepting thread.
class CInlineQueue : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override {}
};

// A request already read whole, and the socket to answer on: no read waits,
// and every write waits at most until the answer's deadline.
class CBufferedStream : public httplib::Stream {
 public:
  CBufferedStream(int fd, std::string request, int64_t deadline_ms)
      : fd_(fd), data_(std::move(request)), deadline_ms_(deadline_ms) {}

  bool is_readable() const override { return pos_ < data_.size(); }
  bool is_writable() const override { return WaitWritable(); }
  ssize_t read(char* ptr, size_t size) override {
    size_t n = std::min(size, data_.size() - pos_);
    std::memcpy(ptr, data_.data() + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    size_t done = 0;
    while (done < size) {
      ssize_t n = send(fd_, ptr + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!WaitWritable()) return -1;
      } else {
        return -1;
      }
    }
    return static_cast<ssize_t>(done);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    Describe(getpeername(fd_, reinterpret_cast<sockaddr*>(&sa), &len) == 0, sa, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    Describe(getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) == 0, sa, ip, port);
  }
  int socket() const override { return fd_; }

 private:
  static void Describe(bool ok, const sockaddr_in& sa, std::string& ip, int& port) {
    char buf[INET_ADDRSTRLEN] = "";
    if (ok) inet_ntop(AF_INET, &sa.sin_addr, buf, sizeof(buf));
    ip = buf;
    port = ok ? ntohs(sa.sin_port) : 0;
  }
  bool WaitWritable() const {
    for (;;) {
      int64_t left = deadline_ms_ - NowMs();
      if (left <= 0) return false;
      pollfd p = {fd_, POLLOUT, 0};
      int n = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 1000)));
      if (n > 0) return (p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
      if (n < 0 && errno != EINTR) return false;
    }
  }

  int fd_;
  std::string data_;
  size_t pos_ = 0;
  int64_t deadline_ms_;
};

// How long the request at the start of buf (n bytes, peeked) is: 0 while it
// is not all there, kRefused for one we do not take.
constexpr size_t kRefused = SIZE_MAX;
constexpr size_t kMaxBody = 4096;

size_t RequestLength(const char* buf, size_t n) {
  std::string_view text(buf, n);
  size_t end = text.find("\r\n\r\n");
  if (end == std::string_view::npos) return n >= CMetricsServer::kMaxRequest ? kRefused : 0;
  size_t head = end + 4;
  size_t body = 0;
  for (size_t at = text.find("\r\n"); at < end; at = text.find("\r\n", at + 2)) {
    std::string line(text.substr(at + 2, text.find("\r\n", at + 2) - at - 2));
    std::transform(line.begin(), line.end(), line.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    // A chunked body has no length to wait for, and nothing here takes one.
    if (line.rfind("transfer-encoding:", 0) == 0) return kRefused;
    if (line.rfind("content-length:", 0) == 0) {
      body = std::strtoul(line.c_str() + 15, nullptr, 10);
    }
  }
  // httplib refuses a body over its limit before reading it.
  if (body > kMaxBody) return head;
  if (head + body > CMetricsServer::kMaxRequest) return kRefused;
  return head + body <= n ? head + body : 0;
}

}  // namespace

// httplib's server with the room in front of its workers.
class CHttpFront : public httplib::Server {
 public:
  CHttpFront() {
    new_task_queue = [] { return new CInlineQueue; };
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wake_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
  }
  ~CHttpFront() override {
    StopRoom();
    close(epoll_);
    close(wake_);
  }
  CHttpFront(const CHttpFront&) = delete;
  CHttpFront& operator=(const CHttpFront&) = delete;

  // httplib listens with a backlog of 5: a burst of connections would have
  // the kernel drop a scrape's SYN (retried only a second later).
  bool Backlog(int n) { return ::listen(svr_sock_, n) == 0; }

  void StartRoom() {
    threads_.emplace_back([this] { Watch(); });
    for (int i = 0; i < CMetricsServer::kWorkers; ++i) threads_.emplace_back([this] { Work(); });
  }

  void StopRoom() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_) return;
      stopping_ = true;
    }
    uint64_t one = 1;
    if (::write(wake_, &one, sizeof(one)) < 0) {
      // The counter cannot overflow here; the loop also wakes each second.
    }
    ready_cv_.notify_all();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
    for (auto& w : room_) close(w.first);
    room_.clear();
    for (auto& r : ready_) close(r.first);
    ready_.clear();
  }

 private:
  struct Waiting {
    int64_t since_ms;
    bool got_bytes;
  };

  // Called by httplib's accepting thread for each new connection.
  bool process_and_close_socket(int sock) override {
    std::lock_guard<std::mutex> lock(mu_);
    Admit(sock);
    return true;
  }

  // mu_ held.
  void Admit(int sock) {
    if (stopping_) {
      close(sock);
      return;
    }
    if (room_.size() + ready_.size() + serving_ >= CMetricsServer::kMaxConnections) {
      // Room for the newcomer: the longest idle goes first, then the longest waiting.
      auto victim = room_.end();
      for (auto it = room_.begin(); it != room_.end(); ++it) {
        if (victim == room_.end() || it->second.got_bytes < victim->second.got_bytes ||
            (it->second.got_bytes == victim->second.got_bytes &&
             it->second.since_ms < victim->second.since_ms)) {
          victim = it;
        }
      }
      if (victim == room_.end()) {
        close(sock);  // every connection is being answered
        return;
      }
      Drop(victim->first);
    }
    room_[sock] = {NowMs(), false};
    epoll_event ev{};
    // Edge-triggered: woken by each new piece of a request, not again and
    // again by the part already peeked at.
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    ev.data.fd = sock;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, sock, &ev) != 0) Drop(sock);
  }

  // mu_ held.
  void Drop(int sock) {
    epoll_ctl(epoll_, EPOLL_CTL_DEL, sock, nullptr);
    room_.erase(sock);
    close(sock);
  }

  // mu_ held: a whole request goes to a worker, a broken one is closed.
  void Look(int sock) {
    auto it = room_.find(sock);
    if (it == room_.end()) return;
    ssize_t n = recv(sock, peek_, sizeof(peek_), MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
      Drop(sock);
      return;
    }
    it->second.got_bytes = true;
    size_t len = RequestLength(peek_, static_cast<size_t>(n));
    if (len == kRefused) {
      Drop(sock);
      return;
    }
    if (len == 0) return;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, sock, nullptr);
    room_.erase(it);
    ready_.emplace_back(sock, len);
    ready_cv_.notify_one();
  }

  void Watch() {
    epoll_event evs[64];
    for (;;) {
      int64_t wake = -1;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_) return;
        for (const auto& w : room_) {
          if (wake < 0 || w.second.since_ms < wake) wake = w.second.since_ms;
        }
      }
      int timeout = 1000;
      if (wake >= 0) {
        int64_t left = wake + CMetricsServer::kRequestMs - NowMs();
        timeout = static_cast<int>(std::clamp<int64_t>(left, 0, 1000));
      }
      int n = epoll_wait(epoll_, evs, 64, timeout);
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_) return;
      for (int i = 0; i < n; ++i) {
        if (evs[i].data.fd != wake_) Look(evs[i].data.fd);
      }
      // A connection gets so long for each whole request.
      int64_t now = NowMs();
      std::vector<int> late;
      for (const auto& w : room_) {
        if (now - w.second.since_ms >= CMetricsServer::kRequestMs) late.push_back(w.first);
      }
      for (int sock : late) Drop(sock);
    }
  }

  void Work() {
    for (;;) {
      std::pair<int, size_t> job;
      {
        std::unique_lock<std::mutex> lock(mu_);
        ready_cv_.wait(lock, [this] { return stopping_ || !ready_.empty(); });
        if (stopping_) return;
        job = ready_.front();
        ready_.pop_front();
        ++serving_;
      }
      std::string request(job.second, '\0');
      ssize_t got = recv(job.first, request.data(), request.size(), MSG_DONTWAIT);
      bool keep = false;
      if (got == static_cast<ssize_t>(request.size())) {
        CBufferedStream stream(job.first, std::move(request), NowMs() + CMetricsServer::kAnswerMs);
        bool closed = false;
        keep = process_request(stream, false, closed, nullptr) && !closed;
      }
      std::lock_guard<std::mutex> lock(mu_);
      --serving_;
      if (keep) {
        Admit(job.first);  // kept alive: back to the room for its next request
      } else {
        close(job.first);
      }
    }
  }

  int epoll_ = -1;
  int wake_ = -1;
  std::mutex mu_;
  std::condition_variable ready_cv_;
  std::unordered_map<int, Waiting> room_;
  std::deque<std::pair<int, size_t>> ready_;  // socket, request length
  size_t serving_ = 0;
  bool stopping_ = false;
  char peek_[CMetricsServer::kMaxRequest];
  std::vector<std::thread> threads_;
};

namespace {

constexpr const char* kPaths = "/|/metrics|/favicon.ico";

void NotAllowed(const httplib::Request&, httplib::Response& res) {
  res.status = 405;
  res.set_header("Allow", "GET, HEAD");
  res.set_content("405 method not allowed\n", "text/plain");
}

}  // namespace

CMetricsServer::CMetricsServer(const CStatusBoard& board)
    : board_(board), http_(std::make_unique<CHttpFront>()) {
  httplib::Server& h = *http_;
  // Not httplib's default, which adds SO_REUSEPORT and so would let a second
  // coordinator share the port unnoticed.
  h.set_socket_options([](int sock) {
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  });
  h.set_payload_max_length(kMaxBody);

  h.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    // Sent in chunks as it is made: at ten thousand agents the whole text
    // would be megabytes held at once.
    std::shared_ptr<const CoordinatorStatus> status = board_.Latest();
    res.set_chunked_content_provider(
        "text/plain; version=0.0.4; charset=utf-8", [status](size_t, httplib::DataSink& sink) {
          bool open = true;
          WriteMetrics(*status, [&sink, &open](std::string_view piece) {
            // A client that went away gets nothing more; the rest is only made.
            if (open) open = sink.write(piece.data(), piece.size());
          });
          if (open) sink.done();
          return open;
        });
  });
  h.Get("/", [this](const httplib::Request& req, httplib::Response& res) {
    PageQuery q;
    q.backend = req.get_param_value("backend");
    q.unmapped = req.has_param("unmapped");
    std::string page = req.get_param_value("page");
    if (!page.empty() && page.size() < 7 &&
        page.find_first_not_of("0123456789") == std::string::npos) {
      q.page = std::strtoul(page.c_str(), nullptr, 10);
    }
    auto status = board_.Latest();
    const CStatusBoard& board = board_;
    res.set_content(StatusPage(
                        *status, [&board](size_t i) { return board.History(i); }, q),
                    "text/html; charset=utf-8");
  });
  h.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
  h.Post(kPaths, NotAllowed);
  h.Put(kPaths, NotAllowed);
  h.Patch(kPaths, NotAllowed);
  h.Delete(kPaths, NotAllowed);
  h.Options(kPaths, NotAllowed);
}

CMetricsServer::~CMetricsServer() { Stop(); }

std::string CMetricsServer::Bind(uint32_t addr, uint16_t port) {
  char host[16];
  FormatAddr(addr, host);
  errno = 0;
  if (http_->bind_to_port(host, port)) {
    if (!http_->Backlog(static_cast<int>(kMaxConnections))) return ErrorText(errno);
    return "";
  }
  return errno != 0 ? ErrorText(errno) : std::string("cannot bind");
}

void CMetricsServer::Start() {
  http_->StartRoom();
  thread_ = std::thread([this] { http_->listen_after_bind(); });
  // stop() does nothing until the server runs; wait so Stop cannot miss it.
  for (int i = 0; i < 2000 && !http_->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void CMetricsServer::Stop() {
  http_->stop();
  if (thread_.joinable()) thread_.join();
  http_->StopRoom();
}

}  // namespace coord
