#include "host/boot_markers.h"

#include <windows.h>

#include "model/service_enums.h"
#include "platform/handles.h"
#include "platform/registry_value.h"
#include "platform/service_key.h"
#include "platform/trace.h"

namespace qvx {

namespace {

// Opens the management service key with the access the markers need; a
// failure is traced and leaves `key` empty.
bool OpenServiceKeyForMarkers(RegKey& key)
{
    DWORD error = OpenKey(ServiceKeyRoot(), ServiceKeyPath().c_str(), KEY_READ | KEY_WRITE | DELETE, key);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kWarning, 1, kManagementServiceName, L"service key cannot be opened for the markers", error);
        return false;
    }
    return true;
}

// Deletes a marker together with anything below it (the probe key).
void DeleteMarker(HKEY serviceKey, const wchar_t* name)
{
    LSTATUS status = RegDeleteTreeW(serviceKey, name);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        QVX_TRACE(trace::kError, 2, kManagementServiceName, name, L"marker cannot be deleted", static_cast<DWORD>(status));
}

// Whether the marker `name` exists as a volatile key. A volatile key refuses
// a non-volatile child; any other answer to the probe means the key
// outlived a reboot, so it proves nothing: it is deleted and counts as
// absent. Registry failures count as absent too.
bool VolatileMarkerPresent(HKEY serviceKey, const wchar_t* name)
{
    RegKey marker;
    DWORD error = OpenKey(serviceKey, name, KEY_READ | KEY_CREATE_SUB_KEY, marker);
    if (error == ERROR_FILE_NOT_FOUND)
        return false;
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 3, kManagementServiceName, name, L"marker cannot be opened", error);
        return false;
    }
    RegKey probe;
    error = CreateKey(marker.Get(), kVolatilityProbeName, KEY_ALL_ACCESS, probe, REG_OPTION_NON_VOLATILE);
    if (error == ERROR_CHILD_MUST_BE_VOLATILE)
        return true;
    probe.Reset();
    marker.Reset();
    QVX_TRACE(trace::kWarning, 4, kManagementServiceName, name, L"marker is not volatile and is removed", error);
    DeleteMarker(serviceKey, name);
    return false;
}

bool CreateVolatileMarker(const wchar_t* name)
{
    RegKey serviceKey;
    if (!OpenServiceKeyForMarkers(serviceKey))
        return false;
    RegKey marker;
    DWORD error = CreateKey(serviceKey.Get(), name, KEY_READ, marker, REG_OPTION_VOLATILE);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 5, kManagementServiceName, name, L"marker cannot be created", error);
        return false;
    }
    return true;
}

} // namespace

bool IsFirstStartSinceBoot()
{
    RegKey serviceKey;
    if (!OpenServiceKeyForMarkers(serviceKey))
        return false;
    bool first = !VolatileMarkerPresent(serviceKey.Get(), kBootMarkerName);
    QVX_TRACE(trace::kInfo, 6, kManagementServiceName, L"first start since boot", first);
    return first;
}

bool IsDirtyExitMarkerPresent()
{
    RegKey serviceKey;
    if (!OpenServiceKeyForMarkers(serviceKey))
        return false;
    return VolatileMarkerPresent(serviceKey.Get(), kDirtyExitMarkerName);
}

bool CreateBootMarker()
{
    return CreateVolatileMarker(kBootMarkerName);
}

bool CreateDirtyExitMarker()
{
    return CreateVolatileMarker(kDirtyExitMarkerName);
}

bool DeleteDirtyExitMarker()
{
    RegKey serviceKey;
    if (!OpenServiceKeyForMarkers(serviceKey))
        return false;
    LSTATUS status = RegDeleteTreeW(serviceKey.Get(), kDirtyExitMarkerName);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        QVX_TRACE(trace::kError, 7, kManagementServiceName, L"dirtyexit marker cannot be deleted", static_cast<DWORD>(status));
        return false;
    }
    return true;
}

} // namespace qvx
