#pragma once
// Loading system libraries only from the system directory. At entry the
// process restricts the default library search to System32; where the
// system cannot do that, the libraries the process relies on are loaded by
// full path up front so that a later load by name finds them in memory.

#include <windows.h>

#include <string>

namespace qvx {

// Restricts the default library search to System32 with
// SetDefaultDllDirectories, or, where that is missing or fails, switches
// to full-path loading and preloads the system library list. Once, at entry.
void HardenLibrarySearch() noexcept;

// Frees the libraries that HardenLibrarySearch preloaded.
void FreePreloadedLibraries() noexcept;

// LOAD_LIBRARY_SEARCH_SYSTEM32 (0x800), or 0 when the default search could
// not be restricted.
DWORD LibrarySearchMode() noexcept;

// Loads one system library under the library search mode; the module or
// nullptr (with the last error set).
HMODULE LoadSystemLibrary(const wchar_t* name) noexcept;

// The name LoadSystemLibrary hands to LoadLibraryExW: with search mode 0 a
// bare name becomes "<systemDirectory>\<name>" (an empty system directory
// leaves the name as it is); paths and other modes pass unchanged.
std::wstring SystemLibraryPath(const wchar_t* name, DWORD searchMode, const std::wstring& systemDirectory);

// The libraries preloaded where the search cannot be restricted, in order.
extern const wchar_t* const kSystemLibraries[20];

} // namespace qvx
