#!/usr/bin/env bash
# Installs the Debian packages Kestrel needs to build, test and run, if any are missing.
# This is the one list of them.
set -euo pipefail

packages=(
    # build
    g++ cmake ninja-build pkg-config
    qt6-base-dev libjpeg62-turbo-dev
    # tests, fuzzing and benchmarks
    libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
    # a display for the window when there is none, and screenshots of it
    xvfb xauth xdotool x11-utils imagemagick fonts-dejavu-core
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed'; then
        missing+=("$package")
    fi
done

if ((${#missing[@]} > 0)); then
    echo "Installing: ${missing[*]}"
    if [[ $(id -u) -ne 0 ]]; then
        sudo=sudo
    else
        sudo=
    fi
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
