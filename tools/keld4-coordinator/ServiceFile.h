// SPDX-License-Identifier: Apache-2.0
// The services an in-kernel (nftables) balancer carries: each a virtual
// address, port and protocol, and the real servers behind it.
//
//   service web 10.0.0.100:80/tcp
//     server app1 10.0.0.5:8080
//     server app2 10.0.0.6:8080
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace coord {

struct L4Server {
  std::string name;
  uint32_t addr = 0;  // host order
  uint16_t port = 0;
};

struct L4Service {
  std::string name;
  uint32_t vip = 0;  // host order
  uint16_t port = 0;
  bool udp = false;
  std::vector<L4Server> servers;
  int line = 0;  // where the service starts in its file
};

// Reads a service file: one "service NAME VIP:PORT/tcp|udp" line followed by
// its "server NAME ADDR:PORT" lines (indented by convention); blank lines and
// lines starting with '#' are ignored. Returns 0, or -1 with
// "FILE:LINE: reason" in *err: an unknown word, a bad name, address or port,
// a server outside a service or named twice in one, a service named twice or
// on the VIP:port/protocol of another, a service without servers.
int LoadServiceFile(const std::string& path, std::vector<L4Service>* out, std::string* err);

// The index of SERVICE/SERVER as {service, server}, or {-1, -1}.
std::pair<int, int> FindL4Server(const std::vector<L4Service>& services, const std::string& service,
                                 const std::string& server);

}  // namespace coord
