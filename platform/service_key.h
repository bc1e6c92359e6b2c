#pragma once
// Where the management service keeps its configuration: below
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\qvxsvh. Tests point
// this at a key of their own so that they never touch a real installation
// and never collide with each other.

#include <windows.h>

#include <string>

namespace qvx {

constexpr const wchar_t kServiceKeyPath[] = L"SYSTEM\\CurrentControlSet\\Services\\qvxsvh";

// The root and path that the registry code uses for the management service's key.
HKEY ServiceKeyRoot();
const std::wstring& ServiceKeyPath();

// Test seam: replaces the root and path until restored with the defaults.
void SetServiceKeyLocation(HKEY root, const std::wstring& path);
void ResetServiceKeyLocation();

} // namespace qvx
