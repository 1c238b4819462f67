# SPDX-License-Identifier: Apache-2.0
"""keld4-coordinator under what an operator's site throws at it: systemd's
watchdog and the heartbeat, a flood of forged and broken datagrams against
a real HAProxy, SIGHUP with a changed and a broken options file, and slow
clients on the metrics port. Everything runs on loopback and the veth pair
of the test's own namespaces."""

import json
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.request

from harness import AGENT_IP, COORD_IP, MSG_ALIVE, MSG_CPU_LOAD, AgentTest, ask, header, start_haproxy

COORDINATOR = os.environ.get("KELD4_COORDINATOR_BINARY", "")
PORT = 45002


def wait_for(check, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(step)
    return check()


class Run:
    """One coordinator, its --json events and standard error in files."""

    def __init__(self, folder, args, env=None):
        self.out = os.path.join(folder, "events.json")
        self.err = os.path.join(folder, "stderr.txt")
        with open(self.out, "wb") as out, open(self.err, "wb") as err:
            self.proc = subprocess.Popen([COORDINATOR, "--json", *args], stdout=out, stderr=err, env=env)

    def events(self, kind=None):
        with open(self.out, encoding="utf-8") as f:
            lines = f.read().split("\n")[:-1]  # the last line may still be coming
        return [e for e in map(json.loads, lines) if kind is None or e["event"] == kind]

    def stderr(self):
        with open(self.err, encoding="utf-8") as f:
            return f.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.proc.terminate()
            try:
                return self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        return self.proc.wait()


def cpu_load(src, load, seq=0):
    return header(0, MSG_CPU_LOAD, 0, seq, 4, 1, src, COORD_IP) + struct.pack("!I", load)


def alive(src, seq=0):
    mac = b"00-11-22-33-44-99".ljust(18, b"\0")
    return header(0, MSG_ALIVE, 0, seq, 24, 1, src, COORD_IP) + struct.pack("!H", 4) + mac + struct.pack("!I", 2400)


class Folder(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="keld4-ops-")
        self.runs = []

    def tearDown(self):
        for r in self.runs:
            r.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self, args, env=None):
        r = Run(self.dir, args, env)
        self.runs.append(r)
        return r


class Liveness(Folder):
    def test_watchdog_and_heartbeat_come_from_the_loop_and_stop_with_it(self):
        # The notification socket as systemd has it, played by the test.
        path = os.path.join(self.dir, "notify")
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(path)
        notify.settimeout(0.1)
        beat = os.path.join(self.dir, "heartbeat")
        env = dict(os.environ, NOTIFY_SOCKET=path, WATCHDOG_USEC="400000")
        env.pop("WATCHDOG_PID", None)
        run = self.start(["--listen", "127.0.0.1", "--agent", "127.0.0.2", "--heartbeat", beat], env)

        def messages(seconds):
            got = []
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                try:
                    got.append((time.monotonic(), notify.recv(256).decode()))
                except socket.timeout:
                    pass
            return got

        first = messages(2.0)
        self.assertEqual(first[0][1], "READY=1", first)
        # Every 0.2 s, half the period; fewer count on a busy machine.
        pings = [t for t, m in first if m == "WATCHDOG=1"]
        self.assertGreaterEqual(len(pings), 3, first)
        self.assertTrue(os.path.exists(beat))
        self.assertLess(time.time() - os.stat(beat).st_mtime, 1.0)

        # A stopped loop sends nothing and the heartbeat ages.
        run.proc.send_signal(signal.SIGSTOP)
        messages(0.3)  # what was on its way
        self.assertEqual(messages(1.0), [])
        self.assertGreater(time.time() - os.stat(beat).st_mtime, 1.0)
        run.proc.send_signal(signal.SIGCONT)
        self.assertIn("WATCHDOG=1", [m for _, m in messages(2.0)])
        self.assertLess(time.time() - os.stat(beat).st_mtime, 1.0)

        run.proc.terminate()
        self.assertEqual(run.proc.wait(10), 0)
        self.assertIn("STOPPING=1", [m for _, m in messages(0.5)])
        # Left to age: a quick restart does not fail the check.
        self.assertGreater(time.time() - os.stat(beat).st_mtime, 0.3)
        notify.close()


class Flood(AgentTest):
    """A real agent and HAProxy; a mapped agent played from loopback."""

    PLAYED = "127.0.0.11"

    def setUp(self):
        super().setUp()
        self.coord.close()  # the coordinator under test takes the port
        self.dir = tempfile.mkdtemp(prefix="keld4-flood-")
        self.haproxy, self.sock = start_haproxy(
            self.dir, f"backend web\n  server app {AGENT_IP}:8080 weight 100\n"
            f"  server played {self.PLAYED}:8080 weight 100\n")
        self.map = os.path.join(self.dir, "servers")
        self.run = None

    def tearDown(self):
        if self.run:
            self.run.stop()
        self.haproxy.kill()
        self.haproxy.wait()
        shutil.rmtree(self.dir, ignore_errors=True)
        super().tearDown()

    def balanced(self, server, since):
        """The server is ready with the weight written last from its load,
        both as HAProxy holds them; the event of that weight, or None."""
        weights = [e for e in self.run.events("weight")[since:] if e["server"] == server and e["reason"] == "load"]
        if not weights:
            return None
        state = ask(self.sock, "show servers state web").splitlines()[2:]
        row = next(line.split() for line in state if line.split()[3] == server.split("/")[1])
        if int(row[6]) != 0 or int(row[7]) != weights[-1]["new"]:
            return None
        return weights[-1]

    def test_forged_sources_and_garbage_leave_every_mapped_server_balanced(self):
        with open(self.map, "w", encoding="utf-8") as f:
            f.write(f"{self.PLAYED} = web/played\n")
        self.start_agent()  # reports from the start, not mapped yet
        self.run = Run(self.dir, [
            "--listen", COORD_IP, "--agent", AGENT_IP, "--port", str(self.port), "--alive", "1",
            "--cpu-interval", "1", "--haproxy", self.sock, "--config", self.map, "--smoothing", "1",
            "--step", "1", "--max-weight", "90", "--max-agents", "1000", "--metrics", "127.0.0.1:9164",
            "--duration", "120"])
        played = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        played.bind((self.PLAYED, self.port))  # where its Coor_alive goes
        stop = threading.Event()

        def report():
            seq = 0
            while not stop.is_set():
                played.sendto(alive(self.PLAYED, seq), (COORD_IP, self.port))
                played.sendto(cpu_load(self.PLAYED, 40, seq + 1), (COORD_IP, self.port))
                seq += 2
                stop.wait(0.5)

        reporter = threading.Thread(target=report, daemon=True)
        reporter.start()
        try:
            self.assertTrue(wait_for(lambda: self.balanced("web/played", 0), 10), self.run.events())

            # 20,000 forged sources (the address named inside the header; the
            # UDP source is one loopback address) and 10,000 random datagrams,
            # in bursts the receive buffer holds.
            flood = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            flood.bind(("127.0.0.20", 0))
            rng = random.Random(7)
            for i in range(20000):
                src = socket.inet_ntoa(struct.pack("!I", 0x0B000000 + i))
                flood.sendto(cpu_load(src, 50), (COORD_IP, self.port))
                if i % 2 == 0:
                    flood.sendto(rng.randbytes(rng.randrange(0, 120)), (COORD_IP, self.port))
                if i % 1000 == 999:
                    time.sleep(0.05)
            flood.close()

            def table():
                t = self.run.events("table")
                return t[-1] if t and t[-1]["untracked"] == 0 and t[-1]["recycled"] >= 10000 else None

            last = wait_for(table, 10)
            self.assertIsNotNone(last, self.run.events("table"))
            self.assertTrue(last["full"])
            self.assertEqual((last["rows"], last["max"], last["mapped"]), (1000, 1000, 1))
            metrics = urllib.request.urlopen("http://127.0.0.1:9164/metrics", timeout=5).read().decode()
            self.assertIn("keld4_agent_table_full 1\n", metrics)
            self.assertIn("keld4_reports_untracked_total 0\n", metrics)
            page = urllib.request.urlopen("http://127.0.0.1:9164/", timeout=5).read().decode()
            self.assertIn("rows, <strong class=\"no\">full</strong>", page)

            # The real agent's server is mapped now; its reports count at once.
            since = len(self.run.events("weight"))
            with open(self.map, "a", encoding="utf-8") as f:
                f.write(f"{AGENT_IP} = web/app\n")
            self.run.proc.send_signal(signal.SIGHUP)
            # The played agent's load stays 40: its weight stands as written before.
            for server, after in (("web/app", since), ("web/played", 0)):
                self.assertTrue(wait_for(lambda s=server, a=after: self.balanced(s, a), 10),
                                (server, self.run.events("weight"), self.run.events("state")))
            app = [e for e in self.run.events("state") if e["server"] == "web/app"]
            self.assertEqual((app[-1]["new"], app[-1]["reason"]), ("ready", "alive"), app)
        finally:
            stop.set()
            reporter.join(5)
            played.close()
        self.assertEqual(self.run.stop(), 0, self.run.stderr())
        end = self.run.events("end")[0]
        self.assertGreaterEqual(end["malformed"], 9000, "the garbage was read, not dropped")
        rows = {r["agent"]: r for r in end["agents"]}
        self.assertEqual(rows[AGENT_IP]["state"], "up")
        self.assertEqual(rows[self.PLAYED]["state"], "up")


class Reload(Folder):
    def test_sighup_applies_a_changed_options_file_and_keeps_all_of_a_broken_one(self):
        conf = os.path.join(self.dir, "coordinator.conf")
        base = ["listen = 127.0.0.1", "agent = 127.0.0.2", "resend = 1", "alive = 1", "cpu-interval = 1"]
        with open(conf, "w", encoding="utf-8") as f:
            f.write("\n".join(base + ["loglevel = 1", f"port = {PORT}"]) + "\n")
        agent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        agent.bind(("127.0.0.2", PORT))
        agent.settimeout(3)
        run = self.start(["--options-file", conf])

        def loglevel():
            data = agent.recv(100)
            return struct.unpack("!I", data[48:52])[0]

        self.assertEqual(loglevel(), 1)
        # A new log level is sent at once; the port cannot change and is kept.
        with open(conf, "w", encoding="utf-8") as f:
            f.write("\n".join(base + ["loglevel = 3", f"port = {PORT + 1}"]) + "\n")
        run.proc.send_signal(signal.SIGHUP)
        self.assertTrue(wait_for(lambda: loglevel() == 3, 5))
        reload = wait_for(lambda: run.events("reload"), 5)[0]
        self.assertNotIn("error", reload)
        self.assertEqual(len(reload["refused"]), 1, reload)
        line = f"option 'port' cannot change while running: {PORT} kept (asked: {PORT + 1}); restart to change it"
        self.assertEqual(reload["refused"][0]["message"], line)
        self.assertIn(f"keld4-coordinator: SIGHUP: {line}\n", run.stderr())

        # A bad line: nothing changes, and the file and line are named.
        with open(conf, "w", encoding="utf-8") as f:
            f.write("\n".join(base + ["loglevel = 2", f"port = {PORT}", "alive = often"]) + "\n")
        run.proc.send_signal(signal.SIGHUP)
        broken = wait_for(lambda: run.events("reload")[1:], 5)[0]
        self.assertTrue(broken["error"].startswith(f"{conf}:8: "), broken)
        self.assertIn(f"SIGHUP: {conf}:8: ", run.stderr())
        self.assertIn("every option and the server map are unchanged", run.stderr())
        for _ in range(3):
            self.assertEqual(loglevel(), 3)
        self.assertIsNone(run.proc.poll())
        agent.close()


class SlowClients(Folder):
    def test_scrapes_answer_within_two_seconds_beside_idle_and_slowloris_clients(self):
        metrics = ("127.0.0.1", 9164)
        self.start(["--listen", "127.0.0.1", "--agent", "127.0.0.2", "--metrics", "127.0.0.1:9164",
                    "--duration", "60"])
        self.assertTrue(wait_for(lambda: self.fetch("/metrics", 2), 10))
        idle = [socket.create_connection(metrics, timeout=5) for _ in range(200)]
        stop = threading.Event()

        def slowloris():
            with socket.create_connection(metrics, timeout=5) as s:
                s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n")
                n = 0
                while not stop.wait(0.3):
                    try:
                        s.sendall(b"X-%d: y\r\n" % n)
                    except OSError:
                        # Cut off: it comes back, as the attack does.
                        return slowloris()
                    n += 1

        slow = threading.Thread(target=slowloris, daemon=True)
        slow.start()
        try:
            time.sleep(1)
            for _ in range(3):
                for path in ("/metrics", "/"):
                    t = time.monotonic()
                    self.assertTrue(self.fetch(path, 2), path)
                    self.assertLess(time.monotonic() - t, 2.0, path)
                time.sleep(0.5)
            # More idle connections than the cap: the oldest give way.
            idle += [socket.create_connection(metrics, timeout=5) for _ in range(400)]
            self.assertTrue(self.fetch("/metrics", 2))
        finally:
            stop.set()
            slow.join(5)
            for s in idle:
                s.close()

    def fetch(self, path, timeout):
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:9164{path}", timeout=timeout) as r:
                return r.status == 200 and len(r.read()) > 0
        except OSError:
            return False


if __name__ == "__main__":
    unittest.main()
