#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what the tests need, builds, and runs the whole test suite, one
# stage after another whatever the earlier ones did: the unit and
# acceptance tests in one Debug build with AddressSanitizer and
# UndefinedBehaviorSanitizer, the threaded tests under ThreadSanitizer, the
# Windows cross build with its unit tests under Wine, a bounded run of each
# fuzz target, the static checks, the Debian package and the Windows
# service under Wine. Ends with a table of the stages (result, tests, time)
# and the line "N passed, M failed"; exits non-zero when a stage failed.
#
# A new stage is one line at the end: run_stage NAME -- COMMAND [ARG...]
# (exit status 77 reports a skip; see scripts/stages.sh).
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/stages.sh
jobs=$(nproc)

# Configure output goes to the stage's log like everything else, and its
# tail to the terminal when the stage fails.
# clang-tidy needs no built program, and the acceptance tests mostly wait on
# the agents' periods: the static checks run beside the tests at idle
# priority (they take only what the tests leave), and the lint stage
# collects their result.
lint_early=$KELD4_STAGE_LOGS/lint-early
rm -f "$lint_early".*
start_lint_early() {
  (
    rc=0
    chrt --idle 0 scripts/lint.sh || rc=$?
    echo "$rc" > "$lint_early.rc"
  ) > "$lint_early.log" 2>&1 < /dev/null &
}
lint_stage() {
  [ -e "$lint_early.log" ] || { scripts/lint.sh; return; }
  local waited=0
  while [ ! -e "$lint_early.rc" ] && [ "$waited" -lt 1200 ]; do
    sleep 1
    waited=$((waited + 1))
  done
  cat "$lint_early.log"
  [ -e "$lint_early.rc" ] || { echo "the static checks did not end in 20 minutes"; return 1; }
  return "$(cat "$lint_early.rc")"
}

unit_and_acceptance() {
  cmake --preset asan
  cmake --build --preset asan -j "$jobs"
  start_lint_early
  ctest --preset asan -j "$jobs" --timeout 300
}

threaded_under_tsan() {
  cmake --preset tsan
  # Only the programs whose tests carry the label: the others never run here.
  cmake --build --preset tsan -j "$jobs" --target test_log test_messaging test_service test_platform
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --preset tsan -j "$jobs" --timeout 300 -L '^threaded$'
}

windows_under_wine() {
  cmake --preset windows
  # One wineserver for the whole stage (each Wine session would otherwise
  # wait for its own to end), in a prefix inside the build folder.
  export WINEPREFIX="$PWD/build/windows/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  # Away from the stage's output and ended with the stage: a Wine process
  # left holding the output pipe would keep the stage from ever ending.
  wineserver -p > /dev/null 2>&1 < /dev/null
  trap 'wineserver -k > /dev/null 2>&1 || true' EXIT
  wineboot --init > /dev/null 2>&1 || true
  cmake --build --preset windows -j "$jobs"
  ctest --preset windows -j "$jobs" --timeout 120
}

# The Windows Installer package under Wine: build, install with properties,
# the service answering a coordinator, upgrade keeping changed settings,
# removal (about 45 s).
windows_msi() {
  cmake --build --preset windows --target msi -j "$jobs"
  tests/windows/msi.sh
}

run_stage deps -- scripts/deps.sh
run_stage unit-and-acceptance -- unit_and_acceptance
run_stage threaded-tsan -- threaded_under_tsan
run_stage windows-wine -- windows_under_wine
run_stage fuzz -- scripts/fuzz.sh "${KELD4_FUZZ_SECONDS:-10}"
run_stage lint -- lint_stage
run_stage debian-package -- scripts/package-test.sh
# The Windows service under Wine: install, start, coordinator exchange, stop,
# re-register and unregister keld4.exe (about 25 s).
KELD4_COORDINATOR="$PWD/build/asan/tools/keld4-coordinator" \
  run_stage windows-smoke -- tests/windows/smoke.sh
KELD4_COORDINATOR="$PWD/build/asan/tools/keld4-coordinator" \
  run_stage windows-msi -- windows_msi
