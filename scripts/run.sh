#!/usr/bin/env bash
# Builds the service host and runs it in a private Wine prefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QVX_BUILD_DIR:-$root/build}
export QVX_BUILD_DIR=$build

deps=${QVX_DEPS_DIR:-$build/deps}
export QVX_DEPS_DIR=$deps

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DQVX_DEPS_DIR="$deps" >/dev/null
cmake --build "$build" -j"$(nproc)"
echo
echo "Built into $build/bin. The service process is not there yet: once it is, this"
echo "command installs qvxsvh in a private Wine prefix, starts it through the service"
echo "control manager and shows it answering on \\\\.\\pipe\\svhserver."
