# SPDX-License-Identifier: Apache-2.0
"""keld4-coordinator balancing a real HAProxy from a real agent's reports."""

import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time

from harness import AGENT_IP, COORD_IP, AgentTest, ask, start_haproxy

COORDINATOR = os.environ.get("KELD4_COORDINATOR_BINARY", "")


class Balancing(AgentTest):
    def setUp(self):
        super().setUp()
        # The program under test takes the coordinator's address and port.
        self.coord.close()
        self.dir = tempfile.mkdtemp(prefix="keld4-haproxy-")
        self.haproxy, self.sock = start_haproxy(self.dir, f"backend web\n  server app {AGENT_IP}:8080 weight 100\n")
        self.coordinator = None
        self.pending = b""
        self.history = []

    def tearDown(self):
        for proc in (self.coordinator, self.haproxy):
            if proc and proc.poll() is None:
                proc.kill()
                proc.wait()
        if self.coordinator:
            self.coordinator.stdout.close()
        shutil.rmtree(self.dir, ignore_errors=True)
        super().tearDown()

    def events_until(self, predicate, timeout):
        # Lines are split here, not by a buffered reader, so select sees
        # every byte that has not been looked at yet.
        seen = []
        deadline = time.time() + timeout
        fd = self.coordinator.stdout.fileno()
        while True:
            while b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                event = json.loads(line)
                seen.append(event)
                self.history.append(event)
                if predicate(event):
                    return event
            left = deadline - time.time()
            ready, _, _ = select.select([fd], [], [], max(left, 0))
            if not ready:
                break
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            self.pending += chunk
        self.fail(f"no such event in {seen}")

    def test_agent_load_becomes_a_weight_and_its_stop_drains_the_server(self):
        self.start_agent()
        # The backend's only server: by default the valve would keep it in
        # service when its agent falls silent.
        self.coordinator = subprocess.Popen(
            [COORDINATOR, "--listen", COORD_IP, "--agent", AGENT_IP, "--port", str(self.port),
             "--alive", "1", "--cpu-interval", "1", "--json", "--duration", "30",
             "--haproxy", self.sock, "--server", f"{AGENT_IP}=web/app", "--smoothing", "1", "--step", "1", "--law", "linear",
             "--max-drain", "100"],
            stdout=subprocess.PIPE)
        ready = self.events_until(lambda e: e["event"] == "state", 10)
        self.assertEqual((ready["server"], ready["new"], ready["reason"]), ("web/app", "ready", "alive"))
        # Under load the first weight can be written together with the state,
        # before the state event is read.
        weight = next((e for e in self.history if e["event"] == "weight"), None)
        if weight is None:
            weight = self.events_until(lambda e: e["event"] == "weight", 10)
        self.assertEqual(weight["new"], 100 - round(0.99 * weight["load"]))
        # Later reports may have moved it since; HAProxy has what was written last.
        while True:
            current = ask(self.sock, "get weight web/app").split()[0]
            later = self.events_until(lambda e: e["event"] in ("weight", "cpu_load"), 5)
            if later["event"] == "cpu_load":
                break
            weight = later
        self.assertEqual(int(current), weight["new"])

        self.agent.proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.agent.proc.wait(10), 0)
        drain = self.events_until(lambda e: e["event"] == "state", 10)
        self.assertEqual((drain["old"], drain["new"], drain["reason"]), ("ready", "drain", "silent"))
        state = ask(self.sock, "show servers state web").splitlines()[2].split()
        self.assertEqual(int(state[6]) & 0x08, 0x08, state)
