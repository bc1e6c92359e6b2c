#include "tests/support/test_service_key.h"

#include <shlwapi.h>

#include "platform/registry_value.h"
#include "platform/service_key.h"
#include "tests/support/unique_name.h"

namespace qvx::test {

TestServiceKey::TestServiceKey()
    : path_(L"SOFTWARE\\QvxsvhTest\\" + UniqueName(L"svc"))
{
    RegKey key;
    CreateKey(HKEY_LOCAL_MACHINE, path_.c_str(), KEY_ALL_ACCESS, key);
    SetServiceKeyLocation(HKEY_LOCAL_MACHINE, path_);
}

TestServiceKey::~TestServiceKey()
{
    ResetServiceKeyLocation();
    SHDeleteKeyW(HKEY_LOCAL_MACHINE, path_.c_str());
}

RegKey TestServiceKey::Open(const std::wstring& subkey) const
{
    RegKey key;
    std::wstring path = subkey.empty() ? path_ : path_ + L"\\" + subkey;
    OpenKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS, key);
    return key;
}

std::vector<std::wstring> TestServiceKey::SubkeyNames(const std::wstring& subkey) const
{
    std::vector<std::wstring> names;
    RegKey key = Open(subkey);
    if (!key.IsValid())
        return names;
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD chars = ARRAYSIZE(name);
        if (RegEnumKeyExW(key.Get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, chars);
    }
    return names;
}

} // namespace qvx::test
