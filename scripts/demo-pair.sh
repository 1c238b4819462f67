#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The redundant pair of doc/examples/pair failing over, on the terminal,
# without touching the host's network: builds the programs, then, in private
# network namespaces, runs two HAProxy nodes sharing the virtual address
# 10.0.0.1 through keepalived, a keld4-coordinator on each (the example's
# options file, naming both HAProxy instances), three keld4 agents with an
# HTTP back-end each, and a client. Some CPU load moves the weights; node A
# stops at the 15th second and comes back at the 32nd. One line a second:
# where the address is, what each coordinator does, what each HAProxy has,
# whether the client got its page. About a minute; run as root
# (scripts/demo.sh --pair does the same).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ]; then scripts/deps.sh; fi
preset=${KELD4_DEMO_PRESET:-release}
# The build's output is kept in a log and shown only when the build fails.
log=build/$preset/demo-build.log
mkdir -p "build/$preset"
echo "Building keld4, keld4-reg and keld4-coordinator (log: $log)"
if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j "$(nproc)" \
  --target keld4 keld4-reg keld4-coordinator; } >"$log" 2>&1; then
  tail -n 60 "$log"
  echo "The build failed; its whole log: $log"
  exit 1
fi
bin=$(pwd)/build/$preset
export KELD4_BINARY=$bin/keld4 KELD4_REG_BINARY=$bin/tools/keld4-reg \
  KELD4_COORDINATOR_BINARY=$bin/tools/keld4-coordinator KELD4_SOURCE_DIR=$(pwd) \
  PYTHONDONTWRITEBYTECODE=1
if [ "$(id -u)" = 0 ]; then flags=(-n); else flags=(-r -n); fi
exec unshare "${flags[@]}" python3 - <<'PY'
import subprocess
import sys
import time
import urllib.request

sys.path.insert(0, "tests/acceptance")
from pair import NODES, VIP, PairSite, ask  # noqa: E402

subprocess.run("ip link set lo up", shell=True, check=True)
site = PairSite(["--alive", "1", "--cpu-interval", "1", "--duration", "120"])


def role(n):
    proc = site.coordinator.get(n)
    if proc is None or proc.poll() is not None:
        return "down"
    changes = site.events[n].all("active") + site.events[n].all("standby")
    return max(changes, key=lambda c: c[0])[1]["event"] if changes else "starting"


def view(n):
    try:
        rows = [line.split() for line in ask(site.sockets[n], "show servers state web").splitlines()[2:]]
    except OSError:
        return "-"
    states = {"0": "ready", "8": "drain"}
    return "  ".join(f"{r[3]} {r[7]:>3} {states.get(r[6], 'admin ' + r[6])}" for r in rows if len(r) > 7)


def client():
    try:
        urllib.request.urlopen(f"http://{VIP}/", timeout=0.5).read()
        return "ok"
    except OSError:
        return "no answer"


load = None
try:
    for n in NODES:
        site.start_haproxy(n)
    site.watch.start()
    for n in NODES:
        site.start_coordinator(n)
    for n in NODES:
        site.start_keepalived(n)
    start = time.monotonic()
    for second in range(50):
        time.sleep(max(0.0, start + second - time.monotonic()))
        if second == 5:
            print("--- CPU load for 12 s: the weights fall, then rise again")
            load = subprocess.Popen(["stress-ng", "--cpu", "1", "--cpu-load", "70", "--timeout", "12", "--quiet"])
        if second == 15:
            print("--- node A stops (keepalived, coordinator, HAProxy)")
            site.stop_node("a")
        if second == 32:
            print("--- node A comes back")
            site.start_haproxy("a")
            site.start_coordinator("a")
            site.start_keepalived("a")
        holder = [n.upper() for n in NODES if role(n) == "active"]
        print(f"{second:3d}s  {VIP} on {'/'.join(holder) or '-':3}  A {role('a'):8} B {role('b'):8}"
              f"  HAProxy A: {view('a'):38}  HAProxy B: {view('b'):38}  client {client()}", flush=True)
    site.watch.stop.set()
    site.watch.join(5)
    total = sum(site.watch.samples.values())
    print(f"\nHAProxy's state was read {total} times on the two nodes; samples with a server "
          f"drained or in maintenance: {len(site.watch.bad)}")
    print(f"Logs and configuration: {site.dir}")
finally:
    if load and load.poll() is None:
        load.terminate()
        load.wait()
    site.keep = True
    site.close()
PY
