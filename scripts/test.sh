#!/usr/bin/env bash
# Builds Kestrel and runs every test: the normal build, a short run of each fuzz target, then the
# build under AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer. Installs missing
# Debian packages first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

jobs=$(nproc)
test_preset() {
    echo "==> $1: configure, build, test"
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j "$jobs"
    ctest --preset "$1" -j "$jobs"
}

test_preset default
echo "==> fuzz: a short run of each target"
bash scripts/fuzz.sh --seconds 60
test_preset asan
