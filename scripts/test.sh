#!/usr/bin/env bash
# Builds Kestrel and runs every test: the normal build, then the build under AddressSanitizer and
# UndefinedBehaviorSanitizer. Installs missing Debian packages first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

jobs=$(nproc)
for preset in default asan; do
    echo "==> $preset: configure, build, test"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done
