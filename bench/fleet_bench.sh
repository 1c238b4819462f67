#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# keld4-coordinator carrying a fleet: fleet_sim (AGENTS agents in one process,
# each reporting from an address of its own at the periods its Coor_alive
# gives, spread over each second) against the coordinator and a real HAProxy
# holding one server per agent, 4,000 servers a backend.
#
#   bench/fleet_bench.sh [--metrics] [--nftables] [AGENTS] [SECONDS]   # default 10000 agents, 30 s
#
# --metrics runs the coordinator with --metrics 127.0.0.1:9170 (loopback of
# its namespace) and, from 4 s into the run to its end, scrapes /metrics every
# 15 s and fetches one backend's status page every 5 s with curl (gzip, as
# Prometheus and a browser ask), so its figures include what watching costs.
#
# --nftables drives the kernel's nftables table instead of HAProxy (a service
# of 4,000 servers for each HAProxy backend): the same reports and steps, the
# coordinator's cost and the table's writes. The map holds shares, not
# weights, and every agent steps alike, so the step's latency is not read.
#
# The coordinator and HAProxy run in one network namespace, the fleet in a
# second one joined to it by a veth pair; the fleet's addresses (10.80.0.0/12)
# are local to its namespace and routed to it, so nothing leaves the machine.
# Every agent's load steps from 10 to 90 at a third of the run and back at two
# thirds; a poller reads HAProxy's weights (show servers state) every 100 ms
# after each step. Prints one block of results. Builds the release preset
# first. Needs root (or user namespaces) and the Debian packages haproxy,
# time, python3, iproute2, util-linux and procps. KELD4_FLEET_RCVBUF sets the
# coordinator's --rcvbuf (default: its own default); KELD4_FLEET_COORDINATOR
# names another keld4-coordinator to run (a sanitizer build, say);
# KELD4_FLEET_LAW its --law (default linear: every agent's load steps alike,
# which the even law, comparing servers, rightly leaves alone, so only the
# straight line puts the whole fleet's weights through the socket).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
args=("$@")
metrics=0 nft=0
while [ "${1:-}" = --metrics ] || [ "${1:-}" = --nftables ]; do
  [ "$1" = --metrics ] && metrics=1
  [ "$1" = --nftables ] && nft=1
  shift
done
bin=$root/build/release
coordinator=${KELD4_FLEET_COORDINATOR:-$bin/tools/keld4-coordinator}
agents=${1:-10000}
seconds=${2:-30}
if ! [[ $agents =~ ^[0-9]+$ && $seconds =~ ^[0-9]+$ ]] || ((agents < 1 || agents > 200000 ||
  seconds < 9 || seconds > 600)); then
  echo "usage: $0 [--metrics] [--nftables] [AGENTS 1-200000] [SECONDS 9-600]" >&2
  exit 2
fi

if [ "${KELD4_BENCH_INNER:-}" != 1 ]; then
  for tool in haproxy /usr/bin/time python3 ip unshare nsenter pgrep curl; do
    command -v "$tool" >/dev/null || {
      echo "$0: needs $tool (haproxy time python3 iproute2 util-linux procps curl)" >&2
      exit 1
    }
  done
  cmake --preset release >/dev/null
  cmake --build --preset release -j 2 --target keld4-coordinator fleet_sim >/dev/null
  export KELD4_BENCH_INNER=1
  if [ "$(id -u)" = 0 ]; then flags=(-n); else flags=(-r -n); fi
  exec unshare "${flags[@]}" "$0" "${args[@]}"
fi

work=$(mktemp -d /tmp/keld4-fleet-XXXXXX)
pids=()
holder=
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  [ -z "$holder" ] || kill "$holder" 2>/dev/null || true
  if [ -n "${KELD4_BENCH_KEEP:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 143' TERM INT
ip link set lo up

# The fleet's namespace, held open by a sleeper that outlives the run.
unshare -n sleep $((seconds + 120)) &
holder=$!
while [ "$(readlink /proc/$holder/ns/net)" = "$(readlink /proc/self/ns/net)" ]; do sleep 0.05; done
ip link add kfc type veth peer name kfs
ip link set kfs netns "$holder"
nsenter -t "$holder" -n sh -c "ip link set lo up && ip addr add 10.77.0.2/24 dev kfs &&
  ip link set kfs up && ip route add local 10.80.0.0/12 dev lo"
ip addr add 10.77.0.1/24 dev kfc
ip link set kfc up
ip route add 10.80.0.0/12 via 10.77.0.2

# HAProxy: one server per agent, never contacted (no checks, no frontend).
python3 - "$agents" "$work" "$nft" <<'PY'
import sys
n, work, nft = int(sys.argv[1]), sys.argv[2], sys.argv[3] == "1"
per = 4000
services = []
cfg = ["global", "  stats socket %s/admin.sock level admin" % work, "  nbthread 1",
       "defaults", "  mode http", "  timeout connect 1s", "  timeout client 5s",
       "  timeout server 5s"]
mapping = []
for i in range(n):
    if i % per == 0:
        cfg += ["backend b%d" % (i // per), "  balance roundrobin"]
    a = 0x0A500001 + i  # 10.80.0.1 + i
    s = 0x0A600001 + i  # 10.96.0.1 + i
    dot = lambda v: "%d.%d.%d.%d" % (v >> 24, v >> 16 & 255, v >> 8 & 255, v & 255)
    cfg.append("  server s%d %s:80 weight 100" % (i, dot(s)))
    mapping.append("%s=b%d/s%d" % (dot(a), i // per, i))
    if i % per == 0:
        services.append("service b%d 10.200.%d.1:80/tcp" % (i // per, i // per))
    services.append("  server s%d %s:80" % (i, dot(s)))
open(work + "/haproxy.cfg", "w").write("\n".join(cfg) + "\n")
open(work + "/services", "w").write("\n".join(services) + "\n")
open(work + "/map.txt", "w").write("\n".join(mapping) + "\n")
PY
haproxy_pid=0
balancer=(--haproxy "$work/admin.sock")
if ((nft)); then
  balancer=(--nftables "$work/services")
else
  haproxy -db -q -f "$work/haproxy.cfg" &
  haproxy_pid=$!
  pids+=("$haproxy_pid")
  for _ in $(seq 100); do [ -S "$work/admin.sock" ] && break; sleep 0.1; done
fi

nsenter -t "$holder" -n "$bin/bench/fleet_sim" 10.80.0.1 "$agents" 10.77.0.1 45002 "$seconds" \
  "$work/steps" >"$work/sim.out" &
sim_pid=$!
pids+=("$sim_pid")
sleep 0.3
max_agents=$((agents > 16384 ? agents : 16384))
extra=()
[ -z "${KELD4_FLEET_RCVBUF:-}" ] || extra=(--rcvbuf "$KELD4_FLEET_RCVBUF")
((metrics == 0)) || extra+=(--metrics 127.0.0.1:9170)
/usr/bin/time -f '%e %U %S %M' -o "$work/coord.time" "$coordinator" \
  --listen 10.77.0.1 --port 45002 --config "$work/map.txt" "${balancer[@]}" \
  --alive 1 --cpu-interval 1 --smoothing 1 --resend 30 --max-agents "$max_agents" --json \
  --law "${KELD4_FLEET_LAW:-linear}" --duration "$seconds.5" "${extra[@]}" >"$work/coord.json" 2>"$work/coord.err" &
time_pid=$!
pids+=("$time_pid")
coord_pid=
for _ in $(seq 50); do
  coord_pid=$(pgrep -P "$time_pid" || true)
  [ -n "$coord_pid" ] && break
  sleep 0.02
done

# The watcher (--metrics): a tick a second from 4 s to the run's end; each
# fetch is bounded by 10 s and logs "what status bytes seconds".
watch_pid=
if ((metrics)); then
  (
    sleep 4
    for ((i = 4; i < seconds; i++)); do
      sleep 1 &
      for what in metrics page; do
        if [ "$what" = metrics ] && (((i - 4) % 15 == 0)); then url=/metrics
        elif [ "$what" = page ] && (((i - 4) % 5 == 0)); then url='/?backend=b0'
        else continue; fi
        curl -s -o /dev/null --max-time 10 -H 'Accept-Encoding: gzip' \
          -w "$what %{http_code} %{size_download} %{time_total}\n" \
          "http://127.0.0.1:9170$url" >>"$work/watch.log" || true
      done
      wait
    done
  ) &
  watch_pid=$!
  pids+=("$watch_pid")
fi

# The poller: CPU of both programs in a quiet window (reports only, no weight
# moves), the cost of one show servers state there, then the weights after
# each step.
python3 - "$work" "$seconds" "$coord_pid" "$haproxy_pid" >"$work/poll.out" <<'PY'
import socket, sys, time
work, seconds, cpid, hpid = sys.argv[1], float(sys.argv[2]), sys.argv[3], sys.argv[4]
hz = 100.0
t0 = time.time()
nft = hpid == "0"  # no HAProxy: the nftables table
def cpu(pid):
    if pid == "0":
        return 0.0
    f = open("/proc/%s/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(f[11]) + int(f[12])) / hz
def ask(cmd):
    s = socket.socket(socket.AF_UNIX)
    s.connect(work + "/admin.sock")
    s.sendall((cmd + "\n").encode())
    out = []
    while True:
        d = s.recv(1 << 20)
        if not d:
            break
        out.append(d)
    return b"".join(out).decode()
def weights():
    w = {}
    if nft:
        return w
    for line in ask("show servers state").splitlines():
        f = line.split()
        if len(f) > 8 and f[3].startswith("s") and f[3][1:].isdigit():
            w[int(f[3][1:])] = int(f[7])  # srv_name, srv_uweight
    return w
def sleep_until(t):
    d = t - time.time()
    if d > 0:
        time.sleep(d)
step1, step2 = t0 + seconds / 3 - 0.3, t0 + 2 * seconds / 3 - 0.3
q0, q1 = t0 + 3, step1 - 1.5
sleep_until(q0)
c0, h0, w0 = cpu(cpid), cpu(hpid), time.time()
sleep_until(q1)
c1, h1, w1 = cpu(cpid), cpu(hpid), time.time()
print("quiet_window=%.1f" % (w1 - w0))
print("coord_cpu_quiet=%.2f" % (100 * (c1 - c0) / (w1 - w0)))
print("haproxy_cpu_quiet=%.2f" % (100 * (h1 - h0) / (w1 - w0)))
polls = 5
hp = cpu(hpid)
for _ in range(0 if nft else polls):
    weights()
print("poll_cost_ms=%.1f" % (1000 * (cpu(hpid) - hp) / max(polls, 1)))
seen = [{}, {}]
h_steps = 0.0
polls_done = 0
for k, (start, low) in enumerate(((step1, True), (step2, False))):
    sleep_until(start)
    hs = cpu(hpid)
    end = start + min(6.0, seconds / 3 - 1)
    while time.time() < end:
        t = time.time()
        for i, w in weights().items():
            if i not in seen[k] and ((w < 50) if low else (w > 50)):
                seen[k][i] = t
        polls_done += 0 if nft else 1
        sleep_until(t + 0.1)
    h_steps += cpu(hpid) - hs
for k in (0, 1):
    with open("%s/seen%d" % (work, k), "w") as f:
        for i, t in seen[k].items():
            f.write("%d %.6f\n" % (i, t))
print("haproxy_cpu_steps_s=%.3f" % h_steps)
print("step_polls=%d" % polls_done)
peak = [l for l in open("/proc/%s/status" % cpid) if l.startswith("VmHWM")]
print("coord_vmhwm_kb=%s" % peak[0].split()[1])
PY
wait "$sim_pid" || true
wait "$time_pid" || true
[ -z "$watch_pid" ] || wait "$watch_pid" || true
pids=("$haproxy_pid")

python3 - "$work" "$agents" "$seconds" <<'PY'
import json, sys
work, n, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
kv = lambda path: dict(l.strip().split("=", 1) for l in open(path) if "=" in l)
sim, poll = kv(work + "/sim.out"), kv(work + "/poll.out")
elapsed, user, system, maxrss = open(work + "/coord.time").read().split()[-4:]
end, events, commands = None, {}, 0
for line in open(work + "/coord.json"):
    e = json.loads(line)
    events[e["event"]] = events.get(e["event"], 0) + 1
    if e["event"] in ("weight", "state"):
        commands += 1
    if e["event"] == "end":
        end = e
steps = {}
for line in open(work + "/steps"):
    i, a, b = line.split()
    steps[int(i)] = (float(a), float(b))
def pct(v, p):
    v = sorted(v)
    return v[min(len(v) - 1, int(p / 100.0 * len(v)))] if v else float("nan")
from_report, from_step, missing = [], [], 0
step_at = (float(sim["step1"]), float(sim["step2"]))
for k in (0, 1):
    seen = {}
    for line in open("%s/seen%d" % (work, k)):
        i, t = line.split()
        seen[int(i)] = float(t)
    for i in range(n):
        if i not in seen or steps[i][k] == 0:
            missing += 1
            continue
        from_report.append(seen[i] - steps[i][k])
        from_step.append(seen[i] - step_at[k])
sent = int(sim["sent"])
received = end["valid"] + end["malformed"] if end else 0
cpu_total = float(user) + float(system)
print("agents                      %d, %d s at 1-second alive and CPU-load periods" % (n, seconds))
print("datagrams sent              %d (fleet_sim; %s failed to send)" % (sent, sim["send_failed"]))
print("datagrams received          %d (coordinator, valid %d)" % (received, end["valid"] if end else 0))
print("datagrams lost              %d; kernel drops counted by the coordinator %d; wrong source %d" % (
    sent - received, end["kernel_drops"] if end else -1, end["source_drops"] if end else -1))
print("agents configured           %s of %d (fleet_sim); coordinator: %s, %s Coor_alive sent, %s failed, "
      "%s received by the fleet" % (sim["configured"], n, end["configured"] if end else "?",
      end["sent"] if end else "?", end["send_failed"] if end else "?", sim["coor_alive"]))
print("coordinator CPU             %.1f %% of one core over the run (%.2f s in %s s, start-up included); "
      "%s %% in the quiet window (%s s, reports only)" % (
    100 * cpu_total / float(elapsed), cpu_total, elapsed, poll["coord_cpu_quiet"], poll["quiet_window"]))
print("coordinator peak RSS        %.1f MiB (VmHWM %.1f MiB)" % (int(maxrss) / 1024.0,
    int(poll["coord_vmhwm_kb"]) / 1024.0))
if not from_report:
    print("load step -> weight           not read (nftables: the map holds shares, not weights)")
else:
  print("load step -> HAProxy weight from the first report with the new load: p50 %.3f s, p99 %.3f s, "
      "max %.3f s (%d samples, %d missing; 100 ms polls)" % (
    pct(from_report, 50), pct(from_report, 99), max(from_report or [float("nan")]), len(from_report), missing))
  print("load step -> HAProxy weight from the step instant (includes up to one report period): "
      "p50 %.3f s, p99 %.3f s" % (pct(from_step, 50), pct(from_step, 99)))
print("HAProxy Runtime API         %d set commands in the run (%.0f per second over %.0f s); HAProxy "
      "CPU %s %% in the quiet window" % (commands, commands / seconds, seconds, poll["haproxy_cpu_quiet"]))
h_cmd = float(poll["haproxy_cpu_steps_s"]) - int(poll["step_polls"]) * float(poll["poll_cost_ms"]) / 1000
print("HAProxy cost of commands    %.1f us per command (CPU in the step windows %.3f s less %s polls "
      "at %s ms)" % (1e6 * max(h_cmd, 0) / max(commands, 1), float(poll["haproxy_cpu_steps_s"]),
      poll["step_polls"], poll["poll_cost_ms"]))
print("coordinator events          %s" % ", ".join("%s %d" % kv for kv in sorted(events.items())))
try:
    watch = [l.split() for l in open(work + "/watch.log")]
except FileNotFoundError:
    watch = None
for what in ("metrics", "page") if watch is not None else ():
    got = [w for w in watch if w[0] == what]
    ok = [w for w in got if w[1] == "200"]
    size = [int(w[2]) for w in ok] or [0]
    print("--metrics %-17s %d fetched, %d answered 200; %d-%d bytes gzipped, slowest %.0f ms" % (
        "/metrics" if what == "metrics" else "/?backend=b0", len(got), len(ok), min(size),
        max(size), 1000 * max([float(w[3]) for w in ok] or [0])))
PY
if [ -s "$work/coord.err" ]; then
  echo "coordinator stderr (first lines):"
  head -5 "$work/coord.err"
fi
