# SPDX-License-Identifier: Apache-2.0
"""The worked example of doc/examples/l4-pair, run for real with pair.py's
pieces: two balancer nodes, each with keepalived and keld4-coordinator
--nftables from the example's files, between a front network (this
namespace is the client) and a back network with two HTTP servers and a
keld4 agent on each. The servers' gateway is the back network's virtual
address, so replies come back through the node that DNATed them."""

import http.client
import json
import os
import signal
import subprocess
import tempfile
import time
import unittest

from pair import SOURCE_DIR, PairSite, Watch, example_conf, sh, wait_for

EXAMPLE = os.path.join(SOURCE_DIR, "doc", "examples", "l4-pair")

# The example's addresses, used as they stand inside the test's namespaces.
VIP = "10.0.0.100"  # the service, on the front network
GATEWAY = "10.0.1.1"  # the servers' gateway and the coordinators' address
FRONT = {"a": "10.0.0.2", "b": "10.0.0.3"}
BACK = {"a": "10.0.1.2", "b": "10.0.1.3"}
SERVERS = {"app1": "10.0.1.5", "app2": "10.0.1.6"}
CLIENT = "10.0.0.50"


class L4Site(PairSite):
    """The nodes on both networks, the servers with their agents behind
    them; keepalived and the coordinators are started by the caller."""

    # PairSite's own set-up is HAProxy's one-network site: this one sets
    # what PairSite's node, agent and closing methods use.
    def __init__(self, coordinator_args):
        self.example = EXAMPLE
        self.dir = tempfile.mkdtemp(prefix="keld4-l4pair-")
        self.coordinator_args = coordinator_args
        self.keep = os.environ.get("KELD4_KEEP_PAIR") == "1"
        self.procs, self.hosts = [], []
        self.haproxy, self.coordinator, self.events, self.keepalived = {}, {}, {}, {}
        self.watch = Watch([])  # pair.py's close stops it; nothing to watch here
        sh(f"ip link add kpbr type bridge && ip addr add {CLIENT}/24 dev kpbr && ip link set kpbr up && "
           "ip link add kpback type bridge && ip link set kpback up")
        self.nodes = {}
        for n in FRONT:
            node = self.host(f"n{n}", FRONT[n])
            node.attach(f"m{n}", BACK[n], "kpback", "eth1")
            node.run(f"sysctl -q -p {EXAMPLE}/sysctl.conf")
            self.nodes[n] = node

        self.conf = example_conf(EXAMPLE, self.dir, (
            ("nftables = /etc/keld4/services", f"nftables = {EXAMPLE}/services"),
            ("config = /etc/keld4/nft-servers", f"config = {EXAMPLE}/nft-servers")))

        self.agents = {}
        for i, (name, ip) in enumerate(SERVERS.items()):
            host = self.host(f"g{i}", ip, "kpback")
            host.run(f"ip route add default via {GATEWAY}")
            folder = os.path.join(self.dir, name)
            self.agents[name] = self.start_agent(host, i, ip, folder, os.path.join(EXAMPLE, "agent.reg"))
            with open(os.path.join(folder, "name"), "w", encoding="utf-8") as f:
                f.write(name)
            self.procs.append(host.start(["python3", "-m", "http.server", "8080", "--bind", ip,
                                          "--directory", folder], os.path.join(folder, "http.out")))

    def close(self):
        super().close()
        subprocess.run(["ip", "link", "del", "kpback"], stderr=subprocess.DEVNULL)


def ask():
    """Which server answered one new connection to the service, or None."""
    c = http.client.HTTPConnection(VIP, 80, timeout=2)
    try:
        c.request("GET", "/name")
        return c.getresponse().read().decode()
    except OSError:
        return None
    finally:
        c.close()


class L4Pair(unittest.TestCase):
    def setUp(self):
        self.site = L4Site(["--alive", "1", "--cpu-interval", "1", "--duration", "120"])
        self.events = self.site.events

    def tearDown(self):
        self.site.close()

    def in_map(self, n):
        """The servers with an interval in node n's map of the service (None
        without a table)."""
        r = subprocess.run(self.site.nodes[n].prefix() + ["nft", "-j", "list", "map", "ip", "keld4", "s0"],
                           capture_output=True, text=True, check=False)
        if r.returncode != 0:
            return None
        found = set()
        for item in json.loads(r.stdout)["nftables"]:
            for _, value in item.get("map", {}).get("elem", []):
                ip, port = value["concat"]
                self.assertEqual(port, 8080)
                found |= {name for name, a in SERVERS.items() if a == ip}
        return found

    def holds(self, n):
        """Whether node n has both virtual addresses."""
        out = subprocess.run(self.site.nodes[n].prefix() + ["ip", "-4", "-o", "addr"],
                             capture_output=True, text=True, check=True).stdout
        return f" {VIP}/" in out and f" {GATEWAY}/" in out

    def served_only(self, names, count):
        """count new connections in a row, each answered by one of names."""
        answers = [ask() for _ in range(count)]
        self.assertTrue(set(answers) <= set(names), answers)

    def test_balances_fails_over_and_drains_a_stopped_server(self):
        site = self.site
        for n in FRONT:
            site.start_coordinator(n)
        for n in FRONT:
            self.assertIsNotNone(self.events[n].first("standby", timeout=10))
        # Each node's table is ready before its first turn, every server at
        # the maximum: the addresses may come before its coordinator is active.
        for n in FRONT:
            self.assertTrue(wait_for(lambda: self.in_map(n) == set(SERVERS), 5), (n, self.in_map(n)))
        # A first: B started beside it on a busy machine may hold the
        # addresses for a moment before it hears A (VRRP's start-up).
        site.start_keepalived("a")
        self.assertIsNotNone(self.events["a"].first("active", timeout=20), self.events["a"].all())
        site.start_keepalived("b")

        # Through A, both servers get connections.
        self.assertTrue(wait_for(lambda: self.in_map("a") == set(SERVERS), 10), self.in_map("a"))
        self.assertTrue(wait_for(lambda: ask() is not None, 10), "no answer through node A")
        seen = set()
        for _ in range(40):
            seen.add(ask())
            if seen == set(SERVERS):
                break
        self.assertEqual(seen, set(SERVERS))
        self.assertTrue(self.holds("a"))
        self.assertEqual(self.events["b"].all("weight") + self.events["b"].all("state"), [],
                         "the standby writes nothing")

        # app1's agent stops: its server leaves A's map, its service still runs.
        site.agents["app1"].terminate()
        site.agents["app1"].wait(10)
        self.assertTrue(wait_for(lambda: self.in_map("a") == {"app2"}, 10), self.in_map("a"))
        self.served_only(["app2"], 20)

        # A's coordinator is killed: B takes both addresses within 5 s and serves.
        t_kill = time.monotonic()
        site.coordinator["a"].send_signal(signal.SIGKILL)
        active = self.events["b"].first("active", t_kill, timeout=10)
        self.assertIsNotNone(active, "node B never became active")
        self.assertLessEqual(active[0] - t_kill, 5.0, "B took over late")
        self.assertTrue(wait_for(lambda: self.holds("b") and not self.holds("a"), 5))
        self.assertTrue(wait_for(lambda: ask() is not None, 10), "no answer through node B")
        # A's table stays as its coordinator left it.
        self.assertEqual(self.in_map("a"), {"app2"})
        # B never heard app1's agent: after its silence period app1 leaves B's map too.
        self.assertTrue(wait_for(lambda: self.in_map("b") == {"app2"}, 10), self.in_map("b"))
        self.served_only(["app2"], 20)


if __name__ == "__main__":
    unittest.main()
