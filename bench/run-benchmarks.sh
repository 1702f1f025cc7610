#!/usr/bin/env bash
# Splits generated merged files with vrtl_sdf and with the tools a user would
# take instead, side by side on the same bytes, and prints medians, ratios and
# peak memory. Builds what it needs in build/default first.
#
# Usage: bench/run-benchmarks.sh [--quick] [--runs N] [--compare BINARY]
#   --quick   small files and 3 runs: a smoke test of the whole procedure
#   --runs N  timed runs of each command (default 7)
#   --compare BINARY  also time another build of vrtl_sdf, such as one made
#             from an earlier commit, as the row "compared"
# Scratch data goes to a fresh directory under $BENCH_SCRATCH (default: the
# build directory, on the disk the SDF files would live on) and is removed at
# the end. The largest case needs about 700 MB there.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=7
quick=no
compared=
while [ $# -gt 0 ]; do
    case $1 in
    --quick) quick=yes; runs=3 ;;
    --runs) runs=$2; shift ;;
    --compare) compared=$(realpath "$2"); shift ;;
    *) echo "usage: $0 [--quick] [--runs N] [--compare BINARY]" >&2; exit 2 ;;
    esac
    shift
done

# Bytes, not characters: awk's substr() and the trim see what the command sees.
export LC_ALL=C

for tool in hyperfine mawk gawk dd cmake; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done
[ -x /usr/bin/time ] || { echo "missing: /usr/bin/time (Debian package time)" >&2; exit 2; }

echo "== building (cmake --preset default, targets vrtl_sdf make_merged split_floor skip_sync)"
(cd "$root" && cmake --preset default -DVRTL_SDF_BENCH=ON >/dev/null)
cmake --build "$root/build/default" -j2 --target vrtl_sdf make_merged split_floor skip_sync >/dev/null
bin=$root/build/default
awk_script=$root/bench/split.awk

scratch_parent=${BENCH_SCRATCH:-$bin}
mkdir -p "$scratch_parent"
scratch=$(mktemp -d "$scratch_parent/bench-scratch.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
free_kb=$(df -Pk . | awk 'NR == 2 { print $4 }')
if [ "$free_kb" -lt 800000 ]; then
    echo "only $((free_kb / 1024)) MB free in $scratch_parent; about 700 MB are needed (BENCH_SCRATCH=DIR)" >&2
    exit 2
fi

# Fresh output directory "run"; copy=yes puts a copy of the merged file in it,
# flushed to disk so that its write-back does not fall into the timed run.
prepare() { # merged copy
    if [ "$2" = yes ]; then
        echo "rm -rf run && mkdir run && cp $1 run/x.mrg && sync run/x.mrg"
    else
        echo "rm -rf run && mkdir run"
    fi
}

# The commands of the comparison, as "name|needs a copy|command line" (run in $scratch).
commands() { # merged
    cat <<LIST
vrtl_sdf|yes|$bin/vrtl_sdf run mrg > console.txt
${compared:+compared|yes|$compared run mrg > console.txt
}vrtl_sdf-sync|yes|env LD_PRELOAD=$bin/bench/libskip_sync.so $bin/vrtl_sdf run mrg > console.txt
floor+sync|yes|$bin/bench/split_floor run/x.mrg run sync
floor|yes|$bin/bench/split_floor run/x.mrg run
dd bs=4096|no|dd if=$1 of=run/one bs=4096 status=none
dd+fsync|no|dd if=$1 of=run/one bs=4096 conv=fsync status=none
mawk|no|cd run && mawk -f $awk_script ../$1
gawk|no|cd run && gawk -f $awk_script ../$1
LIST
}

# Runs every command once, records its peak resident memory, and checks that
# the SDF files of vrtl_sdf, the floor and gawk are byte-identical to mawk's.
check_and_measure_memory() { # merged
    rm -f rss.txt
    while IFS='|' read -r name copy line; do
        eval "$(prepare "$1" "$copy")"
        # exec: the peak is the tool's, not that of a shell waiting for it.
        /usr/bin/time -o rss.one -f %M sh -c "$(echo "$line" | sed 's/^\(cd run && \)\{0,1\}/&exec /')" ||
            { echo "FAILED: $name exited with status $?" >&2; exit 1; }
        echo "$name|$(tail -n 1 rss.one)" >>rss.txt
        case $name in
        vrtl_sdf | compared | floor | mawk | gawk) rm -rf "check.$name"; mv run "check.$name" ;;
        esac
    done < <(commands "$1")
    for name in vrtl_sdf ${compared:+compared} floor gawk; do
        if ! diff -r -q check.mawk "check.$name" >/dev/null; then
            echo "FAILED: the SDF files of $name differ from those of mawk" >&2
            diff -r -q check.mawk "check.$name" | head >&2
            exit 1
        fi
    done
    echo "   SDF files of vrtl_sdf, ${compared:+compared, }floor and gawk are byte-identical to mawk's ($(ls check.mawk | wc -l) files)"
    rm -rf check.* run
}

time_commands() { # merged
    local arguments=()
    while IFS='|' read -r name copy line; do
        arguments+=(--prepare "$(prepare "$1" "$copy")" -n "$name" "$line")
    done < <(commands "$1")
    hyperfine --style basic --warmup 1 --runs "$runs" --export-csv times.csv "${arguments[@]}" >hyperfine.log 2>&1 ||
        { cat hyperfine.log >&2; exit 1; }
    rm -rf run
}

# The table: median wall time, vrtl_sdf's median over each peer's, mean user
# and system CPU, peak RSS.
print_table() { # title
    awk -F, -v rss_file=rss.txt -v title="$1" '
        BEGIN { while ((getline line < rss_file) > 0) { split(line, f, "|"); rss[f[1]] = f[2] } }
        NR == 1 { next }
        { name[NR] = $1; median[NR] = $4; user[NR] = $5; sys[NR] = $6; if ($1 == "vrtl_sdf") own = $4 }
        END {
            printf "   %-14s %9s %12s %8s %8s %9s\n", "command", "median s", "vrtl_sdf / it", "user s", "sys s", "peak RSS"
            for (i = 2; i <= NR; i++)
                printf "   %-14s %9.3f %12.2fx %8.3f %8.3f %6d KB\n", name[i], median[i], own / median[i], user[i], sys[i], rss[name[i]]
            for (i = 2; i <= NR; i++) ratio[name[i]] = own / median[i]
            if (title ~ /long/) {
                verdict("vrtl_sdf at most 1.15x dd+fsync", ratio["dd+fsync"] <= 1.15, ratio["dd+fsync"])
                verdict("vrtl_sdf no slower than mawk", ratio["mawk"] <= 1.0, ratio["mawk"])
            } else {
                verdict("vrtl_sdf at most 1.05x the floor (with its sync)", ratio["floor+sync"] <= 1.05, ratio["floor+sync"])
            }
            verdict("vrtl_sdf peak RSS under 8 MB", rss["vrtl_sdf"] < 8192, rss["vrtl_sdf"] / 1024)
        }
        function verdict(target, met, value) {
            printf "   target %-48s %s (%.2f)\n", target ":", met ? "met" : "MISSED", value
        }' times.csv
}

run_case() { # title bytes names records_per_run record_length
    echo
    echo "== $1: $2 bytes, $3 names, $4 records per run, $5-byte records, CR LF"
    rm -f merged.mrg
    "$bin/bench/make_merged" merged.mrg "$2" "$3" "$4" "$5" 1
    check_and_measure_memory merged.mrg
    time_commands merged.mrg
    print_table "$1"
    rm -f merged.mrg
}

echo "== machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== $runs timed runs each after one warm-up; the copy of the merged file is not timed"
cat <<'LEGEND'
   vrtl_sdf       the command, console redirected to a file
   compared       the build given with --compare, the same way
   vrtl_sdf-sync  the same with its syncs turned into no-ops (measurement only)
   floor+sync     bench/split_floor.c: only the system calls of the split, then
                  the same syncs as the command, and the deletion
   floor          the same without the syncs
   dd bs=4096     the bytes read and written once in 4096-byte pieces
   dd+fsync       the same with one fsync at the end
   mawk, gawk     bench/split.awk, the equivalent split
LEGEND
if [ $quick = yes ]; then
    run_case "long runs" 20000000 50 200 110
    run_case "one record per run" 5000000 50 1 110
else
    run_case "long runs" 200000000 50 200 110
    run_case "one record per run" 50000000 50 1 110
fi

# A small merged file in a folder that holds many other files: what a run
# costs for the folder, not for its records. The folder stays from one run
# to the next; each run gets a fresh copy of the merged file.
printf 'ALPHA   01%s\r\n' a1 a2 a3 a4 >small.mrg
printf 'BETA    01%s\r\n' b1 b2 b3 >>small.mrg
printf 'GAMMA   01%s\r\n' c1 c2 c3 >>small.mrg

# Median seconds of a run of binary on the folder run/, and its peak RSS.
time_folder_run() { # binary
    cp small.mrg run/x.mrg
    /usr/bin/time -o rss.one -f %M "$1" run mrg >console.txt
    hyperfine -N --style basic --warmup 1 --runs "$runs" --prepare "cp small.mrg run/x.mrg" --export-csv folder.csv \
        "$1 run mrg" >hyperfine.log 2>&1 || { cat hyperfine.log >&2; exit 1; }
    echo "$(awk -F, 'NR == 2 { print $4 }' folder.csv) $(tail -n 1 rss.one)"
}

folder_cases() { # count of the largest folder
    local big=$1 medium=$(($1 / 10)) small=$(($1 / 100))
    echo
    echo "== a small merged file (10 records, 3 names) in a folder of many files"
    printf '   %-22s %10s %9s %9s' "folder" "median s" "/ empty" "peak RSS"
    [ -n "$compared" ] && printf ' %12s %9s' "compared s" "/ empty"
    echo
    rm -f folder.txt
    local label count extension own own_rss other empty compared_empty
    while IFS='|' read -r label count extension; do
        rm -rf run && mkdir run
        (cd run && seq -f "F%07g.$extension" 1 "$count" | xargs -r touch)
        read -r own own_rss <<<"$(time_folder_run "$bin/vrtl_sdf")"
        [ "$label" = empty ] && empty=$own
        printf '   %-22s %10.4f %8.2fx %6d KB' "$label" "$own" "$(awk "BEGIN { print $own / $empty }")" "$own_rss"
        if [ -n "$compared" ]; then
            read -r other _ <<<"$(time_folder_run "$compared")"
            [ "$label" = empty ] && compared_empty=$other
            printf ' %12.4f %8.2fx' "$other" "$(awk "BEGIN { print $other / $compared_empty }")"
        fi
        echo
        echo "$label|$own|$own_rss" >>folder.txt
    done <<LIST
empty|0|sdf
$small .sdf files|$small|sdf
$medium .sdf files|$medium|sdf
$big .sdf files|$big|sdf
$big .txt files|$big|txt
LIST
    rm -rf run
    awk -F'|' -v big="$big" -v medium="$medium" '
        { time[$1] = $2; rss[$1] = $3; if ($3 > peak) peak = $3 }
        END {
            other = time[big " .txt files"] / time["empty"]
            sdf = time[medium " .sdf files"] / time["empty"]
            printf "   target %-60s %s (%.2f)\n", big " files of another extension at most 1.5x an empty folder:", other <= 1.5 ? "met" : "MISSED", other
            printf "   target %-60s %s (%.2f)\n", medium " .sdf files at most 2x an empty folder:", sdf <= 2 ? "met" : "MISSED", sdf
            printf "   target %-60s %s (%.2f)\n", "peak RSS under 8 MB in every case:", peak < 8192 ? "met" : "MISSED", peak / 1024
        }' folder.txt
}

if [ $quick = yes ]; then
    folder_cases 10000
else
    folder_cases 100000
fi

echo
echo "== load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
