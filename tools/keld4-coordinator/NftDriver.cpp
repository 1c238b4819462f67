// SPDX-License-Identifier: Apache-2.0
#include "NftDriver.h"

#include <unistd.h>

#include <utility>

#include "Clock.h"
#include "Nftables.h"

namespace coord {
namespace {

constexpr int kDefaultMaxWeight = 100;
constexpr const char* kNoServer = "No such server.";

struct NftServer {
  int weight = 0;
  LbState state = LbState::kReady;
};

int AdminBits(LbState s) {
  switch (s) {
    case LbState::kMaint: return kAdminForcedMaint;
    case LbState::kDrain: return kAdminForcedDrain;
    default: return 0;
  }
}

// "WORD rest": the first word off *text.
std::string TakeWord(std::string* text) {
  size_t blank = text->find(' ');
  std::string word = text->substr(0, blank);
  *text = blank == std::string::npos ? std::string() : text->substr(blank + 1);
  return word;
}

// A whole number of at most six digits.
bool Number(const std::string& text, int* out) {
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *out = std::stoi(text);
  return true;
}

class CNftDriver : public CDriver {
 public:
  CNftDriver(const DriverSpec& setup, bool dry)
      : endpoint_(NftEndpoint(setup.table)),
        max_weight_(setup.max_weight >= 0 ? setup.max_weight : kDefaultMaxWeight), dry_(dry),
        table_(setup.table, setup.services) {
    for (const L4Service& s : table_.Services()) {
      model_.emplace_back(s.servers.size(), NftServer{max_weight_, LbState::kReady});
    }
  }

  const char* Kind() const override { return dry_ ? "dryrun" : "nftables"; }
  const std::string& Endpoint() const override { return endpoint_; }
  // Its state is what it was told, so there is always something to read.
  bool Reads() const override { return true; }
  bool Writes() const override { return !dry_; }
  int64_t ProbePeriodMs() const override { return kNftCheckMs; }

  // Opens the table at the first probe (adopting an earlier run's, or
  // writing one with every server at the maximum, as HAProxy starts from its
  // configured weights), and puts it back when someone else changed it.
  int Probe(DriverProbe* out, std::string* err) override {
    if (!open_ && Open(err) != 0) return -1;
    if (!dry_ && table_.Check(err) < 0) return -1;
    out->pid = 0;
    out->uptime_s = (MonotonicMs() - opened_ms_) / 1000;
    return 0;
  }

  int Prepare(std::string* err) override { return open_ ? 0 : Open(err); }

  int Read(const std::vector<std::string>& commands, std::vector<std::string>* answers,
           std::string*) override {
    answers->clear();
    for (const std::string& c : commands) answers->push_back(Answer(c));
    return 0;
  }

  // The whole batch is one transaction: applied to a copy, kept only when
  // the kernel took it, so a failed write leaves nothing half told.
  int Write(const std::vector<std::string>& commands, std::vector<std::string>* answers,
            std::string* err) override {
    std::vector<std::vector<NftServer>> next = model_;
    answers->clear();
    for (const std::string& c : commands) answers->push_back(Apply(c, &next));
    if (!dry_ && table_.Write(Weights(next), err) != 0) return -1;
    model_ = std::move(next);
    return 0;
  }

  std::string WeightQuery(const std::string& server) const override {
    return "get weight " + server;
  }
  bool ParseWeight(const std::string& answer, int* current, int* initial) const override {
    return ParseGetWeight(answer, current, initial);
  }
  std::string StatesQuery(const std::string& service) const override {
    return "show servers " + service;
  }
  bool ParseStates(const std::string& answer, std::vector<ServerState>* rows) const override {
    if (answer.rfind("No such", 0) == 0) return false;
    rows->clear();
    size_t from = 0;
    while (from < answer.size()) {
      size_t end = answer.find('\n', from);
      if (end == std::string::npos) end = answer.size();
      std::string line = answer.substr(from, end - from);
      from = end + 1;
      ServerState r;
      r.backend = TakeWord(&line);
      r.server = TakeWord(&line);
      std::string admin = TakeWord(&line);
      if (r.server.empty() || !Number(admin, &r.admin) || !Number(line, &r.weight)) return false;
      rows->push_back(std::move(r));
    }
    return true;
  }
  std::string SetWeight(const std::string& server, const std::string& weight) const override {
    return "set weight " + server + " " + weight;
  }
  std::string SetState(const std::string& server, const std::string& state) const override {
    return "set state " + server + " " + state;
  }
  bool NoSuchServer(const std::string& answer) const override {
    return answer.rfind("No such", 0) == 0;
  }
  // Every change of a tick in one transaction.
  size_t BatchEnd(const std::vector<std::string>& commands, size_t) const override {
    return commands.size();
  }

 private:
  int Open(std::string* err) {
    opened_ms_ = MonotonicMs();
    if (dry_) {
      open_ = true;
      return 0;
    }
    if (table_.Open(err) != 0) return -1;
    std::vector<std::vector<int>> found;
    int adopted = table_.Adopt(max_weight_, &found, err);
    if (adopted < 0) return -1;
    if (adopted == 1) {
      for (size_t i = 0; i < model_.size(); ++i) {
        for (size_t k = 0; k < model_[i].size(); ++k) model_[i][k].weight = found[i][k];
      }
    } else if (table_.Write(Weights(model_), err) != 0) {
      return -1;
    }
    open_ = true;
    return 0;
  }

  // {service, server} of "SERVICE/SERVER", or {-1, -1}.
  std::pair<int, int> Find(const std::string& name) const {
    size_t slash = name.find('/');
    if (slash == std::string::npos) return {-1, -1};
    return FindL4Server(Services(), name.substr(0, slash), name.substr(slash + 1));
  }

  std::string Answer(const std::string& command) const {
    std::string rest = command;
    std::string verb = TakeWord(&rest);
    std::string what = TakeWord(&rest);
    if (verb == "get" && what == "weight") {
      auto [i, k] = Find(rest);
      if (i < 0) return kNoServer;
      return std::to_string(model_[i][k].weight) + " (initial " + std::to_string(max_weight_) + ")";
    }
    if (verb == "show" && what == "servers") {
      for (size_t i = 0; i < Services().size(); ++i) {
        if (Services()[i].name != rest) continue;
        std::string out;
        for (size_t k = 0; k < Services()[i].servers.size(); ++k) {
          const NftServer& s = model_[i][k];
          if (!out.empty()) out += '\n';
          out += rest + ' ' + Services()[i].servers[k].name + ' ' +
                 std::to_string(AdminBits(s.state)) + ' ' + std::to_string(s.weight);
        }
        return out;
      }
      return "No such service.";
    }
    return "Unknown command.";
  }

  std::string Apply(const std::string& command, std::vector<std::vector<NftServer>>* next) const {
    std::string rest = command;
    std::string verb = TakeWord(&rest);
    std::string what = TakeWord(&rest);
    std::string name = TakeWord(&rest);
    if (verb != "set" || (what != "weight" && what != "state")) return "Unknown command.";
    auto [i, k] = Find(name);
    if (i < 0) return kNoServer;
    NftServer& s = (*next)[i][k];
    if (what == "weight") {
      return Number(rest, &s.weight) ? "" : "Invalid weight.";
    }
    for (LbState st : {LbState::kReady, LbState::kDrain, LbState::kMaint}) {
      if (rest == LbStateName(st)) {
        s.state = st;
        return "";
      }
    }
    return "Invalid state.";
  }

  // What the kernel gets: a server out of service takes no new connection.
  static std::vector<std::vector<int>> Weights(const std::vector<std::vector<NftServer>>& m) {
    std::vector<std::vector<int>> out(m.size());
    for (size_t i = 0; i < m.size(); ++i) {
      for (const NftServer& s : m[i]) out[i].push_back(s.state == LbState::kReady ? s.weight : 0);
    }
    return out;
  }

  std::string endpoint_;
  int max_weight_;
  bool dry_;
  bool open_ = false;
  int64_t opened_ms_ = 0;
  CNftTable table_;
  std::vector<std::vector<NftServer>> model_;

  // The service file's, as the table has them.
  const std::vector<L4Service>& Services() const { return table_.Services(); }
};

}  // namespace

std::unique_ptr<CDriver> MakeNftDriver(const DriverSpec& setup, bool dry) {
  return std::make_unique<CNftDriver>(setup, dry);
}

}  // namespace coord
