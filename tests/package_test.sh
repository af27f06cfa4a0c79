#!/usr/bin/env bash
# The Debian package as it reaches a machine: its control fields and file modes, then its tree
# unpacked into a temporary root (dpkg-deb -x) and the programs run from there, so that they find
# their resources and the writer relative to themselves and never in the build or source tree.
# Usage: tests/package_test.sh korvex-imager_0.8.1_amd64.deb
set -euo pipefail

deb=$(realpath "$1")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
failures=0
check() {  # check DESCRIPTION COMMAND...: runs the command, reports and counts a failure
    local what=$1
    shift
    if "$@" >"$root/.out" 2>&1; then
        echo "ok   $what"
    else
        echo "FAIL $what"
        sed 's/^/     /' "$root/.out"
        failures=$((failures + 1))
    fi
}

fields() { dpkg-deb -f "$deb" "$@"; }
check "package name and version" test "$(fields Package Version)" = "$(printf 'Package: korvex-imager\nVersion: 0.8.1')"
depends=$(fields Depends)
for tool in util-linux mount pciutils 'pkexec | sudo' libqt6quick6; do
    check "depends on $tool" grep -qF "$tool" <<<"$depends"
done
check "recommends a Chinese font" grep -qx 'fonts-noto-cjk' <<<"$(fields Recommends)"

listing=$(dpkg-deb -c "$deb")
# Only root may replace the writer: root's, mode 755, in a folder of root's.
check "writer installed root's, mode 755" grep -qE \
    '^-rwxr-xr-x root/root .* \./usr/libexec/korvex-imager/korvex-imager-writer$' <<<"$listing"
check "writer's folder root's, mode 755" grep -qE \
    '^drwxr-xr-x root/root .* \./usr/libexec/korvex-imager/$' <<<"$listing"
check "nothing test-only installed" bash -c '! grep -qE "test|fake|screenshot|catalogue-sign" <<<"$1"' _ "$listing"

dpkg-deb -x "$deb" "$root"
usr=$root/usr
cli=$usr/bin/korvex-imager-cli
for file in bin/korvex-imager bin/korvex-imager-cli libexec/korvex-imager/korvex-imager-writer; do
    check "$file is a program" test -x "$usr/$file"
done
for file in app-config.json catalogue-bundled.json catalogue-config.json processors.tsv; do
    check "share/korvex-imager/$file" test -s "$usr/share/korvex-imager/$file"
done
for size in 16 22 24 32 48 64 128 256 512; do
    png=$usr/share/icons/hicolor/${size}x${size}/apps/org.korvex.imager.png
    check "icon ${size}x${size}" bash -c 'file -b "$1" | grep -q "PNG image data, $2 x $2"' _ "$png" "$size"
done
check "scalable icon" test -s "$usr/share/icons/hicolor/scalable/apps/org.korvex.imager.svg"
check "bash completion" bash -n "$usr/share/bash-completion/completions/korvex-imager-cli"
check "polkit action names the installed writer" grep -qF \
    '<annotate key="org.freedesktop.policykit.exec.path">/usr/libexec/korvex-imager/korvex-imager-writer</annotate>' \
    "$usr/share/polkit-1/actions/org.korvex.imager.policy"
check "polkit action is well-formed XML" python3 -c \
    'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' \
    "$usr/share/polkit-1/actions/org.korvex.imager.policy"
check "desktop-file-validate" desktop-file-validate "$usr/share/applications/org.korvex.imager.desktop"
check "appstreamcli validate --no-net" appstreamcli validate --no-net \
    "$usr/share/metainfo/org.korvex.imager.metainfo.xml"
for page in korvex-imager korvex-imager-cli; do
    # Any warning of the formatter (an unknown request, a bad escape) fails the page.
    check "man -l $page.1.gz" bash -c \
        'out=$(MANWIDTH=80 LC_ALL=C.UTF-8 man -l --warnings "$1" 2>&1 >/dev/null); [ -z "$out" ] || { echo "$out"; false; }; MANWIDTH=80 man -l "$1" | grep -q "SYNOPSIS"' \
        _ "$usr/share/man/man1/$page.1.gz"
done

# The programs from the unpacked root, which is not the prefix they were built for: what they
# find, they found relative to themselves.
check "korvex-imager-cli --version" bash -c '"$1" --version | head -1 | grep -qx "korvex-imager-cli 0.8.1"' _ "$cli"
check "the client finds the unpacked writer" bash -c \
    '"$1" --version | grep -qF "writer: $2 ("' _ "$cli" "$usr/libexec/korvex-imager/korvex-imager-writer"
check "the client finds the unpacked resources" bash -c \
    '"$1" --version | grep -qxF "resources: $2"' _ "$cli" "$usr/share/korvex-imager"
check "korvex-imager-cli list" "$cli" list
head -c 1048576 /dev/urandom >"$root/image.img"
gzip -k "$root/image.img"
expected=$(sha256sum <"$root/image.img" | cut -d' ' -f1)
check "korvex-imager-cli inspect on an image" bash -c \
    '"$1" inspect "$2" | grep -qx "expandedSHA256	$3"' _ "$cli" "$root/image.img.gz" "$expected"
check "korvex-imager-cli with an unknown option" bash -c '"$1" --frobnicate; [ $? -eq 2 ]' _ "$cli"

if [ "$failures" -ne 0 ]; then
    echo "$failures package check(s) failed"
    exit 1
fi
echo "package checks passed"
