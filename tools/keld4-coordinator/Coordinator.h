// SPDX-License-Identifier: Apache-2.0
// The coordinator's run: sends Coor_alive, books what the agents report,
// balances HAProxy from it and shows it all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AddressWatch.h"
#include "AgentTable.h"
#include "Balancer.h"
#include "Hearing.h"
#include "Liveness.h"
#include "MetricsServer.h"
#include "Options.h"
#include "Report.h"
#include "Status.h"

namespace coord {

extern const char* const kProgram;
extern const char* const kVersion;

// What the operator of a fleet watches: the coordinator keeps it current and
// copies it into the snapshot that every view reads.
struct FleetCounters {
  uint64_t kernel_drops = 0;      // reports the kernel dropped for a full receive buffer
  uint64_t source_drops = 0;      // mapped agents' reports from another UDP source
  uint64_t alive_sent = 0;        // Coor_alive datagrams sent
  uint64_t alive_failed = 0;      // Coor_alive sends that failed (not the waits)
  size_t agents_total = 0;        // agents Coor_alive goes to (--agent and mapped)
  size_t agents_configured = 0;   // of those, whose latest Coor_alive went out
  int rcvbuf_granted = 0;         // receive buffer the kernel granted, bytes
  std::vector<ValveView> valves;  // each backend's safety valve
};

class CCoordinator {
 public:
  explicit CCoordinator(const CoordinatorOptions& o);
  ~CCoordinator();
  CCoordinator(const CCoordinator&) = delete;
  CCoordinator& operator=(const CCoordinator&) = delete;

  // The whole run; returns the exit code.
  int Run();

  const FleetCounters& Counters() const { return counters_; }

  // For the operator's figures: whether this coordinator acts (holds the
  // report address), how often that changed, and the balancer (nullptr
  // without mapped servers) with its HAProxy endpoints.
  bool Active() const { return active_; }
  uint64_t ActivityChanges() const { return activity_changes_; }
  const CBalancer* Balancer() const { return balancer_.get(); }

 private:
  int Setup();
  void Begin();
  int64_t DoDue();
  void WaitAndHandle(int64_t now);
  void End();
  int64_t Elapsed(int64_t now) const { return now - start_ms_; }
  void Emit(CJsonLine& j);
  CJsonLine Event(const char* name, int64_t now);
  void EmitStart();
  bool SendOne(size_t target, int64_t now);
  void SendDue(int64_t now);
  int64_t SendAt(size_t target) const;
  std::vector<size_t> SetTargets();
  void Receive();
  void CountKernelDrops(uint32_t total);
  void EmitDrops(int64_t now);
  void EmitTable(int64_t now);
  uint64_t TableStamp() const;
  bool TablePending() const;
  void Flush();
  void RefreshValves();
  void CheckActivity(int64_t now);
  void CheckHearing(int64_t now);
  void SetActive(bool active, int64_t now);
  void Reload(int64_t now);
  void Apply(const CoordinatorOptions& fresh, int64_t now);
  void Handle(const uint8_t* data, size_t n, uint32_t from_addr, uint16_t from_port, int64_t now);
  void EmitSilent(const AgentRow& r, int64_t now);
  void OnLbEvent(const LbEvent& e);
  void Fatal(const char* op, int err);
  std::shared_ptr<CoordinatorStatus> Snapshot(int64_t now, bool with_rows);
  void Draw(const CoordinatorStatus& s);
  void Finish(int64_t now);
  int StartMetrics();

  CoordinatorOptions opt_;
  CAgentTable table_;
  std::unique_ptr<CBalancer> balancer_;
  std::unique_ptr<CAddressWatch> watch_;  // with --virtual only
  CLiveness live_;
  bool active_ = true;
  uint64_t activity_changes_ = 0;
  int sock_ = -1;
  int sigfd_ = -1;
  int64_t start_ms_ = 0;
  int64_t now_ms_ = 0;
  bool tty_ = false;
  FleetCounters counters_;
  // The round of Coor_alive sends: targets_ are the agents, then the
  // broadcast addresses; a round sends them in order, spread over
  // round_spread_ms_ from round_start_ms_ (0: as fast as the socket takes them).
  std::vector<uint32_t> targets_;
  std::vector<uint8_t> target_state_;  // TargetState
  size_t round_next_ = 0;
  int64_t round_start_ms_ = 0;
  int64_t round_spread_ms_ = 0;
  bool send_blocked_ = false;  // waiting for room in the send buffer
  uint32_t kernel_drops_seen_ = 0;
  uint64_t drops_emitted_ = 0;
  int64_t drops_due_ms_ = 0;
  uint64_t table_emitted_ = 0;
  int64_t table_due_ms_ = 0;
  uint64_t valve_version_ = 0;
  int64_t next_draw_ = 0;
  int64_t next_read_ = 0;
  int64_t next_check_ = -1;    // -1 without an address to watch
  int64_t next_hearing_ = -1;  // -1 while nothing is judged
  int64_t judge_from_ms_ = 0;  // the end of the grace of the latest start
  Hearing hearing_;
  int64_t end_at_ = -1;  // -1 without --duration
  int64_t lb_due_ms_ = 0;
  uint64_t valid_ = 0;
  uint64_t malformed_ = 0;
  uint64_t received_ = 0;
  const char* end_reason_ = nullptr;
  int exit_code_ = 0;
  std::vector<std::string> dry_run_lines_;  // the latest, under the live table
  std::vector<uint8_t> buf_;

  // The HTTP side; only with --metrics.
  std::unique_ptr<CStatusBoard> board_;
  std::unique_ptr<CMetricsServer> http_;
  double start_wall_s_ = 0;
  int64_t next_publish_ = -1;
};

}  // namespace coord
