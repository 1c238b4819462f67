#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""What --metrics costs the coordinator: two release coordinators side by
side in a private network namespace (loopback only), fed the same simulated
fleet, one without --metrics and one with it, scraped every 15 s and with a
status page fetched every 5 s (what an open page's refresh does).

  bench/metrics_bench.py [AGENTS [SECONDS]]     (defaults 10000 and 120)

Agents are 127.1.x.y, mapped to servers in 10 backends, dry run (no HAProxy);
each sends an alive every 5 s and a CPU load every 2 s, spread evenly, all
from one socket (so both run with --trust-forwarded). Prints
on-CPU time of both processes (and of the metrics side's HTTP threads), peak
RSS, and the size and time of one scrape and one page (gzip, as Prometheus
asks for it)."""

import os
import socket
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BIN = os.environ.get("KELD4_COORDINATOR_BINARY",
                     os.path.join(HERE, "..", "build", "release", "tools", "keld4-coordinator"))
METRICS = ("127.0.0.1", 9170)
PORTS = (45101, 45102)  # plain, with --metrics


def addr(i):
    return f"127.1.{i // 250}.{i % 250 + 1}"


def header(mtype, seq, dataleng, src):
    return struct.pack("!6I4sI2I", 1, mtype, 0, seq, dataleng, 1, socket.inet_aton(src),
                       0x7F000001, 0, 0)


def alive(src):
    mac = b"00-11-22-33-44-55".ljust(18, b"\0")
    return header(0x00000001, 0, 24, src) + struct.pack("!H18sI", 1, mac, 2400)


def load(src, percent):
    return header(0x01200001, 0, 4, src) + struct.pack("!I", percent)


def cpu_seconds(pid, threads=lambda tid: True):
    """On-CPU time of the process's threads (schedstat, nanoseconds)."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        if threads(int(tid)):
            total += int(open(f"/proc/{pid}/task/{tid}/schedstat").read().split()[0])
    return total / 1e9


def hwm_kib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return 0


def fetch(path):
    begin = time.monotonic()
    with socket.create_connection(METRICS, timeout=10) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: bench\r\nAccept-Encoding: gzip\r\nConnection: close\r\n\r\n".encode())
        body = b""
        while chunk := s.recv(65536):
            body += chunk
    return len(body), time.monotonic() - begin


def main():
    if os.environ.get("KELD4_IN_NETNS") != "1":
        os.environ["KELD4_IN_NETNS"] = "1"
        flags = ["-n"] if os.geteuid() == 0 else ["-r", "-n"]
        os.execvp("unshare", ["unshare", *flags, sys.executable, *sys.argv])
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    agents = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    seconds = min(float(sys.argv[2]) if len(sys.argv) > 2 else 120, 1800)
    work = tempfile.mkdtemp(prefix="keld4-metrics-bench-")
    mapping = os.path.join(work, "servers")
    with open(mapping, "w") as f:
        for i in range(agents):
            f.write(f"{addr(i)}=b{i % 10}/s{i}\n")
    # One socket sends for every agent: --trust-forwarded, or the source check
    # drops every report of a mapped agent and the fleet falls silent.
    common = ["--listen", "127.0.0.1", "--config", mapping, "--dry-run", "--alive", "5",
              "--cpu-interval", "2", "--trust-forwarded", "--duration", str(seconds + 20)]
    procs = [subprocess.Popen([BIN, *common, "--port", str(PORTS[0])], stdout=subprocess.DEVNULL),
             subprocess.Popen([BIN, *common, "--port", str(PORTS[1]), "--metrics", "%s:%d" % METRICS],
                              stdout=subprocess.DEVNULL)]
    time.sleep(1)
    main_tid = procs[1].pid
    out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    out.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)
    alives = [alive(addr(i)) for i in range(agents)]
    settle, start = 10.0, time.monotonic()
    end = start + settle + seconds
    measured = None
    sent = 0
    next_scrape = next_page = start + settle
    scrape = page = (0, 0.0)
    tick = 0
    # 100 ms ticks: each agent's alive once in 50 ticks, its load once in 20.
    while time.monotonic() < end:
        now = time.monotonic()
        if measured is None and now >= start + settle:
            measured = (now, [cpu_seconds(p.pid) for p in procs],
                        cpu_seconds(procs[1].pid, lambda t: t != main_tid))
        for i in range(tick % 50, agents, 50):
            for port in PORTS:
                out.sendto(alives[i], ("127.0.0.1", port))
            sent += 2
        for i in range(tick % 20, agents, 20):
            datagram = load(addr(i), (i + tick // 20) % 100)
            for port in PORTS:
                out.sendto(datagram, ("127.0.0.1", port))
            sent += 2
        if measured and now >= next_scrape:
            scrape = fetch("/metrics")
            next_scrape += 15
        if measured and now >= next_page:
            page = fetch("/?backend=b3")
            next_page += 5
        tick += 1
        time.sleep(max(0.0, start + tick * 0.1 - time.monotonic()))
    elapsed = time.monotonic() - measured[0]
    used = [cpu_seconds(p.pid) - measured[1][i] for i, p in enumerate(procs)]
    http = cpu_seconds(procs[1].pid, lambda t: t != main_tid) - measured[2]
    hwm = [hwm_kib(p.pid) for p in procs]
    for p in procs:
        p.terminate()
        p.wait(10)
    print(f"agents {agents}, measured {elapsed:.0f} s, {sent / (time.monotonic() - start):.0f} datagrams/s sent (both)")
    print("| coordinator | CPU % of one core | VmHWM KiB |")
    print("|---|---|---|")
    print(f"| plain | {100 * used[0] / elapsed:.2f} | {hwm[0]} |")
    print(f"| --metrics, scraped every 15 s, page every 5 s | {100 * used[1] / elapsed:.2f} | {hwm[1]} |")
    print(f"HTTP threads of the second: {100 * http / elapsed:.2f} % of one core")
    print(f"last scrape {scrape[0]} bytes in {scrape[1] * 1000:.0f} ms; last page {page[0]} bytes in {page[1] * 1000:.0f} ms")


if __name__ == "__main__":
    main()
