#!/usr/bin/env bash
# The agent at work, without touching the host's network: builds everything,
# then runs keld4 and keld4-coordinator in a private network namespace with a
# veth pair, puts some CPU load on the machine for part of the time, shows the
# coordinator's live table for about 30 seconds, and cleans up.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

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
  echo "The agent's log: $work/log/keld4.log"
  exit $status
fi

# Inside the coordinator's namespace from here on. The agent gets a namespace
# of its own (it binds all its addresses at the port), joined by a veth pair.
work=$KELD4_DEMO_WORK
bin=$root/build/release
. scripts/agent-netns.sh

mkdir -p "$work/log" "$work/units"
export KELD4_REGISTRY=$work/registry.reg KELD4_UNIT_DIR=$work/units KELD4_SYSTEMCTL=/bin/true
reg="$bin/tools/keld4-reg"
key='HKLM\SOFTWARE\Ostrel\KELD4\Parameter'
"$reg" import packaging/keld4.reg
"$reg" add "$key" /v LocalIPAddress /t REG_SZ /d $agent_ip /f >/dev/null
"$reg" add "$key\\Log" /v LogDirectory /t REG_SZ /d "$work/log" /f >/dev/null
in_agent_ns "$bin/keld4" -RegServer

nsenter -t "$holder" -n "$bin/keld4" >"$work/agent.out" 2>&1 &
agent=$!
load=
cleanup() {
  [ -n "$load" ] && kill "$load" 2>/dev/null || true
  kill -TERM "$agent" 2>/dev/null || true
  wait "$agent" 2>/dev/null || true
  kill "$holder" 2>/dev/null || true
}
trap cleanup EXIT
sleep 1

# Some load from the 10th to the 20th second, so the figures move.
( sleep 10; exec stress-ng --cpu "$(nproc)" --cpu-load 60 --timeout 10 --quiet ) &
load=$!

"$bin/tools/keld4-coordinator" --listen $coord_ip --agent $agent_ip \
  --loglevel 1 --alive 1 --cpu-interval 1 --log-refresh 2 --resend 10 --duration 30 || true
