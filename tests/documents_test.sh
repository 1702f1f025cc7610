#!/bin/sh
# What the documents show, held to what ships.
# Usage: documents_test.sh man-page PAGE
#        documents_test.sh readme-sample README BINARY
# Ends with 77 (skipped) when man is missing.
set -eu

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
    mkdir "$scratch/exchange"
    cp "$(dirname "$0")/../sample/exchange.mrg" "$scratch/exchange/"
    status=0
    (cd "$scratch" && "$binary" exchange mrg >console) || status=$?
    # Every console line ends with CR LF, which the README shows as a line end.
    if grep -qv "$(printf '\r')\$" "$scratch/console"; then
        echo "a console line without CR LF"; exit 1
    fi
    { echo '$ vrtl_sdf exchange mrg'; sed "s/$(printf '\r')\$//" "$scratch/console"; echo '$ echo $?'; echo "$status"; } >"$scratch/run"
    diff "$scratch/shown" "$scratch/run"
    ;;
*)
    echo "usage: $0 man-page PAGE | readme-sample README BINARY" >&2
    exit 2
    ;;
esac
