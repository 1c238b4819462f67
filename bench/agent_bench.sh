#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Cost of the running agent beside a floor and two peers, measured from
# outside, every process in a network namespace of its own (joined to the
# measuring namespace by a veth pair, so nothing leaves the machine).
#
#   bench/agent_bench.sh footprint [SECONDS]   # default 300 s, all at once:
#       keld4 at mask 3, keld4 at mask 15, keld4_floor (the least C doing the
#       useful work), collectd (cpu + network plugins, 1 s interval) and
#       prometheus-node-exporter scraped once a second
#   bench/agent_bench.sh throughput [COUNT]    # Coor_alive floods at fixed
#       rates into keld4 (mask 3 and 15) and into a bare recvfrom loop
#
# Builds the release preset first and installs the two peers (Debian packages)
# when they are missing. Needs root (or user namespaces). KELD4_BENCH_AGENT
# names another keld4 to measure (a fully static build, say).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bin=$root/build/release
agent_bin=${KELD4_BENCH_AGENT:-$bin/keld4}

if [ "${KELD4_BENCH_INNER:-}" != 1 ]; then
  need=()
  for p in collectd-core prometheus-node-exporter python3 iproute2 util-linux; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
  done
  if [ ${#need[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq --no-install-recommends "${need[@]}" ||
      { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${need[@]}"; }
  fi
  cmake --preset release >/dev/null
  cmake --build --preset release -j 2 --target keld4 keld4-reg udp_flood keld4_floor >/dev/null
  export KELD4_BENCH_INNER=1
  if [ "$(id -u)" = 0 ]; then flags=(-n); else flags=(-r -n); fi
  exec unshare "${flags[@]}" "$0" "$@"
fi

mode=${1:-footprint}
port=45002
work=$(mktemp -d /tmp/keld4-bench-XXXXXX)
holders=()
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  for h in "${holders[@]}"; do kill "$h" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT
ip link set lo up

# Namespace N: the process inside at 10.77.N.1, this side at 10.77.N.2.
declare -A holder
make_ns() {
  unshare -n sleep 100000 &
  local h=$!
  holders+=("$h")
  while [ "$(readlink /proc/$h/ns/net)" = "$(readlink /proc/self/ns/net)" ]; do sleep 0.05; done
  ip link add kb$1 type veth peer name kc$1
  ip link set kb$1 netns "$h"
  nsenter -t "$h" -n sh -c "ip link set lo up; ip addr add 10.77.$1.1/24 dev kb$1; ip link set kb$1 up"
  ip addr add 10.77.$1.2/24 dev kc$1
  ip link set kc$1 up
  holder[$1]=$h
}
in_ns() { local n=$1; shift; nsenter -t "${holder[$n]}" -n "$@"; }

# Sleeps until OFFSET seconds past the next whole second. Each program that
# works once a second starts at a phase of its own, so none begins its second
# in the caches another has just warmed (on this shared virtual machine the
# first program to run after an idle spell pays several times what the next
# pays for the same work).
at_phase() {
  sleep "$(python3 -c "import time; print('%.3f' % (1 - time.time() % 1 + $1))")"
}

# keld4 in namespace N with registry LogLevel 3; started as a plain process.
start_agent() {  # N [PHASE]
  local n=$1 dir=$work/agent$1
  mkdir -p "$dir/log" "$dir/units"
  local reg=$bin/tools/keld4-reg key='HKLM\SOFTWARE\Ostrel\KELD4\Parameter'
  (
    export KELD4_REGISTRY=$dir/registry.reg KELD4_UNIT_DIR=$dir/units KELD4_SYSTEMCTL=/bin/true
    "$reg" import packaging/keld4.reg >/dev/null
    "$reg" add "$key" /v LocalIPAddress /t REG_SZ /d 10.77.$n.1 /f >/dev/null
    "$reg" add "$key\\Log" /v LogDirectory /t REG_SZ /d "$dir/log" /f >/dev/null
    "$reg" add "$key\\Log" /v LogLevel /t REG_DWORD /d 3 /f >/dev/null
    in_ns "$n" "$agent_bin" -RegServer >/dev/null
  )
  [ -z "${2:-}" ] || at_phase "$2"
  # Under the batch policy its unit sets (CPUSchedulingPolicy=batch).
  KELD4_REGISTRY=$dir/registry.reg KELD4_UNIT_DIR=$dir/units KELD4_SYSTEMCTL=/bin/true \
    nsenter -t "${holder[$n]}" -n chrt --batch 0 "$agent_bin" >/dev/null 2>&1 &
  pids+=($!)
}

# One Coor_alive from this side of namespace N: N loglevel alive cpu. Its log
# check period is keld4-coordinator's default, 60 s.
coor_alive() {
  python3 - "$@" <<'PY'
import socket, struct, sys
n, lv, alive, cpu = map(int, sys.argv[1:])
a = lambda s: struct.unpack("!I", socket.inet_aton(s))[0]
agent, coord = "10.77.%d.1" % n, "10.77.%d.2" % n
d = struct.pack("!10I", 4, 1, 0, 0, 28, 4, a(coord), a(agent), 0, 0) + struct.pack("!7I", 0, 0, lv, 60, alive, 0, cpu)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((coord, 0))
s.sendto(d, (agent, 45002))
PY
}

if [ "$mode" = footprint ]; then
  seconds=${2:-300}
  settle=5
  for n in 1 2 3 4 5 6; do make_ns $n; done
  # The receiving side: counts what each sender delivers and scrapes the
  # exporter once a second, for the whole run.
  python3 - $((settle + seconds + 3)) >"$work/received" <<'PY' &
import selectors, socket, sys, time, urllib.request
end = time.time() + float(sys.argv[1])
sel = selectors.DefaultSelector()
names = {1: "keld4 mask 3", 2: "keld4 mask 15", 3: "floor", 4: "collectd", 6: "floor_alive"}
count = {v: 0 for v in names.values()}
for n, name in names.items():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("10.77.%d.2" % n, 25826 if n == 4 else 45002))
    sel.register(s, selectors.EVENT_READ, name)
scrapes = failed = 0
next_scrape = time.time() // 1 + 2.8  # at a phase of its own, 0.8 s
while time.time() < end:
    for key, _ in sel.select(timeout=max(0.0, min(next_scrape, end) - time.time())):
        key.fileobj.recv(65536)
        count[key.data] += 1
    if time.time() >= next_scrape:
        next_scrape += 1
        try:
            urllib.request.urlopen("http://10.77.5.1:9100/metrics", timeout=0.9).read()
            scrapes += 1
        except Exception:
            failed += 1
for name, c in count.items():
    print("%s %d" % (name.replace(" ", "_"), c))
print("node_exporter_scrapes %d" % scrapes)
print("node_exporter_failed_scrapes %d" % failed)
PY
  receiver=$!
  start_agent 1 0.0
  agent3=${pids[-1]}
  start_agent 2 0.2
  agent15=${pids[-1]}
  # Started by nsenter itself, not a shell function, so $! is the program.
  # The same policy as the agent's, so that only the work differs.
  at_phase 0.4
  nsenter -t "${holder[3]}" -n chrt --batch 0 "$bin/bench/keld4_floor" 10.77.3.2 $port &
  pids+=($!)
  floor=$!
  # The floor that also sends the alive message's 64 bytes each second.
  at_phase 0.5
  nsenter -t "${holder[6]}" -n chrt --batch 0 "$bin/bench/keld4_floor" 10.77.6.2 $port 0 alive &
  pids+=($!)
  floor_alive=$!
  mkdir -p "$work/collectd"
  cat >"$work/collectd/collectd.conf" <<CONF
Hostname "bench"
FQDNLookup false
Interval 1
BaseDir "$work/collectd"
PIDFile "$work/collectd/collectd.pid"
TypesDB "/usr/share/collectd/types.db"
LoadPlugin cpu
LoadPlugin network
<Plugin network>
  Server "10.77.4.2" "25826"
</Plugin>
CONF
  at_phase 0.6
  nsenter -t "${holder[4]}" -n collectd -f -C "$work/collectd/collectd.conf" >/dev/null 2>&1 &
  pids+=($!)
  collectd=$!
  nsenter -t "${holder[5]}" -n prometheus-node-exporter --web.listen-address=10.77.5.1:9100 >/dev/null 2>&1 &
  pids+=($!)
  exporter=$!
  sleep 1
  coor_alive 1 1 1 1
  coor_alive 2 3 1 1
  sleep $settle
  load0=$(cut -d' ' -f1-3 /proc/loadavg)
  python3 - "$seconds" "$load0" "$(nproc)" \
    "keld4 mask 3=$agent3" "keld4 mask 15=$agent15" "floor (C)=$floor" \
    "floor + alive=$floor_alive" \
    "collectd=$collectd" "node_exporter=$exporter" <<'PY'
import glob, os, sys, time
seconds, load0, cores = float(sys.argv[1]), sys.argv[2], sys.argv[3]
procs = [a.split("=") for a in sys.argv[4:]]

def tasks(pid):
    return glob.glob("/proc/%s/task/*" % pid)

def cpu_ns(pid):  # on-CPU nanoseconds of every thread
    total = 0
    for t in tasks(pid):
        try:
            total += int(open(t + "/schedstat").read().split()[0])
        except OSError:
            pass
    return total

def switches(pid):  # voluntary + involuntary, every thread
    total = 0
    for t in tasks(pid):
        try:
            for line in open(t + "/status"):
                if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                    total += int(line.split()[1])
        except OSError:
            pass
    return total

def status(pid, key):
    for line in open("/proc/%s/status" % pid):
        if line.startswith(key + ":"):
            return int(line.split()[1])

def pss(pid):
    for line in open("/proc/%s/smaps_rollup" % pid):
        if line.startswith("Pss:"):
            return int(line.split()[1])

def per_thread(pid):  # thread id -> (on-CPU ns, switches)
    out = {}
    for t in tasks(pid):
        try:
            cs = sum(int(l.split()[1]) for l in open(t + "/status") if "ctxt_switches" in l)
            out[int(t.rsplit("/", 1)[1])] = (int(open(t + "/schedstat").read().split()[0]), cs)
        except OSError:
            pass
    return out

start = {pid: (cpu_ns(pid), switches(pid)) for _, pid in procs}
threads0 = {pid: per_thread(pid) for name, pid in procs if name.startswith("keld4")}
t0 = time.monotonic()
time.sleep(seconds)
took = time.monotonic() - t0
threads1 = {pid: per_thread(pid) for pid in threads0}
rows = {}
for name, pid in procs:
    c1, s1 = cpu_ns(pid), switches(pid)
    rows[name] = dict(cpu=(c1 - start[pid][0]) / 1e9 * 3600 / took, hwm=status(pid, "VmHWM"), pss=pss(pid),
                      threads=len(tasks(pid)), fds=len(os.listdir("/proc/%s/fd" % pid)),
                      cs=(s1 - start[pid][1]) / took)
print("measured %.0f s; load average %s at the start, %s at the end; %s cores" %
      (took, load0, " ".join(open("/proc/loadavg").read().split()[:3]), cores))
print("| process | CPU s/hour | VmHWM KiB | Pss KiB | threads | fds | context switches/s |")
print("|---|---|---|---|---|---|---|")
for name, r in rows.items():
    print("| %s | %.3f | %d | %d | %d | %d | %.2f |" % (name, r["cpu"], r["hwm"], r["pss"], r["threads"], r["fds"], r["cs"]))
print()
# The agent's threads in the order they were made: main, then the workers.
for name, pid in procs:
    if pid not in threads0:
        continue
    parts = []
    for tid in sorted(threads1[pid]):
        if tid in threads0[pid]:
            c = (threads1[pid][tid][0] - threads0[pid][tid][0]) / 1e9 * 3600 / took
            w = (threads1[pid][tid][1] - threads0[pid][tid][1]) / took
            parts.append("%.3f s/h %.2f/s" % (c, w))
    print("%s by thread (CPU, switches): %s" % (name, "; ".join(parts)))
print()
print("| ratio | CPU | VmHWM | Pss | context switches |")
print("|---|---|---|---|---|")
for agent in ("keld4 mask 3", "keld4 mask 15"):
    for other in ("floor (C)", "floor + alive", "collectd", "node_exporter"):
        a, b = rows[agent], rows[other]
        q = lambda k: a[k] / b[k] if b[k] else float("inf")
        print("| %s / %s | %.2f | %.2f | %.2f | %.2f |" % (agent, other, q("cpu"), q("hwm"), q("pss"), q("cs")))
PY
  wait "$receiver" || true
  echo
  echo "datagrams received over the run (each sender once a second; node_exporter scraped once a second):"
  sed 's/^/  /' "$work/received"
  echo "footprint: done"
elif [ "$mode" = throughput ]; then
  count=${2:-200000}
  make_ns 1
  # Datagrams the namespace's UDP delivered to a socket: loss is the rest of
  # what was sent, counted the same way for the agent and the floor.
  delivered() { in_ns 1 awk '/^Udp:/ { if (seen) print $2; seen = 1 }' /proc/net/snmp; }
  for rate in 50000 100000 150000 0; do
    # The floor: a bare recvfrom loop on the same port in the same namespace.
    nsenter -t "${holder[1]}" -n "$bin/bench/udp_flood" sink $port 2 >"$work/sink" &
    sink=$!
    until grep -q ready "$work/sink" 2>/dev/null; do sleep 0.05; done
    d0=$(delivered)
    out=$("$bin/bench/udp_flood" 10.77.1.1 $port "$count" $rate 10.77.1.2 1)
    wait $sink
    d1=$(delivered)
    echo "recvfrom floor, rate ${rate/#0/max}: $out; lost $((count - (d1 - d0))); read $(awk '/received/ {print $2}' "$work/sink")"
    for level in 1 3; do
      start_agent 1
      agent=${pids[-1]}
      sleep 1
      d0=$(delivered)
      out=$("$bin/bench/udp_flood" 10.77.1.1 $port "$count" $rate 10.77.1.2 $level)
      sleep 1
      d1=$(delivered)
      mask=$([ $level = 1 ] && echo 3 || echo 15)
      lines=$(cat "$work/agent1/log/"* 2>/dev/null | wc -l)
      echo "keld4 mask $mask, rate ${rate/#0/max}: $out; lost $((count - (d1 - d0))); log lines $lines"
      kill -TERM "$agent"
      wait "$agent" || true
      unset 'pids[-1]'  # gone: its number may soon be another process's
      rm -rf "$work/agent1"
    done
  done
  echo "throughput: done"
fi
