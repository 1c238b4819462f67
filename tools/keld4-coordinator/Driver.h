// SPDX-License-Identifier: Apache-2.0
// The balancers the weights go to, behind one interface. CBalancer keeps the
// goals, the valve and the holds for every kind; a driver only carries one
// bounded exchange per call to its balancer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Haproxy.h"
#include "ServiceFile.h"

namespace coord {

// What the probe learns of a balancer: who it is, and for how long it has run,
// so that a restart (a new pid, or a shorter uptime) is seen.
struct DriverProbe {
  long long pid = 0;
  long long uptime_s = 0;
};

class CDriver {
 public:
  virtual ~CDriver() = default;

  // Its kind, as named in the table of kinds.
  virtual const char* Kind() const = 0;
  // Where it writes, for the views; "" for a dry run without a balancer.
  virtual const std::string& Endpoint() const = 0;
  // Whether it has a state to read (the probe, the weights it started
  // from); without one nothing is read and every goal goes out as it is.
  virtual bool Reads() const = 0;
  // Whether a write reaches a balancer; a dry run's does not, and costs no
  // exchange.
  virtual bool Writes() const = 0;

  // Is it up, and who is it: 0, or -1 with the reason in *err.
  virtual int Probe(DriverProbe* out, std::string* err) = 0;
  // How often the probe runs while it answers.
  virtual int64_t ProbePeriodMs() const { return 2000; }
  // Made ready to carry traffic while the coordinator stands by, for a
  // balancer of this node's own that nobody else writes (the nftables
  // table): the address may come before the coordinator is active.
  virtual int Prepare(std::string* /*err*/) { return 0; }
  // One exchange each: a reading of its state, a batch of changes. One
  // answer per command ("" for one that succeeded silently). 0, or -1 with
  // the reason in *err when the balancer could not be reached or answered out
  // of turn.
  virtual int Read(const std::vector<std::string>& commands, std::vector<std::string>* answers,
                   std::string* err) = 0;
  virtual int Write(const std::vector<std::string>& commands, std::vector<std::string>* answers,
                    std::string* err) = 0;

  // Its dialogue: the commands the readings and the writes are made of (the
  // events show them), and what its answers say. server is BACKEND/SERVER.
  virtual std::string WeightQuery(const std::string& server) const = 0;
  virtual bool ParseWeight(const std::string& answer, int* current, int* initial) const = 0;
  virtual std::string StatesQuery(const std::string& backend) const = 0;
  // false when the answer is no list of servers (an unknown backend).
  virtual bool ParseStates(const std::string& answer, std::vector<ServerState>* rows) const = 0;
  // The counts the even law sheds a saturated server by, for a backend: ""
  // when this kind of balancer has none.
  virtual std::string CountsQuery(const std::string& /*backend*/) const { return ""; }
  virtual bool ParseCounts(const std::string& /*answer*/,
                           std::vector<ServerCounts>* /*rows*/) const {
    return false;
  }
  virtual std::string SetWeight(const std::string& server, const std::string& weight) const = 0;
  virtual std::string SetState(const std::string& server, const std::string& state) const = 0;
  // Whether a write's answer says the balancer has no such server.
  virtual bool NoSuchServer(const std::string& answer) const = 0;
  // Where the exchange of commands that starts at from ends.
  virtual size_t BatchEnd(const std::vector<std::string>& commands, size_t from) const = 0;
};

// What a driver is made from: HAProxy's stats socket, or the nftables table
// with its services.
struct DriverSpec {
  std::string endpoint;             // haproxy: the stats socket
  std::string table;                // nftables: the table's name (family ip)
  std::vector<L4Service> services;  // nftables: the service file's services
  int max_weight = -1;              // nftables: an idle server's weight; -1: 100
};

// The table of kinds: "haproxy" (its Runtime API at setup.endpoint),
// "nftables" (the table setup.table, owned whole) and "dryrun" (writes
// nothing: speaks nftables' dialogue when setup has services, else reads
// through the HAProxy at setup.endpoint when one is named). nullptr for an
// unknown kind.
std::unique_ptr<CDriver> MakeDriver(const std::string& kind, const DriverSpec& setup);
std::unique_ptr<CDriver> MakeDriver(const std::string& kind, const std::string& endpoint);

// An nftables table's name, as the views show it.
std::string NftEndpoint(const std::string& table);

// The kinds the table knows, in its order.
std::vector<std::string> DriverKinds();

}  // namespace coord
