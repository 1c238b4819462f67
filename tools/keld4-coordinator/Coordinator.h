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
#include "MetricsServer.h"
#include "Options.h"
#include "Report.h"
#include "Status.h"

namespace coord {

extern const char* const kProgram;
extern const char* const kVersion;

class CCoordinator {
 public:
  explicit CCoordinator(const CoordinatorOptions& o);
  virtual ~CCoordinator();
  CCoordinator(const CCoordinator&) = delete;
  CCoordinator& operator=(const CCoordinator&) = delete;

  // The whole run; returns the exit code.
  int Run();

  // For the operator's figures: whether this coordinator acts (holds the
  // report address), how often that changed, and the balancer (nullptr
  // without mapped servers) with its HAProxy endpoints.
  bool Active() const { return active_; }
  uint64_t ActivityChanges() const { return activity_changes_; }
  const CBalancer* Balancer() const { return balancer_.get(); }

 private:
  int Setup();
  int64_t Elapsed(int64_t now) const { return now - start_ms_; }
  void Emit(CJsonLine& j);
  CJsonLine Event(const char* name, int64_t now);
  void EmitStart();
  void SendOne(uint32_t des, bool broadcast, int64_t now);
  void SendRound(int64_t now);
  void Receive();
  void CheckActivity(int64_t now);
  void SetActive(bool active, int64_t now);
  void Reload(int64_t now);
  void Handle(size_t n, uint32_t from_addr, uint16_t from_port, int64_t now);
  void EmitSilent(const AgentRow& r, int64_t now);
  void OnLbEvent(const LbEvent& e);
  void Fatal(const char* op, int err);
  std::string Title(int64_t now) const;
  std::vector<std::string> Lines(int64_t now, size_t max_rows) const;
  void Draw(int64_t now);
  void Finish(int64_t now);
  int StartMetrics();
  void Publish(int64_t now);

  CoordinatorOptions opt_;
  CAgentTable table_;
  std::unique_ptr<CBalancer> balancer_;
  std::unique_ptr<CAddressWatch> watch_;  // with --virtual only
  bool active_ = true;
  uint64_t activity_changes_ = 0;
  int64_t next_send_ = -1;
  int sock_ = -1;
  int sigfd_ = -1;
  int64_t start_ms_ = 0;
  int64_t now_ms_ = 0;
  bool tty_ = false;
  uint64_t sent_ = 0;
  uint64_t valid_ = 0;
  uint64_t malformed_ = 0;
  uint64_t received_ = 0;
  uint64_t alive_failed_ = 0;
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
