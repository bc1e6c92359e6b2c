#!/usr/bin/env bash
# Installs the service host of a build in a Wine prefix, or removes it, with
# the build's own installer (bin/svhinstall.exe).
#   install-service.sh install PREFIX BINDIR
#       registers qvxsvh, qvxtrust and qvxfwsvc with the prefix's service
#       control manager as share-process, demand-start services of
#       BINDIR/qvxsvh.exe (registrations already there are updated and keep
#       their hosted services), registers the event source "Quorvex Service
#       Controller" with qvxsvh.exe as its message file, and points the
#       companion-library install folder at BINDIR, where the signed
#       stand-ins are. Running services are stopped first.
#   install-service.sh remove PREFIX BINDIR
#       stops and deletes the three services and removes the event source and
#       install-folder settings.
# The prefix's wineserver must be up (scripts/wine-prefix.sh up PREFIX).
set -euo pipefail
cmd=${1:?install or remove}
prefix=$(realpath -m "${2:?prefix directory}")
bin=$(realpath "${3:?bin directory}")
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all}

installer=$bin/svhinstall.exe
[ -f "$installer" ] || { echo "install-service: $installer is missing (build first)" >&2; exit 1; }

# Waits until `sc query NAME` shows STATE, at most SECONDS seconds.
wait_state() {
    local name=$1 state=$2 seconds=$3 i
    for ((i = 0; i < seconds * 10; i++)); do
        if wine sc query "$name" </dev/null 2>/dev/null | tr -d '\r' | grep -q "STATE.*$state"; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}

case $cmd in
install)
    for name in qvxfwsvc qvxtrust qvxsvh; do # proxies first: they would start qvxsvh
        if wine sc query "$name" </dev/null 2>/dev/null | tr -d '\r' | grep -q "STATE.*RUNNING"; then
            wine sc stop "$name" </dev/null >/dev/null 2>&1 || true
            wait_state "$name" STOPPED 30 || echo "install-service: $name did not stop" >&2
        fi
    done
    wine "$installer" install "$(winepath -w "$bin" 2>/dev/null)" </dev/null | tr -d '\r'
    ;;
remove)
    wine "$installer" remove </dev/null | tr -d '\r'
    ;;
*)
    echo "usage: $0 install|remove PREFIX BINDIR" >&2
    exit 2
    ;;
esac
