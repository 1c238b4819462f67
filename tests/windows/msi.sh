#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Test of keld4.msi under Wine, as root: the package's tables, a refused
# installation without LOCALIP, an installation with its settings and
# service, the agent answering a coordinator, an upgrade to a rebuilt package
# with a higher version that keeps an administrator's changes, removal that
# keeps the settings, and removal with PURGE=1.
#
# Wine runs in a network namespace of the test's own, joined by a veth pair
# to a second private namespace where the coordinator runs
# (tests/windows/wine-lib.sh, shared with smoke.sh).
#
# What Wine's Windows Installer cannot show, and so is not checked here:
# - the launch condition's message: Wine ends the installation with 1603
#   but writes no text of it to the log;
# - the rollback action that unregisters the service when an installation
#   fails after registering it: Wine runs the rollback script in the order it
#   was written, not backwards, so the program file is gone before it;
# - UPGRADINGPRODUCTCODE: Wine does not set it when an upgrade removes the
#   older version, which therefore unregisters the service as a removal would
#   (the newer version registers it again); and StopServices does not wait
#   for the service to stop, so the test stops it before the upgrade and
#   before the removal that checks the program file is gone;
# - everything smoke.sh lists for the service itself (the failure action).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
exe=${KELD4_EXE:-$root/build/windows/keld4.exe}
msi=${KELD4_MSI:-$root/build/windows/keld4.msi}
coordinator=${KELD4_COORDINATOR:-$root/build/debug/tools/keld4-coordinator}

if [ -z "${KELD4_MSI_INSIDE:-}" ]; then
  exec env KELD4_MSI_INSIDE=1 timeout 300 unshare -n -- "$0" "$@"
fi
# shellcheck source=tests/windows/wine-lib.sh
. "$root/tests/windows/wine-lib.sh"

key='HKLM\SOFTWARE\Ostrel\KELD4'
program='C:\Program Files\keld4\keld4.exe'
settings() { query "$key" /s /reg:64; }
# msiexec's exit status; Linux keeps the low byte of Windows' code.
msiexec_() { # msiexec_ LOG ARGUMENTS...: runs msiexec /qn with a verbose log
  local log=$1 rc=0
  shift
  wine_ msiexec "$@" /qn /l*v "C:\\$log.log" >/dev/null 2>&1 || rc=$?
  echo "$rc"
}
installer_log() { tr -d '\r' <"$WINEPREFIX/drive_c/$1.log" 2>/dev/null || true; }
product_version() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductVersion" {print $2}'; }
uninstall_entries() {
  query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:64 | grep -E 'DisplayName|DisplayVersion'
}

# The package's tables.
version=$(sed -n 's/^project(keld4 VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
check "product version is the project's, $version" test "$(product_version "$msi")" = "$version"
tables=$(msiinfo tables "$msi")
for table in File Component Registry AppSearch RegLocator LaunchCondition ServiceControl CustomAction Upgrade; do
  check "table $table" has "$tables" "^$table$"
done
# Wine cannot show the rollback (see above), so its type is checked here.
check "-UnregServer as the rollback of -Service" \
  has "$(msiinfo export "$msi" CustomAction | tr -d '\r')" $'^UndoRegisterService\t3410\tkeld4.exe\t-UnregServer\t'

boot_prefix
msi_win=$(winpath "$msi")

# Without LOCALIP a first installation is refused and changes nothing.
check "no LOCALIP: msiexec ends with 1603" test "$(msiexec_ refused /i "$msi_win" LOCALMAC=$agent_mac)" = $((1603 & 255))
# The log is in the prefix's language; its action names are not.
ended_at_launch_conditions() {
  local log
  log=$(installer_log refused)
  has "$log" LaunchConditions && ! has "$log" CostInitialize
}
check "no LOCALIP: ended by the launch conditions" ended_at_launch_conditions
check "no LOCALIP: no settings" absent "$key" /reg:64
check "no LOCALIP: no program" test ! -e "$WINEPREFIX/drive_c/Program Files/keld4"
check "no LOCALIP: no service" absent 'HKLM\System\CurrentControlSet\Services\keld4'

# The installation.
check "msiexec /i exits with 0" test "$(msiexec_ install /i "$msi_win" LOCALIP=$agent_ip LOCALMAC=$agent_mac COORDINATORS=$coord_ip)" = 0
check "program installed" test -f "$WINEPREFIX/drive_c/Program Files/keld4/keld4.exe"
s=$(settings)
check "LocalIPAddress from LOCALIP" has "$s" "LocalIPAddress +REG_SZ +$agent_ip$"
check "LocalMacAddress from LOCALMAC" has "$s" "LocalMacAddress +REG_SZ +$agent_mac$"
check "CoordinatorAddresses from COORDINATORS" has "$s" "CoordinatorAddresses +REG_SZ +$coord_ip$"
check "LogDirectory in the common application data" has "$s" 'LogDirectory +REG_SZ +C:\\ProgramData\\keld4$'
check "the log folder is made" test -d "$WINEPREFIX/drive_c/ProgramData/keld4"
check "PortNumber from the template, a DWORD" has "$s" 'PortNumber +REG_DWORD +0xafca$'
check "SystemVersion names Windows" has "$s" "SystemVersion +REG_SZ +keld4 $version for Windows$"
check "every value of the template and CoordinatorAddresses" \
  test "$(grep -c ' REG_' <<<"$s")" = $(($(grep -c '^"' "$root/packaging/keld4.reg") + 1))
check "in the 64-bit view only" absent 'HKLM\SOFTWARE\Wow6432Node\Ostrel' /reg:64
check "listed in Programs and Features" has "$(uninstall_entries)" "DisplayVersion +REG_SZ +$version$"
check_service_entry "$program"
check "started by the installation" within_10s running
# net start, as an administrator would after a restart of the service.
check "net stop keld4" wine_ net stop keld4
check "stopped" within_10s stopped
check "net start keld4" wine_ net start keld4
check_agent_answers
check "the agent logs into LogDirectory" \
  has "$(tr -d '\r' <"$WINEPREFIX/drive_c/ProgramData/keld4/keld4.log")" 'INFO: KELD4 service started$'

# An administrator's changes, and a value gone missing.
wine_ reg add "$key\\Parameter\\Log" /v LogLevel /t REG_DWORD /d 15 /f /reg:64 >/dev/null
wine_ reg add "$key\\Parameter" /v CoordinatorAddresses /d "$coord_ip, 10.77.1.0/24" /f /reg:64 >/dev/null
wine_ reg delete "$key\\Parameter\\CpuLoad" /v CpuBenchmark /f /reg:64 >/dev/null

# The upgrade: the same sources packaged with a higher version. Wine's
# StopServices does not wait for the service to stop, so the older version's
# -UnregServer would leave an entry marked for deletion that -Service then
# takes for the service; stopped beforehand, as Windows' StopServices waits.
check "net stop keld4 before the upgrade" wine_ net stop keld4
check "stopped before the upgrade" within_10s stopped
next="${version%%.*}.$((${version#*.} + 1))"
cmake -DSOURCE_DIR="$root" -DEXE="$exe" -DVERSION="$next" -DOUT="$work/next/keld4.msi" \
  -P "$root/packaging/windows/msi.cmake" >/dev/null
next_win=$(winpath "$work/next/keld4.msi")
check "upgrade to $next exits with 0" test "$(msiexec_ upgrade /i "$next_win")" = 0
s=$(settings)
check "upgrade keeps the changed LogLevel" has "$s" 'LogLevel +REG_DWORD +0xf$'
check "upgrade keeps the changed CoordinatorAddresses" has "$s" "CoordinatorAddresses +REG_SZ +$coord_ip, 10.77.1.0/24$"
check "upgrade keeps LocalIPAddress" has "$s" "LocalIPAddress +REG_SZ +$agent_ip$"
check "upgrade writes a missing value" has "$s" 'CpuBenchmark +REG_DWORD +0x64$'
entries=$(uninstall_entries || true)
check "one product, version $next" test "$(grep -cE 'DisplayName +REG_SZ +keld4$' <<<"$entries")" = 1
check "Programs and Features shows $next" has "$entries" "DisplayVersion +REG_SZ +$next$"
check "running after the upgrade" within_10s running
check_agent_answers

# Removal: service and program go, the settings stay. Stopped first, as for
# the upgrade: Wine would otherwise remove the program file while the
# service still runs it, and fail to.
check "net stop keld4 before removal" wine_ net stop keld4
check "stopped before removal" within_10s stopped
check "msiexec /x exits with 0" test "$(msiexec_ remove /x "$next_win")" = 0
check "service removed" within_10s absent 'HKLM\System\CurrentControlSet\Services\keld4'
check "program removed" test ! -e "$WINEPREFIX/drive_c/Program Files/keld4/keld4.exe"
check "registration removed" absent "HKCR\\AppID\\$appid"
check "settings kept" has "$(settings)" 'LogLevel +REG_DWORD +0xf$'
check "not in Programs and Features" test -z "$(uninstall_entries || true)"

# The kept settings serve a new installation; PURGE=1 removes them.
# Removed while it runs, the service is stopped and deleted.
check "installation over kept settings, without LOCALIP" test "$(msiexec_ again /i "$msi_win")" = 0
check "running" within_10s running
check "msiexec /x PURGE=1 exits with 0" test "$(msiexec_ purge /x "$msi_win" PURGE=1)" = 0
check "the running service is removed" within_10s absent 'HKLM\System\CurrentControlSet\Services\keld4'
check "PURGE=1 removes the settings" absent "$key" /reg:64

finish
