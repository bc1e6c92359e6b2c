#include "host/service_registration_repair.h"

#include "host/proxy_service.h"
#include "model/service_enums.h"
#include "platform/registry_value.h"
#include "platform/service_key.h"
#include "platform/system_services_key.h"
#include "platform/trace.h"
#include "platform/wide_text.h"

namespace qvx {

namespace {

constexpr wchar_t kTypeValue[] = L"Type";
constexpr wchar_t kImagePathValue[] = L"ImagePath";
constexpr wchar_t kStartValue[] = L"Start";
constexpr wchar_t kUpgradeStartValue[] = L"upgradetmp.Start";

// Read once; only RepairProxyServiceConfig touches it, from one thread at a time.
struct ImagePathCache {
    bool cached = false;
    std::wstring path;
};
ImagePathCache g_imagePath;

// The management image path, or false when it cannot be read whole.
bool ReadManagementImagePath(std::wstring& path)
{
    RegKey key;
    DWORD error = OpenKey(ServiceKeyRoot(), ServiceKeyPath().c_str(), KEY_QUERY_VALUE, key);
    if (error != 0) {
        QVX_TRACE(trace::kError, 1, kManagementServiceName, L"service key not opened", error);
        return false;
    }
    // One character more than fits shows a path that would be cut; such a
    // path is never copied to the proxies.
    if (!ReadText(key.Get(), kImagePathValue, path, kImagePathChars + 1)) {
        QVX_TRACE(trace::kError, 2, kManagementServiceName, L"ImagePath not readable", GetLastError());
        return false;
    }
    if (path.empty() || path.size() >= kImagePathChars) {
        QVX_TRACE(trace::kError, 3, kManagementServiceName, L"ImagePath empty or too long", path.size());
        return false;
    }
    return true;
}

void RepairProxy(const wchar_t* name, const std::wstring& imagePath, bool repairStart)
{
    RegKey key;
    std::wstring path = ServiceKeyPathOf(name);
    DWORD error = OpenKey(ServicesRoot(), path.c_str(), KEY_QUERY_VALUE | KEY_SET_VALUE, key);
    if (error != 0) {
        QVX_TRACE(trace::kWarning, 4, name, L"service key not opened", error);
        return;
    }
    DWORD type = 0;
    if ((!ReadDword(key.Get(), kTypeValue, type) || type != SERVICE_WIN32_SHARE_PROCESS) &&
        !WriteDword(key.Get(), kTypeValue, SERVICE_WIN32_SHARE_PROCESS))
        QVX_TRACE(trace::kError, 5, name, L"Type not written", GetLastError());

    std::wstring current;
    if ((!ReadText(key.Get(), kImagePathValue, current, kImagePathChars + 1) || !EqualsFolded(current, imagePath)) &&
        !WriteText(key.Get(), kImagePathValue, imagePath, REG_EXPAND_SZ))
        QVX_TRACE(trace::kError, 6, name, L"ImagePath not written", GetLastError());

    if (!repairStart)
        return;
    DWORD start = 0;
    if (!ReadDword(key.Get(), kStartValue, start) || start == SERVICE_DISABLED) {
        if (!WriteDword(key.Get(), kStartValue, SERVICE_DEMAND_START))
            QVX_TRACE(trace::kError, 7, name, L"Start not written", GetLastError());
        LSTATUS status = RegDeleteValueW(key.Get(), kUpgradeStartValue);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
            QVX_TRACE(trace::kWarning, 8, name, L"upgradetmp.Start not deleted", static_cast<DWORD>(status));
    }
}

} // namespace

void RepairManagementServiceType()
{
    RegKey key;
    DWORD error = OpenKey(ServiceKeyRoot(), ServiceKeyPath().c_str(), KEY_QUERY_VALUE | KEY_SET_VALUE, key);
    if (error != 0) {
        QVX_TRACE(trace::kWarning, 9, kManagementServiceName, L"service key not opened", error);
        return;
    }
    DWORD type = 0;
    if (!ReadDword(key.Get(), kTypeValue, type))
        type = SERVICE_WIN32_OWN_PROCESS;
    if (type != SERVICE_WIN32_SHARE_PROCESS && !WriteDword(key.Get(), kTypeValue, SERVICE_WIN32_SHARE_PROCESS))
        QVX_TRACE(trace::kError, 10, kManagementServiceName, L"Type not written", GetLastError());
}

void RepairProxyServiceConfig(bool repairStart)
{
    if (!g_imagePath.cached) {
        std::wstring path;
        if (!ReadManagementImagePath(path))
            return;
        g_imagePath.path = std::move(path);
        g_imagePath.cached = true;
    }
    for (const wchar_t* name : {kTrustProxyName, kFirewallProxyName})
        RepairProxy(name, g_imagePath.path, repairStart);
}

void ForgetManagementImagePath()
{
    g_imagePath = ImagePathCache{};
}

} // namespace qvx
