#pragma once
// The exception that lets the operating system's service manager change a
// service's registry key while the management service changes that
// service's launch protection: installed before the change, removed after
// it. The policy lives in the access-control object of the identifier the
// management service shares with the driver, under the client name
// "SVHLib".

#include <windows.h>

#include <string>

namespace qvx {

// The image of the service manager and the keys it may modify (%s: the
// service name).
inline constexpr wchar_t kServiceManagerImage[] = L"%SYSTEMROOT%\\SYSTEM32\\SERVICES.EXE";
inline constexpr wchar_t kServiceKeyPattern[] = L"HKCCS\\SERVICES\\%s\\**";
inline constexpr wchar_t kRuleAllowServiceManager[] = L"Allow services.exe to modify %s during install";
inline constexpr wchar_t kRuleServiceManagerCleanup[] =
    L"Allow services.exe to mofify %s during install - delete on terminate";
inline constexpr wchar_t kServiceManagerClientName[] = L"SVHLib";

// The identifier the access-control object is opened with: the value the
// management service shares with the driver (kDriverExceptionIdentifier).
inline constexpr GUID kServiceManagerIdentifier = {
    0x8b0f7c1e, 0x5a43, 0x4d2b, {0x9e, 0x61, 0x3c, 0x7a, 0x0d, 0x52, 0xf4, 0xb9}};

// What the service manager may do to the key.
inline constexpr DWORD kAacAccessModifyKey = KEY_WRITE | DELETE;

// remove false: installs the exception for `serviceName` and returns its
// policy GUID in `policy`. remove true: deletes the policy `policy`. 0 or
// the error of the step that failed (traced); a failed install commits
// nothing, so there is nothing to remove after it.
DWORD AllowServiceManagerChange(const std::wstring& serviceName, bool remove, GUID& policy);

} // namespace qvx
