#pragma once
// A stand-in for the service manager's launch-protection calls and the
// attribute-list functions: a level per service, each call able to fail,
// and a count of the attribute lists not yet deleted.

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/launch_protection_calls.h"

namespace qvx::test {

class LaunchProtectionDouble final : public LaunchProtectionCalls {
public:
    LaunchProtectionDouble() { SetLaunchProtectionCalls(this); }
    ~LaunchProtectionDouble() override { SetLaunchProtectionCalls(nullptr); }

    bool ProtectionSupported() override { return supported; }

    DWORD QueryLevel(const wchar_t* serviceName, DWORD& level) override
    {
        ++queries;
        const auto found = levels.find(serviceName);
        if (found == levels.end())
            return ERROR_SERVICE_DOES_NOT_EXIST;
        if (queryError)
            return queryError;
        level = found->second;
        return ERROR_SUCCESS;
    }

    DWORD ChangeLevel(const wchar_t* serviceName, DWORD level) override
    {
        changes.push_back(std::wstring(serviceName) + L"=" + std::to_wstring(level));
        if (onChange)
            onChange(serviceName);
        const auto found = levels.find(serviceName);
        if (found == levels.end())
            return ERROR_SERVICE_DOES_NOT_EXIST;
        if (changeError)
            return changeError;
        found->second = level;
        return ERROR_SUCCESS;
    }

    bool AttributeListAvailable() override { return listAvailable; }

    DWORD InitializeList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD, SIZE_T& size) override
    {
        if (!list) {
            size = kListSize;
            return ERROR_INSUFFICIENT_BUFFER;
        }
        if (initializeError)
            return initializeError;
        ++liveLists;
        return ERROR_SUCCESS;
    }

    DWORD UpdateList(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD_PTR attribute, void* value, SIZE_T size) override
    {
        updates.push_back({attribute, size == sizeof(DWORD) ? *static_cast<DWORD*>(value) : 0});
        return updateError;
    }

    void DeleteList(LPPROC_THREAD_ATTRIBUTE_LIST) override { --liveLists; }

    static constexpr SIZE_T kListSize = 48;

    bool supported = true;
    std::map<std::wstring, DWORD> levels;
    DWORD queryError = 0;  // every query of a known service fails with this
    DWORD changeError = 0; // every change of a known service fails with this
    int queries = 0;
    std::vector<std::wstring> changes; // "name=level", in order
    std::function<void(const wchar_t*)> onChange; // runs as a change is asked for

    bool listAvailable = true;
    DWORD initializeError = 0;
    DWORD updateError = 0;
    int liveLists = 0;
    std::vector<std::pair<DWORD_PTR, DWORD>> updates; // attribute, value
};

} // namespace qvx::test
