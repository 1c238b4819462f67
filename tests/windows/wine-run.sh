#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Runs a Windows test program under Wine. Now and then Wine fails to start a
# program when many start at once: it ends at once, having printed nothing,
# where a test program always prints GoogleTest's first line. Such a start is
# tried again (twice at most), and said so on standard error; anything the
# program printed is its own answer and passes through unchanged.
out=$(mktemp)
trap 'rm -f "$out"' EXIT
tries=0
while :; do
  wine "$@" >"$out" 2>&1
  rc=$?
  if [ "$rc" -eq 0 ] || [ -s "$out" ] || [ "$tries" -ge 2 ]; then
    cat "$out"
    exit "$rc"
  fi
  tries=$((tries + 1))
  echo "wine-run: Wine did not start $1 (exit $rc, no output); starting it again" >&2
done
