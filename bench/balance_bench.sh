#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Does keld4-coordinator balance? Six emulated servers of unequal capacity
# (balance_sim: servers that are also agents, and an open-loop client) behind
# a real HAProxy or the kernel's nftables, policies side by side on the same
# Poisson arrivals.
#
#   bench/balance_bench.sh [--scenarios LIST] [--policies LIST] [--seconds N]
#                          [--warmup N] [--jobs N] [--seed N]
#
# Scenarios (default all, in this order; "list" in LIST prints them):
#   w70 w90   capacity from workers (1,1,2,2,4,4 workers at speed 1), at 70/90 %
#   s70 s90   capacity from speed (1 worker at speed 1,1,2,2,4,4), at 70/90 %
#   step      w70 with the 4-worker server s5 halved to 2 workers at 40 % of the run
#   bg        s70 with background work taking half of s3 and s5 (load and the
#             oracle's weights count their remaining capacity)
#   tcp       s70 in mode tcp: 48 long-lived connections of 50 pipelined requests
#             (measured from 10 s later: the first connections, placed on
#             equal weights before any report, live up to that long)
#   tcp1      s70 in mode tcp, a connection per request
# Policies (default rr,lc,keld4-rr,keld4-lc,keld4-p2,oracle): behind HAProxy,
#   rr (roundrobin, equal weights), lc (leastconn), p2 (random(2): the less
#   busy of two servers drawn by weight), keld4-rr, keld4-lc and keld4-p2 (the
#   coordinator under each), oracle (roundrobin, static weights proportional
#   to capacity); in the kernel (name them: three more would not fit the
#   default run's six at once), l4 (an nftables table of the coordinator's
#   shape, each connection DNATed to a server drawn at random by weight; equal
#   weights), l4-oracle (static weights proportional to capacity) and keld4-l4
#   (the coordinator's --nftables driving the weights).
#
# One capacity unit (a worker at speed 1) serves 25 requests/s (exponential
# service times of mean 40 ms); each server queues 50 requests beyond its
# busy workers and answers 503 past that. A run is --warmup (default 5) s of
# traffic the figures leave out, then --seconds (default 25) s measured.
# Every policy of a scenario runs at once (--jobs, default 6), each in a
# network namespace of its own (loopback only: HAProxy on 127.0.0.1:8000, or
# for the kernel's policies the output chain's DNAT of 127.0.0.1:8000 with no
# HAProxy, servers 127.0.0.2-7:8080, agents 127.0.0.2-7 and the coordinator
# 127.0.0.1 on UDP 45002) and a temporary folder that is removed afterwards
# (KELD4_BALANCE_KEEP=1 keeps it; KELD4_BALANCE_RESULTS=FILE gets the figures
# as one JSON object a policy and scenario).
#
# The coordinator: KELD4_BALANCE_COORDINATOR (default the release build's
# keld4-coordinator, built first), run with its defaults plus the words of
# KELD4_BALANCE_COORD_ARGS (e.g. "--cpu-interval 1 --smoothing 1"); each
# server's initial weight in HAProxy is 256, as the README advises (100 in
# the kernel's table). Examples:
#   bench/balance_bench.sh                                   # everything, ~5 min
#   bench/balance_bench.sh --scenarios w70 --policies keld4-rr,lc --seconds 15
#   bench/balance_bench.sh --scenarios w70,w90,s90,tcp --policies l4,l4-oracle,keld4-l4,lc,oracle
#   KELD4_BALANCE_COORDINATOR=/work/wt/law/build/release/tools/keld4-coordinator \
#     KELD4_BALANCE_COORD_ARGS="--cpu-interval 1" bench/balance_bench.sh --scenarios w90,step
#
# Output: per scenario a table, one row per policy: the servers' utilization
# over the measured window (%), its spread (max-min, points) and CV, latency
# percentiles from the scheduled instant (ms; a failure is infinite, "inf"),
# failed requests, weight writes and reversals (from the coordinator's --json
# weight events; a reversal moves a server's weight the other way from its
# previous write), and in the step scenario the seconds from the step until
# s5's utilization (2 s windows every 0.5 s) stays within 10 points of the
# mean of the others to the end, for 3 s at least ("never" if it does not;
# under static weights it says only whether the halving happened to even them). "lag" is the
# generator's p99 lateness (ms) in handing requests to sockets: if it grows,
# the machine is too busy and the figures are not to be trusted (the table
# says so past 10 ms; do not run two of these benchmarks at once). Under each
# table: each coordinator or kernel policy's p99 as a multiple of lc's and the
# oracle's (and a kernel policy's of l4-oracle's), and its reversals as a
# share of its writes.
# Needs root (or user namespaces) and the Debian packages haproxy, python3,
# iproute2 and util-linux, and nftables for the kernel's policies.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bin=${KELD4_BALANCE_BIN:-$root/build/release}
sim=$bin/bench/balance_sim
coordinator=${KELD4_BALANCE_COORDINATOR:-$bin/tools/keld4-coordinator}

# ---- one policy of one scenario, inside its own network namespace ----
if [ "${1:-}" = --inner ]; then
  shift
  dir=$1 policy=$2 mode=$3 balance=$4 weights=$5 coord_s=$6
  shift 6
  ip link set lo up
  pids=()
  cleanup() {
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  }
  trap cleanup EXIT
  # The load balancer and the emulated fleet take little CPU but must not wait
  # for it behind the machine's other work: their timing is the measurement.
  rt=()
  [ "${KELD4_BALANCE_RT:-1}" = 0 ] || ! chrt -r 10 true 2>/dev/null || rt=(chrt -r 10)
  n=$(echo "$weights" | awk -F, '{ print NF }')
  if [ "$balance" = nft ]; then
    # In the kernel: the client's connections to the VIP meet the output
    # chain, which DNATs each to a server drawn by weight. The table has the
    # coordinator's shape and comments, so keld4-l4's coordinator adopts it
    # and starts from these equal weights, as HAProxy's from its configuration.
    {
      echo "service web 127.0.0.1:8000/tcp"
      for ((i = 0; i < n; i++)); do echo "  server s$i 127.0.0.$((i + 2)):8080"; done
    } >"$dir/services"
    echo "$weights" | awk -F, -v slots=1048576 '{
      for (i = 1; i <= NF; i++) total += $i
      m = "numgen random mod " slots
      printf "table ip keld4 {\n  map s0 {\n    typeof %s : ip daddr . tcp dport\n", m
      printf "    flags interval\n    elements = { "
      for (i = 1; i <= NF; i++) {
        sum += $i
        end = int(sum * slots / total)
        if (end > first) printf "%s%d-%d : 127.0.0.%d . 8080", (first ? ", " : ""), first, end - 1, i + 1
        first = end
      }
      printf " }\n  }\n"
      c = " comment \"web 127.0.0.1:8000/tcp\"\n"
      r = "    ip daddr 127.0.0.1 tcp dport 8000 dnat ip to " m " map @s0" c \
          "    ip daddr 127.0.0.1 tcp dport 8000 reject with tcp reset" c
      printf "  chain prerouting {\n    type nat hook prerouting priority dstnat; policy accept;\n%s  }\n", r
      printf "  chain output {\n    type nat hook output priority -100; policy accept;\n%s  }\n}\n", r
    }' >"$dir/table.nft"
    if ! nft -f "$dir/table.nft" 2>"$dir/nft.err"; then
      echo "nft did not take the table: $(head -c 300 "$dir/nft.err")" >"$dir/sim.out"
      exit 0
    fi
  else
    {
      echo "global"
      echo "  stats socket $dir/admin.sock level admin"
      echo "  nbthread 1"
      echo "  maxconn 4000"
      echo "defaults"
      echo "  mode $mode"
      echo "  timeout connect 2s"
      echo "  timeout client 30s"
      echo "  timeout server 30s"
      echo "frontend fe"
      echo "  bind 127.0.0.1:8000"
      echo "  default_backend be"
      echo "backend be"
      echo "  balance $balance"
      i=0
      for w in ${weights//,/ }; do
        echo "  server s$i 127.0.0.$((i + 2)):8080 weight $w"
        i=$((i + 1))
      done
    } >"$dir/haproxy.cfg"
    "${rt[@]}" haproxy -db -f "$dir/haproxy.cfg" 2>"$dir/haproxy.err" &
    pids+=($!)
    for _ in $(seq 100); do [ -S "$dir/admin.sock" ] && break; sleep 0.05; done
    if [ ! -S "$dir/admin.sock" ]; then
      echo "HAProxy did not start: $(grep -m1 ALERT "$dir/haproxy.err" || true)" >"$dir/sim.out"
      exit 0
    fi
  fi
  "${rt[@]}" "$sim" "$@" --frontend 127.0.0.1:8000 --coordinator 127.0.0.1:45002 --out "$dir" \
    >"$dir/sim.out" 2>&1 &
  sim_pid=$!
  pids+=("$sim_pid")
  # The coordinator once the agents listen: its first Coor_alive must reach them.
  for _ in $(seq 100); do [ -e "$dir/ready" ] && break; sleep 0.05; done
  if [[ $policy == keld4-* ]]; then
    cargs=(--listen 127.0.0.1 --port 45002 --json --duration "$coord_s")
    if [ "$balance" = nft ]; then cargs+=(--nftables "$dir/services") lb=web; else cargs+=(--haproxy "$dir/admin.sock") lb=be; fi
    for ((i = 0; i < n; i++)); do
      cargs+=(--agent "127.0.0.$((i + 2))" --server "127.0.0.$((i + 2))=$lb/s$i")
    done
    # shellcheck disable=SC2206 # the extra options are words on purpose
    extra=(${KELD4_BALANCE_COORD_ARGS:-})
    "$coordinator" "${cargs[@]}" "${extra[@]}" >"$dir/coord.json" 2>"$dir/coord.err" &
    pids+=($!)
  fi
  wait "$sim_pid" || echo "balance_sim failed: $?" >>"$dir/sim.out"
  exit 0
fi

scenarios=w70,w90,s70,s90,step,bg,tcp,tcp1
policies=rr,lc,keld4-rr,keld4-lc,keld4-p2,oracle
seconds=25 warmup=5 jobs=6 seed=28
usage() {
  echo "usage: $0 [--scenarios LIST] [--policies LIST] [--seconds N] [--warmup N] [--jobs N] [--seed N]" >&2
  exit 2
}
while (($#)); do
  [ $# -ge 2 ] || usage
  case $1 in
    --scenarios) scenarios=$2 ;;
    --policies) policies=$2 ;;
    --seconds) seconds=$2 ;;
    --warmup) warmup=$2 ;;
    --jobs) jobs=$2 ;;
    --seed) seed=$2 ;;
    *) usage ;;
  esac
  shift 2
done
if [ "$scenarios" = list ]; then
  sed -n '/^# Scenarios/,/^# Policies/p' "$0" | sed '$d'
  exit 0
fi
for v in "$seconds" "$warmup" "$jobs" "$seed"; do [[ $v =~ ^[0-9]+$ ]] || usage; done
((seconds >= 5 && seconds <= 300 && warmup <= 60 && jobs >= 1 && jobs <= 8)) || usage
tools=(python3 ip unshare)
[[ ,$policies, =~ ,(rr|lc|p2|keld4-rr|keld4-lc|keld4-p2|oracle), ]] && tools+=(haproxy)
[[ ,$policies, =~ ,(l4|l4-oracle|keld4-l4), ]] && tools+=(nft)
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || {
    echo "$0: needs $tool (haproxy nftables python3 iproute2 util-linux)" >&2
    exit 1
  }
done
if [ -z "${KELD4_BALANCE_BIN:-}" ]; then
  targets=(balance_sim)
  [ -n "${KELD4_BALANCE_COORDINATOR:-}" ] || targets+=(keld4-coordinator)
  cmake --preset release >/dev/null
  cmake --build --preset release -j 2 --target "${targets[@]}" >/dev/null
fi
[ -x "$coordinator" ] || {
  echo "$0: no coordinator at $coordinator" >&2
  exit 1
}
if [ "$(id -u)" = 0 ]; then ns=(unshare -n); else ns=(unshare -r -n); fi

work=$(mktemp -d /tmp/keld4-balance-XXXXXX)
running=()
cleanup() {
  for p in "${running[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${running[@]}"; do wait "$p" 2>/dev/null || true; done
  if [ -n "${KELD4_BALANCE_KEEP:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 143' TERM INT

unit=25 # requests/s of one worker at speed 1 (mean 40 ms)
echo "balance_bench: scenarios $scenarios; policies $policies; ${warmup} s warm-up + ${seconds} s" \
  "measured; seed $seed; $jobs at once; coordinator $coordinator ${KELD4_BALANCE_COORD_ARGS:-}"
for sc in ${scenarios//,/ }; do
  mode=http extra=() bg= wu=$warmup
  case $sc in
    w70 | w90 | step) fleet=1:1,1:1,2:1,2:1,4:1,4:1 caps=1,1,2,2,4,4 ;;
    s70 | s90 | bg | tcp | tcp1) fleet=1:1,1:1,1:2,1:2,1:4,1:4 caps=1,1,2,2,4,4 ;;
    *)
      echo "$0: no scenario '$sc'" >&2
      exit 2
      ;;
  esac
  load=70
  case $sc in
    w90 | s90) load=90 ;;
    step) extra=(--step "5@$(awk "BEGIN { print $warmup + 0.4 * $seconds }")") ;;
    bg) bg=3,5 caps=1,1,2,1,4,2 extra=(--background "$bg") ;;
    # The first connections are placed on equal weights before any report
    # and carry their 50 requests for some 10 s: no weight can move them, so
    # the figures start once they have ended.
    tcp) mode=tcp wu=$((warmup + 10)) extra=(--mode tcp --pool 48 --per-conn 50) ;;
    tcp1) mode=tcp extra=(--mode tcp --pool 48 --per-conn 1) ;;
  esac
  total=$((wu + seconds))
  capsum=$((${caps//,/+}))
  rate=$(awk "BEGIN { print $load / 100 * $unit * $capsum }")
  mkdir -p "$work/$sc"
  echo "$sc fleet=$fleet caps=$caps load=$load rate=$rate mode=$mode end=$total ${extra[*]}" >"$work/$sc/scenario"
  running=()
  for pol in ${policies//,/ }; do
    case $pol in
      rr | keld4-rr) balance=roundrobin weights=256,256,256,256,256,256 ;;
      lc | keld4-lc) balance=leastconn weights=256,256,256,256,256,256 ;;
      p2 | keld4-p2) balance='random(2)' weights=256,256,256,256,256,256 ;;
      l4 | keld4-l4) balance=nft weights=100,100,100,100,100,100 ;;
      oracle | l4-oracle)
        balance=roundrobin
        [ "$pol" = oracle ] || balance=nft
        weights=$(echo "$caps" | awk -F, '{ for (i = 1; i <= NF; i++) printf "%s%d", (i > 1 ? "," : ""), 25 * $i }')
        ;;
      *)
        echo "$0: no policy '$pol'" >&2
        exit 2
        ;;
    esac
    dir=$work/$sc/$pol
    mkdir -p "$dir"
    while ((${#running[@]} >= jobs)); do
      wait "${running[0]}" || true
      running=("${running[@]:1}")
    done
    KELD4_BALANCE_COORDINATOR=$coordinator "${ns[@]}" "$0" --inner "$dir" "$pol" "$mode" "$balance" \
      "$weights" "$((total + 12))" --servers "$fleet" --mean-ms 40 --rate "$rate" --warmup "$wu" \
      --seconds "$seconds" --seed "$seed" --queue 50 "${extra[@]}" &
    running+=($!)
  done
  for p in "${running[@]}"; do wait "$p" || true; done
  running=()
  python3 "$root/bench/balance_report.py" "$work/$sc" "${policies//,/ }"
done
[ -z "${KELD4_BALANCE_RESULTS:-}" ] || cp "$work/results.jsonl" "$KELD4_BALANCE_RESULTS"
