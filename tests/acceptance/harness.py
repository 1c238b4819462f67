# SPDX-License-Identifier: Apache-2.0
"""Black-box harness: runs the built keld4 in a private network namespace and
plays the coordinator from outside, written against the wire bytes alone."""

import ctypes
import itertools
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

AGENT_IP = "10.77.0.1"
COORD_IP = "10.77.0.2"
PREFIX = 24

KELD4 = os.environ.get("KELD4_BINARY", "")
# The agent built without sanitizers, where a bound on its memory is
# measured: a sanitizer's allocator (shadow, quarantine) puts its own noise
# in the figures. The same as KELD4 in a build without them; empty when a
# sanitizer build names none.
KELD4_PLAIN = os.environ.get("KELD4_PLAIN_BINARY", "")
SOURCE_DIR = os.environ.get("KELD4_SOURCE_DIR", "")

MSG_ALIVE = 0x00000001
MSG_CPU_LOAD = 0x01200001
MSG_DOWN = 0x00005001


def sh(command):
    subprocess.run(command, shell=True, check=True)


def setup_network():
    """The test's own namespace (the coordinator's side): loopback up."""
    sh("ip link set lo up")


_libc = ctypes.CDLL(None, use_errno=True)
CLONE_NEWNET = 0x40000000
_pairs = itertools.count()


class AgentHost:
    """A network namespace of its own for the agent, joined to the test's
    namespace by a veth pair: the agent's address on its end, the
    coordinator's on ours. The agent binds all its addresses at the port, so
    a coordinator on the same stack could not bind that port too."""

    def __init__(self):
        self.holder = subprocess.Popen(["unshare", "-n", "sleep", "100000"])
        own = os.readlink("/proc/self/ns/net")
        deadline = time.time() + 10
        while os.readlink(f"/proc/{self.holder.pid}/ns/net") == own:
            if time.time() > deadline:
                raise RuntimeError("agent namespace did not appear")
            time.sleep(0.01)
        n = next(_pairs)
        self.inner, self.outer = f"ka{n}", f"kc{n}"
        sh(f"ip link add {self.inner} type veth peer name {self.outer}")
        sh(f"ip link set {self.inner} netns {self.holder.pid}")
        self.run(f"ip link set lo up && ip addr add {AGENT_IP}/{PREFIX} dev {self.inner} && ip link set {self.inner} up")
        sh(f"ip addr add {COORD_IP}/{PREFIX} dev {self.outer} && ip link set {self.outer} up")

    def prefix(self):
        """The command prefix that runs a program inside the agent's namespace."""
        return ["nsenter", "-t", str(self.holder.pid), "-n"]

    def run(self, command):
        subprocess.run(self.prefix() + ["sh", "-c", command], check=True)

    def socket_inside(self, *args):
        """A socket made in the agent's namespace."""
        own = os.open("/proc/self/ns/net", os.O_RDONLY)
        target = os.open(f"/proc/{self.holder.pid}/ns/net", os.O_RDONLY)
        try:
            if _libc.setns(target, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns")
            try:
                return socket.socket(*args)
            finally:
                _libc.setns(own, CLONE_NEWNET)
        finally:
            os.close(own)
            os.close(target)

    def close(self):
        self.holder.kill()
        self.holder.wait()
        subprocess.run(["ip", "link", "del", self.outer], stderr=subprocess.DEVNULL)


def start_haproxy(folder, backends):
    """HAProxy with its admin stats socket in folder and the given backends
    (configuration text; no frontend, so it sends nothing). Returns the
    process and the socket's path once the socket is there."""
    sock = os.path.join(folder, "admin.sock")
    cfg = os.path.join(folder, "haproxy.cfg")
    with open(cfg, "w", encoding="utf-8") as f:
        f.write(f"global\n  stats socket {sock} level admin\n"
                "defaults\n  mode http\n  timeout connect 1s\n  timeout client 5s\n  timeout server 5s\n"
                + backends)
    proc = subprocess.Popen(["haproxy", "-db", "-q", "-f", cfg])
    deadline = time.time() + 10
    while not os.path.exists(sock) and time.time() < deadline:
        time.sleep(0.02)
    return proc, sock


def ask(path, command):
    """One Runtime API command on HAProxy's admin socket; its answer."""
    s = socket.socket(socket.AF_UNIX)
    s.settimeout(5)
    try:
        s.connect(path)
        s.sendall(command.encode() + b"\n")
        data = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                return data.decode()
            data += chunk
    finally:
        s.close()


def addr_int(dotted):
    return struct.unpack("!I", socket.inet_aton(dotted))[0]


def header(desid, mtype, status, seq, dataleng, mid, src, des, param=0, reserved=0):
    return struct.pack("!10I", desid, mtype, status, seq, dataleng, mid, addr_int(src), addr_int(des), param, reserved)


def coor_alive(loglevel=1, log_refresh=2, alive=1, cpu_interval=1, src=COORD_IP, dst=AGENT_IP, seq=0):
    data = struct.pack("!7I", 0, 0, loglevel, log_refresh, alive, 0, cpu_interval)
    return header(4, MSG_ALIVE, 0, seq, len(data), 4, src, dst) + data


def parse(datagram):
    fields = struct.unpack("!10I", datagram[:40])
    names = ("desId", "type", "status", "sequence", "dataleng", "id", "srcAddr", "desAddr", "param", "reserved")
    msg = dict(zip(names, fields))
    msg["srcAddr"] = socket.inet_ntoa(datagram[24:28])
    msg["desAddr"] = socket.inet_ntoa(datagram[28:32])
    msg["data"] = datagram[40:]
    msg["length"] = len(datagram)
    return msg


def set_reg_value(text, name, value):
    """Replaces one value line of a .reg text ("Name"=... ) keeping its kind."""
    if isinstance(value, int):
        new = f'"{name}"=dword:{value:08x}'
    else:
        escaped = value.replace("\\", "\\\\").replace('"', '\\"')
        new = f'"{name}"="{escaped}"'
    pattern = re.compile(r'^"' + re.escape(name) + r'"=.*$', re.MULTILINE | re.IGNORECASE)
    if not pattern.search(text):
        raise KeyError(name)
    return pattern.sub(lambda _: new, text, count=1)


def read_reg_value(path, name, section_suffix=None):
    """The value of one name from the store file (dword as int, text as str)."""
    raw = open(path, "rb").read()
    text = raw.decode("utf-16") if raw[:2] == b"\xff\xfe" else raw.decode("utf-8")
    section = None
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("["):
            section = line
            continue
        if section_suffix and (section is None or not section.lower().endswith(section_suffix.lower() + "]")):
            continue
        m = re.match(r'^"([^"]+)"=(.*)$', line)
        if m and m.group(1).lower() == name.lower():
            v = m.group(2)
            if v.lower().startswith("dword:"):
                return int(v[6:], 16)
            if v.startswith('"'):
                return v[1:-1].replace('\\"', '"').replace("\\\\", "\\")
            return v
    return None


class Agent:
    """One keld4 process with its own registry, log folder and port."""

    def __init__(self, port=45002, overrides=None, env=None, binary=None):
        self.binary = binary or KELD4
        self.dir = tempfile.mkdtemp(prefix="keld4-accept-")
        self.port = port
        self.store = os.path.join(self.dir, "registry.reg")
        self.logdir = os.path.join(self.dir, "log")
        os.mkdir(self.logdir)
        self.units = os.path.join(self.dir, "units")
        os.mkdir(self.units)
        text = open(os.path.join(SOURCE_DIR, "packaging", "keld4.reg"), encoding="utf-8").read()
        values = {
            "LocalIPAddress": AGENT_IP,
            "LocalMacAddress": "00-11-22-33-44-55",
            "PortNumber": port,
            "LogDirectory": self.logdir,
            "LogName": "keld4.log",
            "LogLevel": 3,
            "MemoryCheckInterval": 1,
        }
        values.update(overrides or {})
        for name, value in values.items():
            text = set_reg_value(text, name, value)
        with open(self.store, "w", encoding="utf-8") as f:
            f.write(text)
        self.env = dict(os.environ)
        self.env.update({"KELD4_REGISTRY": self.store, "KELD4_UNIT_DIR": self.units, "KELD4_SYSTEMCTL": "/bin/true"})
        self.env.pop("NOTIFY_SOCKET", None)
        self.env.update(env or {})
        self.proc = None
        self.host = AgentHost()

    def command(self, *args):
        return self.host.prefix() + [self.binary, *args]

    def register(self, switch="-RegServer"):
        return subprocess.run(self.command(switch), env=self.env, capture_output=True, text=True, timeout=30)

    def start(self, register=True):
        if register:
            result = self.register()
            assert result.returncode == 0, result
        self.proc = subprocess.Popen(self.command(), env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        return self

    def wait_log(self, text, timeout=10.0):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if text in self.log():
                return True
            if self.proc and self.proc.poll() is not None:
                return text in self.log()
            time.sleep(0.05)
        return False

    def log(self):
        path = os.path.join(self.logdir, "keld4.log")
        try:
            return open(path, "rb").read().decode("latin-1")
        except FileNotFoundError:
            return ""

    def reg(self, name, section=None):
        return read_reg_value(self.store, name, section)

    def pid(self):
        return self.proc.pid

    def threads(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/task"))

    def fds(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/fd"))

    def vm_hwm(self):
        for line in open(f"/proc/{self.proc.pid}/status"):
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
        return 0

    def stop(self, sig=signal.SIGTERM, timeout=10):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode if self.proc else None

    def close(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.proc:
            for stream in (self.proc.stdout, self.proc.stderr):
                if stream:
                    stream.close()
        self.host.close()
        shutil.rmtree(self.dir, ignore_errors=True)


class Coordinator:
    """A test coordinator: a UDP socket on the coordinator's address."""

    def __init__(self, port):
        self.port = port
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((COORD_IP, port))

    def send(self, datagram, to=AGENT_IP):
        self.sock.sendto(datagram, (to, self.port))

    def receive(self, duration, until=None):
        """Datagrams that arrive within the duration (seconds), parsed, with
        their arrival time; stops early when until(messages) is true."""
        messages = []
        deadline = time.time() + duration
        while True:
            left = deadline - time.time()
            if left <= 0:
                break
            ready, _, _ = select.select([self.sock], [], [], left)
            if not ready:
                continue
            data, sender = self.sock.recvfrom(65536)
            msg = parse(data) if len(data) >= 40 else {"length": len(data), "data": data}
            msg["raw"] = data
            msg["at"] = time.time()
            msg["sender"] = sender
            messages.append(msg)
            if until and until(messages):
                break
        return messages

    def close(self):
        self.sock.close()


class Sniffer:
    """Captures UDP datagrams to one port on the agent's loopback device,
    where the datagrams it sends to its own address flow."""

    def __init__(self, host, port):
        self.port = port
        self.sock = host.socket_inside(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(0x0800))
        self.sock.bind(("lo", 0))

    def packets(self, duration):
        found = []
        deadline = time.time() + duration
        while time.time() < deadline:
            ready, _, _ = select.select([self.sock], [], [], max(0.0, deadline - time.time()))
            if not ready:
                continue
            data, (_, _, pkttype, _, _) = self.sock.recvfrom(70000)
            if pkttype == socket.PACKET_OUTGOING:
                continue  # each loopback packet shows twice
            ihl = (data[0] & 0x0F) * 4
            if data[9] != 17:
                continue
            dport = struct.unpack("!H", data[ihl + 2 : ihl + 4])[0]
            if dport == self.port:
                found.append(data[ihl + 8 :])
        return found

    def close(self):
        self.sock.close()


class AgentTest(unittest.TestCase):
    """Base: one agent and one coordinator per test."""

    port = 45002
    overrides = None

    def setUp(self):
        self.agent = Agent(self.port, self.overrides)
        self.coord = Coordinator(self.port)

    def tearDown(self):
        self.coord.close()
        self.agent.close()

    def start_agent(self):
        self.agent.start()
        self.assertTrue(self.agent.wait_log("KELD4 service started"), self.agent.log())
        # The receive socket is bound before "started" is written.
        return self.agent
