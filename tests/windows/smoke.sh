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
# shellcheck source=tests/windows/wine-lib.sh
. "$root/tests/windows/wine-lib.sh"

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

boot_prefix

exe_win=$(winpath "$exe")

# Before registration the program ends at once with file-not-found.
rc_unregistered=0
wine_ "$exe" >/dev/null 2>&1 || rc_unregistered=$?
check "unregistered program exits with 2" test "$rc_unregistered" = 2

# The settings, from the installation template.
sed -e "s/^\"LocalIPAddress\"=.*/\"LocalIPAddress\"=\"$agent_ip\"/" \
  -e "s/^\"LocalMacAddress\"=.*/\"LocalMacAddress\"=\"$agent_mac\"/" \
  -e 's/^"LogDirectory"=.*/"LogDirectory"="C:\\\\windows"/' \
  -e 's/^"LogLevel"=.*/"LogLevel"=dword:0000000f/' \
  "$root/packaging/keld4.reg" | sed 's/$/\r/' >"$work/settings.reg"
check "reg import of the settings" wine_ reg import "$(winpath "$work/settings.reg")"

# -Service: registration and the service entry.
check "-Service exits with 0" wine_ "$exe" -Service
check_service_entry "$exe_win"
check "sc query: stopped" has "$(sc_query)" 'STATE +: 1 +STOPPED'

# net start, then the coordinator from Linux.
check "net start keld4" wine_ net start keld4
check "sc query: running" running
check_agent_answers
source_key=$(query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\keld4')
check "event source: message file is the program" \
  has "$source_key" "EventMessageFile +REG_EXPAND_SZ +${exe_win//\\/\\\\}$"
check "event source: types supported 7" has "$source_key" 'TypesSupported +REG_DWORD +0x7$'

# net stop: the down message (addressed to the agent itself, so seen in its
# log, not at the coordinator) and the stop line.
check "net stop keld4" wine_ net stop keld4
check "sc query: stopped after net stop" within_10s stopped
check "exit code 0 after a normal run" has "$(sc_query)" 'WIN32_EXIT_CODE +: 0 '
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

finish
