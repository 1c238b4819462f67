# SPDX-License-Identifier: Apache-2.0
"""What crosses the wire between the agent and its coordinator."""

import os
import struct
import time

from harness import AGENT_IP, COORD_IP, MSG_ALIVE, MSG_CPU_LOAD, AgentTest, coor_alive


def of_type(messages, mtype):
    return [m for m in messages if m.get("type") == mtype]


class Protocol(AgentTest):
    def test_nothing_before_coor_alive_then_alive_and_load_with_the_right_bytes(self):
        self.start_agent()
        self.assertEqual(self.coord.receive(3.0), [], "the agent spoke before the coordinator")

        self.coord.send(coor_alive(alive=1, cpu_interval=1))
        got = self.coord.receive(
            6.0, until=lambda ms: of_type(ms, MSG_ALIVE) and len(of_type(ms, MSG_CPU_LOAD)) >= 2
        )
        alive = of_type(got, MSG_ALIVE)
        load = of_type(got, MSG_CPU_LOAD)
        self.assertTrue(alive and load, got)
        a = alive[0]
        self.assertEqual(a["length"], 64)
        self.assertEqual(a["sender"][0], AGENT_IP)
        self.assertEqual(a["sender"][1] != 0, True)
        self.assertEqual(
            (a["desId"], a["status"], a["sequence"], a["dataleng"], a["id"], a["param"], a["reserved"]),
            (4, 0, 0, 24, 1, 0, 0),
        )
        self.assertEqual((a["srcAddr"], a["desAddr"]), (AGENT_IP, COORD_IP))
        ostype, mac, freq = struct.unpack("!H18sI", a["data"])
        self.assertEqual(ostype, 0)  # not the NT family
        self.assertEqual(mac, b"00-11-22-33-44-55\x00")
        self.assertGreater(freq, 0)
        c = load[-1]
        self.assertEqual(c["length"], 44)
        self.assertEqual(c["raw"][4:8], b"\x01\x20\x00\x01")
        self.assertEqual((c["desId"], c["sequence"], c["dataleng"], c["id"]), (4, 0, 4, 1))
        self.assertEqual((c["srcAddr"], c["desAddr"]), (AGENT_IP, COORD_IP))
        self.assertLessEqual(struct.unpack("!I", c["data"])[0], 100)

        # The start wrote the run's counters and the memory figures.
        self.assertEqual(self.agent.reg("PdhErrCount"), 0)
        start = self.agent.reg("StartMemInfo")
        self.assertGreater(start, 100000)
        self.assertEqual(self.agent.reg("MaxMemInfo"), 2 * start)
        # The first refresh right after the baseline is a skip by design.
        self.assertIn(self.agent.reg("PdhCalculateSkipCount"), (0, 1))

    def test_cadence_follows_the_periods_and_zero_stops(self):
        self.start_agent()
        self.coord.send(coor_alive(alive=1, cpu_interval=2))
        got = self.coord.receive(10.0)
        self.assertAlmostEqual(len(of_type(got, MSG_ALIVE)), 10, delta=1)
        self.assertAlmostEqual(len(of_type(got, MSG_CPU_LOAD)), 5, delta=1)

        self.coord.send(coor_alive(alive=3, cpu_interval=0))
        got = self.coord.receive(10.0)
        self.assertAlmostEqual(len(of_type(got, MSG_ALIVE)), 3, delta=1)
        self.assertLessEqual(len(of_type(got, MSG_CPU_LOAD)), 1)  # one may be on its way

        self.coord.send(coor_alive(alive=0, cpu_interval=0))
        self.coord.receive(1.5)
        self.assertEqual(of_type(self.coord.receive(3.0), MSG_ALIVE), [])

    def test_changed_interval_is_stored_and_an_equal_one_is_not(self):
        self.start_agent()
        self.coord.send(coor_alive(alive=0, cpu_interval=7, log_refresh=5))
        # Each value is a store write of its own: wait for both.
        def stored():
            return (self.agent.reg("CpuSendInterval", "CpuLoad"), self.agent.reg("LogRefreshInterval", "Log"))

        deadline = time.time() + 5
        while time.time() < deadline and stored() != (7, 5):
            time.sleep(0.05)
        self.assertEqual(self.agent.reg("CpuSendInterval", "CpuLoad"), 7)
        self.assertEqual(self.agent.reg("LogRefreshInterval", "Log"), 5)
        # Wait out the start's own writes, then an equal one must not rewrite.
        time.sleep(1.5)
        before = os.stat(self.agent.store)
        self.coord.send(coor_alive(alive=0, cpu_interval=7, log_refresh=5))
        time.sleep(1.5)
        after = os.stat(self.agent.store)
        self.assertEqual((before.st_ino, before.st_mtime_ns), (after.st_ino, after.st_mtime_ns))

    def test_log_level_three_brings_debug_lines_with_trace_records(self):
        self.start_agent()
        self.assertNotIn("DEBUG:", self.agent.log())
        self.coord.send(coor_alive(loglevel=3, alive=1, cpu_interval=1))
        self.coord.receive(2.5)
        log = self.agent.log()
        self.assertRegex(log, r"DEBUG: Enter: CWrite::write_socket\(\), \S+Write\.cpp Line \d+\r\n")
        self.assertRegex(log, r"DEBUG: Leave: CMaster::send_msg\(\), \S+Master\.cpp Line \d+\r\n")
        self.assertIn("DEBUG: Write thread write 64 bit msg header to socket. Msg type 1\r\n", log)
        self.assertIn("DEBUG: Write thread write 44 bit msg header to socket. Msg type 1200001\r\n", log)
        # And back to INFO/ERR: no more DEBUG lines after that Coor_alive is handled.
        self.coord.send(coor_alive(loglevel=1, alive=1, cpu_interval=1))
        time.sleep(1.0)
        size = len(self.agent.log())
        self.coord.receive(2.0)
        self.assertNotIn("DEBUG:", self.agent.log()[size:])
