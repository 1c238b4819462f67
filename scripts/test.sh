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
# its own name: start_early NAME [--idle] [--after EARLIER] -- COMMAND...,
# then run_stage NAME -- collect NAME (or collect NAME inside a stage). Its
# output goes to NAME-early.log, never to the stage that started it (a
# process left holding that stage's output would keep it from ending).
# --idle runs it at idle priority, so it takes only what the foreground
# leaves, until a stage waits for it; --after starts it once EARLIER has
# ended, so the builds run one at a time and the first needed is ready first.
rm -f "$KELD4_STAGE_LOGS"/*-early.*
start_early() {
  local name=$1 idle= after=
  shift
  [ "${1:-}" = --idle ] && { idle=1; shift; }
  [ "${1:-}" = --after ] && { after=$2; shift 2; }
  [ "${1:-}" = -- ] && shift
  (
    self=$BASHPID
    echo "$self" > "$KELD4_STAGE_LOGS/$name-early.pid"
    if [ -n "$after" ]; then
      while [ ! -e "$KELD4_STAGE_LOGS/$after-early.rc" ]; do sleep 1; done
    fi
    # The subshell itself, so that a shell function runs at idle too; not
    # when a stage already waits for it.
    [ -z "$idle" ] || [ -e "$KELD4_STAGE_LOGS/$name-early.waited" ] || chrt --idle -p 0 "$self"
    start=$(date +%s)
    # Not tested with ||, which would turn set -e off inside.
    (set -e; "$@")
    rc=$?
    # The CPU time of what it ran (its children's, in clock ticks): the run
    # is bound by CPU.
    cpu=$(awk -v hz="$(getconf CLK_TCK)" '{ printf "%.0f", ($16 + $17) / hz }' "/proc/$self/stat")
    echo "(ran for $(($(date +%s) - start)) s in the background, $cpu s of CPU)"
    echo "$rc" > "$KELD4_STAGE_LOGS/$name-early.rc"
  ) > "$KELD4_STAGE_LOGS/$name-early.log" 2>&1 < /dev/null &
}
# Back to normal priority, with everything it started: once a stage waits
# for it, it is the foreground.
to_foreground() {
  local child
  chrt --other -p 0 "$1" > /dev/null 2>&1 || true
  for child in $(pgrep -P "$1"); do to_foreground "$child"; done
}
collect() {
  local early=$KELD4_STAGE_LOGS/$1-early waited=0
  [ -e "$early.log" ] || { echo "$1 was not started"; return 1; }
  touch "$early.waited"
  while [ ! -e "$early.rc" ] && [ "$waited" -lt 1200 ]; do
    # Again now and then, for what idle processes started meanwhile.
    if [ $((waited % 5)) -eq 0 ] && [ -e "$early.pid" ]; then to_foreground "$(cat "$early.pid")"; fi
    sleep 1
    waited=$((waited + 1))
  done
  cat "$early.log"
  [ -e "$early.rc" ] || { echo "$1 did not end in 20 minutes"; return 1; }
  return "$(cat "$early.rc")"
}

# The later stages' builds, started early (see unit_and_acceptance).
build_tsan() {
  cmake --preset tsan
  # Only the programs whose tests carry the label: the others never run here.
  cmake --build --preset tsan -j "$jobs" --target test_log test_messaging test_service test_platform
}
build_windows() {
  cmake --preset windows
  cmake --build --preset windows -j "$jobs"
  cmake --build --preset windows -j "$jobs" --target msi
}

# Configure output goes to the stage's log like everything else, and its
# tail to the terminal when the stage fails.
unit_and_acceptance() {
  cmake --preset asan
  cmake --build --preset asan -j "$jobs"
  # The agent without sanitizers, on which the acceptance tests measure its
  # memory bound (the asan preset names it).
  cmake --preset release
  cmake --build --preset release -j "$jobs" --target keld4
  # Three tests a processor at once: the acceptance tests mostly wait.
  ctest --preset asan -j "$((3 * jobs))" --timeout 300
}

threaded_under_tsan() {
  collect tsan-build
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --preset tsan -j "$jobs" --timeout 300 -L '^threaded$'
}

windows_under_wine() {
  collect windows-build
  # One wineserver for the whole stage (each Wine session would otherwise
  # wait for its own to end), in a prefix inside the build folder.
  export WINEPREFIX="$PWD/build/windows/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  # Away from the stage's output and ended with the stage: a Wine process
  # left holding the output pipe would keep the stage from ever ending.
  wineserver -p > /dev/null 2>&1 < /dev/null
  trap 'wineserver -k > /dev/null 2>&1 || true' EXIT
  wineboot --init > /dev/null 2>&1 || true
  ctest --preset windows -j "$jobs" --timeout 120
}

fuzz_bounded() {
  collect fuzz-build
  scripts/fuzz.sh "${KELD4_FUZZ_SECONDS:-10}"
}

# The Windows service tests (each in a Wine prefix and network namespace of
# its own) run side by side: Wine mostly waits on its service manager.
windows_services() {
  # The Windows Installer package: install with properties, the service
  # answering a coordinator, an upgrade keeping changed settings, removal
  # (about 50 s).
  start_early windows-msi -- tests/windows/msi.sh
  # The service itself: install, start, coordinator exchange, stop,
  # re-register and unregister keld4.exe (about 30 s).
  tests/windows/smoke.sh
}

run_stage deps -- scripts/deps.sh
# The later stages' builds, the static checks (clang-tidy needs no built
# program) and the Debian package at idle priority, in the order they are
# needed: they take what the foreground leaves, and the acceptance tests
# mostly wait on the agents' periods.
start_early tsan-build --idle -- build_tsan
start_early windows-build --idle --after tsan-build -- build_windows
start_early fuzz-build --idle --after windows-build -- scripts/fuzz.sh --build
# clang-tidy on what changed since the commit in .ci/lint-base, whose whole
# tree a run of scripts/lint.sh --mark-base found clean: all of it is some
# eight minutes of CPU, more than a run can spare.
KELD4_LINT_SINCE=base start_early lint --idle --after fuzz-build -- scripts/lint.sh
# Its unit tests are the ones the sanitizer stages run: built without them.
KELD4_PACKAGE_NOCHECK=1 start_early debian-package --idle --after fuzz-build -- scripts/package-test.sh
run_stage unit-and-acceptance -- unit_and_acceptance
run_stage threaded-tsan -- threaded_under_tsan
run_stage windows-wine -- windows_under_wine
run_stage fuzz -- fuzz_bounded
# The Windows service tests mostly wait on Wine's service manager: the
# static checks and the package go on beside them.
KELD4_COORDINATOR="$PWD/build/asan/tools/keld4-coordinator" \
  run_stage windows-smoke -- windows_services
run_stage windows-msi -- collect windows-msi
run_stage lint -- collect lint
run_stage debian-package -- collect debian-package
