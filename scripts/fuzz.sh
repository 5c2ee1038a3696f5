#!/usr/bin/env bash
# Builds the fuzz targets (the fuzz preset: clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each of them for a bounded time, starting from the
# corpus in fuzz/corpus/. Any crash, leak, sanitizer report or broken round trip fails the run;
# the input that caused it is left in build/fuzz/artifacts/.
#
#   scripts/fuzz.sh [--seconds S | --minutes M] [--keep]
#
# --seconds S   run each target S seconds (default 60), one after the other
# --minutes M   the long run: each target M minutes, all at once on the machine's cores
# --keep        merge the new inputs that found new code back into fuzz/corpus/
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
parallel=false
keep=false
while (($#)); do
    case $1 in
        --seconds) seconds=$2; shift 2 ;;
        --minutes) seconds=$(($2 * 60)); parallel=true; shift 2 ;;
        --keep) keep=true; shift ;;
        *) echo "usage: $0 [--seconds S | --minutes M] [--keep]" >&2; exit 2 ;;
    esac
done

bash scripts/deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

targets=(fuzz_stream fuzz_replies fuzz_settings)
declare -A corpus=([fuzz_stream]=stream [fuzz_replies]=replies [fuzz_settings]=settings)
work=build/fuzz/work
artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"
# Leaks are checked at the end of each run; UBSan reports stop the run like crashes.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run() {
    local target=$1 dir=$work/${corpus[$1]}
    rm -rf "$dir" && mkdir -p "$dir"
    cp fuzz/corpus/"${corpus[$target]}"/* "$dir"/
    echo "==> $target for ${seconds} s"
    "build/fuzz/fuzz/$target" "$dir" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
        -rss_limit_mb=2048 -artifact_prefix="$artifacts/$target-" -print_final_stats=1 \
        >"build/fuzz/$target.log" 2>&1 || {
        echo "FAILED: $target (see build/fuzz/$target.log and $artifacts/)" >&2
        tail -n 40 "build/fuzz/$target.log" >&2
        return 1
    }
    grep -E '^(stat::number_of_executed_units|stat::new_units_added)' "build/fuzz/$target.log" |
        sed "s/^/    $target /"
    if $keep; then
        "build/fuzz/fuzz/$target" -merge=1 fuzz/corpus/"${corpus[$target]}" "$dir" \
            >/dev/null 2>&1
    fi
}

status=0
if $parallel; then
    pids=()
    for target in "${targets[@]}"; do
        run "$target" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do
        wait "$pid" || status=1
    done
else
    for target in "${targets[@]}"; do
        run "$target" || status=1
    done
fi
((status == 0)) && echo "fuzzing: 3 targets ran clean"
exit $status
