#!/usr/bin/env bash
# Renders every page of korvex-imager (and its dialogs) in Chinese and English, at 760 x 600 and
# 1024 x 760, to PNG files: bash scripts/screenshots.sh [FOLDER] (default build/screenshots).
# Needs no display: the window is drawn on Qt's offscreen platform from a prepared model.
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-build/screenshots}
build=build/screenshots-tool
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVI_TESTS=ON -DKVI_BENCH=OFF \
    "${launcher[@]}" >/dev/null
cmake --build "$build" --target kvi-screenshots
rm -rf "$out"
"$build/tests/kvi-screenshots" "$out"
