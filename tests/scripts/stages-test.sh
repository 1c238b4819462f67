#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Test of the stage runner behind scripts/test.sh, with stub stages: one
# passes with test counts, one fails in its "configure", one fails in its
# tests, one skips, one names a script that is not executable, one passes
# after them all. Run by hand, not in CI (its stages fail on purpose):
#
#   tests/scripts/stages-test.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/keld4-stages.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
expect() { grep -qE "$1" "$work/out" || fail "no line matching '$1'"; }
# Runs the stages given on stdin with the runner; output in $work/out.
run() {
  {
    echo "cd '$work'; KELD4_STAGE_LOGS='$work/logs'; . '$root/scripts/stages.sh'"
    cat
  } > "$work/run.sh"
  rc=0
  bash "$work/run.sh" > "$work/out" 2>&1 || rc=$?
}

run << 'STAGES'
passing() { echo "100% tests passed, 0 tests failed out of 3"; }
configure_fails() { echo "CMake Error: the compiler is broken"; false; echo "went on after a failure"; }
tests_fail() { echo "50% tests passed, 2 tests failed out of 4"; return 8; }
skips() { echo "no Wine here"; exit 77; }
touch not-executable.sh
run_stage passing -- passing
run_stage configure -- configure_fails
run_stage tests -- tests_fail
run_stage skipped -- skips
run_stage script -- ./not-executable.sh
run_stage after -- true
STAGES
[ "$rc" -ne 0 ] || fail "the run exited 0 with failed stages"
expect '^passing +pass +3 +0 +[0-9]+$'
expect '^configure +fail +- +- +[0-9]+$'
expect '^tests +fail +2 +2 +[0-9]+$'
expect '^skipped +skip +- +- +[0-9]+$'
expect '^script +fail +- +- +[0-9]+$'
expect '^after +pass +- +- +[0-9]+$'
expect '^\./not-executable\.sh is not executable$'
expect '^3 stage\(s\) failed$'
! grep -q "went on after a failure" "$work/out" || fail "a stage went on after a failing command"
# The cause is shown again after the verdict.
grep -A3 '^--- configure failed (exit 1)' "$work/out" | grep -q "CMake Error" ||
  fail "the failed stage's log tail is not shown"
last=$(tail -n 1 "$work/out")
[ "$last" = "6 passed, 4 failed" ] || fail "last line '$last'"

# A run whose own script breaks after its stages passed still fails.
run << 'STAGES'
run_stage ok -- true
exit 3
STAGES
[ "$rc" -ne 0 ] || fail "a broken run exited 0"
expect '^1 passed, 1 failed$'

run <<< 'run_stage ok -- true'
[ "$rc" -eq 0 ] || fail "a passing run exited $rc"

if [ "$failures" -ne 0 ]; then
  echo "--- output of the last run:"
  cat "$work/out"
  echo "stages test: $failures failed"
  exit 1
fi
echo "stages test: passed"
