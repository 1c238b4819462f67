# SPDX-License-Identifier: Apache-2.0
# Stages of a test run, sourced by scripts/test.sh (and by its own test,
# tests/scripts/stages-test.sh).
#
#   run_stage NAME -- COMMAND [ARG...]
#
# runs COMMAND (a program or a shell function) in a subshell with `set -e`,
# whatever earlier stages did. Its output goes to the terminal and to
# $KELD4_STAGE_LOGS/NAME.log; on failure the log's tail is shown again, so
# the cause is next to the verdict. Exit status 0 is a pass, 77 a skip (the
# stage says why), anything else a failure; a stage whose script is not
# executable fails. Test counts are read from the ctest summary lines in the
# log; a stage without any counts as one test of its own.
#
# The summary (a table: stage, result, tests passed and failed, seconds,
# then the plain line "N passed, M failed" last) is printed from the EXIT
# trap, so an interrupted run still says what it did. The run exits
# non-zero when any stage failed.

KELD4_STAGE_LOGS=${KELD4_STAGE_LOGS:-$PWD/build/test-logs}
mkdir -p "$KELD4_STAGE_LOGS"
stage_rows=()
stages_failed=0
total_passed=0
total_failed=0

run_stage() {
  local name=$1
  shift
  [ "${1:-}" = "--" ] && shift
  local log=$KELD4_STAGE_LOGS/$name.log
  local start rc=0 result passed=- failed=-
  start=$(date +%s)
  echo
  echo "=== $name: $*"
  : > "$log"
  if [[ $1 == */* && ! -x $1 ]]; then
    echo "$1 is not executable" | tee -a "$log"
    rc=1
  else
    (set -e; "$@") 2>&1 | tee -a "$log"
    rc=${PIPESTATUS[0]}
  fi
  local seconds=$(($(date +%s) - start))
  # ctest's own summary: "97% tests passed, 3 tests failed out of 100".
  local counts
  counts=$(sed -nE 's/.*tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1 \2/p' "$log" |
    awk '{ f += $1; t += $2 } END { if (NR) print t - f, f }')
  if [ -n "$counts" ]; then
    read -r passed failed <<< "$counts"
  fi
  case $rc in
    0) result=pass ;;
    77) result=skip ;;
    *) result=fail ;;
  esac
  if [ "$result" = fail ]; then
    stages_failed=$((stages_failed + 1))
    echo "--- $name failed (exit $rc); the end of $log:"
    tail -n 40 "$log"
  fi
  if [ "$passed" = - ] && [ "$result" != skip ]; then
    # Counted as one test, so that the last line shows a failure too.
    if [ "$result" = pass ]; then total_passed=$((total_passed + 1)); else total_failed=$((total_failed + 1)); fi
  elif [ "$passed" != - ]; then
    total_passed=$((total_passed + passed))
    total_failed=$((total_failed + failed))
    # A stage that failed outside its tests (a build after them, a crash
    # of ctest) still counts as a failure.
    if [ "$result" = fail ] && [ "$failed" -eq 0 ]; then total_failed=$((total_failed + 1)); fi
  fi
  stage_rows+=("$(printf '%-28s %-6s %7s %7s %8s' "$name" "$result" "$passed" "$failed" "$seconds")")
  return 0
}

stages_summary() {
  local rc=$?
  echo
  echo "=== summary (logs in $KELD4_STAGE_LOGS)"
  printf '%-28s %-6s %7s %7s %8s\n' stage result passed failed seconds
  local row
  for row in "${stage_rows[@]}"; do echo "$row"; done
  # An interrupted or broken run is a failure even if no stage failed.
  if [ "$stages_failed" -eq 0 ] && [ "$rc" -ne 0 ]; then
    echo "the run ended early (exit $rc)"
    total_failed=$((total_failed + 1))
  fi
  [ "$stages_failed" -eq 0 ] || echo "$stages_failed stage(s) failed"
  echo "$total_passed passed, $total_failed failed"
  if [ "$stages_failed" -ne 0 ] || [ "$rc" -ne 0 ]; then exit 1; fi
  exit 0
}
trap stages_summary EXIT
