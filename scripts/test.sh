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

# Work started early in the background, each collected later by a stage of
# its own name: start_early NAME [--idle] -- COMMAND..., then
# run_stage NAME -- collect NAME. Its output goes to NAME-early.log, never to
# the stage that started it (a process left holding that stage's output
# would keep it from ending). --idle runs it at idle priority, so it takes
# only what the foreground leaves.
rm -f "$KELD4_STAGE_LOGS"/*-early.*
start_early() {
  local name=$1 idle=()
  shift
  [ "${1:-}" = --idle ] && { idle=(chrt --idle 0); shift; }
  [ "${1:-}" = -- ] && shift
  (
    rc=0 start=$(date +%s)
    "${idle[@]}" "$@" || rc=$?
    echo "(ran for $(($(date +%s) - start)) s in the background)"
    echo "$rc" > "$KELD4_STAGE_LOGS/$name-early.rc"
  ) > "$KELD4_STAGE_LOGS/$name-early.log" 2>&1 < /dev/null &
}
collect() {
  local early=$KELD4_STAGE_LOGS/$1-early waited=0
  [ -e "$early.log" ] || { echo "$1 was not started"; return 1; }
  while [ ! -e "$early.rc" ] && [ "$waited" -lt 1200 ]; do
    sleep 1
    waited=$((waited + 1))
  done
  cat "$early.log"
  [ -e "$early.rc" ] || { echo "$1 did not end in 20 minutes"; return 1; }
  return "$(cat "$early.rc")"
}

# Configure output goes to the stage's log like everything else, and its
# tail to the terminal when the stage fails.
unit_and_acceptance() {
  cmake --preset asan
  cmake --build --preset asan -j "$jobs"
  # clang-tidy needs no built program, and the acceptance tests mostly wait
  # on the agents' periods.
  start_early lint --idle -- scripts/lint.sh
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

# The Windows service tests (each in a Wine prefix and network namespace of
# its own) run side by side, and the Debian package is built beside them at
# idle priority: Wine mostly waits on its service manager.
windows_services() {
  start_early debian-package --idle -- scripts/package-test.sh
  cmake --build --preset windows --target msi -j "$jobs"
  # The Windows Installer package: install with properties, the service
  # answering a coordinator, an upgrade keeping changed settings, removal
  # (about 50 s).
  start_early windows-msi -- tests/windows/msi.sh
  # The service itself: install, start, coordinator exchange, stop,
  # re-register and unregister keld4.exe (about 30 s).
  tests/windows/smoke.sh
}

run_stage deps -- scripts/deps.sh
run_stage unit-and-acceptance -- unit_and_acceptance
run_stage threaded-tsan -- threaded_under_tsan
run_stage windows-wine -- windows_under_wine
run_stage fuzz -- scripts/fuzz.sh "${KELD4_FUZZ_SECONDS:-10}"
run_stage lint -- collect lint
KELD4_COORDINATOR="$PWD/build/asan/tools/keld4-coordinator" \
  run_stage windows-smoke -- windows_services
run_stage windows-msi -- collect windows-msi
run_stage debian-package -- collect debian-package
