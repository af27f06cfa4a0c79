#!/usr/bin/env bash
# Re-signs the internal test catalogue with the development key (see tools/dev-keys/README.md).
# Usage: bash tools/sign-dev-catalogue.sh [BUILD-DIR]   (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
cmake --build "$build" --target korvex-catalogue-sign
"$build/tools/korvex-catalogue-sign" sign tools/dev-keys/korvex-dev-2026.private.pem \
    korvex-dev-2026 tools/dev-catalogue/catalogue.json resources/catalogue-bundled.json
"$build/tools/korvex-catalogue-sign" verify resources/catalogue-config.json \
    resources/catalogue-bundled.json
