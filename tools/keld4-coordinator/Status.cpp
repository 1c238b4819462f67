// SPDX-License-Identifier: Apache-2.0
#include "Status.h"

#include <algorithm>
#include <utility>

namespace coord {

void LatencyHistogram::Observe(double seconds) {
  size_t i = 0;
  while (i < kBounds.size() && seconds > kBounds[i]) ++i;
  ++counts[i];
  ++count;
  sum += seconds;
}

std::vector<BackendStatus> BackendsOf(const std::vector<ServerStatus>& servers) {
  std::vector<BackendStatus> out;
  for (const ServerStatus& s : servers) {
    bool seen = std::any_of(out.begin(), out.end(),
                            [&s](const BackendStatus& b) { return b.name == s.backend; });
    if (!seen) out.push_back({s.backend, false});
  }
  return out;
}

CStatusBoard::CStatusBoard(size_t servers, int64_t sample_ms, size_t samples)
    : latest_(std::make_shared<CoordinatorStatus>()), servers_(servers), sample_ms_(sample_ms),
      samples_(samples), times_(samples), loads_(servers * samples, 255),
      weights_(servers * samples, -1) {}

void CStatusBoard::Publish(std::shared_ptr<const CoordinatorStatus> s, int64_t now_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  if (samples_ != 0 && (next_sample_ms_ < 0 || now_ms >= next_sample_ms_)) {
    next_sample_ms_ = now_ms + sample_ms_;
    size_t base = head_ * servers_;
    size_t n = std::min(servers_, s->servers.size());
    for (size_t i = 0; i < n; ++i) {
      const ServerStatus& v = s->servers[i];
      loads_[base + i] = v.load < 0 ? 255 : static_cast<uint8_t>(std::min(v.load, 100));
      weights_[base + i] = static_cast<int16_t>(v.weight);
    }
    times_[head_] = s->time_s;
    head_ = (head_ + 1) % samples_;
    filled_ = std::min(filled_ + 1, samples_);
  }
  latest_ = std::move(s);
}

std::shared_ptr<const CoordinatorStatus> CStatusBoard::Latest() const {
  std::lock_guard<std::mutex> lock(mu_);
  return latest_;
}

std::vector<CStatusBoard::Point> CStatusBoard::History(size_t server) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<Point> out;
  if (server >= servers_) return out;
  out.reserve(filled_);
  for (size_t k = 0; k < filled_; ++k) {
    size_t slot = (head_ + samples_ - filled_ + k) % samples_;
    uint8_t load = loads_[slot * servers_ + server];
    out.push_back({latest_->time_s - times_[slot], load == 255 ? -1 : load,
                   weights_[slot * servers_ + server]});
  }
  return out;
}

}  // namespace coord
