#!/bin/sh
# What the documents show, held to what ships.
# Usage: documents_test.sh man-page PAGE
#        documents_test.sh readme-sample README BINARY
#        documents_test.sh quick-start README
# Ends with 77 (skipped) when man is missing.
set -eu
project=$(cd "$(dirname "$0")/.." && pwd)
cr=$(printf '\r')

case $1 in
man-page)
    command -v man >/dev/null || { echo "man is not installed"; exit 77; }
    # man --warnings shows groff's warnings on standard error; any is a fault.
    warnings=$(MANWIDTH=80 man --warnings -l "$2" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$warnings"; exit 1; }
    ;;
readme-sample)
    readme=$2 binary=$3
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    # The console block of the README's example, from its command to its fence.
    awk '$0 == "$ vrtl_sdf exchange mrg" { shown = 1 } shown && /^```/ { exit } shown' "$readme" >"$scratch/shown"
    [ -s "$scratch/shown" ] || { echo "no console of the sample in $readme"; exit 1; }
    # What the sample's script, which the quick start runs, prints of this build.
    lines=$(wc -l <"$scratch/shown")
    sh "$project/sample/run-sample.sh" "$binary" | head -n "$lines" >"$scratch/run"
    # Every console line ends with CR LF, which the README shows as a line end.
    if sed -n "2,$((lines - 2))p" "$scratch/run" | grep -qv "$cr\$"; then
        echo "a console line without CR LF"; exit 1
    fi
    sed "s/$cr\$//" "$scratch/run" | diff "$scratch/shown" -
    ;;
quick-start)
    readme=$2
    # The first block under "## Quick start": the commands a newcomer copies.
    commands=$(awk '/^## / { section = $0 } section == "## Quick start" && /^```/ { fences++; next }
                    fences == 1' "$readme")
    [ -n "$commands" ] || { echo "no quick start in $readme"; exit 1; }
    echo "$commands" | while read -r shell script; do
        [ -f "$project/$script" ] || { echo "the quick start runs $script, which is not there"; exit 1; }
    done
    # CI runs the first as it stands, and is the last.
    first=$(echo "$commands" | head -n 1) last=$(echo "$commands" | tail -n 1)
    grep -qxF "$first" "$project/.ci/run" || { echo "CI does not run '$first'"; exit 1; }
    [ "$last" = "bash .ci/run" ] || { echo "the quick start's last command is not CI's: '$last'"; exit 1; }
    ;;
*)
    echo "usage: $0 man-page PAGE | readme-sample README BINARY | quick-start README" >&2
    exit 2
    ;;
esac
