#!/usr/bin/env bash
# Checks the packages that the package workflows made: what each one holds,
# lintian on the Debian package, that the source package builds, and that the
# packaged command shows the version of project() and splits the sample.
# Make them first:
#   cmake --workflow --preset package           # build/release: .deb, .tar.gz
#   cmake --workflow --preset package-source    # build/release: source .tar.gz
#   cmake --workflow --preset package-windows   # build/windows-release: .zip
# Needs dpkg-deb, lintian, file, unzip and the mingw-w64 binutils; runs the
# .exe under Wine when WINEPREFIX names a Wine prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

release=build/release
windows=build/windows-release
fail() { echo "check-packages: $*" >&2; exit 1; }

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$release/CPackConfig.cmake" 2>/dev/null || true)
[ -n "$version" ] || fail "no $release/CPackConfig.cmake: run cmake --workflow --preset package first"
echo "version from project(): $version"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The console of a run must start with the banner of this version.
check_banner() { # console-file what
    local banner
    banner=$(head -n 1 "$1" | tr -d '\r')
    case $banner in
    "Vortel SDF datotek $version "*) echo "$2 shows: $banner" ;;
    *) fail "$2 shows no banner of version $version: $(head -c 120 "$1" | od -c | head -n 4)" ;;
    esac
}

# Splits a scratch copy of the bundled sample with a command given as words.
split_sample() { # what command...
    local what=$1 dir
    shift
    dir=$(mktemp -d "$scratch/sample.XXXXXX")
    mkdir "$dir/exchange"
    cp sample/exchange.mrg "$dir/exchange/"
    (cd "$dir" && "$@" exchange mrg >console.txt) || fail "$what: exit code $? on the sample"
    check_banner "$dir/console.txt" "$what"
    [ ! -e "$dir/exchange/exchange.mrg" ] && [ -s "$dir/exchange/ORDERS.sdf" ] \
        || fail "$what did not split the sample: $(ls "$dir/exchange")"
    echo "$what splits the sample into: $(cd "$dir/exchange" && echo *)"
}

# The tree that `cmake --install` makes under /usr, files only.
expected="./usr/bin/vrtl_sdf
./usr/share/doc/vrtl-sdf/README.md
./usr/share/doc/vrtl-sdf/changelog.gz
./usr/share/doc/vrtl-sdf/copyright
./usr/share/doc/vrtl-sdf/doc/operators.md
./usr/share/doc/vrtl-sdf/doc/safety.md
./usr/share/man/man1/vrtl_sdf.1.gz"

deb=$release/vrtl-sdf_${version}_amd64.deb
echo "== $deb"
dpkg-deb -c "$deb"
diff <(echo "$expected") <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort) \
    || fail "$deb holds other files than expected"
lintian --fail-on error,warning "$deb" || fail "lintian found errors or warnings in $deb (above)"
echo "lintian: no error or warning"
dpkg-deb -x "$deb" "$scratch/deb"
grep -qF ', stripped' <<<"$(file "$scratch/deb/usr/bin/vrtl_sdf")" || fail "the packaged binary is not stripped"
split_sample "the .deb's vrtl_sdf" "$scratch/deb/usr/bin/vrtl_sdf"

tgz=$release/vrtl_sdf-$version-Linux.tar.gz
echo "== $tgz"
diff <(echo "$expected") <(tar -tzf "$tgz" | grep -v '/$' | sed "s|^vrtl_sdf-$version-Linux/|./usr/|" | sort) \
    || fail "$tgz holds another tree than the .deb"

source_tgz=$release/vrtl_sdf-$version-Source.tar.gz
echo "== $source_tgz"
listing=$(tar -tzf "$source_tgz")
grep -qx "vrtl_sdf-$version-Source/CMakeLists.txt" <<<"$listing" || fail "no CMakeLists.txt in $source_tgz"
! grep -E '^[^/]+/(build/|\.git/|\.git$)|work1d\.tmp$' <<<"$listing" \
    || fail "$source_tgz holds a build tree, version control or scratch data"
tar -xzf "$source_tgz" -C "$scratch"
# Without tests GoogleTest is not even looked for: a REQUIRED search of a
# disabled package would end the configure.
cmake -S "$scratch/vrtl_sdf-$version-Source" -B "$scratch/source-build" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON --no-warn-unused-cli >"$scratch/configure.log" \
    || { cat "$scratch/configure.log"; fail "the source package does not configure without GoogleTest"; }
cmake --build "$scratch/source-build" -j2 >"$scratch/build.log" \
    || { cat "$scratch/build.log"; fail "the source package does not build"; }
split_sample "the source package's vrtl_sdf" "$scratch/source-build/vrtl_sdf"

zip=$windows/vrtl_sdf-$version-win64.zip
echo "== $zip"
unzip -l "$zip"
diff <(printf '%s\n' "vrtl_sdf-$version-win64/README.txt" "vrtl_sdf-$version-win64/vrtl_sdf.exe") \
    <(unzip -Z1 "$zip" | sort) || fail "$zip holds other files than the .exe and README.txt"
unzip -q "$zip" -d "$scratch/zip"
unpacked=$scratch/zip/vrtl_sdf-$version-win64
{ cat doc/windows.md; echo; cat README.md; } | sed 's/$/\r/' | cmp - "$unpacked/README.txt" \
    || fail "README.txt is not the Windows page and README.md with CR LF"
grep -qF 'stripped' <<<"$(file "$unpacked/vrtl_sdf.exe")" || fail "the packaged vrtl_sdf.exe is not stripped"
resources=$(x86_64-w64-mingw32-windres -i "$unpacked/vrtl_sdf.exe" -O rc)
for value in "\"ProductName\", \"vrtl_sdf\"" "\"ProductVersion\", \"$version\"" "\"FileVersion\", \"$version\"" \
    "\"FileDescription\", "; do
    grep -qF "VALUE $value" <<<"$resources" || fail "vrtl_sdf.exe lacks the version information VALUE $value"
done
echo "vrtl_sdf.exe carries:"
grep -E 'VALUE "(ProductName|ProductVersion|FileDescription)"' <<<"$resources"
if command -v wine >/dev/null && [ -d "${WINEPREFIX:-/nonexistent}" ]; then
    WINEDEBUG=-all split_sample "the .zip's vrtl_sdf.exe under Wine" wine "$unpacked/vrtl_sdf.exe"
else
    echo "no Wine prefix (WINEPREFIX): the .exe is not run"
fi

echo "packages: all checks passed"
