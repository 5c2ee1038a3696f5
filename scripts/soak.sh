#!/usr/bin/env bash
# Soak run: the real window, headless, shows the simulated camera's 640x480 stream at 30 fps for a
# long time while commands go to the camera at random, and fails if its resident memory grows
# after the warm-up. Options: --minutes M (default 10), or --seconds S for a short run; any other
# options go to bench_soak_window as they are (--seed N, --warmup S, --limit-mb MB, --port P).
set -euo pipefail
cd "$(dirname "$0")/.."

args=()
while (($# > 0)); do
    case $1 in
        --minutes | --seconds | --seed | --warmup | --sample | --limit-mb | --port)
            args+=("$1" "${2:?$1 needs a value}")
            shift 2
            ;;
        *)
            echo "usage: scripts/soak.sh [--minutes M | --seconds S] [--seed N] [--warmup S]" \
                "[--sample S] [--limit-mb MB] [--port P]" >&2
            exit 2
            ;;
    esac
done

bash scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target bench_soak_window kestrel-camsim -j 1

bin=build/default
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
echo "==> soak: the window against the simulated camera"
"$bin/bench/bench_soak_window" --camsim "$bin/tools/camsim/kestrel-camsim" "${args[@]}"
