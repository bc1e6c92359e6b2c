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

} // namespace qvx::test
