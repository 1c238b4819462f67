# SPDX-License-Identifier: Apache-2.0
"""The worked example of doc/examples/pair, run for real (see pair.py): node
A stops, the virtual address moves to B, A comes back and takes it again.
HAProxy's own view is polled all along and no server may be drained or put
in maintenance at any moment."""

import os
import signal
import time
import unittest
import urllib.request

from pair import AGENTS, ALIVE, NODES, SERVERS, VIP, PairSite, ask, wait_for


class Pair(unittest.TestCase):
    def setUp(self):
        # Short periods, and every weight change written and shown.
        self.site = PairSite(["--alive", "1", "--cpu-interval", "1", "--smoothing", "1", "--step", "1", "--law", "linear",
                              "--duration", "150"])
        self.events = self.site.events
        self.sockets = self.site.sockets

    def tearDown(self):
        self.site.close()

    def weighted(self, n, since, endpoints):
        """Whether coordinator n has written a weight made from load to
        every server on every endpoint since then; checks each value."""
        done = set()
        for _, e in self.events[n].all("weight", since):
            self.assertIn(e["reason"], ("load", "restart"), e)
            # Idle at 100 (the initial weight), fully busy at 1, in a line.
            self.assertLessEqual(abs(e["new"] - (100 - 0.99 * e["load"])), 0.5 + 1e-9, e)
            done.add((e["haproxy"], e["server"]))
        return {(self.sockets[p], s) for p in endpoints for s in SERVERS.values()} <= done

    def takes_over(self, n, since):
        """Coordinator n turns active, hears every agent within two alive
        periods and writes weights again; returns the time it turned active."""
        active = self.events[n].first("active", since, timeout=20)
        self.assertIsNotNone(active, f"node {n} never became active: {self.events[n].all()}")
        t = active[0]
        for ip in AGENTS:
            heard = self.events[n].first("cpu_load", t, timeout=5, where=lambda e, ip=ip: e["agent"] == ip) \
                or self.events[n].first("alive", t, timeout=0, where=lambda e, ip=ip: e["agent"] == ip)
            self.assertIsNotNone(heard, f"{ip} never reached node {n}")
            self.assertLessEqual(heard[0] - t, 2 * ALIVE + 0.3, f"{ip} reached node {n} late")
        return t

    def test_failover_and_back_drains_no_server(self):
        for n in NODES:
            self.site.start_haproxy(n)
        self.site.watch.start()
        for n in NODES:
            self.site.start_coordinator(n)
        for n in NODES:
            standby = self.events[n].first("standby", timeout=10)
            self.assertIsNotNone(standby, "without keepalived no node holds the address")
        for n in NODES:
            self.site.start_keepalived(n)

        # A, with the higher priority, takes the address and balances both.
        t_a = self.takes_over("a", 0)
        self.assertTrue(wait_for(lambda: self.weighted("a", t_a, "ab"), 15), self.events["a"].all("weight"))
        self.assertEqual(self.events["b"].all("active"), [])
        self.assertEqual(self.events["b"].all("weight") + self.events["b"].all("state"), [],
                         "the standby writes nothing")
        # A client reaches the back-ends through the virtual address.
        self.assertIn(b"Directory listing", urllib.request.urlopen(f"http://{VIP}/", timeout=5).read())

        # Node A goes away: B takes over without draining a server.
        t_stop = time.monotonic()
        self.site.stop_node("a")
        t_b = self.takes_over("b", t_stop)
        self.assertTrue(wait_for(lambda: self.weighted("b", t_b, "b"), 15), self.events["b"].all("weight"))
        lost = self.events["b"].first("haproxy", t_b, timeout=5, where=lambda e: e["status"] == "lost")
        self.assertEqual(lost[1]["socket"], self.sockets["a"], "A's HAProxy is gone, B's is written")
        self.assertIn(b"Directory listing", urllib.request.urlopen(f"http://{VIP}/", timeout=5).read())

        # A comes back and, with its higher priority, takes the address again.
        t_back = time.monotonic()
        self.site.start_haproxy("a")
        self.site.start_coordinator("a")
        self.site.start_keepalived("a")
        t_a2 = self.takes_over("a", t_back)
        standby = self.events["b"].first("standby", t_back, timeout=10)
        self.assertIsNotNone(standby, "B gives the address up")
        self.assertTrue(wait_for(lambda: self.weighted("a", t_a2, "ab"), 15), self.events["a"].all("weight"))
        time.sleep(2 * ALIVE)

        # The end: what each HAProxy has is what was written last, by A; B
        # wrote nothing once it had lost the address.
        self.site.watch.stop.set()
        self.site.watch.join(5)
        for n in ("b", "a"):
            self.site.coordinator[n].send_signal(signal.SIGTERM)
            self.assertEqual(self.site.coordinator[n].wait(10), 0)
            self.events[n].thread.join(5)
        late = self.events["b"].all("weight", standby[0] + 0.05) + self.events["b"].all("state", standby[0] + 0.05)
        self.assertEqual(late, [])
        last = {}
        for _, e in self.events["a"].all("weight", t_a2):
            last[(e["haproxy"], e["server"])] = e["new"]
        for p in NODES:
            for server in SERVERS.values():
                weight = int(ask(self.sockets[p], f"get weight {server}").split()[0])
                self.assertEqual(weight, last[(self.sockets[p], server)], (p, server))

        self.assertEqual(self.site.watch.bad, [], "a server was drained or in maintenance")
        for path, count in self.site.watch.samples.items():
            self.assertGreater(count, 20, f"{path} was hardly watched")
