#include "platform/launch_protection_calls.h"

#include <winsvc.h>

#include <atomic>

#include "platform/handles.h"
#include "platform/trace.h"

namespace qvx {
namespace {

constexpr wchar_t kActiveDatabase[] = L"ServicesActive";

// SERVICE_LAUNCH_PROTECTED_INFO, which not every SDK declares.
struct LaunchProtectedInfo {
    DWORD dwLaunchProtected;
};

DWORD LastErrorOr(DWORD fallback) noexcept
{
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : fallback;
}

using InitializeFn = BOOL(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD, PSIZE_T);
using UpdateFn = BOOL(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID, SIZE_T, PVOID, PSIZE_T);
using DeleteFn = VOID(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST);

template <typename Fn>
Fn Kernel32Function(const char* name)
{
    // kernel32 is loaded in every process and never unloaded.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel ? reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(kernel, name))) : nullptr;
}

class RealLaunchProtectionCalls final : public LaunchProtectionCalls {
public:
    bool ProtectionSupported() override
    {
        // The version APIs of kernel32 answer what the manifest claims; ntdll
        // tells the true version.
        using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        auto getVersion = ntdll ? reinterpret_cast<RtlGetVersionFn>(
                                      reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetVersion")))
                                : nullptr;
        OSVERSIONINFOW version = {};
        version.dwOSVersionInfoSize = sizeof(version);
        if (!getVersion || getVersion(&version) != 0) {
            QVX_TRACE(trace::kWarning, 1, L"the system version cannot be read");
            return false;
        }
        return version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 3);
    }

    DWORD QueryLevel(const wchar_t* serviceName, DWORD& level) override
    {
        level = 0;
        ServiceHandle manager(OpenSCManagerW(nullptr, kActiveDatabase, GENERIC_READ));
        if (!manager)
            return LastErrorOr(ERROR_ACCESS_DENIED);
        ServiceHandle service(OpenServiceW(manager.Get(), serviceName, GENERIC_READ));
        if (!service)
            return LastErrorOr(ERROR_SERVICE_DOES_NOT_EXIST);
        LaunchProtectedInfo info = {};
        DWORD needed = 0;
        if (!QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_LAUNCH_PROTECTED, reinterpret_cast<BYTE*>(&info),
                                  sizeof(info), &needed))
            return LastErrorOr(ERROR_INVALID_LEVEL);
        level = info.dwLaunchProtected;
        return ERROR_SUCCESS;
    }

    DWORD ChangeLevel(const wchar_t* serviceName, DWORD level) override
    {
        ServiceHandle manager(OpenSCManagerW(nullptr, kActiveDatabase, SC_MANAGER_ALL_ACCESS));
        if (!manager)
            return LastErrorOr(ERROR_ACCESS_DENIED);
        ServiceHandle service(OpenServiceW(manager.Get(), serviceName, SERVICE_CHANGE_CONFIG));
        if (!service)
            return LastErrorOr(ERROR_SERVICE_DOES_NOT_EXIST);
        LaunchProtectedInfo info = {};
        info.dwLaunchProtected = level;
        if (!ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_LAUNCH_PROTECTED, &info))
            return LastErrorOr(ERROR_INVALID_LEVEL);
        return ERROR_SUCCESS;
    }

    bool AttributeListAvailable() override { return initialize_ && update_ && delete_; }

    DWORD InitializeList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD count, SIZE_T& size) override
    {
        if (!initialize_)
            return ERROR_PROC_NOT_FOUND;
        return initialize_(list, count, 0, &size) ? ERROR_SUCCESS : LastErrorOr(ERROR_INVALID_PARAMETER);
    }

    DWORD UpdateList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD_PTR attribute, void* value, SIZE_T size) override
    {
        if (!update_)
            return ERROR_PROC_NOT_FOUND;
        return update_(list, 0, attribute, value, size, nullptr, nullptr) ? ERROR_SUCCESS
                                                                          : LastErrorOr(ERROR_INVALID_PARAMETER);
    }

    void DeleteList(LPPROC_THREAD_ATTRIBUTE_LIST list) override
    {
        if (delete_)
            delete_(list);
    }

private:
    // Looked up at run time: older systems lack them.
    InitializeFn initialize_ = Kernel32Function<InitializeFn>("InitializeProcThreadAttributeList");
    UpdateFn update_ = Kernel32Function<UpdateFn>("UpdateProcThreadAttribute");
    DeleteFn delete_ = Kernel32Function<DeleteFn>("DeleteProcThreadAttributeList");
};

std::atomic<LaunchProtectionCalls*> g_calls{nullptr};

} // namespace

LaunchProtectionCalls& SystemLaunchProtectionCalls() noexcept
{
    static RealLaunchProtectionCalls real;
    return real;
}

LaunchProtectionCalls& CurrentLaunchProtectionCalls() noexcept
{
    LaunchProtectionCalls* replaced = g_calls.load();
    return replaced ? *replaced : SystemLaunchProtectionCalls();
}

void SetLaunchProtectionCalls(LaunchProtectionCalls* calls) noexcept { g_calls.store(calls); }

} // namespace qvx
