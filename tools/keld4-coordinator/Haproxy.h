// SPDX-License-Identifier: Apache-2.0
// HAProxy's Runtime API on its stats socket, in the socket's non-interactive
// mode: one connection per batch of commands, which HAProxy closes after its
// answers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "Weights.h"

namespace coord {

class CHaproxySocket {
 public:
  // endpoint: a UNIX socket path (anything with a '/') or IPv4-address:port.
  explicit CHaproxySocket(std::string endpoint, int timeout_ms = 2000);

  // "" when endpoint has one of the two forms, else the reason.
  static std::string CheckEndpoint(const std::string& endpoint);

  const std::string& Endpoint() const { return endpoint_; }

  // Sends the commands on one line, separated by ';', and splits the reply
  // into one answer per command (its lines without the last line end; "" for
  // a command that succeeded silently). Returns 0, or -1 with the reason in
  // *err when the socket failed or the reply did not match the commands.
  int Run(const std::vector<std::string>& commands, std::vector<std::string>* answers,
          std::string* err) const;

 private:
  int Connect(std::string* err) const;

  std::string endpoint_;
  int timeout_ms_;
};

// HAProxy reads a command line into one buffer (tune.bufsize, 16384 bytes by
// default, less what it reserves); versions that take no more than that refuse
// a longer line whole.
constexpr size_t kMaxCommandLine = 14336;

// Where the batch of commands that starts at from ends: as many as fit on one
// line of at most max_line bytes with their separators and line end, and
// always at least one.
size_t BatchEnd(const std::vector<std::string>& commands, size_t from,
                size_t max_line = kMaxCommandLine);

// "N (initial M)", the answer to get weight.
bool ParseGetWeight(const std::string& answer, int* current, int* initial);

// Pid and Uptime_sec from the answer to show info.
bool ParseShowInfo(const std::string& answer, long long* pid, long long* uptime_s);

// One server's line of show servers state.
struct ServerState {
  std::string backend;
  std::string server;
  int admin = 0;   // srv_admin_state, HAProxy's admin bits
  int weight = 0;  // srv_uweight
};

// The servers of an answer to show servers state; false when it is not one
// (an unknown backend is answered with a line of text).
bool ParseServersState(const std::string& answer, std::vector<ServerState>* out);

// One server's row of "show stat BACKEND 4 -1": the sessions it has begun
// since HAProxy started and those open now (in mode http a session is a
// request; in mode tcp a connection, which says nothing of the work).
struct ServerCounts {
  std::string backend;
  std::string server;
  bool http = false;
  long long total = 0;  // stot
  long long open = 0;   // scur
};

// The rows of show stat's CSV, its columns found by the header's names;
// false when the answer is no such table (an unknown backend).
bool ParseShowStat(const std::string& answer, std::vector<ServerCounts>* out);

// HAProxy's admin-state bits: forced from the socket (maintenance, drain),
// "disabled" in the configuration, inherited from a tracked server, and set
// by its resolvers.
constexpr int kAdminForcedMaint = 0x01;
constexpr int kAdminForcedDrain = 0x08;

// Whose a server's admin state is. A coordinator takes a server out only to
// its silent state (drain, or maint with --silent-state maint) and always
// together with weight 0, both kept by HAProxy with the server (and by its
// server-state file across reloads), so the pair is this coordinator's or its
// peer's mark whatever either has been through. Any other state that is not
// ready is someone else's.
enum class Holder {
  kNone,      // ready, or taken out by a coordinator
  kOperator,  // maint or drain set on the socket by someone else
  kConfig,    // "disabled" in HAProxy's configuration
  kHaproxy,   // inherited from a tracked server, or set by HAProxy's resolvers
  kMap,       // "hold" in the server map
};

const char* HolderName(Holder h);

Holder AdminHolder(int admin, int weight, LbState silent_state);

// The state an admin field stands for.
LbState AdminState(int admin);

}  // namespace coord
