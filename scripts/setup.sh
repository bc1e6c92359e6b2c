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

# GoogleTest from Debian's sources, built with the MinGW toolchain.
if [ ! -f "$deps/googletest/lib/libgtest.a" ]; then
    echo "setup: building GoogleTest for MinGW"
    rm -rf "$deps/googletest-build"
    cmake -S /usr/src/googletest -B "$deps/googletest-build" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$deps/googletest" -Dgtest_disable_pthreads=OFF \
        -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON >/dev/null
    cmake --build "$deps/googletest-build" -j"$(nproc)" >/dev/null
    cmake --install "$deps/googletest-build" >/dev/null
fi

# TinyXML-2 from Debian's source package. apt-get source needs a deb-src
# entry; derive it from the machine's own Debian source list.
if [ ! -f "$deps/tinyxml2/lib/libtinyxml2.a" ]; then
    src_dir=$deps/tinyxml2-src
    if ! ls "$src_dir"/tinyxml2-*/tinyxml2.cpp >/dev/null 2>&1; then
        "$root/scripts/enable-deb-src.sh"
        apt_updated=
        apt_update_once
        rm -rf "$src_dir" && mkdir -p "$src_dir"
        (cd "$src_dir" && apt-get source -qq tinyxml2 >/dev/null)
    fi
    src=$(ls -d "$src_dir"/tinyxml2-*/ | head -n1)
    echo "setup: building TinyXML-2 for MinGW from ${src%/}"
    mkdir -p "$deps/tinyxml2/lib" "$deps/tinyxml2/include"
    x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -c "$src/tinyxml2.cpp" -o "$deps/tinyxml2/tinyxml2.o"
    x86_64-w64-mingw32-ar rcs "$deps/tinyxml2/lib/libtinyxml2.a" "$deps/tinyxml2/tinyxml2.o"
    cp "$src/tinyxml2.h" "$deps/tinyxml2/include/"
fi
