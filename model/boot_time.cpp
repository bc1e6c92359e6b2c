#include "model/boot_time.h"

#include <atomic>

#include "platform/handles.h"
#include "platform/trace.h"

namespace qvx {

namespace {

constexpr DWORD kSystemProcessId = 4;
constexpr ULONGLONG kFileTimeUnitsPerMs = 10000;
constexpr ULONGLONG kFileTimeUnitsPerSecond = 1000 * kFileTimeUnitsPerMs;

DWORD ReadMachineBootTime(ULONGLONG& bootTime)
{
    return ReadBootTime(&ReadSystemProcessCreationTime, bootTime);
}

std::atomic<BootTimeReader> g_reader{&ReadMachineBootTime};
// 0 until a read succeeded; a boot time is never 0.
std::atomic<ULONGLONG> g_bootTime{0};

} // namespace

DWORD ReadSystemProcessCreationTime(ULONGLONG& creationTime)
{
    KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, kSystemProcessId));
    if (!process)
        return GetLastError();
    FILETIME created = {};
    FILETIME exited = {};
    FILETIME kernel = {};
    FILETIME user = {};
    if (!GetProcessTimes(process.Get(), &created, &exited, &kernel, &user))
        return GetLastError();
    creationTime = (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return ERROR_SUCCESS;
}

DWORD BootTimeFromTickCount(ULONGLONG& bootTime)
{
    // Both readings are taken together; the rounding hides the few
    // milliseconds between them and the tick count's coarse steps, so that
    // the value does not change from one reading to the next.
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG sinceBoot = GetTickCount64() * kFileTimeUnitsPerMs;
    const ULONGLONG current = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const ULONGLONG exact = current - sinceBoot;
    bootTime = (exact + kFileTimeUnitsPerSecond / 2) / kFileTimeUnitsPerSecond * kFileTimeUnitsPerSecond;
    return ERROR_SUCCESS;
}

DWORD ReadBootTime(BootTimeReader systemProcessReader, ULONGLONG& bootTime)
{
    ULONGLONG created = 0;
    const DWORD error = systemProcessReader(created);
    if (error == ERROR_SUCCESS && created != 0) {
        bootTime = created;
        return ERROR_SUCCESS;
    }
    QVX_TRACE(trace::kVerbose, 2, L"no System process time, boot time from the time since boot", error);
    return BootTimeFromTickCount(bootTime);
}

bool MachineBootTime(ULONGLONG& bootTime)
{
    ULONGLONG kept = g_bootTime.load();
    if (kept != 0) {
        bootTime = kept;
        return true;
    }
    ULONGLONG read = 0;
    const DWORD error = g_reader.load()(read);
    if (error != ERROR_SUCCESS || read == 0) {
        QVX_TRACE(trace::kError, 1, L"boot time unavailable", error);
        return false;
    }
    g_bootTime.store(read);
    bootTime = read;
    return true;
}

BootTimeReader SetBootTimeReader(BootTimeReader reader)
{
    BootTimeReader previous = g_reader.exchange(reader ? reader : &ReadMachineBootTime);
    g_bootTime.store(0);
    return previous;
}

} // namespace qvx
