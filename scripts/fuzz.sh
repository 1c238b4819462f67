#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for SECONDS (default 60) on a
# working copy of its seed corpus, so the repository is never modified.
# Fails when any target finds a crash, a leak, a hang or a sanitizer report;
# the input that did it is kept under the build directory.
#
#   scripts/fuzz.sh [SECONDS]
#   scripts/fuzz.sh --build   only build the targets
#   KELD4_FUZZ_BUILD=dir   build directory (default build/fuzz)
#   KELD4_FUZZ_TARGETS="fuzz_regfile ..."   only these targets
#   KELD4_FUZZ_JOBS=n      targets fuzzed at once (default: processors; each
#                          fuzzer uses one)
set -euo pipefail

build_only=
[ "${1:-}" = --build ] && { build_only=1; shift; }
seconds=${1:-60}
case "$seconds" in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELD4_FUZZ_BUILD:-$root/build/fuzz}
read -r -a targets <<< "${KELD4_FUZZ_TARGETS:-fuzz_receive fuzz_regfile fuzz_procfiles}"

# Largest input per target: a datagram up to the IPv4 maximum (65,507 bytes)
# plus the option byte; store files and /proc texts of realistic size.
max_len() {
  case "$1" in
    fuzz_receive) echo 66000 ;;
    *) echo 65536 ;;
  esac
}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKELD4_FUZZ=ON -DKELD4_TESTS=OFF -DKELD4_SANITIZE=address,undefined > /dev/null
ninja -C "$build" "${targets[@]}"
[ -z "$build_only" ] || exit 0

work=$(mktemp -d "${TMPDIR:-/tmp}/keld4-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"

# One target on its own working corpus; its exit status goes to a file.
fuzz_one() {
  local target=$1 corpus=$work/$1 rc=0
  mkdir -p "$corpus"
  cp "$root/fuzz/corpus/$target/"* "$corpus/"
  "$build/fuzz/$target" -max_total_time="$seconds" -max_len="$(max_len "$target")" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
    "$corpus" > "$work/$target.log" 2>&1 || rc=$?
  echo "$rc" > "$work/$target.rc"
}

jobs=${KELD4_FUZZ_JOBS:-$(nproc)}
running=0
for target in "${targets[@]}"; do
  echo "=== $target: ${seconds}s"
  fuzz_one "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait

status=0
summary=()
for target in "${targets[@]}"; do
  out=$work/$target.log
  rc=$(cat "$work/$target.rc")
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$out" | tail -n 1 || true)
  runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$out" | tail -n 1)
  cov=$(echo "$done_line" | sed -nE 's/.* cov: ([0-9]+).*/\1/p')
  ft=$(echo "$done_line" | sed -nE 's/.* ft: ([0-9]+).*/\1/p')
  corp=$(echo "$done_line" | sed -nE 's/.* corp: ([0-9]+\/[0-9A-Za-z]+).*/\1/p')
  if [ "$rc" -ne 0 ] || [ -z "$done_line" ]; then
    status=1
    # The report, from the first line of the sanitizer, libFuzzer or the
    # harness to the sanitizer's summary; the whole log if there is none.
    awk '/^==[0-9]+==ERROR|^==[0-9]+== ERROR|^fuzz_[a-z]+: |ERROR: libFuzzer/ { on = 1 }
         on && n < 60 { print; n++ }
         /^SUMMARY:/ { on = 0 }' "$out" > "$work/report"
    if [ -s "$work/report" ]; then cat "$work/report"; else tail -n 40 "$out"; fi
    found=$(sed -nE 's/.*Test unit written to (.*)$/\1/p' "$out" | tail -n 1)
    summary+=("$target: FAILED (exit $rc) after ${runs:-?} runs${found:+; input kept in $found}")
  else
    summary+=("$target: ${runs:-?} runs, cov: ${cov:-?} ft: ${ft:-?} corpus: ${corp:-?} in ${seconds}s")
  fi
done

echo
echo "=== fuzz summary"
printf '%s\n' "${summary[@]}"
exit $status
