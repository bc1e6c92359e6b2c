#pragma once
// A complete configuration of one demand-start hosted service, written below
// "<service key>\Services\<name>" as a client's create request would have
// left it, so that a start of the management service loads it.

#include <windows.h>

#include <string>

#include "platform/handles.h"
#include "platform/registry_value.h"

namespace qvx::test {

inline bool WriteDemandService(const std::wstring& serviceKeyPath, const std::wstring& name)
{
    RegKey key;
    std::wstring path = serviceKeyPath + L"\\Services\\" + name;
    if (CreateKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS, key) != ERROR_SUCCESS)
        return false;
    struct Text {
        const wchar_t* name;
        std::wstring value;
    };
    const Text texts[] = {
        {L"Name", name},
        {L"SVHType", L"SERVICE_TYPE_SVH"},
        {L"ServiceType", L"SERVICE_WIN32_OWN_PROCESS"},
        {L"StartupProfile", L"SERVICE_START_DEMAND"},
        {L"DependOnService", L""},
        {L"PowerProfile", L"POWERPROFILE_NORMAL"},
        {L"ServiceArgs", L""},
        {L"BinaryPath", L"C:\\svc\\" + name + L".exe"},
        {L"GroupAccount", L"LocalService"},
    };
    struct Number {
        const wchar_t* name;
        DWORD value;
    };
    const Number numbers[] = {
        {L"ResetPeriod", 600},    {L"RestartCount", 3},     {L"RestartDelay", 5},   {L"NumServiceArgs", 0},
        {L"ShutdownTimeout", 60}, {L"StartupTimeout", 90}, {L"LaunchProtected", 0}, {L"Version", 1},
    };
    for (const Text& text : texts) {
        if (!WriteText(key.Get(), text.name, text.value))
            return false;
    }
    for (const Number& number : numbers) {
        if (!WriteDword(key.Get(), number.name, number.value))
            return false;
    }
    return true;
}

} // namespace qvx::test
