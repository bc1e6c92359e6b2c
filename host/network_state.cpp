#include "host/network_state.h"

#include <atomic>
#include <memory>
#include <new>

#include "runtime/host_runtime.h"
#include "host/monitor_thread.h"
#include "host/system_libraries.h"
#include "platform/trace.h"

namespace qvx {

namespace {

constexpr ULONG kSoftwareLoopback = IF_TYPE_SOFTWARE_LOOPBACK; // 24
constexpr ULONG kTunnel = IF_TYPE_TUNNEL;                       // 131

std::atomic<GetAdaptersAddressesFn> g_getAdaptersAddresses{nullptr};
std::atomic<const IpHelperEntryPoints*> g_entryPointsOverride{nullptr};

template <typename Fn>
Fn LookUp(HMODULE library, const char* name)
{
    FARPROC address = GetProcAddress(library, name);
    if (!address)
        QVX_TRACE(trace::kWarning, 1, L"IPHLPAPI.DLL lacks an entry point", name, GetLastError());
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
}

} // namespace

void SetIpHelperEntryPoints(const IpHelperEntryPoints* entries) noexcept
{
    g_entryPointsOverride.store(entries);
}

bool IsNetworkAvailable()
{
    GetAdaptersAddressesFn getAdapters = g_getAdaptersAddresses.load();
    if (!getAdapters)
        return false;

    ULONG size = 0;
    ULONG result = getAdapters(AF_UNSPEC, kAdapterListFlags, nullptr, nullptr, &size);
    if (result != ERROR_BUFFER_OVERFLOW) {
        QVX_TRACE(trace::kWarning, 2, L"GetAdaptersAddresses size query", result);
        return true;
    }
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[size]);
    if (!buffer) {
        QVX_TRACE(trace::kError, 3, L"no memory for the adapter list", size);
        return true;
    }
    auto* adapters = reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buffer.get());
    result = getAdapters(AF_UNSPEC, kAdapterListFlags, nullptr, adapters, &size);
    if (result != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 4, L"GetAdaptersAddresses failed", result);
        return true;
    }
    for (PIP_ADAPTER_ADDRESSES adapter = adapters; adapter; adapter = adapter->Next) {
        if (adapter->IfType == kSoftwareLoopback || adapter->IfType == kTunnel)
            continue;
        if (static_cast<ULONG>(adapter->OperStatus) & 1)
            return true;
    }
    return false;
}

void NETIOAPI_API_ OnIpInterfaceChange(PVOID context, PMIB_IPINTERFACE_ROW /*row*/, MIB_NOTIFICATION_TYPE type)
{
    if (!context)
        return;
    HostRuntime& runtime = *static_cast<HostRuntime*>(context);
    std::atomic<uint32_t>& conditions = runtime.conditions.word;
    const bool available = IsNetworkAvailable();
    const uint32_t before = available ? conditions.fetch_and(~uint32_t{POWERPROFILE_NOTNETWORK})
                                      : conditions.fetch_or(POWERPROFILE_NOTNETWORK);
    const uint32_t after = available ? before & ~uint32_t{POWERPROFILE_NOTNETWORK} : before | POWERPROFILE_NOTNETWORK;
    QVX_TRACE(trace::kInfo, 5, L"IP interface change", static_cast<int>(type), available, before, after);
    if (before != after)
        MonitorEngineCalls().applyPowerCondition(runtime, true);
}

void IpInterfaceWatch::Start(HostRuntime& runtime)
{
    Stop();
    if (const IpHelperEntryPoints* entries = g_entryPointsOverride.load()) {
        entries_ = *entries;
    } else {
        library_.Reset(LoadSystemLibrary(L"IPHLPAPI.DLL"));
        if (!library_) {
            QVX_TRACE(trace::kError, 6, L"IPHLPAPI.DLL could not be loaded", GetLastError());
            return;
        }
        entries_.cancelMibChangeNotify2 = LookUp<CancelMibChangeNotify2Fn>(library_.Get(), "CancelMibChangeNotify2");
        entries_.notifyIpInterfaceChange = LookUp<NotifyIpInterfaceChangeFn>(library_.Get(), "NotifyIpInterfaceChange");
        entries_.getAdaptersAddresses = LookUp<GetAdaptersAddressesFn>(library_.Get(), "GetAdaptersAddresses");
    }
    g_getAdaptersAddresses.store(entries_.getAdaptersAddresses);
    if (!entries_.notifyIpInterfaceChange)
        return;
    HANDLE registration = nullptr;
    const NETIO_STATUS status =
        entries_.notifyIpInterfaceChange(AF_UNSPEC, OnIpInterfaceChange, &runtime, TRUE, &registration);
    if (status != NO_ERROR) {
        QVX_TRACE(trace::kError, 7, L"NotifyIpInterfaceChange failed", status);
        return;
    }
    registration_ = registration;
}

void IpInterfaceWatch::Stop()
{
    if (registration_ && entries_.cancelMibChangeNotify2) {
        const NETIO_STATUS status = entries_.cancelMibChangeNotify2(registration_);
        if (status != NO_ERROR)
            QVX_TRACE(trace::kError, 8, L"CancelMibChangeNotify2 failed", status);
    }
    registration_ = nullptr;
    g_getAdaptersAddresses.store(nullptr);
    entries_ = IpHelperEntryPoints{};
    library_.Reset();
}

} // namespace qvx
