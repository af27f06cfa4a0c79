#!/usr/bin/env bash
# Installs what is needed, builds everything with AddressSanitizer and UndefinedBehaviorSanitizer
# (clang, so the libFuzzer targets build too) and runs every test, fuzz runs included, with ctest.
# The threaded parts also run under ThreadSanitizer, in a build of their own, first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

# The build decides what runs where, by test labels (see kvi_test in CMakeLists.txt): the programs
# labelled "threaded" (the command runner, the image pipeline, the XZ block decoders, the writer's
# heartbeat, the network transfers, the diagnostics log, the application model's hand-over) also
# run under ThreadSanitizer, in a build of their own, first.
tsan=build/tsan
CC=clang CXX=clang++ cmake -S . -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKVI_TSAN=ON -DKVI_FUZZ=OFF -DKVI_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$tsan" --target threaded-tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$tsan" --output-on-failure --timeout 900 -L threaded

# The Debian package, built as a distribution would (release, hardened, no tests), then checked
# as it reaches a machine: lintian, and its programs run from the unpacked tree.
package=build/package
rm -f "$package"/korvex-imager_*.deb
CXXFLAGS="-fstack-protector-strong -D_FORTIFY_SOURCE=2 -Wformat -Werror=format-security" \
LDFLAGS="-Wl,-z,relro -Wl,-z,now" \
    cmake -S . -B "$package" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DKVI_PACKAGE=ON -DKVI_TESTS=OFF -DKVI_BENCH=OFF -DKVI_FUZZ=OFF "${launcher[@]}" >/dev/null
cmake --build "$package"
(cd "$package" && cpack -G DEB >/dev/null)
lintian --fail-on error "$package"/korvex-imager_*.deb
bash tests/package_test.sh "$package"/korvex-imager_*.deb

build=build/test
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKVI_SANITIZE=ON -DKVI_FUZZ=ON "${launcher[@]}" >/dev/null
cmake --build "$build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# Every test, or what the arguments select, e.g. "-LE slow" for a quick run, "-L root".
ctest --test-dir "$build" --output-on-failure --timeout 900 "$@"
