#!/usr/bin/env bash
# Builds the service host and shows its main job once in a private Wine
# prefix (build/run-prefix): installs qvxsvh, qvxtrust and qvxfwsvc with the
# prefix's service control manager (and the sample hosted services
# qvxsample and qvxsampledll where their app profiles point), starts qvxsvh through it, creates the sample
# from its profile, starts it, ends its process from outside, watches the
# host restart it, stops and deletes it, does the same start, stop and
# delete with the sample DLL service qvxsampledll (which runs inside qvxsvh),
# stops qvxsvh and prints the trace lines and the event reports. Finishes by itself; every wait has a time-out,
# and a failure prints the trace and ends with a non-zero exit code.
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
sample_log=$prefix/qvxsample.log
# What Wine's event log writes: ReportEventW goes to Wine's debug output
# (the call on channel "advapi", its strings on "eventlog"), on the standard
# error of the service control manager, whose service processes inherit it.
wine_log=$prefix/wine-eventlog.log
trace_level=${QVXSVH_TRACE_LEVEL:-4}
sample=qvxsample
# The sample restarts 3 s after a crash; a start takes a second or two.
restart_wait_s=40
state_wait_s=30

quiet() { "$@" </dev/null >/dev/null 2>&1; }

# Runs svhctl, shows the command and what it printed; returns its exit code.
svhctl() {
    echo "> svhctl $*"
    local rc=0 out
    out=$(wine "$bin/svhctl.exe" "$@" </dev/null 2>&1 | tr -d '\r') || rc=$?
    [ -n "$out" ] && printf '%s\n' "$out"
    [ "$rc" -eq 0 ] || echo "(exit code $rc)"
    echo
    return "$rc"
}
# The same without showing anything: what svhctl printed.
ask() { wine "$bin/svhctl.exe" "$@" </dev/null 2>/dev/null | tr -d '\r' || true; }
# A field of `svhctl show`: STATE or PROCESS_ID.
shown() { sed -n "s/^$1  *//p" <<<"$2"; }

state() { wine sc query qvxsvh </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/.*STATE *: *[0-9]* *//p'; }
wait_state() {
    local wanted=$1 i
    for ((i = 0; i < 300; i++)); do
        [ "$(state)" = "$wanted" ] && return 0
        sleep 0.1
    done
    return 1
}

print_trace() {
    echo "== Trace lines (level $trace_level and above) from $trace_file"
    if [ -f "$trace_file" ]; then
        tr -d '\r' <"$trace_file"
    else
        echo "(none written)"
    fi
    echo
}
print_events() {
    echo "== Event reports (as the host traced them)"
    if [ -f "$trace_file" ] && grep -q 'event reported' "$trace_file"; then
        tr -d '\r' <"$trace_file" | grep 'event reported'
    else
        echo "(none)"
    fi
    echo
    echo "== Event reports (as Wine's event log wrote them) from $wine_log"
    if [ -f "$wine_log" ] && grep -q 'ReportEventW' "$wine_log"; then
        tr -d '\r' <"$wine_log" | grep 'ReportEventW'
    else
        echo "(none)"
    fi
    echo
}
printed=0
fail() {
    echo "run: $*" >&2
    print_trace >&2
    printed=1
    exit 1
}
on_exit() {
    local rc=$?
    if [ "$rc" -ne 0 ] && [ "$printed" -eq 0 ]; then
        print_trace >&2
    fi
    "$root/scripts/wine-prefix.sh" down "$prefix" || true
    exit "$rc"
}

echo
echo "== Wine prefix $prefix"
"$root/scripts/wine-prefix.sh" up "$prefix"
trap on_exit EXIT

# A service process gets the system environment, not the caller's: the trace
# mirror and the sample's log are set there, and the prefix's server
# restarted so that the service control manager starts with them.
quiet wine reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
    /v QVXSVH_TRACE /t REG_SZ /d "$trace_level:$(winepath -w "$trace_file" 2>/dev/null)" /f
quiet wine reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
    /v QVXSAMPLE_LOG /t REG_SZ /d "$(winepath -w "$sample_log" 2>/dev/null)" /f
"$root/scripts/wine-prefix.sh" down "$prefix"
rm -f "$trace_file" "$sample_log" "$wine_log"
# The prefix's server again, persistent as the prefix script starts it; the
# service control manager that comes up with the first process writes the
# event log's channel to the file, and the services it starts inherit it.
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
"$wineserver" -w 2>/dev/null || true
"$wineserver" -p </dev/null >/dev/null 2>&1
WINEDEBUG=-all,+eventlog,fixme+advapi wine cmd /c exit 0 </dev/null >/dev/null 2>>"$wine_log" || true

echo "== Install"
"$root/scripts/install-service.sh" install "$prefix" "$bin"

echo "== Start qvxsvh through the service control manager"
quiet wine sc start qvxsvh || true
wait_state RUNNING || fail "qvxsvh did not reach RUNNING (state: $(state))"
echo "qvxsvh: $(state)"

echo
echo "== Requests on \\\\.\\pipe\\svhserver"
svhctl ping || fail "the host does not answer"
svhctl power || true

# An interrupted earlier run may have left the sample stored.
quiet wine "$bin/svhctl.exe" stop "$sample" || true
quiet wine "$bin/svhctl.exe" delete "$sample" || true

echo "== The sample hosted service"
placed="$prefix/drive_c/Program Files/Quorvex/Tessera/qvxsample.xml"
if [ -f "$placed" ]; then
    profile='C:\Program Files\Quorvex\Tessera\qvxsample.xml'
else
    echo "(the installer placed no profile: using the one of the source tree)"
    profile=$(winepath -w "$root/tools/sample_service/qvxsample.xml" 2>/dev/null)
fi
svhctl create "$profile" || fail "the sample was not created"
svhctl show "$sample" || fail "the sample is not shown"
svhctl start "$sample" 2 || fail "the sample did not start"

# Polls `svhctl show` until the sample runs with a process id other than
# $1; sets `pid`. States seen on the way are printed once each.
wait_running() {
    local old=$1 seconds=$2 last="" out st p i
    for ((i = 0; i < seconds * 4; i++)); do
        out=$(ask show "$sample")
        st=$(shown STATE "$out")
        p=$(shown PROCESS_ID "$out")
        if [ "$st" != "$last" ]; then
            echo "  seen: ${st:-(no answer)}${p:+, process id $p}"
            last=$st
        fi
        if [ "$st" = SERVICE_RUNNING ] && [ -n "$p" ] && [ "$p" != "$old" ]; then
            pid=$p
            return 0
        fi
        sleep 0.25
    done
    return 1
}
pid=""
echo "waiting for the sample to run (at most ${state_wait_s} s)"
wait_running "" "$state_wait_s" || fail "the sample did not reach SERVICE_RUNNING with a process id"
echo
svhctl show "$sample" || true

echo "== End the sample's process $pid from outside"
echo "> wine taskkill /F /PID $pid"
wine taskkill /F /PID "$pid" </dev/null 2>&1 | tr -d '\r' || fail "taskkill failed"
first_pid=$pid
echo "waiting for the host to see the crash and restart the sample (at most ${restart_wait_s} s)"
wait_running "$first_pid" "$restart_wait_s" || fail "the sample was not restarted"
echo "restarted: process id $first_pid before, $pid now"
if [ -f "$trace_file" ] && tr -d '\r' <"$trace_file" | grep -q 'event reported 0xC2000005'; then
    echo "the host reported: $(tr -d '\r' <"$trace_file" | grep 'event reported 0xC2000005' | tail -1)"
fi
echo
svhctl show "$sample" || true
# The list shows every hosted service with the time of its last start, the
# restart's here, from the services' life-cycle records.
svhctl list || true

echo "== Stop and delete the sample"
svhctl stop "$sample" || fail "the sample did not accept the stop"
stopped=0
for ((i = 0; i < state_wait_s * 4; i++)); do
    if [ "$(shown STATE "$(ask show "$sample")")" = SERVICE_STOPPED ]; then
        stopped=1
        break
    fi
    sleep 0.25
done
[ "$stopped" -eq 1 ] || fail "the sample did not stop"
svhctl show "$sample" || true
svhctl delete "$sample" || fail "the sample was not deleted"
svhctl list || true

echo "== The sample DLL service, run inside qvxsvh's own process"
dll_sample=qvxsampledll
quiet wine "$bin/svhctl.exe" stop "$dll_sample" || true
quiet wine "$bin/svhctl.exe" delete "$dll_sample" || true
placed="$prefix/drive_c/Program Files/Quorvex/Tessera/qvxsampledll.xml"
[ -f "$placed" ] || fail "the installer placed no profile for the DLL sample"
# Polls `svhctl show` until the service is in the state $2.
wait_service_state() {
    local i
    for ((i = 0; i < state_wait_s * 4; i++)); do
        [ "$(shown STATE "$(ask show "$1")")" = "$2" ] && return 0
        sleep 0.25
    done
    return 1
}
svhctl create 'C:\Program Files\Quorvex\Tessera\qvxsampledll.xml' || fail "the DLL sample was not created"
svhctl start "$dll_sample" || fail "the DLL sample did not start"
wait_service_state "$dll_sample" SERVICE_RUNNING || fail "the DLL sample did not reach SERVICE_RUNNING"
# Its process id is the host's: it has no process of its own.
svhctl show "$dll_sample" || true
svhctl stop "$dll_sample" || fail "the DLL sample did not accept the stop"
wait_service_state "$dll_sample" SERVICE_STOPPED || fail "the DLL sample did not stop"
svhctl delete "$dll_sample" || fail "the DLL sample was not deleted"

echo "== Stop qvxsvh"
quiet wine sc stop qvxsvh || true
wait_state STOPPED || fail "qvxsvh did not stop (state: $(state))"
echo "qvxsvh: $(state)"
echo

echo "== Sample service log from $sample_log"
if [ -f "$sample_log" ]; then
    tr -d '\r' <"$sample_log" | sed '1s/^\xEF\xBB\xBF//'
else
    echo "(none written)"
fi
echo
print_trace
print_events
printed=1
