#!/bin/sh
# Builds the fuzz targets (preset "fuzz", clang), replays their seeds, then
# runs each target for a bounded time on a scratch copy of its seeds, so the
# corpus in the repository never grows by itself; as many targets at once as
# there are cores. Fails when any target finds something; the input that
# caused it is kept under build/fuzz/findings.
#
#   sh fuzz/run-fuzzers.sh [seconds per target, 60 by default] [target...]
set -eu
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-text_reader text_writer distribute journal_reader}

cmake --workflow --preset fuzz

findings="$PWD/build/fuzz/findings"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT INT TERM
mkdir -p "$findings"

jobs=$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 1)
fuzz_one() {
    cp -R "fuzz/corpus/$1" "$scratch/$1"
    if build/fuzz/fuzz/fuzz_"$1" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$findings/$1-" "$scratch/$1" 2>"$scratch/$1.log"; then
        : >"$scratch/$1.passed"
    fi
}
running=0
for target in $targets; do
    fuzz_one "$target" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait
        running=0
    fi
done
wait

failed=""
for target in $targets; do
    echo "== fuzz_$target for ${seconds} s"
    if [ ! -e "$scratch/$target.passed" ]; then
        failed="$failed $target"
        cat "$scratch/$target.log"
        continue
    fi
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' \
        "$scratch/$target.log" || true
done

if [ -n "$failed" ]; then
    echo "fuzzing found something in:$failed (inputs in $findings)"
    exit 1
fi
echo "fuzzing: no findings"
