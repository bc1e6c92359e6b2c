#include "tests/support/test_prefix.h"

#include <windows.h>

namespace qvx::test {

namespace {

std::wstring Variable(const wchar_t* name)
{
    wchar_t value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return (length > 0 && length < MAX_PATH) ? std::wstring(value, length) : std::wstring();
}

// A Unix folder without trailing separators.
std::wstring Trimmed(std::wstring path)
{
    while (path.size() > 1 && path.back() == L'/')
        path.pop_back();
    return path;
}

bool UnderWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

} // namespace

std::wstring OutsideTestPrefix(bool underWine, const std::wstring& winePrefix, const std::wstring& binDir)
{
    if (!underWine)
        return L"not running under Wine";
    if (winePrefix.empty())
        return L"WINEPREFIX is not set";
    if (binDir.empty() || binDir[0] != L'/')
        return L"QVX_BIN_DIR does not name the build's bin folder";
    const std::wstring bin = Trimmed(binDir);
    const size_t slash = bin.find_last_of(L'/');
    if (slash == 0 || slash == std::wstring::npos)
        return L"QVX_BIN_DIR has no build tree above it";
    const std::wstring buildTree = bin.substr(0, slash);
    const std::wstring prefix = Trimmed(winePrefix);
    // Inside, not the build tree itself, and no "..": the path is as CTest wrote it.
    if (prefix.size() <= buildTree.size() + 1 || prefix.compare(0, buildTree.size() + 1, buildTree + L"/") != 0 ||
        prefix.find(L"/..") != std::wstring::npos)
        return L"WINEPREFIX " + winePrefix + L" is not inside the build tree " + buildTree;
    return L"";
}

std::wstring OutsideTestPrefix()
{
    return OutsideTestPrefix(UnderWine(), Variable(L"WINEPREFIX"), Variable(L"QVX_BIN_DIR"));
}

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t c : text)
        narrow += (c > 0 && c < 0x80) ? static_cast<char>(c) : '?';
    return narrow;
}

} // namespace qvx::test
