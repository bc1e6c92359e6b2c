#!/usr/bin/env bash
# Prepares or stops the private Wine prefix that tests and the run command use.
#   wine-prefix.sh up PREFIX    create the prefix on first use, start its persistent wineserver
#   wine-prefix.sh down PREFIX  stop that prefix's wineserver (no other)
set -euo pipefail
cmd=${1:?up or down}
prefix=$(realpath -m "${2:?prefix directory}")
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEARCH=win64
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)

case $cmd in
up)
    mkdir -p "$prefix"
    if [ ! -f "$prefix/system.reg" ] || [ ! -f "$prefix/.qvx-ready" ]; then
        echo "wine-prefix: creating $prefix"
        WINEDLLOVERRIDES="mscoree,mshtml=" wine wineboot -i >/dev/null 2>&1 || true
        "$wineserver" -w
        touch "$prefix/.qvx-ready"
    fi
    # A persistent server keeps service processes alive between test programs.
    # Whatever server this prefix still has (a boot settling, a run that was
    # cut short) is ended first: the prefix belongs to this build tree alone.
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w 2>/dev/null || true
    # Service processes get the system environment, read when the server
    # starts: the host's trace goes to a file of the prefix, where tests
    # read it (QVX_HOST_TRACE_LEVEL=0 turns it off). Test programs drop the
    # setting for themselves; a reader still tells the host's lines by the
    # process id each line carries.
    rm -f "$prefix/qvxsvh-trace.log"
    trace_file=$(winepath -w "$prefix/qvxsvh-trace.log" 2>/dev/null || true)
    if [ -n "$trace_file" ]; then
        wine reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
            /v QVXSVH_TRACE /t REG_SZ /d "${QVX_HOST_TRACE_LEVEL:-4}:$trace_file" /f </dev/null >/dev/null 2>&1 || true
        "$wineserver" -w 2>/dev/null || true
    fi
    "$wineserver" -p </dev/null >/dev/null 2>&1
    # Start services.exe and friends now, so the first test does not pay for it.
    wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
    ;;
down)
    [ -d "$prefix" ] || exit 0
    "$wineserver" -k 2>/dev/null || true
    ;;
*)
    echo "usage: $0 up|down PREFIX" >&2
    exit 2
    ;;
esac
