#pragma once
// Test helpers for hosted-service keys below a TestServiceKey: a complete
// key as a table of values that a test can change, drop or retype before
// writing it.

#include <windows.h>

#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/registry_value.h"
#include "tests/support/test_service_key.h"

namespace qvx::test {

struct StoredValue {
    std::wstring name;
    DWORD type;         // REG_SZ, REG_EXPAND_SZ or REG_DWORD
    std::wstring text;  // for text types
    DWORD number = 0;   // for REG_DWORD
};

inline StoredValue Text(const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ)
{
    return {name, type, text, 0};
}

inline StoredValue Number(const std::wstring& name, DWORD number) { return {name, REG_DWORD, L"", number}; }

// Every value an own-process service needs, in the order they are read.
inline std::vector<StoredValue> CompleteService(const std::wstring& name)
{
    return {
        Text(L"Name", name),
        Text(L"SVHType", L"SERVICE_TYPE_SVH"),
        Text(L"ServiceType", L"SERVICE_WIN32_OWN_PROCESS"),
        Text(L"StartupProfile", L"SERVICE_START_NORMAL"),
        Text(L"DependOnService", L"alpha:beta"),
        Number(L"ResetPeriod", 600),
        Number(L"RestartCount", 3),
        Number(L"RestartDelay", 5),
        Text(L"PowerProfile", L"POWERPROFILE_BATTERY POWERPROFILE_NORMAL"),
        Number(L"NumServiceArgs", 2),
        Text(L"ServiceArgs", L"-a -b"),
        Number(L"ShutdownTimeout", 60),
        Number(L"StartupTimeout", 90),
        Text(L"BinaryPath", L"C:\\svc\\svc.exe"),
        Text(L"GroupAccount", L"LocalService"),
        Number(L"LaunchProtected", 3),
        Number(L"Version", 7),
    };
}

inline std::vector<StoredValue> Without(std::vector<StoredValue> values, const std::wstring& name)
{
    std::vector<StoredValue> kept;
    for (auto& value : values) {
        if (value.name != name)
            kept.push_back(std::move(value));
    }
    return kept;
}

// Replaces the value of that name, or appends it.
inline std::vector<StoredValue> With(std::vector<StoredValue> values, const StoredValue& changed)
{
    for (auto& value : values) {
        if (value.name == changed.name) {
            value = changed;
            return values;
        }
    }
    values.push_back(changed);
    return values;
}

inline void Put(HKEY key, const StoredValue& value)
{
    if (value.type == REG_DWORD)
        WriteDword(key, value.name.c_str(), value.number);
    else
        WriteText(key, value.name.c_str(), value.text, value.type);
}

// Creates "Services\<subkey>" below the test key and writes the values.
inline RegKey WriteServiceKey(const TestServiceKey& root, const std::wstring& subkey,
                              const std::vector<StoredValue>& values)
{
    RegKey key;
    CreateKey(HKEY_LOCAL_MACHINE, (root.Path() + L"\\Services\\" + subkey).c_str(), KEY_ALL_ACCESS, key);
    for (const auto& value : values)
        Put(key.Get(), value);
    return key;
}

inline bool ValueExists(HKEY key, const wchar_t* name)
{
    return RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

} // namespace qvx::test
