#!/usr/bin/env bash
# Installs what the tests need, builds, and runs the whole test suite: the
# unit and acceptance tests, the unit tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, the threaded tests under ThreadSanitizer, the
# Windows cross build with its unit tests under Wine, a
# bounded run of each fuzz target, and the static checks.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
status=0

passed=0
failed=0
stage_start=$(date +%s)
# Starts a stage, with how long the one before it took.
stage() {
  local now
  now=$(date +%s)
  echo "(stage took $((now - stage_start)) s)"
  stage_start=$now
  echo
  echo "=== $*"
}
# Runs ctest and adds its counts to the totals.
run_ctest() {
  local out rc=0
  out=$(mktemp)
  ctest "$@" 2>&1 | tee "$out" || rc=1
  [ "${PIPESTATUS[0]}" -eq 0 ] || rc=1
  local line total fails
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$out" | tail -n 1 || true)
  if [ -n "$line" ]; then
    fails=$(echo "$line" | sed -E 's/.*tests passed, ([0-9]+) tests failed out of ([0-9]+).*/\1/')
    total=$(echo "$line" | sed -E 's/.*tests failed out of ([0-9]+).*/\1/')
    passed=$((passed + total - fails))
    failed=$((failed + fails))
  else
    rc=1
  fi
  rm -f "$out"
  return $rc
}

stage "debug build: unit and acceptance tests"
cmake --preset debug >/dev/null
cmake --build --preset debug -j "$jobs"
run_ctest --preset debug -j "$jobs" --timeout 300 || status=1

stage "AddressSanitizer + UndefinedBehaviorSanitizer: unit tests"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
run_ctest --preset asan -j "$jobs" --timeout 300 -LE '^(acceptance|dissector)$' || status=1

stage "ThreadSanitizer: the threaded tests (pipes, queues, workers, restart, shutdown)"
cmake --preset tsan >/dev/null
# Only the programs whose tests carry the label: the others never run here.
cmake --build --preset tsan -j "$jobs" --target test_log test_messaging test_service test_platform
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  run_ctest --preset tsan -j "$jobs" --timeout 300 -L '^threaded$' || status=1

stage "Windows cross build: unit tests under Wine"
windows_start=$(date +%s)
cmake --preset windows >/dev/null
# One wineserver for the whole stage (each Wine session would otherwise wait
# for its own to end), in a prefix inside the build folder.
export WINEPREFIX="$PWD/build/windows/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
wineboot --init >/dev/null 2>&1 || true
if cmake --build --preset windows -j "$jobs"; then
  run_ctest --preset windows -j "$jobs" --timeout 120 || status=1
else
  status=1
fi
wineserver -k 2>/dev/null || true
echo "Windows stage: $(($(date +%s) - windows_start)) s"

if [ -x scripts/fuzz.sh ]; then
  stage "fuzz targets, bounded"
  scripts/fuzz.sh "${KELD4_FUZZ_SECONDS:-15}" || status=1
fi
if [ -x scripts/lint.sh ]; then
  stage "static checks"
  scripts/lint.sh || status=1
fi

if [ -x scripts/package-test.sh ]; then
  stage "Debian package: build, lintian, install, remove, purge"
  if scripts/package-test.sh; then passed=$((passed + 1)); else failed=$((failed + 1)) status=1; fi
fi

# The Windows service under Wine: install, start, coordinator exchange, stop,
# re-register and unregister keld4.exe (about 25 s).
stage "Windows service smoke test under Wine"
if tests/windows/smoke.sh; then passed=$((passed + 1)); else failed=$((failed + 1)) status=1; fi

stage "summary"
[ $status -eq 0 ] || echo "some stage failed"
echo "$passed passed, $failed failed"
exit $status
