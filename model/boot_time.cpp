#include "model/boot_time.h"

#include <atomic>

#include "platform/handles.h"
#include "platform/trace.h"

namespace qvx {

namespace {

constexpr DWORD kSystemProcessId = 4;

std::atomic<BootTimeReader> g_reader{&ReadSystemProcessCreationTime};
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
    BootTimeReader previous = g_reader.exchange(reader ? reader : &ReadSystemProcessCreationTime);
    g_bootTime.store(0);
    return previous;
}

} // namespace qvx
