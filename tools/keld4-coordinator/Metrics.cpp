#include "Metrics.h"

#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

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

// One family at a time goes into the text, so a scrape of ten thousand
// agents never holds more than one family's series at once.
class CExposition {
 public:
  void Family(const char* name, const char* help, MetricType type,
              std::vector<ClientMetric> metrics) {
    serializer_.Serialize(out_, {MetricFamily{name, help, type, std::move(metrics)}});
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
  std::string Text() const { return out_.str(); }

 private:
  prometheus::TextSerializer serializer_;
  std::ostringstream out_;
};

constexpr MetricType kGauge = MetricType::Gauge;
constexpr MetricType kCounter = MetricType::Counter;

void Agents(const CoordinatorStatus& s, CExposition* x) {
  std::vector<ClientMetric> load, state, last;
  const AgentState states[] = {AgentState::kUnknown, AgentState::kUp, AgentState::kSilent,
                               AgentState::kDown};
  for (const AgentStatus& a : s.agents) {
    std::string addr = Addr(a.addr);
    if (a.load >= 0) load.push_back(x->Metric(a.load / 100.0, kGauge, {{"agent", addr}}));
    for (AgentState st : states) {
      state.push_back(
          x->Metric(a.state == st ? 1 : 0, kGauge, {{"agent", addr}, {"state", StateName(st)}}));
    }
    if (a.last_report_s > 0) last.push_back(x->Metric(a.last_report_s, kGauge, {{"agent", addr}}));
  }
  x->Family("keld4_agent_cpu_load_ratio", "Latest CPU load an agent reported, 0 to 1.", kGauge,
            std::move(load));
  x->Family("keld4_agent_state", "1 for the state an agent is in: unknown, up, silent or down.",
            kGauge, std::move(state));
  x->Family("keld4_agent_last_report_timestamp_seconds",
            "Unix time of the latest valid message from an agent.", kGauge, std::move(last));
}

void Servers(const CoordinatorStatus& s, CExposition* x) {
  std::vector<ClientMetric> info, weight, target, state, load;
  const LbState states[] = {LbState::kReady, LbState::kDrain, LbState::kMaint};
  for (const ServerStatus& v : s.servers) {
    auto labels = [&v]() -> std::vector<ClientMetric::Label> {
      return {{"backend", v.backend}, {"server", v.server}};
    };
    auto with = [&labels](const char* name, std::string value) {
      auto l = labels();
      l.push_back({name, std::move(value)});
      return l;
    };
    info.push_back(x->Metric(1, kGauge, with("agent", Addr(v.agent))));
    if (v.missing) continue;
    if (v.weight >= 0) weight.push_back(x->Metric(v.weight, kGauge, labels()));
    if (v.target >= 0) target.push_back(x->Metric(v.target, kGauge, labels()));
    if (v.load >= 0) load.push_back(x->Metric(v.load / 100.0, kGauge, labels()));
    if (v.state != LbState::kUnknown) {
      for (LbState st : states) {
        state.push_back(x->Metric(v.state == st ? 1 : 0, kGauge, with("state", LbStateName(st))));
      }
    }
  }
  x->Family("keld4_server_info", "The agent an HAProxy server stands for.", kGauge,
            std::move(info));
  x->Family("keld4_server_weight", "Weight of an HAProxy server as last written (or read).",
            kGauge, std::move(weight));
  x->Family("keld4_server_target_weight", "Weight the server's smoothed load asks for.", kGauge,
            std::move(target));
  x->Family("keld4_server_cpu_load_ratio", "Smoothed CPU load the weight is made from, 0 to 1.",
            kGauge, std::move(load));
  x->Family("keld4_server_state", "1 for the state last written to a server: ready, drain, maint.",
            kGauge, std::move(state));
}

void Endpoints(const CoordinatorStatus& s, CExposition* x) {
  std::vector<ClientMetric> up, commands, errors, latency;
  for (const EndpointStatus& e : s.endpoints) {
    std::vector<ClientMetric::Label> l = {{"endpoint", e.endpoint}};
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
      double bound = i < LatencyHistogram::kBounds.size()
                         ? LatencyHistogram::kBounds[i]
                         : std::numeric_limits<double>::infinity();
      h.histogram.bucket.push_back({cumulative, bound});
    }
    latency.push_back(std::move(h));
  }
  x->Family("keld4_haproxy_up", "1 while the HAProxy stats socket answers.", kGauge,
            std::move(up));
  x->Family("keld4_haproxy_commands_total", "Commands sent to the HAProxy stats socket.",
            kCounter, std::move(commands));
  x->Family("keld4_haproxy_errors_total",
            "Failed exchanges with the HAProxy stats socket and commands it refused.", kCounter,
            std::move(errors));
  x->Family("keld4_haproxy_command_duration_seconds",
            "Round trip of one exchange (a batch of commands) on the stats socket.",
            MetricType::Histogram, std::move(latency));
}

}  // namespace

std::string MetricsText(const CoordinatorStatus& s) {
  CExposition x;
  x.One("keld4_coordinator_build_info", "The coordinator's version.", kGauge, 1,
        {{"version", s.version}});
  x.One("keld4_coordinator_start_time_seconds", "Unix time the coordinator started.", kGauge,
        s.start_s);
  x.One("keld4_coordinator_active", "1 while this coordinator is active, 0 while standing by.",
        kGauge, s.active ? 1 : 0);
  x.One("keld4_agents_configured", "Agents the coordinator sends Coor_alive to.", kGauge,
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
  std::vector<ClientMetric> valves;
  for (const BackendStatus& b : s.backends) {
    valves.push_back(x.Metric(b.valve_holding ? 1 : 0, kGauge, {{"backend", b.name}}));
  }
  x.Family("keld4_backend_silence_valve_holding",
           "1 while drains of a backend are held back because too many agents fell silent.",
           kGauge, std::move(valves));
  Agents(s, &x);
  Servers(s, &x);
  Endpoints(s, &x);
  return x.Text();
}

}  // namespace coord
