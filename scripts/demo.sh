#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# keld4 balancing HAProxy, without touching the host's network: builds
# everything, then, in private network namespaces, runs two small HTTP
# back-ends, each with a keld4 agent in a namespace of its own, HAProxy in
# front of them, and keld4-coordinator mapping each agent to its HAProxy
# server. CPU load on the machine for part of the time makes the weights fall
# and rise again; then one agent is stopped and its server goes to drain.
# About a minute; HAProxy's own view is sampled and shown at the end.
# scripts/demo.sh --pair shows a redundant pair failing over instead.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# The redundant pair's failover is a demo of its own.
if [ "${1:-}" = --pair ]; then exec scripts/demo-pair.sh; fi

if [ "${KELD4_DEMO_INNER:-}" != 1 ]; then
  if [ "$(id -u)" = 0 ]; then scripts/deps.sh; fi
  cmake --preset release >/dev/null
  cmake --build --preset release -j "$(nproc)" --target keld4 keld4-reg keld4-coordinator
  work=$(mktemp -d /tmp/keld4-demo-XXXXXX)
  export KELD4_DEMO_INNER=1 KELD4_DEMO_WORK="$work"
  if [ "$(id -u)" = 0 ]; then flags=(-n); else flags=(-r -n); fi
  status=0
  unshare "${flags[@]}" "$0" "$@" || status=$?
  echo
  echo "HAProxy's view during the run (show servers state, every 5 s):"
  cat "$work/haproxy-view.txt" 2>/dev/null || true
  echo
  echo "The agents' logs: $work/a/log/keld4.log $work/b/log/keld4.log"
  exit $status
fi

# Inside the coordinator's namespace from here on. Each agent binds all its
# addresses at the port, so each gets a namespace of its own, joined to ours
# by a veth pair: agent a at 10.77.1.1, agent b at 10.77.2.1.
work=$KELD4_DEMO_WORK
bin=$root/build/release
reg="$bin/tools/keld4-reg"
key='HKLM\SOFTWARE\Ostrel\KELD4\Parameter'
ip link set lo up

pids=()
holders=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  for p in "${holders[@]}"; do kill "$p" 2>/dev/null || true; done
}
trap cleanup EXIT

# make_host NAME N: namespace, veth pair, registry, HTTP back-end and agent.
make_host() {
  local name=$1 n=$2 holder
  unshare -n sleep 100000 &
  holder=$!
  holders+=("$holder")
  while [ "$(readlink /proc/$holder/ns/net)" = "$(readlink /proc/self/ns/net)" ]; do sleep 0.05; done
  ip link add "kv${n}0" type veth peer name "kv${n}1"
  ip link set "kv${n}0" netns "$holder"
  nsenter -t "$holder" -n sh -c "ip link set lo up && ip addr add 10.77.$n.1/24 dev kv${n}0 && ip link set kv${n}0 up && ip route add default via 10.77.$n.2"
  ip addr add "10.77.$n.2/24" dev "kv${n}1"
  ip link set "kv${n}1" up

  mkdir -p "$work/$name/log" "$work/$name/units" "$work/$name/www"
  echo "served by $name" > "$work/$name/www/index.html"
  (
    export KELD4_REGISTRY=$work/$name/registry.reg KELD4_UNIT_DIR=$work/$name/units KELD4_SYSTEMCTL=/bin/true
    "$reg" import packaging/keld4.reg
    "$reg" add "$key" /v LocalIPAddress /t REG_SZ /d "10.77.$n.1" /f >/dev/null
    "$reg" add "$key\\Log" /v LogDirectory /t REG_SZ /d "$work/$name/log" /f >/dev/null
    nsenter -t "$holder" -n "$bin/keld4" -RegServer
  )
  nsenter -t "$holder" -n python3 -m http.server 8080 --bind "10.77.$n.1" \
    --directory "$work/$name/www" >"$work/$name/http.out" 2>&1 &
  pids+=($!)
  KELD4_REGISTRY=$work/$name/registry.reg KELD4_UNIT_DIR=$work/$name/units KELD4_SYSTEMCTL=/bin/true \
    nsenter -t "$holder" -n "$bin/keld4" >"$work/$name/agent.out" 2>&1 &
  pids+=($!)
  eval "agent_$name=\$!"
}
make_host a 1
make_host b 2

# HAProxy in our namespace, its clients on loopback. Health checks are off
# and there is no agent-check: the coordinator alone sets weights and states.
sock=$work/haproxy.sock
cat >"$work/haproxy.cfg" <<CFG
global
  stats socket $sock level admin
defaults
  mode http
  timeout connect 2s
  timeout client 10s
  timeout server 10s
frontend www
  bind 127.0.0.1:8000
  default_backend web
backend web
  balance roundrobin
  server a 10.77.1.1:8080 weight 100
  server b 10.77.2.1:8080 weight 100
CFG
haproxy -db -q -f "$work/haproxy.cfg" &
pids+=($!)
for _ in $(seq 100); do [ -S "$sock" ] && break; sleep 0.05; done

ask() { python3 - "$sock" "$1" <<'PY'
import socket, sys
s = socket.socket(socket.AF_UNIX); s.settimeout(5); s.connect(sys.argv[1])
s.sendall(sys.argv[2].encode() + b"\n"); out = b""
while True:
    d = s.recv(4096)
    if not d: break
    out += d
sys.stdout.write(out.decode())
PY
}

# Samples HAProxy's own view: server, weight, admin state (8 = drain).
(
  for i in $(seq 0 5 60); do
    ask "show servers state web" | awk -v t="$i" 'NR > 2 && NF > 8 { printf "%3ss  %s  weight %3s  admin state %s\n", t, $4, $8, $7 }'
    sleep 5
  done
) >"$work/haproxy-view.txt" 2>&1 &
pids+=($!)
# A little traffic through HAProxy, bounded: one request every half second.
(
  python3 - <<'PY'
import time, urllib.request
for _ in range(120):
    try:
        urllib.request.urlopen("http://127.0.0.1:8000/", timeout=2).read()
    except OSError:
        pass
    time.sleep(0.5)
PY
) &
pids+=($!)
# Load from the 10th to the 30th second, so the weights fall and rise again;
# agent b stops at the 40th second, and its server goes to drain.
(
  sleep 10
  stress-ng --cpu "$(nproc)" --cpu-load 90 --timeout 20 --quiet || true
  sleep 10
  kill -TERM "$agent_b" 2>/dev/null || true
) &
pids+=($!)

# Both agents reach 10.77.1.2 through their own veth pair and our namespace.
# They share this machine's CPU, so they are always equally busy and the
# default law would leave their weights alone: the straight line shows the load.
"$bin/tools/keld4-coordinator" --address 10.77.1.2 \
  --agent 10.77.1.1 --agent 10.77.2.1 --alive 1 --cpu-interval 1 --log-refresh 2 --resend 10 \
  --haproxy "$sock" --server 10.77.1.1=web/a --server 10.77.2.1=web/b \
  --law linear --smoothing 0.5 --step 5 --duration 55 || true
