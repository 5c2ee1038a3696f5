#!/usr/bin/env bash
# Builds Kestrel and runs every test: the normal build, the build under AddressSanitizer,
# UndefinedBehaviorSanitizer and LeakSanitizer, then a short run of each fuzz target. Installs
# missing Debian packages first.
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

echo "==> fuzz: a short run of each target"
bash scripts/fuzz.sh --seconds 60
