#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian package from a copy of the tree the way any Debian
# builder does (plain dpkg-buildpackage, so its quick unit tests run in
# dh_auto_test), checks it with lintian, installs it with dpkg -i, checks
# what it installed (programs, manual pages, bash completion, the Wireshark
# dissector, the registry folder, the unit that "keld4 -Service" writes),
# removes it (the registry file stays) and purges it (nothing stays). Fails
# on any compiler warning in the build too. Runs as root; refuses to run when
# a keld4 package is installed already. Prints "package test: passed" or
# "package test: FAILED" last.
#
#   scripts/package-test.sh
#   KELD4_PACKAGE_KEEP=dir   also copy the built .deb files into dir
#   KELD4_PACKAGE_NOCHECK=1  build with nocheck: no unit tests in the package
#                            build (the test script does so, having run the
#                            same tests under the sanitizers)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/deps.sh

if dpkg-query -W -f='${Status}' keld4 2> /dev/null | grep -q "ok installed\|config-files"; then
  echo "package test: a keld4 package is installed already; remove it first" >&2
  echo "package test: FAILED"
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/keld4-package.XXXXXX")
installed=0
finish() {
  local rc=$?
  if [ $installed = 1 ]; then dpkg -P keld4 > /dev/null 2>&1 || true; fi
  rm -rf "$work"
  if [ $rc -eq 0 ]; then echo "package test: passed"; else echo "package test: FAILED"; fi
}
trap finish EXIT
fail() {
  echo "package test: $*" >&2
  exit 1
}
step() { echo "--- $*"; }

step "build"
mkdir "$work/src"
tar -C "$root" --exclude=./.git --exclude='./build*' --exclude='./obj-*' -cf - . | tar -C "$work/src" -xf -
start=$(date +%s)
options="parallel=$(nproc)"
[ -z "${KELD4_PACKAGE_NOCHECK:-}" ] || options="nocheck $options"
(cd "$work/src" &&
  LC_ALL=C.UTF-8 DEB_BUILD_OPTIONS="$options" dpkg-buildpackage -us -uc -b > "$work/build.log" 2>&1) ||
  {
    tail -n 40 "$work/build.log"
    fail "dpkg-buildpackage failed"
  }
echo "built in $(($(date +%s) - start)) s"
[ -n "${KELD4_PACKAGE_NOCHECK:-}" ] ||
  grep -E 'tests passed, [0-9]+ tests? failed out of' "$work/build.log" ||
  fail "the build ran no unit tests"
# The sanitizer builds use clang: this is where GCC with Debian's flags sees
# the product's code, so its warnings count here (but for -Wrestrict, GCC
# 12's known false positive on std::string).
warnings=$(grep -E '^[^ ]+:[0-9]+:[0-9]+: warning: ' "$work/build.log" | grep -v -- '-Wrestrict' || true)
if [ -n "$warnings" ]; then
  echo "$warnings"
  fail "GCC warned while building the package"
fi
version=$(cd "$work/src" && dpkg-parsechangelog -S Version)
arch=$(dpkg --print-architecture)
deb=$work/keld4_${version}_${arch}.deb
[ -f "$deb" ] || fail "no $(basename "$deb")"
if [ -n "${KELD4_PACKAGE_KEEP:-}" ]; then cp "$work"/*.deb "$KELD4_PACKAGE_KEEP"/; fi

step "lintian"
lintian --fail-on error,warning "$work"/keld4_*.changes ||
  fail "lintian reports errors or warnings"

step "install"
dpkg -i "$deb"
installed=1
for f in /usr/sbin/keld4 /usr/bin/keld4-reg /usr/bin/keld4-coordinator; do
  [ -x "$f" ] || fail "$f missing"
done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for f in /usr/share/keld4/keld4.reg /usr/share/bash-completion/completions/keld4 \
  /usr/share/bash-completion/completions/keld4-reg \
  "/usr/lib/$multiarch/wireshark/plugins/keld4.lua"; do
  [ -f "$f" ] || fail "$f missing"
done
[ -d /var/lib/keld4 ] || fail "/var/lib/keld4 missing"
[ ! -e /etc/systemd/system/keld4.service ] || fail "the package installed a unit itself"
man keld4 2> /dev/null | grep -q "LocalIPAddress" || fail "man keld4 does not show the settings"
man keld4-reg 2> /dev/null | grep -q "import" || fail "man keld4-reg does not work"
completion=$(bash -c 'source /usr/share/bash-completion/completions/keld4-reg
  COMP_WORDS=(keld4-reg im); COMP_CWORD=1; _keld4_reg; echo "${COMPREPLY[*]}"')
[ "$completion" = import ] || fail "keld4-reg completion offers '$completion'"

step "settings and service"
keld4-reg import /usr/share/keld4/keld4.reg
keld4-reg query 'HKLM\SOFTWARE\Ostrel\KELD4\Parameter' /v PortNumber | grep -q 0xafca ||
  fail "the imported settings are not in the registry"
# The unit goes into the system's folder; systemctl is left out, so nothing
# is enabled or reloaded here.
KELD4_SYSTEMCTL=/bin/true keld4 -Service || fail "keld4 -Service failed"
unit=/etc/systemd/system/keld4.service
[ -f "$unit" ] || fail "keld4 -Service wrote no unit"
grep -qx "ExecStart=/usr/sbin/keld4" "$unit" || fail "the unit does not start /usr/sbin/keld4"
grep -q "^Environment=" "$unit" && fail "the unit names the default registry file"
grep -qx "ReadWritePaths=/var/lib/keld4 -/var/log" "$unit" || fail "the unit's ReadWritePaths are wrong"
systemd-analyze verify "$unit" || fail "systemd-analyze verify rejects the unit"
exposure=$(systemd-analyze security --offline=true --no-pager "$unit" |
  sed -nE 's/.*Overall exposure level for keld4\.service: ([0-9.]+).*/\1/p')
echo "exposure of the installed unit: $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' || fail "exposure $exposure above 2.0"

step "coordinator unit"
cunit=/lib/systemd/system/keld4-coordinator.service
[ -f "$cunit" ] || fail "$cunit missing"
[ ! -e /etc/systemd/system/multi-user.target.wants/keld4-coordinator.service ] ||
  fail "the package enabled keld4-coordinator.service"
[ -f /usr/share/doc/keld4/examples/pair/coordinator.conf ] || fail "the pair example is missing"
systemd-analyze verify "$cunit" || fail "systemd-analyze verify rejects $cunit"
cexposure=$(systemd-analyze security --offline=true --no-pager "$cunit" |
  sed -nE 's/.*Overall exposure level for keld4-coordinator\.service: ([0-9.]+).*/\1/p')
echo "exposure of the coordinator's unit: $cexposure"
awk -v e="$cexposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' || fail "exposure $cexposure above 2.0"

step "remove"
dpkg -r keld4
for f in /usr/sbin/keld4 /usr/bin/keld4-reg /usr/share/man/man8/keld4.8.gz "$unit"; do
  [ ! -e "$f" ] || fail "$f left after removal"
done
[ -f /var/lib/keld4/registry.reg ] || fail "removal deleted the registry file"
grep -q LocalIPAddress /var/lib/keld4/registry.reg || fail "removal changed the settings"

step "purge"
dpkg -P keld4
installed=0
[ ! -e /var/lib/keld4 ] || fail "/var/lib/keld4 left after purge"
if dpkg-query -W keld4 > /dev/null 2>&1; then fail "dpkg still knows keld4 after purge"; fi
