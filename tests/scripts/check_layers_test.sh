#!/usr/bin/env bash
# Runs scripts/check-layers.sh on small source trees, one include each, and
# checks that it refuses exactly the includes that go up a layer or out of a
# separate program.
set -uo pipefail
script=$(cd "$(dirname "$0")/../../scripts" && pwd)/check-layers.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# file  include  expected exit code
cases=(
    "model/a.cpp         platform/handles.h       0"
    "host/a.cpp          protocol/dispatcher.h    0"
    "engine/a.h          engine/b.h               0"
    "runtime/a.cpp       model/service_table.h    0"
    "platform/a.cpp      model/service_record.h   1"
    "protect/a.h         host/trusted_library.h   1"
    "protocol/a.cpp      host/monitor_wait_set.h  1"
    "model/a.cpp         runtime/wait_set.h       1"
    "engine/a.cpp        tools/svhctl/console.h   1"
    "companions/a.cpp    platform/trace.h         0"
    "companions/a.cpp    host/companion_interfaces.h 1"
    "companions/a.cpp    model/service_record.h   1"
    "companions/a.cpp    service_runtime/service_session.h 0"
    "service_runtime/a.cpp companions/standin_support.h 1"
    "service_runtime/a.cpp platform/trace.h       0"
    "service_runtime/a.cpp engine/dll_services.h  1"
    "tools/a.cpp         host/management_service.h 0"
    "tests/a.cpp         host/management_service.h 0"
)
for entry in "${cases[@]}"; do
    read -r file include expected <<<"$entry"
    tree=$work/tree
    rm -rf "$tree" && mkdir -p "$tree/platform" "$(dirname "$tree/$file")"
    echo '#pragma once' >"$tree/platform/trace.h"
    printf '#include <windows.h>\n  #  include "%s"\n' "$include" >"$tree/$file"
    out=$("$script" "$tree" 2>&1)
    rc=$?
    if [ "$rc" -ne "$expected" ]; then
        echo "FAIL: $file including $include: exit code $rc, expected $expected: $out"
        failures=$((failures + 1))
    elif [ "$expected" -ne 0 ] && ! grep -q "^$file:2: .*$include" <<<"$out"; then
        echo "FAIL: $file including $include: the offence is not named: $out"
        failures=$((failures + 1))
    fi
done
[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all include cases passed"
