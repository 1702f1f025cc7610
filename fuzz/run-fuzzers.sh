#!/bin/sh
# Builds the fuzz targets (preset "fuzz", clang), replays their seeds, then
# runs each target for a bounded time on a scratch copy of its seeds, so the
# corpus in the repository never grows by itself. Fails when any target finds
# something; the input that caused it is kept under build/fuzz/findings.
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

failed=""
for target in $targets; do
    cp -R "fuzz/corpus/$target" "$scratch/$target"
    echo "== fuzz_$target for ${seconds} s"
    if ! build/fuzz/fuzz/fuzz_"$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$findings/$target-" "$scratch/$target" 2>"$scratch/$target.log"; then
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
