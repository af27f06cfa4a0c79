#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Korvex Imager needs.
# Quick when everything is already present; uses sudo when not run as root.
set -euo pipefail

packages=(
    # toolchain
    build-essential cmake ninja-build pkg-config clang libclang-rt-dev ccache
    # libraries
    libarchive-dev libssl-dev nlohmann-json3-dev libpcre2-dev libicu-dev zlib1g-dev
    libdeflate-dev
    libcurl4-openssl-dev libsystemd-dev
    # the application model (Qt Core)
    qt6-base-dev
    # the window: Qt Quick with its QML modules, SVG symbols, a Chinese font; Xvfb for its walk
    qt6-declarative-dev qt6-svg-dev libqt6svg6 qml6-module-qtquick qml6-module-qtquick-controls
    qml6-module-qtquick-layouts qml6-module-qtquick-templates qml6-module-qtquick-window
    qml6-module-qtquick-dialogs qml6-module-qt-labs-folderlistmodel qml6-module-qtqml-workerscript
    qml6-module-qttest qt6-translations-l10n fonts-noto-cjk xvfb x11-utils
    # tests and benchmarks
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    # the system tools the programs and tests run
    util-linux mount pciutils sudo pkexec openssl gzip xz-utils zip unzip e2fsprogs
    zstd libzstd-dev bmap-tools
    # a locale with a decimal comma, for the tests of locale-free number texts
    locales
    # the Debian package: icons rendered from the SVG, shlibdeps, and its checks
    librsvg2-bin dpkg-dev file lintian desktop-file-utils appstream man-db python3
)

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

# Generated after the packages (see the end) and checked here, so a machine missing only the
# locale still gets it.
need_locale() { ! locale -a 2>/dev/null | grep -qix 'de_DE.utf8'; }
make_locale() {
    "${as_root[@]}" sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -qx 'de_DE.UTF-8 UTF-8' /etc/locale.gen ||
        echo 'de_DE.UTF-8 UTF-8' | "${as_root[@]}" tee -a /etc/locale.gen >/dev/null
    "${as_root[@]}" locale-gen >/dev/null
}

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$status" = "installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    if need_locale; then make_locale; fi
    exit 0
fi
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
if need_locale; then make_locale; fi
