# SPDX-License-Identifier: Apache-2.0
"""The worked example of doc/examples/pair, run for real (see pair.py): node
A stops, the virtual address moves to B, A comes back and takes it again;
A's switch port is cut and comes back; an operator's maintenance through
agent silence, a coordinator restart and a failover. HAProxy's own view is
polled all along and no server may be drained or put in maintenance at any
moment (but the operator's)."""

import os
import signal
import time
import unittest
import urllib.request

from pair import AGENTS, ALIVE, NODES, SERVERS, VIP, Client, PairSite, ask, wait_for


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

    def heard_all(self, n, since, within):
        """Coordinator n hears every agent within that many seconds of since."""
        for ip in AGENTS:
            heard = self.events[n].first("cpu_load", since, timeout=within + 1,
                                         where=lambda e, ip=ip: e["agent"] == ip) \
                or self.events[n].first("alive", since, timeout=0, where=lambda e, ip=ip: e["agent"] == ip)
            self.assertIsNotNone(heard, f"{ip} never reached node {n}")
            self.assertLessEqual(heard[0] - since, within, f"{ip} reached node {n} late")

    def takes_over(self, n, since):
        """Coordinator n turns active, hears every agent within two alive
        periods and writes weights again; returns the time it turned active."""
        active = self.events[n].first("active", since, timeout=20)
        self.assertIsNotNone(active, f"node {n} never became active: {self.events[n].all()}")
        t = active[0]
        self.heard_all(n, t, 2 * ALIVE + 0.3)
        return t

    def judged_nothing(self, n, since):
        """A standby raises no silence, valve or deafness and writes nothing."""
        for kind in ("silent", "valve", "deaf", "weight", "state"):
            self.assertEqual(self.events[n].all(kind, since), [], f"node {n} on standby: {kind}")

    def start_site(self):
        """Both nodes up, A active and balancing both instances; returns when
        A turned active."""
        for n in NODES:
            self.site.start_haproxy(n)
        self.site.watch.start()
        for n in NODES:
            self.site.start_coordinator(n)
        for n in NODES:
            standby = self.events[n].first("standby", timeout=10)
            self.assertIsNotNone(standby, "without keepalived no node holds the address")
        # A first, as a pair is brought up: started together on a busy
        # machine, B may hear no advert from A in its first 1.6 s and hold
        # the address for a moment, which is VRRP's start-up and no fault.
        self.site.start_keepalived("a")
        # A, with the higher priority, takes the address and balances both.
        t_a = self.takes_over("a", 0)
        self.site.start_keepalived("b")
        self.assertTrue(wait_for(lambda: self.weighted("a", t_a, "ab"), 15), self.events["a"].all("weight"))
        return t_a

    def test_failover_and_back_drains_no_server(self):
        self.start_site()
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
        # Past B's silence period: the agents it heard report to A now.
        time.sleep(4 * ALIVE)
        self.judged_nothing("b", standby[0] + 0.05)

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

        self.watched()

    def watched(self):
        self.site.watch.stop.set()
        self.site.watch.join(5)
        self.assertEqual(self.site.watch.bad, [], "a server was drained or in maintenance")
        for path, count in self.site.watch.samples.items():
            self.assertGreater(count, 20, f"{path} was hardly watched")

    def test_killed_or_stopped_coordinator_hands_the_address_over(self):
        """keepalived's check follows the coordinator's heartbeat: a killed
        and a stopped (SIGSTOP) coordinator on the active node each move the
        address to the other node within 5 s, and no server is drained."""
        self.start_site()

        for how in (signal.SIGKILL, signal.SIGSTOP):
            coordinator = self.site.coordinator["a"]
            t_fault = time.monotonic()
            coordinator.send_signal(how)
            t_b = self.takes_over("b", t_fault)
            self.assertLessEqual(t_b - t_fault, 5.0, f"{how.name}: B took over late")
            self.assertTrue(wait_for(lambda: self.weighted("b", t_b, "b"), 15), self.events["b"].all("weight"))
            # A's coordinator comes back (restarted, or continued) and, its
            # check passing again, A takes the address back.
            t_back = time.monotonic()
            if how == signal.SIGKILL:
                coordinator.wait(5)
                self.events["a"].thread.join(5)
                self.site.start_coordinator("a")
            else:
                coordinator.send_signal(signal.SIGCONT)
                standby = self.events["a"].first("standby", t_back, timeout=5)
                self.assertIsNotNone(standby, "the continued coordinator sees the address gone")
            t_a = self.takes_over("a", t_back)
            self.assertIsNotNone(self.events["b"].first("standby", t_back, timeout=10), "B gives the address up")
            self.assertTrue(wait_for(lambda: self.weighted("a", t_a, "ab"), 15), self.events["a"].all("weight"))

        self.site.watch.stop.set()
        self.site.watch.join(5)
        self.assertEqual(self.site.watch.bad, [], "a server was drained or in maintenance")
        for path, count in self.site.watch.samples.items():
            self.assertGreater(count, 20, f"{path} was hardly watched")

    def test_partition_and_heal(self):
        """A's switch port is cut, its link keeps its carrier: A hears no
        agent and drains nobody, B takes the address too. When the port comes
        back B yields, A announces itself, hears every agent again within
        5 s, and the clients lose at most 3 s. B's adverts are lost for a
        moment after the heal, so A never hears that B was master too: only
        its own repeated announcements bring the agents back."""
        self.start_site()
        client = Client()
        client.start()
        t_cut = time.monotonic()
        self.site.cut("a")
        self.takes_over("b", t_cut)
        deaf = self.events["a"].first("deaf", t_cut, timeout=10, where=lambda e: e["status"] == "holding")
        self.assertIsNotNone(deaf, self.events["a"].all(since=t_cut))
        self.assertEqual((deaf[1]["heard"], deaf[1]["expected"]), (0, 3))
        # All three turn silent on A, and none is taken out.
        self.assertTrue(wait_for(lambda: len(self.events["a"].all("silent", t_cut)) == 3, 5))
        time.sleep(ALIVE)
        self.assertEqual(self.events["a"].all("state", t_cut), [], "the deaf node drained a server")

        t_heal = time.monotonic()
        self.site.heal("a", "b", lost=1.5)
        standby = self.events["b"].first("standby", t_heal, timeout=10)
        self.assertIsNotNone(standby, "B yields to A")
        self.heard_all("a", t_heal, 5.0)
        released = self.events["a"].first("deaf", t_heal, timeout=5, where=lambda e: e["status"] == "released")
        self.assertIsNotNone(released)
        # Past A's fresh silence period and B's: nobody is drained, B judges nothing.
        time.sleep(4 * ALIVE)
        client.stop.set()
        client.join(5)
        self.assertLessEqual(client.longest_outage(t_heal), 3.0, "clients lost the site after the heal")
        self.assertEqual(self.events["a"].all("state", t_cut), [])
        self.judged_nothing("b", standby[0] + 0.05)
        self.watched()

    def test_operator_maintenance_survives_silence_restart_and_failover(self):
        self.start_site()
        # The operator takes app2 out on both instances, with a weight of their own.
        self.site.watch.expect["app2"] = lambda admin, weight: True
        t_maint = time.monotonic()
        for path in self.sockets.values():
            self.assertEqual(ask(path, "set server web/app2 state maint; set weight web/app2 33").strip(), "")
        self.site.watch.expect["app2"] = lambda admin, weight: admin & 1 == 1 and weight == 33
        held = self.events["a"].first("hold", 0, timeout=5, where=lambda e: e["server"] == "web/app2")
        self.assertIsNotNone(held)
        self.assertEqual((held[1]["status"], held[1]["by"], held[1]["state"]), ("holding", "operator", "maint"))

        # Its agent is unheard past its silence period, then heard again.
        t_quiet = time.monotonic()
        self.site.silence_agent(1, True)
        self.assertIsNotNone(self.events["a"].first("silent", t_quiet, timeout=6,
                                                    where=lambda e: e["agent"] == AGENTS[1]))
        self.site.silence_agent(1, False)
        self.assertIsNotNone(self.events["a"].first("alive", t_quiet, timeout=5,
                                                    where=lambda e: e["agent"] == AGENTS[1] and e["came_up"]))
        # A coordinator restart on the active node.
        self.site.coordinator["a"].send_signal(signal.SIGTERM)
        self.assertEqual(self.site.coordinator["a"].wait(10), 0)
        t_restart = time.monotonic()
        self.site.start_coordinator("a")
        self.assertIsNotNone(self.events["a"].first("hold", t_restart, timeout=5,
                                                    where=lambda e: e["server"] == "web/app2"))
        # A failover to B.
        t_stop = time.monotonic()
        self.site.stop_node("a")
        t_b = self.takes_over("b", t_stop)
        self.assertIsNotNone(self.events["b"].first("hold", t_b, timeout=5,
                                                    where=lambda e: e["server"] == "web/app2"))
        time.sleep(ALIVE)
        for n in NODES:
            mine = [e for _, e in self.events[n].all(since=t_maint) if e["event"] in ("weight", "state")
                    and e["server"] == "web/app2"]
            self.assertEqual(mine, [], f"node {n} wrote to the operator's server")

        # The operator is done: B balances app2 again.
        self.site.watch.expect.pop("app2")
        t_done = time.monotonic()
        self.assertEqual(ask(self.sockets["b"], "set server web/app2 state ready").strip(), "")
        weight = self.events["b"].first("weight", t_done, timeout=5, where=lambda e: e["server"] == "web/app2")
        self.assertIsNotNone(weight, "app2 is not balanced again")
        self.assertEqual(weight[1]["reason"], "load")
        self.watched()
