#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Smoke test of keld4.exe under Wine, as root: installs the service with
# -Service, starts it with "net start", plays the coordinator from Linux,
# stops it with "net stop", then -RegServer and -UnregServer, checking the
# registry and service entries at each step.
#
# Wine runs (wineserver, services.exe, keld4.exe) in a network namespace of
# the test's own, joined by a veth pair to a second private namespace where
# the coordinator runs; the agent uses the host's network stack under Wine.
#
# What Wine cannot show, checked by the Linux unit and acceptance tests instead:
# - failure actions are accepted but neither stored nor applied (no restart
#   120 s after a drop-out);
# - a service process that ends without reporting SERVICE_STOPPED is not
#   noticed by Wine's service manager;
# - the processor counter is a stub (a constant 5 %);
# - ReportEventA stores nothing, so the event log's entries cannot be read
#   back; the message table is checked in the program file instead;
# - LockServiceDatabase is a stub that always succeeds.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
exe=${KELD4_EXE:-$root/build/windows/keld4.exe}
coordinator=${KELD4_COORDINATOR:-$root/build/debug/tools/keld4-coordinator}

if [ -z "${KELD4_SMOKE_INSIDE:-}" ]; then
  exec env KELD4_SMOKE_INSIDE=1 timeout 240 unshare -n -- "$0" "$@"
fi
started=$(date +%s)
# shellcheck source=scripts/agent-netns.sh
. "$root/scripts/agent-netns.sh"

work=$(mktemp -d "$(dirname "$exe")/smoke.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The description is kept in code page 932: Wine takes its ANSI code page
# from the locale, so the test runs in a Japanese one of its own.
localedef -i ja_JP -f UTF-8 "$work/ja_JP.UTF-8"

cleanup() {
  in_agent_ns wineserver -k 2>/dev/null || true
  kill "$holder" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
pass() { echo "ok   $*"; }
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}
check() { # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@" >/dev/null 2>&1; then pass "$what"; else fail "$what"; fi
}
wine_() { in_agent_ns env LOCPATH="$work" LC_ALL=ja_JP.UTF-8 timeout 60 wine "$@"; }
# reg query's text in UTF-8, CR LF as LF.
query() { { wine_ reg query "$@" 2>/dev/null || true; } | iconv -c -f CP932 -t UTF-8 | tr -d "\r"; }
absent() { ! wine_ reg query "$1" >/dev/null 2>&1; }
# Waits (at most 10 s) until a command succeeds.
within_10s() {
  local i
  for ((i = 0; i < 40; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.25
  done
  return 1
}
stopped() { has "$(wine_ sc query keld4 | tr -d '\r')" 'STATE +: 1 +STOPPED'; }
has() { # has TEXT REGEX: the text holds a line matching the pattern
  grep -Eq -- "$2" <<<"$1"
}

# The program file's resources.
rc=$(x86_64-w64-mingw32-windres -i "$exe" -O rc)
check "string table: 100 is keld4" has "$rc" '^  100, "keld4"$'
for lang in "LANGUAGE 9, 1" "LANGUAGE 17, 1"; do
  table=$(awk -v l="$lang" '$0 == l {on = 1; next} /^LANGUAGE/ {on = 0} on' <<<"$rc")
  for id in 0x40000003 0xc0020001 0x80040002; do
    check "message table ($lang): $id" has "$table" "MessageId = $id"
  done
done
# The text after a message's identifier in one language's table.
text_of() { # text_of LANGUAGE-LINE ID
  awk -v l="$1" -v id="MessageId = $2" '$0 == l {on = 1; next} /^LANGUAGE/ {on = 0}
    on && f {print $1; f = 0} on && index($0, id) {f = 1}' <<<"$rc"
}
check "English information: the text alone" test "$(text_of "LANGUAGE 9, 1" 0x40000003)" = '%1\r\n\000\000'
check "English error: with a full stop" test "$(text_of "LANGUAGE 9, 1" 0xc0020001)" = '%1.\r\n\000'
check "Japanese information: with a full stop" test "$(text_of "LANGUAGE 17, 1" 0x40000003)" = '%1.\r\n\000'
check "version resource" has "$rc" 'VALUE "OriginalFilename", "keld4.exe'

# A new prefix restarts its services once more after wineboot has returned;
# the test's services come from a second, plain boot of the finished prefix.
wine_ wineboot -i >/dev/null 2>&1
in_agent_ns timeout 60 wineserver -w
in_agent_ns wineserver -p
wine_ wineboot >/dev/null 2>&1
echo "wine prefix ready after $(($(date +%s) - started)) s"

exe_win=$(wine_ winepath -w "$exe" 2>/dev/null | tr -d '\r')
appid='{5B2E9A41-7C3D-4F18-A6E2-0D9C4B71E35A}'

# Before registration the program ends at once with file-not-found.
rc_unregistered=0
wine_ "$exe" >/dev/null 2>&1 || rc_unregistered=$?
check "unregistered program exits with 2" test "$rc_unregistered" = 2

# The settings, from the installation template.
sed -e "s/^\"LocalIPAddress\"=.*/\"LocalIPAddress\"=\"$agent_ip\"/" \
  -e 's/^"LocalMacAddress"=.*/"LocalMacAddress"="02-00-0A-4D-00-01"/' \
  -e 's/^"LogDirectory"=.*/"LogDirectory"="C:\\\\windows"/' \
  -e 's/^"LogLevel"=.*/"LogLevel"=dword:0000000f/' \
  "$root/packaging/keld4.reg" | sed 's/$/\r/' >"$work/settings.reg"
check "reg import of the settings" wine_ reg import "$(wine_ winepath -w "$work/settings.reg" | tr -d '\r')"

# -Service: registration and the service entry.
check "-Service exits with 0" wine_ "$exe" -Service
svc=$(query 'HKLM\System\CurrentControlSet\Services\keld4')
check "service: own process" has "$svc" 'Type +REG_DWORD +0x10$'
check "service: automatic start" has "$svc" 'Start +REG_DWORD +0x2$'
check "service: error control normal" has "$svc" 'ErrorControl +REG_DWORD +0x1$'
# Windows stores the path as REG_EXPAND_SZ, Wine as REG_SZ.
check "service: program path" has "$svc" "ImagePath +REG_(EXPAND_)?SZ +${exe_win//\\/\\\\}$"
check "service: depends on RPCSS only" has "$svc" 'DependOnService +REG_MULTI_SZ +RPCSS$'
check "service: LocalSystem" has "$svc" 'ObjectName +REG_SZ +LocalSystem$'
check "service: display name" has "$svc" 'DisplayName +REG_SZ +keld4$'
check "service: description in code page 932" \
  has "$svc" 'Description +REG_SZ +Pallix/LBシリーズの負荷分散エージェントサービス$'
check "sc query: stopped" has "$(wine_ sc query keld4 | tr -d '\r')" 'STATE +: 1 +STOPPED'
app=$(query "HKCR\\AppID\\$appid")
check "AppID default value keld4" has "$app" '\((Default|既定)\) +REG_SZ +keld4$'
check "AppID LocalService keld4" has "$app" 'LocalService +REG_SZ +keld4$'
check "AppID ServiceParameters -Service" has "$app" 'ServiceParameters +REG_SZ +-Service$'
check "AppID keld4.EXE names the AppID" \
  has "$(query 'HKCR\AppID\keld4.EXE')" "AppID +REG_SZ +${appid}$"

# net start, then the coordinator from Linux.
check "net start keld4" wine_ net start keld4
check "sc query: running" has "$(wine_ sc query keld4 | tr -d '\r')" 'STATE +: 4 +RUNNING'
events=$(timeout 30 "$coordinator" --listen "$coord_ip" --address "$coord_ip" --agent "$agent_ip" \
  --alive 1 --cpu-interval 1 --loglevel 3 --json --duration 6 || true)
check "alive from the agent with its MAC address" \
  has "$events" "\"event\":\"alive\",.*\"agent\":\"$agent_ip\",.*\"mac\":\"02-00-0A-4D-00-01\""
check "alive reports the processor speed" has "$events" '"event":"alive",.*"mhz":[1-9]'
check "CPU load from the agent" has "$events" "\"event\":\"cpu_load\",.*\"agent\":\"$agent_ip\",.*\"load\":([0-9]|[1-9][0-9]|100),"
check "no malformed datagram" test -z "$(grep '"event":"malformed"' <<<"$events")"
source_key=$(query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\keld4')
check "event source: message file is the program" \
  has "$source_key" "EventMessageFile +REG_EXPAND_SZ +${exe_win//\\/\\\\}$"
check "event source: types supported 7" has "$source_key" 'TypesSupported +REG_DWORD +0x7$'

# net stop: the down message (addressed to the agent itself, so seen in its
# log, not at the coordinator) and the stop line.
check "net stop keld4" wine_ net stop keld4
check "sc query: stopped after net stop" within_10s stopped
check "exit code 0 after a normal run" has "$(wine_ sc query keld4 | tr -d '\r')" 'WIN32_EXIT_CODE +: 0 '
log=$(tr -d '\r' <"$WINEPREFIX/drive_c/windows/keld4.log" 2>/dev/null || true)
check "log: KELD4 service started" has "$log" 'INFO: KELD4 service started$'
check "log: the down message was sent" has "$log" 'write message type:5001$'
check "log: KELD4 service stopped" has "$log" 'INFO: KELD4 service stopped$'

# -RegServer: registration without the service.
check "-RegServer exits with 0" wine_ "$exe" -RegServer
check "-RegServer removes the service" within_10s absent 'HKLM\System\CurrentControlSet\Services\keld4'
app=$(query "HKCR\\AppID\\$appid")
check "-RegServer keeps the AppID" has "$app" '\((Default|既定)\) +REG_SZ +keld4$'
check "-RegServer deletes LocalService" test -z "$(grep LocalService <<<"$app")"

# -UnregServer: the registration goes, AppID and the event source stay.
check "-UnregServer exits with 0" wine_ "$exe" -UnregServer
check "-UnregServer deletes the AppID entry" absent "HKCR\\AppID\\$appid"
check "-UnregServer deletes keld4.EXE" absent 'HKCR\AppID\keld4.EXE'
check "AppID itself stays" wine_ reg query 'HKCR\AppID'
check "the event source key stays" \
  test -n "$(query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\keld4')"

echo "smoke test took $(($(date +%s) - started)) s"
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
