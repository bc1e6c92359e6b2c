#!/usr/bin/env bash
# Builds the service host and runs it once in a private Wine prefix
# (build/run-prefix): installs qvxsvh, qvxtrust and qvxfwsvc with the prefix's
# service control manager, starts qvxsvh through it, shows it answering on
# \\.\pipe\svhserver, stops it and prints its trace lines. Finishes by itself.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QVX_BUILD_DIR:-$root/build}
export QVX_BUILD_DIR=$build

deps=${QVX_DEPS_DIR:-$build/deps}
export QVX_DEPS_DIR=$deps

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DQVX_DEPS_DIR="$deps" -DQVX_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

bin=$build/bin
prefix=$build/run-prefix
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trace_file=$prefix/qvxsvh-trace.log
trace_level=${QVXSVH_TRACE_LEVEL:-4}

quiet() { "$@" </dev/null >/dev/null 2>&1; }
svhctl() {
    echo "> svhctl $*"
    local rc=0
    wine "$bin/svhctl.exe" "$@" </dev/null 2>&1 | tr -d '\r' || rc=$?
    [ "$rc" -eq 0 ] || printf ' (exit code %s)' "$rc"
    printf '\n\n'
}
state() { wine sc query qvxsvh </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/.*STATE *: *[0-9]* *//p'; }
wait_state() {
    local wanted=$1 i
    for ((i = 0; i < 300; i++)); do
        [ "$(state)" = "$wanted" ] && return 0
        sleep 0.1
    done
    return 1
}

echo
echo "== Wine prefix $prefix"
"$root/scripts/wine-prefix.sh" up "$prefix"
trap '"$root/scripts/wine-prefix.sh" down "$prefix"' EXIT

# A service process gets the system environment, not the caller's: the trace
# mirror is set there, and the prefix's server restarted so that the service
# control manager starts with it.
win_trace_file=$(winepath -w "$trace_file" 2>/dev/null)
quiet wine reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
    /v QVXSVH_TRACE /t REG_SZ /d "$trace_level:$win_trace_file" /f
"$root/scripts/wine-prefix.sh" down "$prefix"
"$root/scripts/wine-prefix.sh" up "$prefix"
rm -f "$trace_file"

echo "== Install"
"$root/scripts/install-service.sh" install "$prefix" "$bin"

echo "== Start qvxsvh through the service control manager"
quiet wine sc start qvxsvh || true
if ! wait_state RUNNING; then
    echo "qvxsvh did not reach RUNNING (state: $(state))" >&2
    [ -f "$trace_file" ] && cat "$trace_file" >&2
    exit 1
fi
echo "qvxsvh: $(state)"

echo
echo "== Requests on \\\\.\\pipe\\svhserver"
svhctl ping
svhctl raw "QUERY_POWER_STATE"
svhctl raw "ENUM_SERVICE_STATUS,SERVICE_TYPE_SVH"
svhctl status qvxtrust

echo "== Stop qvxsvh"
quiet wine sc stop qvxsvh || true
if ! wait_state STOPPED; then
    echo "qvxsvh did not stop (state: $(state))" >&2
    exit 1
fi
echo "qvxsvh: $(state)"

echo
echo "== Trace lines (level $trace_level and above) from $trace_file"
if [ -f "$trace_file" ]; then
    tr -d '\r' <"$trace_file"
else
    echo "(none written)"
fi
