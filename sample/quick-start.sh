#!/bin/sh
# Installs what the build needs when it is missing, builds the command without
# its tests, and splits a scratch copy of the bundled sample.
# Usage: sh sample/quick-start.sh   (as root, or as a user who may use sudo)
set -eu
cd "$(dirname "$0")/.."

missing=
for tool in cmake make g++; do
    command -v "$tool" >/dev/null || missing="$missing $tool"
done
if [ -n "$missing" ]; then
    as_root=
    [ "$(id -u)" -eq 0 ] || as_root=sudo
    echo "installing:$missing"
    $as_root apt-get update -q
    # Word splitting of $missing is wanted: one package a word.
    $as_root env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends $missing
fi

cmake --preset release >/dev/null
cmake --build --preset release
echo
sh sample/run-sample.sh build/release/vrtl_sdf
