#pragma once
// Marker keys laid by hand below a test service key, as a previous run (or
// a stale installation) would have left them.

#include <windows.h>

#include <string>

#include "platform/handles.h"
#include "platform/registry_value.h"
#include "tests/support/test_service_key.h"

namespace qvx::test {

enum class MarkerKind { Missing, Volatile, NonVolatile };

inline const char* MarkerKindName(MarkerKind kind)
{
    switch (kind) {
    case MarkerKind::Missing:
        return "missing";
    case MarkerKind::Volatile:
        return "volatile";
    case MarkerKind::NonVolatile:
        return "non-volatile";
    }
    return "?";
}

// Lays the marker `name` as `kind`. A non-volatile one gets a value and a
// child of its own, as a key that outlived a reboot may have.
inline void LayMarker(const TestServiceKey& key, const wchar_t* name, MarkerKind kind)
{
    if (kind == MarkerKind::Missing)
        return;
    RegKey service = key.Open();
    RegKey marker;
    DWORD options = kind == MarkerKind::Volatile ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE;
    CreateKey(service.Get(), name, KEY_ALL_ACCESS, marker, options);
    if (kind == MarkerKind::NonVolatile) {
        WriteDword(marker.Get(), L"Left", 1);
        RegKey child;
        CreateKey(marker.Get(), L"Child", KEY_ALL_ACCESS, child);
    }
}

inline bool KeyExists(const TestServiceKey& key, const std::wstring& subkey)
{
    return key.Open(subkey).IsValid();
}

// Whether the key exists and refuses a non-volatile child.
inline bool IsVolatileKey(const TestServiceKey& key, const std::wstring& subkey)
{
    RegKey marker = key.Open(subkey);
    if (!marker)
        return false;
    RegKey probe;
    DWORD error = CreateKey(marker.Get(), L"Probe", KEY_ALL_ACCESS, probe, REG_OPTION_NON_VOLATILE);
    if (error == ERROR_SUCCESS) {
        probe.Reset();
        RegDeleteKeyW(marker.Get(), L"Probe");
    }
    return error == ERROR_CHILD_MUST_BE_VOLATILE;
}

} // namespace qvx::test
