#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages keld4 builds and tests with. Idempotent: does
# nothing when every package is already there.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config
  systemd
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-tidy clang-format libclang-rt-14-dev
  iproute2 util-linux procps python3
  stress-ng sysstat nlohmann-json3-dev
  # Debian package, manual pages, Wireshark dissector
  debhelper dpkg-dev lintian man-db bash-completion tshark strace
  # the coordinator's options and the balancer's tests
  haproxy libcli11-dev
  keepalived  # the redundant pair's failover test (tests/acceptance/test_pair.py)
  # the coordinator's nftables driver, and nft for its tests
  nftables libnftables-dev libnftnl-dev libmnl-dev
  # the coordinator's --metrics, its Prometheus and browser tests (curl for the demo)
  libcpp-httplib-dev prometheus-cpp-dev prometheus chromium curl
  # the Windows cross build and its tests under Wine (64-bit only: no i386)
  g++-mingw-w64-x86-64-posix wine wine64
  # the Windows smoke test: a Japanese locale of its own (localedef), iconv
  locales
  # keld4.msi (wixl, msibuild) and its test (msiinfo)
  wixl msitools
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # A new machine installs hundreds of packages: no sync after each file,
  # and no re-indexing of every manual page after each package (man-db's
  # daily timer catches up).
  manindex=/var/lib/man-db/auto-update
  if [ -e "$manindex" ]; then
    rm -f "$manindex"
    trap 'touch "$manindex"' EXIT
  fi
  apt-get install -y -qq --no-install-recommends -o Dpkg::Options::=--force-unsafe-io \
    "${missing[@]}"
fi
