# SPDX-License-Identifier: Apache-2.0
"""keld4-coordinator watched the way an operator watches it: a real
Prometheus scrapes --metrics, promtool checks the text, and a headless
Chromium renders the status page. Run one class at a time by run.py (each is
its own CTest test)."""

import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request
from html.parser import HTMLParser

from harness import AGENT_IP, COORD_IP, AgentTest, ask, start_haproxy

COORDINATOR = os.environ.get("KELD4_COORDINATOR_BINARY", "")
ARTIFACTS = os.environ.get("KELD4_ARTIFACT_DIR", "")
METRICS = "127.0.0.1:9164"
# Mapped agents that never report: web/spare is drained, api/one (its
# backend's only server) held in service by the valve.
QUIET = ("10.77.0.9", "10.77.0.10")


def get(url, timeout=5):
    """Status and body of one request (errors included)."""
    try:
        with urllib.request.urlopen(url, timeout=timeout) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def request(method, path, body=b"x"):
    with socket.create_connection(METRICS.split(":"), timeout=5) as s:
        s.sendall(f"{method} {path} HTTP/1.1\r\nHost: x\r\nContent-Length: {len(body)}\r\n"
                  "Connection: close\r\n\r\n".encode() + body)
        reply = b""
        while chunk := s.recv(4096):
            reply += chunk
    return int(reply.split()[1])


def wait_for(what, check, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.25)
    raise AssertionError(f"timed out waiting for {what}")


class Watched(AgentTest):
    """One real agent, HAProxy with two backends and a coordinator with
    --metrics on loopback."""

    def setUp(self):
        super().setUp()
        self.coord.close()  # the coordinator under test takes the port
        self.dir = tempfile.mkdtemp(prefix="keld4-metrics-")
        haproxy, self.sock = start_haproxy(
            self.dir, f"backend web\n  server app {AGENT_IP}:8080 weight 100\n  server spare {QUIET[0]}:8080 weight 100\n"
            f"backend api\n  server one {QUIET[1]}:8080 weight 50\n")
        self.procs = [haproxy]
        self.start_agent()
        self.coordinator = self.spawn(
            [COORDINATOR, "--listen", COORD_IP, "--agent", AGENT_IP, "--port", str(self.port),
             "--alive", "1", "--cpu-interval", "1", "--duration", "120", "--json",
             "--haproxy", self.sock, "--server", f"{AGENT_IP}=web/app",
             "--server", f"{QUIET[0]}=web/spare", "--server", f"{QUIET[1]}=api/one",
             "--smoothing", "1", "--step", "1", "--law", "linear", "--metrics", METRICS],
            stdout=subprocess.DEVNULL)
        wait_for("/metrics", lambda: self.scrape_or_none(), 10)

    def spawn(self, argv, **kw):
        proc = subprocess.Popen(argv, **kw)
        self.procs.append(proc)
        return proc

    def scrape_or_none(self):
        try:
            return get(f"http://{METRICS}/metrics")[1]
        except OSError:
            return None

    def tearDown(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)
        super().tearDown()


class Prometheus(Watched):
    def test_prometheus_holds_the_weight_haproxy_holds_and_promtool_finds_nothing(self):
        text = self.scrape_or_none()
        check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                               text=True, timeout=30)
        self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ""))

        config = os.path.join(self.dir, "prometheus.yml")
        with open(config, "w", encoding="utf-8") as f:
            f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                    f"scrape_configs:\n  - job_name: keld4\n    static_configs:\n      - targets: ['{METRICS}']\n")
        self.spawn(["prometheus", f"--config.file={config}", f"--storage.tsdb.path={self.dir}/tsdb",
                    "--web.listen-address=127.0.0.1:9090", "--log.level=warn"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        query = 'keld4_server_weight{backend="web",server="app"}'

        def agreed():
            try:
                status, body = get("http://127.0.0.1:9090/api/v1/query?" + urllib.parse.urlencode({"query": query}))
            except OSError:
                return None
            result = json.loads(body)["data"]["result"] if status == 200 else []
            if not result:
                return None
            held = int(ask(self.sock, "get weight web/app").split()[0])
            # The coordinator may write a new weight between the two reads.
            return (int(float(result[0]["value"][1])), held) if int(float(result[0]["value"][1])) == held else None

        promql, held = wait_for("Prometheus to hold HAProxy's weight", agreed, 40)
        self.assertEqual(promql, held)
        # Weight follows the load: 100 for an idle server, down to 1 when busy.
        self.assertTrue(1 <= held <= 100)

        # api's one server has a quiet agent: draining it would empty the
        # backend, so its valve holds; web's spare is half of web and drains.
        holding = 'keld4_backend_silence_valve_holding{backend="api"} 1\n'
        text = wait_for("api's valve to hold", lambda: (t := self.scrape_or_none()) and holding in t and t, 15)
        self.assertIn('keld4_backend_silence_valve_holding{backend="web"} 0\n', text)


class Page(HTMLParser):
    """The rendered DOM's server rows and their plots."""

    def __init__(self):
        super().__init__()
        self.rows, self.role, self._row, self._in_role = [], None, None, False

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "tr" and a.get("class") == "server":
            self._row = {"server": a["data-server"], "svgs": 0, "lines": {}}
            self.rows.append(self._row)
        elif tag == "svg" and self._row is not None:
            self._row["svgs"] += 1
        elif tag == "polyline" and self._row is not None:
            self._row["lines"][a["class"]] = len(a["points"].split())
        elif tag == "span" and a.get("id") == "role":
            self._in_role = True

    def handle_endtag(self, tag):
        if tag == "tr":
            self._row = None

    def handle_data(self, data):
        if self._in_role:
            self.role, self._in_role = data, False


class Browser(Watched):
    def chromium(self, *args):
        profile = tempfile.mkdtemp(prefix="profile-", dir=self.dir)
        env = dict(os.environ, HOME=profile)
        return subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                               f"--user-data-dir={profile}", *args, f"http://{METRICS}/"],
                              capture_output=True, text=True, timeout=90, env=env)

    def test_status_page_renders_a_row_and_a_plot_per_server(self):
        # A sample with a load, then the next one (one every five seconds).
        wait_for("a plotted load", lambda: 'class="load"' in get(f"http://{METRICS}/")[1], 20)
        time.sleep(5.5)
        dom = self.chromium("--dump-dom")
        self.assertEqual(dom.returncode, 0, dom.stderr[-2000:])
        page = Page()
        page.feed(dom.stdout)
        self.assertEqual(page.role, "active")
        rows = {r["server"]: r for r in page.rows}
        self.assertEqual(sorted(rows), ["app", "one", "spare"])
        self.assertTrue(all(r["svgs"] == 1 for r in page.rows), page.rows)
        self.assertGreaterEqual(rows["app"]["lines"].get("load", 0), 2, rows["app"])
        self.assertGreaterEqual(rows["app"]["lines"].get("weight", 0), 2, rows["app"])
        self.assertIn('class="drain"', dom.stdout)  # the quiet agents' servers

        out = os.path.join(ARTIFACTS or self.dir, "status-page.png")
        shot = self.chromium("--window-size=1280,900", "--hide-scrollbars", f"--screenshot={out}")
        self.assertEqual(shot.returncode, 0, shot.stderr[-2000:])
        self.assertGreater(os.path.getsize(out), 10000)


class BadInput(AgentTest):
    def test_port_in_use_ends_at_start_and_bad_requests_change_nothing(self):
        self.coord.close()
        with socket.socket() as busy:
            busy.bind(tuple([METRICS.split(":")[0], int(METRICS.split(":")[1])]))
            busy.listen()
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as catcher:
                catcher.bind(("127.0.0.5", self.port))
                run = subprocess.run([COORDINATOR, "--listen", "127.0.0.1", "--port", str(self.port),
                                      "--agent", "127.0.0.5", "--json", "--metrics", METRICS],
                                     capture_output=True, text=True, timeout=10)
                catcher.settimeout(0.5)
                self.assertRaises(socket.timeout, catcher.recv, 100)  # nothing was sent
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stdout, "")
        self.assertRegex(run.stderr, r"^keld4-coordinator: cannot serve metrics on 127\.0\.0\.1:9164: .+\n$")

        self.start_agent()
        coordinator = subprocess.Popen(
            [COORDINATOR, "--listen", COORD_IP, "--agent", AGENT_IP, "--port", str(self.port),
             "--alive", "1", "--cpu-interval", "1", "--json", "--duration", "30", "--count", "12",
             "--metrics", METRICS], stdout=subprocess.PIPE, text=True)
        try:
            wait_for("/metrics", lambda: self.ready(), 10)
            self.assertEqual([request(m, p) for m, p in [("POST", "/"), ("PUT", "/metrics"), ("DELETE", "/"),
                                                         ("GET", "/admin"), ("GET", "/metrics/x")]],
                             [405, 405, 405, 404, 404])
            # Clients that connect and say nothing hold every HTTP worker and
            # fill the queue; the agent's reports are still counted to the end.
            idle = [socket.create_connection(METRICS.split(":"), timeout=5) for _ in range(24)]
            try:
                out, _ = coordinator.communicate(timeout=25)
            finally:
                for s in idle:
                    s.close()
            end = json.loads(out.splitlines()[-1])
            self.assertEqual((end["event"], end["reason"], end["valid"]), ("end", "count", 12))
            self.assertEqual(coordinator.returncode, 0)
        finally:
            if coordinator.poll() is None:
                coordinator.kill()
                coordinator.wait()

    def ready(self):
        try:
            return get(f"http://{METRICS}/metrics")[0] == 200
        except OSError:
            return False
