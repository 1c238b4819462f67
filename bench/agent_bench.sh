#!/usr/bin/env bash
# Footprint and throughput of the running agent, measured from outside in a
# private network namespace (the agent in one of its own, joined by veth).
#
#   bench/agent_bench.sh footprint [SECONDS]   # default 120 s, masks 3 and 15
#   bench/agent_bench.sh throughput            # Coor_alive per second absorbed
#
# Builds the release preset first. Needs root (or user namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bin=$root/build/release

if [ "${KELD4_BENCH_INNER:-}" != 1 ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release -j "$(nproc)" --target keld4 keld4-reg udp_flood >/dev/null
  export KELD4_BENCH_INNER=1
  if [ "$(id -u)" = 0 ]; then flags=(-n); else flags=(-r -n); fi
  exec unshare "${flags[@]}" "$0" "$@"
fi

mode=${1:-footprint}
seconds=${2:-120}
port=45002
. scripts/agent-netns.sh
ns() { in_agent_ns "$@"; }
work=$(mktemp -d /tmp/keld4-bench-XXXXXX)
trap 'kill $holder 2>/dev/null; rm -rf "$work"' EXIT

start_agent() {  # $1: registry LogLevel
  mkdir -p "$work/log" "$work/units"
  export KELD4_REGISTRY=$work/registry.reg KELD4_UNIT_DIR=$work/units KELD4_SYSTEMCTL=/bin/true
  rm -f "$work/registry.reg" "$work/log/"*
  local reg=$bin/tools/keld4-reg key='HKLM\SOFTWARE\Ostrel\KELD4\Parameter'
  "$reg" import packaging/keld4.reg >/dev/null
  "$reg" add "$key" /v LocalIPAddress /t REG_SZ /d $agent_ip /f >/dev/null
  "$reg" add "$key\\Log" /v LogDirectory /t REG_SZ /d "$work/log" /f >/dev/null
  "$reg" add "$key\\Log" /v LogLevel /t REG_DWORD /d "$1" /f >/dev/null
  ns "$bin/keld4" -RegServer >/dev/null
  nsenter -t "$holder" -n "$bin/keld4" >/dev/null 2>&1 &
  agent=$!
  sleep 1
}

coor_alive() {  # loglevel alive cpu: one Coor_alive from the coordinator's address
  python3 - "$@" <<PY
import socket, struct, sys
lv, alive, cpu = map(int, sys.argv[1:])
a = lambda s: struct.unpack("!I", socket.inet_aton(s))[0]
d = struct.pack("!10I", 4, 1, 0, 0, 28, 4, a("$coord_ip"), a("$agent_ip"), 0, 0) + struct.pack("!7I", 0, 0, lv, 2, alive, 0, cpu)
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.sendto(d, ("$agent_ip", $port))
PY
}

# user+sys ticks, voluntary+involuntary context switches, threads, fds, VmHWM
sample() {
  local pid=$1
  awk '{print $14 + $15}' /proc/$pid/stat
  awk '/^voluntary_ctxt_switches|^nonvoluntary_ctxt_switches/ {s += $2} END {print s}' /proc/$pid/status
  ls /proc/$pid/task | wc -l
  ls /proc/$pid/fd | wc -l
  awk '/^VmHWM/ {print $2}' /proc/$pid/status
}

measure() {  # name pid seconds
  local name=$1 pid=$2 secs=$3 hz
  hz=$(getconf CLK_TCK)
  mapfile -t a < <(sample "$pid")
  sleep "$secs"
  mapfile -t b < <(sample "$pid")
  awk -v n="$name" -v t0="${a[0]}" -v t1="${b[0]}" -v c0="${a[1]}" -v c1="${b[1]}" -v th="${b[2]}" \
      -v fd="${b[3]}" -v hwm="${b[4]}" -v s="$secs" -v hz="$hz" 'BEGIN {
    cpu = (t1 - t0) / hz; printf "%-28s cpu %6.2f s/hour (%.4f%% of a core)  VmHWM %6.0f KiB  threads %2d  fds %2d  ctxsw/s %6.2f\n",
      n, cpu * 3600 / s, cpu / s * 100, hwm, th, fd, (c1 - c0) / s }'
}

if [ "$mode" = footprint ]; then
  for level in 1 3; do
    start_agent 3
    coor_alive $level 1 1
    sleep 2
    measure "keld4 loglevel $level" "$agent" "$seconds"
    kill -TERM "$agent"; wait "$agent" || true
  done
  if command -v prometheus-node-exporter >/dev/null; then
    prometheus-node-exporter --web.listen-address=127.0.0.1:9100 >/dev/null 2>&1 &
    other=$!
    sleep 2
    measure "node-exporter (idle)" "$other" "$seconds"
    kill "$other"; wait "$other" 2>/dev/null || true
  else
    echo "prometheus-node-exporter not installed: no comparison"
  fi
  echo "footprint: done"
elif [ "$mode" = throughput ]; then
  for level in 1 3; do
    start_agent 3
    coor_alive $level 0 0
    sleep 1
    for rate in 50000 100000 200000 0; do
      drops0=$(ns awk 'NR>1 && $2 ~ /:AFCA$/ {d += $NF} END {print d+0}' /proc/net/udp)
      out=$("$bin/bench/udp_flood" $agent_ip $port 200000 $rate $coord_ip)
      sleep 1
      drops1=$(ns awk 'NR>1 && $2 ~ /:AFCA$/ {d += $NF} END {print d+0}' /proc/net/udp)
      echo "loglevel $level rate ${rate:-max}: $out; dropped $((drops1 - drops0))"
    done
    ns awk 'NR>1' /proc/net/udp >/dev/null
    kill -TERM "$agent"; wait "$agent" || true
  done
  echo "throughput: done"
fi
