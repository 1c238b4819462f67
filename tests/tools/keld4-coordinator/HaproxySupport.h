// SPDX-License-Identifier: Apache-2.0
// A real HAProxy for the coordinator's tests: its own configuration and admin
// stats socket in a temporary folder, one backend "web" whose servers sit on
// loopback addresses (127.0.1.1:8080 on, or another port) with no health
// checks and, unless a test asks for one on loopback, no frontend, so it
// sends no packet of its own.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tools/keld4-coordinator/Haproxy.h"

namespace coord {

class HaproxyProcess {
 public:
  // servers: "name weight" pairs of backend "web".
  explicit HaproxyProcess(std::vector<std::pair<std::string, int>> servers)
      : servers_(std::move(servers)) {}
  ~HaproxyProcess() { Stop(); }
  HaproxyProcess(const HaproxyProcess&) = delete;
  HaproxyProcess& operator=(const HaproxyProcess&) = delete;

  std::string Socket() const { return dir_.file("admin.sock"); }

  // Marks a server "disabled" in the configuration written by Start.
  void Disable(const std::string& server) { disabled_.push_back(server); }
  // The proxies' mode in the configuration written by Start (default http).
  void Mode(const std::string& mode) { mode_ = mode; }
  // A frontend on 127.0.0.1:port for backend web.
  void Frontend(int port) { frontend_ = port; }
  // The servers' port (default 8080).
  void ServerPort(int port) { server_port_ = port; }

  // Starts it and waits until its socket answers; false when it did not.
  bool Start() {
    std::string cfg = "global\n  stats socket " + Socket() +
                      " level admin\n"
                      "defaults\n  mode " +
                      mode_ +
                      "\n  timeout connect 1s\n  timeout client 5s\n  timeout server 5s\n"
                      "backend web\n  balance roundrobin\n";
    int n = 0;
    for (const auto& [name, weight] : servers_) {
      cfg += "  server " + name + " 127.0." + std::to_string(1 + n / 250) + "." +
             std::to_string(1 + n % 250) + ":" + std::to_string(server_port_) + " weight " +
             std::to_string(weight) +
             (std::find(disabled_.begin(), disabled_.end(), name) != disabled_.end() ? " disabled"
                                                                                     : "") +
             "\n";
      ++n;
    }
    if (frontend_ > 0) {
      cfg += "frontend fe\n  bind 127.0.0.1:" + std::to_string(frontend_) +
             "\n  default_backend web\n";
    }
    testsupport::WriteFile(dir_.file("haproxy.cfg"), cfg);
    pid_ = fork();
    if (pid_ == 0) {
      execlp("haproxy", "haproxy", "-db", "-q", "-f", dir_.file("haproxy.cfg").c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 500; ++i) {
      std::vector<std::string> answers;
      std::string err;
      if (CHaproxySocket(Socket()).Run({"show info"}, &answers, &err) == 0) return true;
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
      usleep(10000);
    }
    return false;
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    unlink(Socket().c_str());
  }

  // The answer to one command, "" when the socket failed.
  std::string Ask(const std::string& command) const {
    std::vector<std::string> answers;
    std::string err;
    if (CHaproxySocket(Socket()).Run({command}, &answers, &err) != 0) return "";
    return answers[0];
  }

  int Weight(const std::string& server) const {
    int current = -1, initial = -1;
    if (!ParseGetWeight(Ask("get weight web/" + server), &current, &initial)) return -1;
    return current;
  }

  // "ready", "drain" or "maint" from show servers state.
  std::string State(const std::string& server) const {
    std::string dump = Ask("show servers state web");
    size_t at = dump.find(" web ");
    while (at != std::string::npos) {
      size_t eol = dump.find('\n', at);
      std::string line = dump.substr(at, eol == std::string::npos ? std::string::npos : eol - at);
      // be_name srv_id srv_name srv_addr srv_op_state srv_admin_state ...
      char name[64] = {}, addr[64] = {};
      int id = 0, op = 0, admin = 0;
      if (std::sscanf(line.c_str(), " web %d %63s %63s %d %d", &id, name, addr, &op, &admin) == 5 &&
          server == name) {
        if ((admin & 0x01) != 0) return "maint";
        if ((admin & 0x08) != 0) return "drain";
        return "ready";
      }
      at = dump.find(" web ", at + 1);
    }
    return "?";
  }

 private:
  std::vector<std::pair<std::string, int>> servers_;
  std::vector<std::string> disabled_;
  std::string mode_ = "http";
  int frontend_ = 0;
  int server_port_ = 8080;
  testsupport::TempDir dir_;
  pid_t pid_ = -1;
};

}  // namespace coord
