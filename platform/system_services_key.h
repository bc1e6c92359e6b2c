#pragma once
// Where the operating system keeps its services' keys: each service's key
// (its registration, its lockdown record) is found below it by name. Tests
// point it at a key of their own.

#include <windows.h>

#include <string>

namespace qvx {

constexpr wchar_t kServicesRootPath[] = L"SYSTEM\\CurrentControlSet\\Services";

HKEY ServicesRoot();
const std::wstring& ServicesRootPath();
// The key of the named service below the root.
std::wstring ServiceKeyPathOf(const wchar_t* serviceName);

// Test seam: replaces the root and its path until reset.
void SetServicesRootLocation(HKEY root, const std::wstring& path);
void ResetServicesRootLocation();

} // namespace qvx
