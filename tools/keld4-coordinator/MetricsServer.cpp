// SPDX-License-Identifier: Apache-2.0
#include "MetricsServer.h"

#include <httplib.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "Errors.h"
#include "Metrics.h"
#include "Protocol.h"
#include "StatusPage.h"

namespace coord {
namespace {

// httplib's own pool queues without limit; this one makes the accepting
// thread wait instead, which caps the connections held at once.
class CBoundedPool : public httplib::TaskQueue {
 public:
  CBoundedPool(int workers, size_t queued) : queued_(queued) {
    for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { Work(); });
  }
  ~CBoundedPool() override { shutdown(); }

  void enqueue(std::function<void()> fn) override {
    std::unique_lock<std::mutex> lock(mu_);
    room_.wait(lock, [this] { return tasks_.size() < queued_ || stopping_; });
    tasks_.push_back(std::move(fn));
    ready_.notify_one();
  }

  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_ && threads_.empty()) return;
      stopping_ = true;
    }
    ready_.notify_all();
    room_.notify_all();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

 private:
  void Work() {
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock<std::mutex> lock(mu_);
        ready_.wait(lock, [this] { return !tasks_.empty() || stopping_; });
        // Queued connections are still answered (each closes its socket).
        if (tasks_.empty()) return;
        fn = std::move(tasks_.front());
        tasks_.pop_front();
      }
      room_.notify_one();
      fn();
    }
  }

  size_t queued_;
  std::mutex mu_;
  std::condition_variable ready_, room_;
  std::deque<std::function<void()>> tasks_;
  std::vector<std::thread> threads_;
  bool stopping_ = false;
};

constexpr const char* kPaths = "/|/metrics|/favicon.ico";

void NotAllowed(const httplib::Request&, httplib::Response& res) {
  res.status = 405;
  res.set_header("Allow", "GET, HEAD");
  res.set_content("405 method not allowed\n", "text/plain");
}

}  // namespace

CMetricsServer::CMetricsServer(const CStatusBoard& board)
    : board_(board), http_(std::make_unique<httplib::Server>()) {
  httplib::Server& h = *http_;
  h.new_task_queue = [] { return new CBoundedPool(kWorkers, kQueued); };
  // Not httplib's default, which adds SO_REUSEPORT and so would let a second
  // coordinator share the port unnoticed.
  h.set_socket_options([](int sock) {
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  });
  h.set_read_timeout(kTimeoutS);
  h.set_write_timeout(kTimeoutS);
  h.set_keep_alive_timeout(kTimeoutS);
  h.set_keep_alive_max_count(16);
  h.set_payload_max_length(4096);

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
  if (http_->bind_to_port(host, port)) return "";
  return errno != 0 ? ErrorText(errno) : std::string("cannot bind");
}

void CMetricsServer::Start() {
  thread_ = std::thread([this] { http_->listen_after_bind(); });
  // stop() does nothing until the server runs; wait so Stop cannot miss it.
  for (int i = 0; i < 2000 && !http_->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void CMetricsServer::Stop() {
  http_->stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace coord
