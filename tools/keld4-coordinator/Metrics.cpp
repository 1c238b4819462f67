// SPDX-License-Identifier: Apache-2.0
#include "Metrics.h"

#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <functional>
#include <limits>
#include <sstream>

#include "Protocol.h"

namespace coord {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

std::string Addr(uint32_t a) {
  char buf[16];
  FormatAddr(a, buf);
  return buf;
}

using Add = std::function<void(size_t, std::vector<ClientMetric>*)>;

// Series are made and written a chunk at a time, so a scrape of ten thousand
// agents never holds more than a chunk of them besides the text itself.
class CExposition {
 public:
  explicit CExposition(const std::function<void(std::string_view)>& out) : out_(out) {}

  static constexpr size_t kChunk = 1024;

  // A family of the series add(i, &out) appends for each i below n.
  void Family(const char* name, const char* help, MetricType type, size_t n, const Add& add) {
    std::vector<ClientMetric> chunk;
    bool first = true;
    for (size_t i = 0; i < n; ++i) {
      add(i, &chunk);
      if (chunk.size() >= kChunk) Flush(name, help, type, &chunk, &first);
    }
    if (first || !chunk.empty()) Flush(name, help, type, &chunk, &first);
  }
  void Family(const char* name, const char* help, MetricType type,
              std::vector<ClientMetric> metrics) {
    bool first = true;
    Flush(name, help, type, &metrics, &first);
  }
  void One(const char* name, const char* help, MetricType type, double value,
           std::vector<ClientMetric::Label> labels = {}) {
    Family(name, help, type, {Metric(value, type, std::move(labels))});
  }
  static ClientMetric Metric(double value, MetricType type,
                             std::vector<ClientMetric::Label> labels) {
    ClientMetric m;
    m.label = std::move(labels);
    if (type == MetricType::Counter) {
      m.counter.value = value;
    } else {
      m.gauge.value = value;
    }
    return m;
  }

 private:
  // Later chunks of a family go without its HELP and TYPE lines.
  void Flush(const char* name, const char* help, MetricType type, std::vector<ClientMetric>* chunk,
             bool* first) {
    std::ostringstream part;
    serializer_.Serialize(part, {MetricFamily{name, help, type, std::move(*chunk)}});
    chunk->clear();
    std::string text = std::move(part).str();
    size_t from = 0;
    if (!*first) {
      for (int header = 0; header < 2; ++header) from = text.find('\n', from) + 1;
    }
    out_(std::string_view(text).substr(from));
    *first = false;
  }

  prometheus::TextSerializer serializer_;
  const std::function<void(std::string_view)>& out_;
};

constexpr MetricType kGauge = MetricType::Gauge;
constexpr MetricType kCounter = MetricType::Counter;

void Agents(const CoordinatorStatus& s, CExposition* x) {
  const std::vector<AgentStatus>& agents = s.agents;
  auto addr = [&agents](size_t i) { return Addr(agents[i].addr); };
  x->Family("keld4_agent_cpu_load_ratio", "Latest CPU load an agent reported, 0 to 1.", kGauge,
            agents.size(), [&](size_t i, std::vector<ClientMetric>* out) {
              if (agents[i].load < 0) return;
              out->push_back(x->Metric(agents[i].load / 100.0, kGauge, {{"agent", addr(i)}}));
            });
  x->Family("keld4_agent_state", "1 for the state an agent is in: unknown, up, silent or down.",
            kGauge, agents.size(), [&](size_t i, std::vector<ClientMetric>* out) {
              std::string a = addr(i);
              for (AgentState st : {AgentState::kUnknown, AgentState::kUp, AgentState::kSilent,
                                    AgentState::kDown}) {
                out->push_back(x->Metric(agents[i].state == st ? 1 : 0, kGauge,
                                         {{"agent", a}, {"state", StateName(st)}}));
              }
            });
  x->Family("keld4_agent_last_report_timestamp_seconds",
            "Unix time of the latest valid message from an agent.", kGauge, agents.size(),
            [&](size_t i, std::vector<ClientMetric>* out) {
              if (agents[i].last_report_s <= 0) return;
              out->push_back(x->Metric(agents[i].last_report_s, kGauge, {{"agent", addr(i)}}));
            });
}

void Servers(const CoordinatorStatus& s, CExposition* x) {
  const std::vector<ServerStatus>& servers = s.servers;
  auto labels = [&servers](size_t i) -> std::vector<ClientMetric::Label> {
    return {{"backend", servers[i].backend}, {"server", servers[i].server}};
  };
  // One gauge per known server; missing servers have none.
  auto value = [&](const char* name, const char* help, auto get) {
    x->Family(name, help, kGauge, servers.size(), [&](size_t i, std::vector<ClientMetric>* out) {
      double v = get(servers[i]);
      if (!servers[i].missing && v >= 0) out->push_back(x->Metric(v, kGauge, labels(i)));
    });
  };
  x->Family("keld4_server_info", "The agent an HAProxy server stands for.", kGauge, servers.size(),
            [&](size_t i, std::vector<ClientMetric>* out) {
              auto l = labels(i);
              l.push_back({"agent", Addr(servers[i].agent)});
              out->push_back(x->Metric(1, kGauge, std::move(l)));
            });
  value("keld4_server_weight", "Weight of an HAProxy server as last written (or read).",
        [](const ServerStatus& v) { return v.weight; });
  value("keld4_server_target_weight", "Weight the server's smoothed load asks for.",
        [](const ServerStatus& v) { return v.target; });
  value("keld4_server_cpu_load_ratio", "Smoothed CPU load the weight is made from, 0 to 1.",
        [](const ServerStatus& v) { return v.load < 0 ? -1.0 : v.load / 100.0; });
  x->Family("keld4_server_state", "1 for the state last written to a server: ready, drain, maint.",
            kGauge, servers.size(), [&](size_t i, std::vector<ClientMetric>* out) {
              const ServerStatus& v = servers[i];
              if (v.missing || v.state == LbState::kUnknown) return;
              for (LbState st : {LbState::kReady, LbState::kDrain, LbState::kMaint}) {
                auto l = labels(i);
                l.push_back({"state", LbStateName(st)});
                out->push_back(x->Metric(v.state == st ? 1 : 0, kGauge, std::move(l)));
              }
            });
  x->Family("keld4_server_held",
            "1 while a server keeps a state that is not the coordinator's to write, by whom: "
            "operator, config, haproxy, map.",
            kGauge, servers.size(), [&](size_t i, std::vector<ClientMetric>* out) {
              const ServerStatus& v = servers[i];
              if (v.missing || v.holder.empty()) return;
              auto l = labels(i);
              l.push_back({"by", v.holder});
              out->push_back(x->Metric(1, kGauge, std::move(l)));
            });
}

void Endpoints(const CoordinatorStatus& s, CExposition* x) {
  std::vector<ClientMetric> up, commands, errors, latency;
  for (const EndpointStatus& e : s.endpoints) {
    std::vector<ClientMetric::Label> l = {{"endpoint", e.endpoint}, {"kind", e.kind}};
    up.push_back(x->Metric(e.reachable ? 1 : 0, kGauge, l));
    commands.push_back(x->Metric(static_cast<double>(e.commands), kCounter, l));
    errors.push_back(x->Metric(static_cast<double>(e.errors), kCounter, l));
    ClientMetric h;
    h.label = l;
    h.histogram.sample_count = e.latency.count;
    h.histogram.sample_sum = e.latency.sum;
    uint64_t cumulative = 0;
    for (size_t i = 0; i < e.latency.counts.size(); ++i) {
      cumulative += e.latency.counts[i];
      double bound = i < LatencyHistogram::kBounds.size() ? LatencyHistogram::kBounds[i]
                                                          : std::numeric_limits<double>::infinity();
      h.histogram.bucket.push_back({cumulative, bound});
    }
    latency.push_back(std::move(h));
  }
  // The names are HAProxy's since it was the first balancer; the kind label
  // tells the nftables table from it.
  x->Family("keld4_haproxy_up",
            "1 while the balancer (HAProxy's stats socket, the nftables table) answers.", kGauge,
            std::move(up));
  x->Family("keld4_haproxy_commands_total", "Commands sent to the balancer.", kCounter,
            std::move(commands));
  x->Family("keld4_haproxy_errors_total",
            "Failed exchanges with the balancer and commands it refused.", kCounter,
            std::move(errors));
  x->Family("keld4_haproxy_command_duration_seconds",
            "Round trip of one exchange (a batch of commands) with the balancer.",
            MetricType::Histogram, std::move(latency));
}

}  // namespace

std::string MetricsText(const CoordinatorStatus& s) {
  std::string text;
  WriteMetrics(s, [&text](std::string_view piece) { text += piece; });
  return text;
}

void WriteMetrics(const CoordinatorStatus& s, const std::function<void(std::string_view)>& out) {
  CExposition x(out);
  x.One("keld4_coordinator_build_info", "The coordinator's version.", kGauge, 1,
        {{"version", s.version}});
  x.One("keld4_coordinator_start_time_seconds", "Unix time the coordinator started.", kGauge,
        s.start_s);
  x.One("keld4_coordinator_active", "1 while this coordinator is active, 0 while standing by.",
        kGauge, s.active ? 1 : 0);
  x.One("keld4_coordinator_deaf",
        "1 while the coordinator hears almost none of its fleet and drains nobody for silence.",
        kGauge, s.deaf ? 1 : 0);
  x.One("keld4_agents_configured", "Agents whose latest Coor_alive went out.", kGauge,
        static_cast<double>(s.agents_configured));
  x.One("keld4_datagrams_received_total", "Datagrams read from the agents' socket.", kCounter,
        static_cast<double>(s.received));
  x.One("keld4_datagrams_malformed_total", "Received datagrams that were not agent messages.",
        kCounter, static_cast<double>(s.malformed));
  x.Family("keld4_datagrams_dropped_total",
           "Datagrams dropped: by the kernel (queue full) or by the source check.", kCounter,
           {x.Metric(static_cast<double>(s.dropped_kernel), kCounter, {{"reason", "kernel"}}),
            x.Metric(static_cast<double>(s.dropped_source), kCounter, {{"reason", "source"}})});
  x.One("keld4_coor_alive_sent_total", "Coor_alive messages sent.", kCounter,
        static_cast<double>(s.alive_sent));
  x.One("keld4_coor_alive_failed_total", "Coor_alive messages the socket refused to send.",
        kCounter, static_cast<double>(s.alive_failed));
  x.One("keld4_agent_table_rows", "Rows of the agent table in use (at most --max-agents).", kGauge,
        static_cast<double>(s.table_rows));
  x.One("keld4_agent_table_full",
        "1 while the agent table has no free row: new senders take unmapped agents' rows.", kGauge,
        s.table_full ? 1 : 0);
  x.One("keld4_agent_table_recycled_total",
        "Rows of unmapped agents given to a new sender because the table was full.", kCounter,
        static_cast<double>(s.table_recycled));
  x.One("keld4_reports_untracked_total",
        "Valid reports that got no row of the agent table (every row reserved).", kCounter,
        static_cast<double>(s.untracked));
  std::vector<ClientMetric> valves;
  for (const BackendStatus& b : s.backends) {
    valves.push_back(x.Metric(b.valve_holding ? 1 : 0, kGauge, {{"backend", b.name}}));
  }
  x.Family("keld4_backend_silence_valve_holding",
           "1 while drains of a backend are held back because too many agents fell silent.", kGauge,
           std::move(valves));
  Agents(s, &x);
  Servers(s, &x);
  Endpoints(s, &x);
}

}  // namespace coord
