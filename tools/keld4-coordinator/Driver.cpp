// SPDX-License-Identifier: Apache-2.0
#include "Driver.h"

#include <utility>

#include "NftDriver.h"

namespace coord {
namespace {

// HAProxy's Runtime API text, which a dry run shows as what it would send.
class CHaproxyDialogue : public CDriver {
 public:
  std::string WeightQuery(const std::string& server) const override {
    return "get weight " + server;
  }
  bool ParseWeight(const std::string& answer, int* current, int* initial) const override {
    return ParseGetWeight(answer, current, initial);
  }
  std::string StatesQuery(const std::string& backend) const override {
    return "show servers state " + backend;
  }
  bool ParseStates(const std::string& answer, std::vector<ServerState>* rows) const override {
    return ParseServersState(answer, rows);
  }
  std::string CountsQuery(const std::string& backend) const override {
    return "show stat " + backend + " 4 -1";  // its servers' rows
  }
  bool ParseCounts(const std::string& answer, std::vector<ServerCounts>* rows) const override {
    return ParseShowStat(answer, rows);
  }
  std::string SetWeight(const std::string& server, const std::string& weight) const override {
    return "set server " + server + " weight " + weight;
  }
  std::string SetState(const std::string& server, const std::string& state) const override {
    return "set server " + server + " state " + state;
  }
  bool NoSuchServer(const std::string& answer) const override {
    return answer.rfind("No such", 0) == 0;
  }
  size_t BatchEnd(const std::vector<std::string>& commands, size_t from) const override {
    return coord::BatchEnd(commands, from);
  }
};

// HAProxy's Runtime API: every verb is a batch of commands on its socket.
class CHaproxyDriver : public CHaproxyDialogue {
 public:
  explicit CHaproxyDriver(const std::string& endpoint) : socket_(endpoint) {}

  const char* Kind() const override { return "haproxy"; }
  const std::string& Endpoint() const override { return socket_.Endpoint(); }
  bool Reads() const override { return true; }
  bool Writes() const override { return true; }
  int Probe(DriverProbe* out, std::string* err) override {
    std::vector<std::string> answers;
    if (socket_.Run({"show info"}, &answers, err) != 0) return -1;
    if (!ParseShowInfo(answers[0], &out->pid, &out->uptime_s)) {
      *err = "no Pid and Uptime_sec in the answer to show info: " + answers[0].substr(0, 80);
      return -1;
    }
    return 0;
  }
  int Read(const std::vector<std::string>& commands, std::vector<std::string>* answers,
           std::string* err) override {
    return socket_.Run(commands, answers, err);
  }
  int Write(const std::vector<std::string>& commands, std::vector<std::string>* answers,
            std::string* err) override {
    return socket_.Run(commands, answers, err);
  }

 private:
  CHaproxySocket socket_;
};

// Says what would be written and writes nothing. With an HAProxy named it
// still reads it, so the goals start from what it has.
class CDryRunDriver : public CHaproxyDialogue {
 public:
  explicit CDryRunDriver(const std::string& endpoint) : endpoint_(endpoint) {
    if (!endpoint.empty()) reader_ = std::make_unique<CHaproxyDriver>(endpoint);
  }

  const char* Kind() const override { return "dryrun"; }
  const std::string& Endpoint() const override { return endpoint_; }
  bool Reads() const override { return reader_ != nullptr; }
  bool Writes() const override { return false; }
  int Probe(DriverProbe* out, std::string* err) override {
    if (reader_) return reader_->Probe(out, err);
    *out = DriverProbe();
    return 0;
  }
  int Read(const std::vector<std::string>& commands, std::vector<std::string>* answers,
           std::string* err) override {
    if (reader_) return reader_->Read(commands, answers, err);
    *err = "a dry run without a balancer has nothing to read";
    return -1;
  }
  int Write(const std::vector<std::string>& commands, std::vector<std::string>* answers,
            std::string*) override {
    answers->assign(commands.size(), "");
    return 0;
  }

 private:
  std::string endpoint_;
  std::unique_ptr<CDriver> reader_;
};

struct Kind {
  const char* name;
  std::unique_ptr<CDriver> (*make)(const DriverSpec& setup);
};

const Kind kKinds[] = {
    {"haproxy",
     [](const DriverSpec& s) -> std::unique_ptr<CDriver> {
       return std::make_unique<CHaproxyDriver>(s.endpoint);
     }},
    {"nftables", [](const DriverSpec& s) { return MakeNftDriver(s, false); }},
    {"dryrun",
     [](const DriverSpec& s) -> std::unique_ptr<CDriver> {
       if (!s.services.empty()) return MakeNftDriver(s, true);
       return std::make_unique<CDryRunDriver>(s.endpoint);
     }},
};

}  // namespace

std::unique_ptr<CDriver> MakeDriver(const std::string& kind, const DriverSpec& setup) {
  for (const Kind& k : kKinds) {
    if (kind == k.name) return k.make(setup);
  }
  return nullptr;
}

std::unique_ptr<CDriver> MakeDriver(const std::string& kind, const std::string& endpoint) {
  DriverSpec setup;
  setup.endpoint = endpoint;
  return MakeDriver(kind, setup);
}

std::string NftEndpoint(const std::string& table) { return "nftables table ip " + table; }

std::vector<std::string> DriverKinds() {
  std::vector<std::string> out;
  for (const Kind& k : kKinds) out.emplace_back(k.name);
  return out;
}

}  // namespace coord
