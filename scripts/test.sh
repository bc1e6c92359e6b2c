#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine.
# Extra arguments go to ctest (for example: -R pipe_server --output-on-failure).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QVX_BUILD_DIR:-$root/build}
export QVX_BUILD_DIR=$build

deps=${QVX_DEPS_DIR:-$build/deps}
export QVX_DEPS_DIR=$deps

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DQVX_DEPS_DIR="$deps" >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j"${QVX_TEST_JOBS:-2}" "$@"
