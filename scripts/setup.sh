#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Korvex Imager needs.
# Quick when everything is already present; uses sudo when not run as root.
set -euo pipefail

packages=(
    # toolchain
    build-essential cmake ninja-build pkg-config clang libclang-rt-dev ccache
    # libraries
    libarchive-dev libssl-dev nlohmann-json3-dev libpcre2-dev libicu-dev
    libcurl4-openssl-dev libsystemd-dev
    # tests and benchmarks
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    # the system tools the programs and tests run
    util-linux mount pciutils sudo pkexec openssl gzip xz-utils zip unzip e2fsprogs
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$status" = "installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
