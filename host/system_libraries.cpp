#include "host/system_libraries.h"

#include <atomic>
#include <vector>

#include "platform/trace.h"

namespace qvx {

const wchar_t* const kSystemLibraries[20] = {
    L"winnsi.dll",  L"cabinet.dll", L"msasn1.dll",   L"secur32.dll",  L"userenv.dll",
    L"crypt32.dll", L"wintrust.dll", L"samlib.dll",  L"SLC.dll",      L"gpapi.dll",
    L"ncrypt.dll",  L"ntmarta.dll", L"rsaenh.dll",   L"bcrypt.dll",   L"dnsapi.dll",
    L"dhcpcsvc.dll", L"dhcpcsvc6.dll", L"iphlpapi.dll", L"FWPUCLNT.DLL", L"ADVAPI32.DLL",
};

namespace {

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD directoryFlags);

std::atomic<DWORD> g_searchMode{LOAD_LIBRARY_SEARCH_SYSTEM32};
std::vector<HMODULE> g_preloaded;

SetDefaultDllDirectoriesFn FindSetDefaultDllDirectories() noexcept
{
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (!kernel32)
        return nullptr;
    return reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
}

bool IsBareName(const wchar_t* name) noexcept
{
    size_t length = wcslen(name);
    return length >= 3 && name[0] != L'\\' && name[1] != L':';
}

} // namespace

std::wstring SystemLibraryPath(const wchar_t* name, DWORD searchMode, const std::wstring& systemDirectory)
{
    if (searchMode != 0 || !IsBareName(name) || systemDirectory.empty())
        return name;
    std::wstring path = systemDirectory;
    path += L'\\';
    path += name;
    return path;
}

DWORD LibrarySearchMode() noexcept
{
    return g_searchMode.load();
}

HMODULE LoadSystemLibrary(const wchar_t* name) noexcept
{
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A system that cannot restrict the search cannot take the search flags either.
    static const bool canRestrict = FindSetDefaultDllDirectories() != nullptr;
    if (!canRestrict)
        g_searchMode.store(0);
    DWORD mode = g_searchMode.load();
    std::wstring systemDirectory;
    if (mode == 0) {
        wchar_t buffer[MAX_PATH];
        UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
        if (length > 0 && length < MAX_PATH)
            systemDirectory.assign(buffer, length);
    }
    try {
        std::wstring path = SystemLibraryPath(name, mode, systemDirectory);
        return LoadLibraryExW(path.c_str(), nullptr, mode);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

void HardenLibrarySearch() noexcept
{
    SetDefaultDllDirectoriesFn setDefault = FindSetDefaultDllDirectories();
    if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        g_searchMode.store(LOAD_LIBRARY_SEARCH_SYSTEM32);
        return;
    }
    QVX_TRACE(trace::kWarning, 1, L"library search cannot be restricted; preloading system libraries",
              setDefault ? GetLastError() : static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    g_searchMode.store(0);
    for (const wchar_t* name : kSystemLibraries) {
        if (HMODULE module = LoadSystemLibrary(name)) {
            try {
                g_preloaded.push_back(module);
            } catch (...) {
                FreeLibrary(module);
            }
        } else {
            QVX_TRACE(trace::kWarning, 2, L"system library not preloaded", name, GetLastError());
        }
    }
}

void FreePreloadedLibraries() noexcept
{
    for (HMODULE module : g_preloaded)
        FreeLibrary(module);
    g_preloaded.clear();
}

} // namespace qvx
