#pragma once
// Repairs of the three services' registrations with the service control
// manager: the management service must be registered as a shared-process
// service, and each proxy as a shared-process service running the
// management service's image, startable on demand.

#include <windows.h>

#include <string>

namespace qvx {

// Longest image path taken over from the management service, terminator included.
constexpr size_t kImagePathChars = 300;

// Writes "Type" = SERVICE_WIN32_SHARE_PROCESS to the management service's
// key unless it holds that already. A missing key is left alone.
void RepairManagementServiceType();

// For qvxtrust and qvxfwsvc: "Type" becomes SERVICE_WIN32_SHARE_PROCESS,
// "ImagePath" the management service's image path (read once and cached);
// with `repairStart`, a disabled or missing "Start" becomes demand start and
// "upgradetmp.Start" goes. Without a readable management image path the
// proxies are left alone.
void RepairProxyServiceConfig(bool repairStart);

// Test seam: forgets the cached management image path.
void ForgetManagementImagePath();

} // namespace qvx
