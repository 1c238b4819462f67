#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# CPU load accuracy: puts known loads on the machine with stress-ng and
# compares the load the agent's sampler reports with the machine's own
# figure over the same window (/proc/stat read here, and mpstat when sysstat
# is installed).
#
#   bench/cpu_accuracy.sh [PROBE]
#
# PROBE is the cpu_sampler_probe program (default: build*/bench/ or the
# environment variable CPU_SAMPLER_PROBE). Needs stress-ng. About 10 s per
# load level, five levels. The machine's other work adds to every level, so
# the nominal level is a guide; the comparison is sampler against the
# independent figure.
set -u

WINDOW=${CPU_ACCURACY_WINDOW:-8}    # seconds measured per level
SETTLE=1                            # seconds for stress-ng to reach its load
LEVELS="0 25 50 75 100"

here=$(cd "$(dirname "$0")/.." && pwd)
probe=${1:-${CPU_SAMPLER_PROBE:-}}
if [ -z "$probe" ]; then
  for candidate in "$here"/build*/bench/cpu_sampler_probe "$here"/build*/cpu_sampler_probe; do
    if [ -x "$candidate" ]; then probe=$candidate; break; fi
  done
fi
if [ -z "$probe" ] || [ ! -x "$probe" ]; then
  echo "cpu_sampler_probe not found; pass its path" >&2
  exit 2
fi
if ! command -v stress-ng >/dev/null; then
  echo "stress-ng is needed (apt-get install stress-ng)" >&2
  exit 2
fi
have_mpstat=0
command -v mpstat >/dev/null && have_mpstat=1
cpus=$(nproc)

# Prints "busy total" of the aggregate cpu line, in ticks (idle = idle + iowait,
# total without guest, which user already holds).
stat_sample() {
  awk '$1 == "cpu" {
         total = $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9
         print total - ($5 + $6), total
         exit
       }' /proc/stat
}

stress_pid=
cleanup() {
  if [ -n "$stress_pid" ]; then
    kill "$stress_pid" 2>/dev/null
    wait "$stress_pid" 2>/dev/null
  fi
}
trap cleanup EXIT INT TERM

printf '%-8s %10s %12s %10s %10s\n' "level%" "sampler" "/proc/stat" "mpstat" "deviation"
max_dev=0
failed=0
for level in $LEVELS; do
  stress_pid=
  if [ "$level" -gt 0 ]; then
    stress-ng --cpu "$cpus" --cpu-load "$level" --timeout $((SETTLE + WINDOW + 3))s \
      >/dev/null 2>&1 &
    stress_pid=$!
  fi
  sleep "$SETTLE"

  mp_file=$(mktemp)
  mp_pid=
  if [ "$have_mpstat" = 1 ]; then
    LC_ALL=C mpstat "$WINDOW" 1 >"$mp_file" 2>/dev/null &
    mp_pid=$!
  fi
  read -r busy0 total0 < <(stat_sample)
  out=$(timeout $((WINDOW + 10)) "$probe" "$WINDOW" 2>&1)
  rc=$?
  read -r busy1 total1 < <(stat_sample)
  [ -n "$mp_pid" ] && wait "$mp_pid"
  cleanup
  stress_pid=

  mp="-"
  if [ "$have_mpstat" = 1 ]; then
    mp=$(awk '/^Average:/ && $2 == "all" { printf "%.1f", 100 - $NF }' "$mp_file")
    [ -z "$mp" ] && mp="-"
  fi
  rm -f "$mp_file"

  reference=$(awk -v b="$((busy1 - busy0))" -v t="$((total1 - total0))" \
    'BEGIN { if (t > 0) printf "%.1f", 100 * b / t; else print "-" }')
  if [ $rc -ne 0 ] || [ "${out%% *}" != "load" ]; then
    printf '%-8s %10s %12s %10s %10s\n' "$level" "failed" "$reference" "$mp" "-"
    echo "  probe: $out" >&2
    failed=1
    continue
  fi
  load=${out#load }
  dev=$(awk -v a="$load" -v b="$reference" 'BEGIN { d = a - b; if (d < 0) d = -d; printf "%.1f", d }')
  max_dev=$(awk -v a="$dev" -v m="$max_dev" 'BEGIN { print (a > m) ? a : m }')
  printf '%-8s %10s %12s %10s %10s\n' "$level" "$load" "$reference" "$mp" "$dev"
done

printf 'cpu accuracy: max deviation %.1f points\n' "$max_dev"
[ $failed -eq 0 ]
