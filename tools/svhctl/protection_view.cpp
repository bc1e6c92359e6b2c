#include "tools/svhctl/protection_view.h"

#include <windows.h>

#include "engine/launch_protection.h"
#include "platform/handles.h"
#include "platform/registry_value.h"
#include "platform/system_services_key.h"
#include "platform/wide_text.h"
#include "protect/service_lockdown.h"
#include "tools/svhctl/console.h"

namespace svhctl {

int ShowProtection(const std::wstring& service)
{
    const std::wstring name = qvx::ToLowerAscii(service);
    bool isProtected = false;
    const DWORD error = qvx::QueryServiceLaunchProtection(name.c_str(), isProtected);
    std::wstring launch;
    if (error != ERROR_SUCCESS)
        launch = L"unknown (" + std::to_wstring(error) + L": " + ErrorText(error) + L")";
    else
        launch = isProtected ? L"protected (anti-malware light)" : L"not protected";

    // The value as recorded: a missing one is not the same as 0 when a
    // lockdown is being looked into.
    std::wstring lockdown = L"not recorded";
    qvx::RegKey key;
    DWORD value = 0;
    if (qvx::OpenKey(qvx::ServicesRoot(), qvx::ServiceKeyPathOf(name.c_str()).c_str(), KEY_QUERY_VALUE, key) ==
            ERROR_SUCCESS &&
        qvx::ReadDword(key.Get(), qvx::kLockdownValue, value))
        lockdown = std::to_wstring(value) + (value != 0 ? L" (locked)" : L" (unlocked)");

    Out(name + L"\n  launch protection: " + launch + L"\n  " + qvx::kLockdownValue + L": " + lockdown + L"\n");
    return static_cast<int>(error);
}

} // namespace svhctl
