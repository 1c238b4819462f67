# SPDX-License-Identifier: Apache-2.0
# Shared by the Windows tests that run keld4.exe under Wine as root (smoke.sh,
# msi.sh). Sourced inside the test's own private network namespace with root,
# exe and coordinator set: gives the agent a namespace of its own joined by a
# veth pair (scripts/agent-netns.sh), makes the test's folder beside
# keld4.exe with a Wine prefix of its own there, and removes both at exit
# (KELD4_KEEP=1 keeps the folder to look into).
#
# Sets work and WINEPREFIX; defines the checks (check, has, within_10s, the
# failure count), the Wine helpers (wine_, query, absent, stopped, boot_prefix)
# and the checks both tests make of the service and of the running agent.
# shellcheck shell=bash disable=SC2154
started=$(date +%s)
# shellcheck source=scripts/agent-netns.sh
. "$root/scripts/agent-netns.sh"

work=$(mktemp -d "$(dirname "$exe")/${0##*/}.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The service description is kept in code page 932: Wine takes its ANSI code
# page from the locale, so the tests run in a Japanese one of their own.
localedef -i ja_JP -f UTF-8 "$work/ja_JP.UTF-8"

cleanup() {
  # Not through the agent's namespace: a time limit's signal may have ended
  # its holder, and the server's socket is a file anyway.
  wineserver -k 2>/dev/null || true
  kill "$holder" 2>/dev/null || true
  [ -n "${KELD4_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
# A test cut off by its time limit cleans up as well.
trap 'exit 124' TERM INT

# The agent's MAC address in the settings, and the program's AppID.
agent_mac=02-00-0A-4D-00-01
appid='{5B2E9A41-7C3D-4F18-A6E2-0D9C4B71E35A}'

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
has() { # has TEXT REGEX: the text holds a line matching the pattern
  grep -Eq -- "$2" <<<"$1"
}
# Waits (at most 10 s) until a command succeeds.
within_10s() {
  local i
  for ((i = 0; i < 40; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.25
  done
  return 1
}
# Ends the test with the count of failed checks.
finish() {
  echo "${0##*/} took $(($(date +%s) - started)) s"
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
}

wine_() { in_agent_ns env LOCPATH="$work" LC_ALL=ja_JP.UTF-8 timeout 60 wine "$@"; }
winpath() { wine_ winepath -w "$1" 2>/dev/null | tr -d '\r'; }
# reg query's text in UTF-8, CR LF as LF.
query() { { wine_ reg query "$@" 2>/dev/null || true; } | iconv -c -f CP932 -t UTF-8 | tr -d "\r"; }
absent() { ! wine_ reg query "$@" >/dev/null 2>&1; }
sc_query() { wine_ sc query keld4 | tr -d '\r'; }
stopped() { has "$(sc_query)" 'STATE +: 1 +STOPPED'; }
running() { has "$(sc_query)" 'STATE +: 4 +RUNNING'; }

# A new prefix restarts its services once more after wineboot has returned;
# the test's services come from a second, plain boot of the finished prefix.
boot_prefix() {
  wine_ wineboot -i >/dev/null 2>&1
  in_agent_ns timeout 60 wineserver -w
  in_agent_ns wineserver -p
  wine_ wineboot >/dev/null 2>&1
  echo "wine prefix ready after $(($(date +%s) - started)) s"
}

# The service entry as -Service makes it, for the program at the Windows
# path given.
check_service_entry() { # check_service_entry PROGRAM-PATH
  local svc
  svc=$(query 'HKLM\System\CurrentControlSet\Services\keld4')
  check "service: own process" has "$svc" 'Type +REG_DWORD +0x10$'
  check "service: automatic start" has "$svc" 'Start +REG_DWORD +0x2$'
  check "service: error control normal" has "$svc" 'ErrorControl +REG_DWORD +0x1$'
  # Windows stores the path as REG_EXPAND_SZ, Wine as REG_SZ.
  check "service: program path" has "$svc" "ImagePath +REG_(EXPAND_)?SZ +${1//\\/\\\\}$"
  check "service: depends on RPCSS only" has "$svc" 'DependOnService +REG_MULTI_SZ +RPCSS$'
  check "service: LocalSystem" has "$svc" 'ObjectName +REG_SZ +LocalSystem$'
  check "service: display name" has "$svc" 'DisplayName +REG_SZ +keld4$'
  check "service: description in code page 932" \
    has "$svc" 'Description +REG_SZ +Pallix/LBシリーズの負荷分散エージェントサービス$'
  local app
  app=$(query "HKCR\\AppID\\$appid")
  check "AppID default value keld4" has "$app" '\((Default|既定)\) +REG_SZ +keld4$'
  check "AppID LocalService keld4" has "$app" 'LocalService +REG_SZ +keld4$'
  check "AppID ServiceParameters -Service" has "$app" 'ServiceParameters +REG_SZ +-Service$'
  check "AppID keld4.EXE names the AppID" \
    has "$(query 'HKCR\AppID\keld4.EXE')" "AppID +REG_SZ +${appid}$"
}

# The running agent answers a coordinator from Linux with alive and CPU-load
# messages. The coordinator's message is sent every second: the agent may
# still be starting when "net start" returns.
check_agent_answers() {
  local events
  events=$(timeout 30 "$coordinator" --listen "$coord_ip" --address "$coord_ip" --agent "$agent_ip" \
    --alive 1 --cpu-interval 1 --loglevel 3 --resend 1 --json --duration 6 || true)
  check "alive from the agent with its MAC address" \
    has "$events" "\"event\":\"alive\",.*\"agent\":\"$agent_ip\",.*\"mac\":\"$agent_mac\""
  check "alive reports the processor speed" has "$events" '"event":"alive",.*"mhz":[1-9]'
  check "CPU load from the agent" \
    has "$events" "\"event\":\"cpu_load\",.*\"agent\":\"$agent_ip\",.*\"load\":([0-9]|[1-9][0-9]|100),"
  check "no malformed datagram" test -z "$(grep '"event":"malformed"' <<<"$events")"
}
