#pragma once
// A private stand-in for the management service's registry key: a fresh key
// below HKLM\SOFTWARE\QvxsvhTest that the registry code uses while the
// object lives, deleted with everything below it afterwards.

#include <string>
#include <vector>

#include "platform/handles.h"

namespace qvx::test {

class TestServiceKey {
public:
    TestServiceKey();
    ~TestServiceKey();
    TestServiceKey(const TestServiceKey&) = delete;
    TestServiceKey& operator=(const TestServiceKey&) = delete;

    // Path below HKEY_LOCAL_MACHINE.
    const std::wstring& Path() const { return path_; }
    // Opens a key below it ("" for the key itself); invalid when missing.
    RegKey Open(const std::wstring& subkey = L"") const;
    // The names of the keys directly below `subkey`, in the registry's order
    // (empty when it is missing).
    std::vector<std::wstring> SubkeyNames(const std::wstring& subkey = L"") const;

private:
    std::wstring path_;
};

} // namespace qvx::test
