// SPDX-License-Identifier: Apache-2.0
// One nftables table the coordinator owns (table ip keld4 by default): per
// service, a rule that DNATs the virtual address and port to a server picked
// by "numgen random" through an interval map whose intervals are the
// servers' weights, and a rule after it that rejects what the map did not
// take, so a service whose every server is at weight 0 refuses new
// connections instead of passing them on un-NATed. Only a connection's first
// packet meets the nat chains: established connections keep their server
// through conntrack whatever the weights do.
//
// Weight changes are one netlink transaction per write (flush and refill of
// the maps that changed, built with libnftnl: libnftables' parser costs
// several times the kernel's work at thousands of servers); the whole table
// is written through libnftables in one transaction of its own ("add table;
// delete table; table ... { }") when it is missing or not as written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ServiceFile.h"

struct nft_ctx;
struct mnl_socket;

namespace coord {

// The random number the rules draw is below this; a server's share of it is
// its weight's share of its service's, to within one part in 2^20.
constexpr uint32_t kNftSlots = 1u << 20;

// One interval of a map: slots first..last go to servers[server].
struct NftInterval {
  uint32_t first = 0;
  uint32_t last = 0;
  int server = 0;
};

// The intervals for weights (negative counts as 0), in order; none when
// every weight is 0.
std::vector<NftInterval> NftIntervals(const std::vector<int>& weights);

// The libnftables text that replaces the whole table in one transaction.
std::string NftTableText(const std::string& table, const std::vector<L4Service>& services,
                         const std::vector<std::vector<int>>& weights);

class CNftTable {
 public:
  CNftTable(std::string table, std::vector<L4Service> services);
  ~CNftTable();  // leaves the table in the kernel, with its last weights
  CNftTable(const CNftTable&) = delete;
  CNftTable& operator=(const CNftTable&) = delete;

  // Opens libnftables and a netlink socket. 0, or -1 with the reason.
  int Open(std::string* err);

  // At the start: whether a table of that name from an earlier run carries
  // this file's services (its rules' comments name each service, its VIP,
  // port and protocol, and every interval of a map names one of its
  // service's servers; servers added to the file since have none). If so it
  // is kept as it is, traffic going on with the earlier run's last weights,
  // and *weights gets its shares as weights, each service's largest at
  // max_weight: 1. 0: there is none, or it does not match (the first Write
  // replaces it). -1 error.
  int Adopt(int max_weight, std::vector<std::vector<int>>* weights, std::string* err);

  // Writes the weights (one vector per service, in the file's order) in one
  // transaction: the maps that changed, or the whole table when it is not in
  // place. 0, or -1 with the reason.
  int Write(const std::vector<std::vector<int>>& weights, std::string* err);

  // Cheap while nothing in nftables changed (the ruleset's generation); else
  // checks the table's rules and maps and writes it whole again when they
  // are not as written. 1 put back, 0 intact, -1 with the reason.
  int Check(std::string* err);

  const std::string& Table() const { return table_; }
  const std::vector<L4Service>& Services() const { return services_; }
  int64_t LastWriteUs() const { return last_write_us_; }
  uint64_t Writes() const { return writes_; }
  uint64_t Restores() const { return restores_; }

 private:
  int WriteWhole(const std::vector<std::vector<int>>& weights, std::string* err);
  int WriteMaps(const std::vector<std::vector<int>>& weights, std::string* err);
  int ReadGeneration(uint32_t* gen, std::string* err);
  // The map's elements as {key, flags, server or -1}; -1 errno ENOENT when
  // there is no such map.
  int DumpMap(size_t service, std::vector<NftInterval>* intervals, std::string* err);
  // The comments of the table's rules.
  int ReadRules(std::vector<std::string>* comments, std::string* err);
  int InPlace(std::string* err);  // 1 as written, 0 not, -1 error
  int Exchange(const std::vector<char>& batch, int acks, std::string* err);
  std::string MapName(size_t service) const { return "s" + std::to_string(service); }

  std::string table_;
  std::vector<L4Service> services_;
  nft_ctx* nft_ = nullptr;
  mnl_socket* nl_ = nullptr;
  uint32_t portid_ = 0;
  uint32_t seq_ = 1;
  bool written_ = false;  // weights_ is in the kernel, as far as we know
  bool gen_known_ = false;
  uint32_t gen_ = 0;
  std::vector<std::vector<int>> weights_;
  int64_t last_write_us_ = -1;
  uint64_t writes_ = 0;
  uint64_t restores_ = 0;
};

}  // namespace coord
