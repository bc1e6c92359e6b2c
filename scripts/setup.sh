#!/usr/bin/env bash
# Installs what the build needs and builds the two MinGW-side libraries
# (GoogleTest and TinyXML-2) into build/deps. A second run only checks.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QVX_BUILD_DIR:-$root/build}
deps=${QVX_DEPS_DIR:-$build/deps}
mkdir -p "$deps"

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

apt_updated=
apt_update_once() {
    if [ -z "$apt_updated" ]; then
        as_root apt-get update -qq
        apt_updated=1
    fi
}

need_pkgs=()
have() { command -v "$1" >/dev/null 2>&1; }
have x86_64-w64-mingw32-g++-posix || need_pkgs+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix)
have x86_64-w64-mingw32-windmc || need_pkgs+=(binutils-mingw-w64-x86-64)
have wine || need_pkgs+=(wine)
have wine64 || [ -x /usr/lib/wine/wine64 ] || need_pkgs+=(wine64)
have cmake || need_pkgs+=(cmake)
have osslsigncode || need_pkgs+=(osslsigncode)
have openssl || need_pkgs+=(openssl)
have dpkg-source || need_pkgs+=(dpkg-dev)
[ -f /usr/src/googletest/CMakeLists.txt ] || need_pkgs+=(googletest)
if [ ${#need_pkgs[@]} -gt 0 ]; then
    echo "setup: installing ${need_pkgs[*]}"
    apt_update_once
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_pkgs[@]}" >/dev/null
fi

toolchain=$root/cmake/mingw-w64-x86_64.cmake

# Each library's folder holds a VERSION file: the Debian version it was built
# from. A later run rebuilds a library whose Debian version has changed (or
# that has no VERSION file, from an older setup).
recorded_version() { cat "$1/VERSION" 2>/dev/null || true; }

# GoogleTest from the sources that Debian's googletest package installs, built
# with the MinGW toolchain.
gtest_version=$(dpkg-query -W -f='${Version}' googletest)
if [ ! -f "$deps/googletest/lib/libgtest.a" ] || [ "$(recorded_version "$deps/googletest")" != "$gtest_version" ]; then
    echo "setup: building GoogleTest $gtest_version (Debian googletest) for MinGW"
    rm -rf "$deps/googletest-build" "$deps/googletest"
    cmake -S /usr/src/googletest -B "$deps/googletest-build" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$deps/googletest" -Dgtest_disable_pthreads=OFF \
        -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON >/dev/null
    cmake --build "$deps/googletest-build" -j"$(nproc)" >/dev/null
    cmake --install "$deps/googletest-build" >/dev/null
    echo "$gtest_version" >"$deps/googletest/VERSION"
fi
echo "setup: GoogleTest $gtest_version (Debian googletest) in $deps/googletest"

# TinyXML-2 from Debian's source package. apt-get source needs a deb-src
# entry; enable-deb-src.sh derives it from the machine's own Debian source
# list. The version is the one of the source package's .dsc; the one Debian
# offers now is what `apt-get source` would fetch.
src_dir=$deps/tinyxml2-src
dsc_version() { sed -n 's/^Version: *//p' "$1" | head -n1; }
fetched_version() {
    local dsc
    dsc=$(ls "$src_dir"/tinyxml2_*.dsc 2>/dev/null | head -n1)
    if [ -n "$dsc" ] && ls "$src_dir"/tinyxml2-*/tinyxml2.cpp >/dev/null 2>&1; then dsc_version "$dsc"; fi
}
offered_version() {
    apt-get source --print-uris -qq tinyxml2 2>/dev/null |
        sed -nE "s/.* tinyxml2_([^ ]+)\.dsc .*/\1/p" | head -n1 || true
}
tinyxml2_version=$(fetched_version)
offered=$(offered_version)
if [ -z "$tinyxml2_version" ] || { [ -n "$offered" ] && [ "$offered" != "$tinyxml2_version" ]; }; then
    if [ -z "$offered" ]; then
        "$root/scripts/enable-deb-src.sh"
        apt_updated=
        apt_update_once
    fi
    rm -rf "$src_dir" && mkdir -p "$src_dir"
    (cd "$src_dir" && apt-get source -qq tinyxml2 >/dev/null)
    tinyxml2_version=$(fetched_version)
    [ -n "$tinyxml2_version" ] || { echo "setup: apt-get source tinyxml2 gave no tinyxml2.cpp" >&2; exit 1; }
fi
if [ ! -f "$deps/tinyxml2/lib/libtinyxml2.a" ] || [ "$(recorded_version "$deps/tinyxml2")" != "$tinyxml2_version" ]; then
    src=$(ls -d "$src_dir"/tinyxml2-*/ | head -n1)
    echo "setup: building TinyXML-2 $tinyxml2_version (Debian source package tinyxml2) for MinGW from ${src%/}"
    rm -rf "$deps/tinyxml2"
    mkdir -p "$deps/tinyxml2/lib" "$deps/tinyxml2/include"
    x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -c "$src/tinyxml2.cpp" -o "$deps/tinyxml2/tinyxml2.o"
    x86_64-w64-mingw32-ar rcs "$deps/tinyxml2/lib/libtinyxml2.a" "$deps/tinyxml2/tinyxml2.o"
    cp "$src/tinyxml2.h" "$deps/tinyxml2/include/"
    echo "$tinyxml2_version" >"$deps/tinyxml2/VERSION"
fi
echo "setup: TinyXML-2 $tinyxml2_version (Debian source package tinyxml2) in $deps/tinyxml2"
