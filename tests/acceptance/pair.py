# SPDX-License-Identifier: Apache-2.0
"""The worked example of doc/examples/pair, set up for real in network
namespaces of its own: two HAProxy nodes that share a virtual address
through keepalived (unicast VRRP), each with keld4-coordinator running the
example's options file (naming both HAProxy instances), three keld4 agents
with an HTTP back-end each, all on one bridge in the caller's namespace,
which is the client. Shared by the failover test and the pair demo."""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import urllib.request

from harness import ask, set_reg_value  # noqa: F401 (ask is for the users of this module)

SOURCE_DIR = os.environ.get("KELD4_SOURCE_DIR", "")
KELD4 = os.environ.get("KELD4_BINARY", "")
KELD4_REG = os.environ.get("KELD4_REG_BINARY", "")
COORDINATOR = os.environ.get("KELD4_COORDINATOR_BINARY", "")
EXAMPLE = os.path.join(SOURCE_DIR, "doc", "examples", "pair")

# The example's addresses, used as they stand inside the test's namespaces.
VIP = "10.0.0.1"
NODES = {"a": "10.0.0.2", "b": "10.0.0.3"}
AGENTS = ["10.0.0.5", "10.0.0.6", "10.0.0.7"]
SERVERS = {"10.0.0.5": "web/app1", "10.0.0.6": "web/app2", "10.0.0.7": "web/app3"}
CLIENT = "10.0.0.50"
ALIVE = 1.0  # seconds, the alive period the coordinators give the agents


def sh(command):
    subprocess.run(command, shell=True, check=True)


def wait_for(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def example_conf(example, folder, replacements):
    """The example's coordinator.conf with its installed paths replaced,
    written into folder; returns its path."""
    text = open(os.path.join(example, "coordinator.conf"), encoding="utf-8").read()
    for old, new in replacements:
        if old not in text:
            raise ValueError(f"the example's coordinator.conf has no line '{old}'")
        text = text.replace(old, new)
    path = os.path.join(folder, "coordinator.conf")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


class Host:
    """A network namespace held by a sleeping process, on one of the test's
    bridges through a veth pair whose inner end is called eth0, as in the
    example."""

    def __init__(self, name, ip, bridge="kpbr"):
        self.holder = subprocess.Popen(["unshare", "-n", "sleep", "100000"])
        own = os.readlink("/proc/self/ns/net")
        if not wait_for(lambda: os.readlink(f"/proc/{self.holder.pid}/ns/net") != own, 10):
            raise RuntimeError("namespace did not appear")
        self.outer = f"kp{name}"
        self.attach(name, ip, bridge, "eth0")

    def attach(self, name, ip, bridge, dev):
        """One more veth pair, its inner end called dev, on that bridge."""
        sh(f"ip link add kp{name} type veth peer name kq{name}")
        sh(f"ip link set kq{name} netns {self.holder.pid}")
        sh(f"ip link set kp{name} master {bridge} && ip link set kp{name} up")
        self.run(f"ip link set lo up && ip link set kq{name} name {dev} && "
                 f"ip addr add {ip}/24 dev {dev} && ip link set {dev} up")

    def prefix(self):
        return ["nsenter", "-t", str(self.holder.pid), "-n"]

    def run(self, command):
        subprocess.run(self.prefix() + ["sh", "-c", command], check=True)

    def start(self, args, log, env=None):
        out = open(log, "ab")
        try:
            return subprocess.Popen(self.prefix() + args, stdout=out, stderr=subprocess.STDOUT, env=env)
        finally:
            out.close()

    def close(self):
        self.holder.kill()
        self.holder.wait()
        subprocess.run(["ip", "link", "del", self.outer], stderr=subprocess.DEVNULL)


class Events:
    """A coordinator's --json lines, each with the time it was read."""

    def __init__(self, proc):
        self.proc = proc
        self.lines = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        for raw in self.proc.stdout:
            event = json.loads(raw)
            with self.lock:
                self.lines.append((time.monotonic(), event))

    def all(self, kind=None, since=0.0):
        with self.lock:
            return [(t, e) for t, e in self.lines if t >= since and (kind is None or e["event"] == kind)]

    def first(self, kind, since=0.0, timeout=15.0, where=lambda e: True):
        found = []

        def seen():
            found[:] = [(t, e) for t, e in self.all(kind, since) if where(e)]
            return bool(found)

        return found[0] if wait_for(seen, timeout) else None


class Watch(threading.Thread):
    """Polls show servers state on every HAProxy that answers, five times a
    second, and keeps each sample in which a server is not plainly ready
    (or, for a server in expect, not as expected of it)."""

    def __init__(self, sockets):
        super().__init__(daemon=True)
        self.sockets = sockets
        self.stop = threading.Event()
        self.samples = {path: 0 for path in sockets}
        self.bad = []
        # server name -> (srv_admin_state, srv_uweight) -> whether the sample is good
        self.expect = {}

    def run(self):
        while not self.stop.is_set():
            for path in self.sockets:
                try:
                    answer = ask(path, "show servers state web")
                except OSError:
                    continue  # that node is down
                rows = [line.split() for line in answer.splitlines()[2:] if line.strip()]
                if len(rows) != len(SERVERS):
                    continue
                self.samples[path] += 1
                for row in rows:
                    # srv_admin_state (maint and drain bits) and srv_uweight.
                    good = self.expect.get(row[3], lambda admin, weight: admin == 0 and weight != 0)
                    if not good(int(row[6]), int(row[7])):
                        self.bad.append((time.monotonic(), path, row[3], row[6], row[7]))
            self.stop.wait(0.2)


class Client(threading.Thread):
    """Asks the virtual address for a page ten times a second, for at most
    limit seconds, and keeps the time of each answer."""

    def __init__(self, limit=120.0):
        super().__init__(daemon=True)
        self.limit = limit
        self.stop = threading.Event()
        self.served = []

    def run(self):
        end = time.monotonic() + self.limit
        while not self.stop.is_set() and time.monotonic() < end:
            try:
                with urllib.request.urlopen(f"http://{VIP}/", timeout=0.5) as r:
                    if r.status == 200:
                        self.served.append(time.monotonic())
            except OSError:
                pass
            self.stop.wait(0.1)

    def longest_outage(self, since):
        """The longest time without an answer that reaches past since."""
        times = [t for t in self.served if t < since][-1:] + [t for t in self.served if t >= since]
        return max((b - a for a, b in zip(times, times[1:])), default=float("inf"))


class PairSite:
    """Everything of the example but keepalived, HAProxy and the coordinators,
    which the caller starts and stops node by node."""

    def __init__(self, coordinator_args):
        self.example = EXAMPLE
        self.dir = tempfile.mkdtemp(prefix="keld4-pair-")
        self.coordinator_args = coordinator_args
        self.keep = os.environ.get("KELD4_KEEP_PAIR") == "1"  # the folder, for a look afterwards
        self.procs = []
        self.hosts = []
        sh(f"ip link add kpbr type bridge && ip addr add {CLIENT}/24 dev kpbr && ip link set kpbr up")
        self.nodes = {n: self.host(f"n{n}", ip) for n, ip in NODES.items()}
        self.sockets = {n: os.path.join(self.dir, f"haproxy-{n}.sock") for n in NODES}
        self.watch = Watch(list(self.sockets.values()))

        self.conf = example_conf(EXAMPLE, self.dir, (
            ("haproxy = /run/haproxy/admin.sock",
             f"haproxy = {self.sockets['a']}\nhaproxy = {self.sockets['b']}"),
            ("config = /etc/keld4/haproxy-servers", f"config = {EXAMPLE}/haproxy-servers")))

        for i, ip in enumerate(AGENTS):
            host = self.host(f"g{i}", ip)
            folder = os.path.join(self.dir, f"agent{i}")
            self.start_agent(host, i, ip, folder, os.path.join(EXAMPLE, "agent.reg"))
            self.procs.append(host.start(["python3", "-m", "http.server", "8080", "--bind", ip,
                                          "--directory", folder], os.path.join(folder, "http.out")))

        self.haproxy = {}
        self.coordinator = {}
        self.events = {}
        self.keepalived = {}

    def host(self, name, ip, bridge="kpbr"):
        h = Host(name, ip, bridge)
        self.hosts.append(h)
        return h

    def start_agent(self, host, i, ip, folder, agent_reg):
        """A keld4 agent in host, set up from keld4.reg and the example's
        registry lines in folder; returns its process."""
        os.makedirs(os.path.join(folder, "log"))
        os.makedirs(os.path.join(folder, "units"))
        store = os.path.join(folder, "registry.reg")
        reg = open(os.path.join(SOURCE_DIR, "packaging", "keld4.reg"), encoding="utf-8").read()
        for name, value in (("LocalIPAddress", ip), ("LocalMacAddress", f"00-11-22-33-44-5{i}"),
                            ("LogDirectory", os.path.join(folder, "log")), ("LogLevel", 3)):
            reg = set_reg_value(reg, name, value)
        with open(store, "w", encoding="utf-8") as f:
            f.write(reg)
        env = dict(os.environ, KELD4_REGISTRY=store, KELD4_UNIT_DIR=os.path.join(folder, "units"),
                   KELD4_SYSTEMCTL="/bin/true")
        env.pop("NOTIFY_SOCKET", None)
        # The example's registry lines: only the virtual address configures the agent.
        subprocess.run([KELD4_REG, "import", agent_reg], env=env, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(host.prefix() + [KELD4, "-RegServer"], env=env, check=True, stdout=subprocess.DEVNULL)
        proc = host.start([KELD4], os.path.join(folder, "agent.out"), env)
        self.procs.append(proc)
        return proc

    def close(self):
        self.watch.stop.set()
        live = self.procs + list(self.keepalived.values()) + list(self.coordinator.values()) + \
            list(self.haproxy.values())
        for p in live:
            if p.poll() is None:
                p.terminate()
        for p in live:
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
            if p.stdout:
                p.stdout.close()
        for h in self.hosts:
            h.close()
        subprocess.run(["ip", "link", "del", "kpbr"], stderr=subprocess.DEVNULL)
        if not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)

    def start_haproxy(self, n):
        text = open(os.path.join(EXAMPLE, "haproxy.cfg"), encoding="utf-8").read()
        cfg = os.path.join(self.dir, f"haproxy-{n}.cfg")
        with open(cfg, "w", encoding="utf-8") as f:
            f.write(text.replace("/run/haproxy/admin.sock", self.sockets[n]))
        self.haproxy[n] = self.nodes[n].start(["haproxy", "-db", "-q", "-f", cfg],
                                              os.path.join(self.dir, f"haproxy-{n}.out"))
        if not wait_for(lambda: os.path.exists(self.sockets[n]), 10):
            raise RuntimeError(f"HAProxy of node {n} did not start")

    def heartbeat(self, n):
        return os.path.join(self.dir, f"heartbeat-{n}")

    def start_coordinator(self, n):
        # The example's options file, the caller's options over it; each
        # node's heartbeat in the test's folder.
        args = self.nodes[n].prefix() + [COORDINATOR, "--options-file", self.conf, "--json",
                                         "--heartbeat", self.heartbeat(n), *self.coordinator_args]
        self.coordinator[n] = subprocess.Popen(args, stdout=subprocess.PIPE,
                                               stderr=open(os.path.join(self.dir, f"coordinator-{n}.err"), "ab"))
        self.events[n] = Events(self.coordinator[n])

    def start_keepalived(self, n):
        d = self.dir
        # The example's configuration, its check run from the source tree on
        # this node's heartbeat.
        text = open(os.path.join(self.example, f"keepalived-{n}.conf"), encoding="utf-8").read()
        old = 'script "/etc/keepalived/coordinator-alive /run/keld4-coordinator/heartbeat"'
        if old not in text:
            raise ValueError(f"the example's keepalived-{n}.conf has no line '{old}'")
        cfg = os.path.join(d, f"keepalived-{n}.conf")
        with open(cfg, "w", encoding="utf-8") as f:
            f.write(text.replace(old, f'script "{EXAMPLE}/coordinator-alive {self.heartbeat(n)}"'))
        self.keepalived[n] = self.nodes[n].start(
            ["keepalived", "--dont-fork", "--log-console", "--no-syslog", "--vrrp",
             "-f", cfg, "-p", f"{d}/keepalived-{n}.pid",
             "-r", f"{d}/vrrp-{n}.pid", "-c", f"{d}/checkers-{n}.pid"],
            os.path.join(d, f"keepalived-{n}.out"))

    def cut(self, n):
        """Takes node n's port off the switch; its link keeps its carrier."""
        sh(f"ip link set {self.nodes[n].outer} nomaster")

    def heal(self, n, other, lost=0.0):
        """Puts node n's port back; for the first lost seconds the other
        node's VRRP adverts to it are lost (ARP and the rest pass)."""
        if lost > 0:
            sh("nft add table bridge keld4heal && nft add chain bridge keld4heal pass "
               "'{ type filter hook forward priority 0; }' && "
               f"nft add rule bridge keld4heal pass iifname {self.nodes[other].outer} "
               f"oifname {self.nodes[n].outer} ip protocol 112 drop")
        sh(f"ip link set {self.nodes[n].outer} master kpbr")
        if lost > 0:
            time.sleep(lost)
            sh("nft delete table bridge keld4heal")

    def silence_agent(self, i, silent):
        """Drops (or lets through again) agent i's reports in its own namespace."""
        host = self.hosts[len(NODES) + i]
        if silent:
            host.run("nft add table ip keld4test && nft add chain ip keld4test out "
                     "'{ type filter hook output priority 0; }' && "
                     "nft add rule ip keld4test out udp dport 45002 drop")
        else:
            host.run("nft delete table ip keld4test")

    def stop_node(self, n):
        # keepalived first: it gives the address up, the coordinator sees that.
        for proc in (self.keepalived[n], self.coordinator[n], self.haproxy[n]):
            proc.send_signal(signal.SIGTERM)
            proc.wait(10)
        self.events[n].thread.join(5)
