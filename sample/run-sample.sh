#!/bin/sh
# Splits a scratch copy of the bundled merged file and shows what came of it.
# Usage: sh sample/run-sample.sh [path to vrtl_sdf]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
binary=$(cd "$here/.." && pwd)/build/default/vrtl_sdf
[ $# -gt 0 ] && binary=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/exchange"
cp "$here/exchange.mrg" "$scratch/exchange/"
cd "$scratch"

echo "\$ vrtl_sdf exchange mrg"
status=0
"$binary" exchange mrg || status=$?
echo "\$ echo \$?"
echo "$status"
for file in work1d.tmp exchange/*; do
    echo
    echo "== $file (CR shown as ^M)"
    cat -v "$file"
done
