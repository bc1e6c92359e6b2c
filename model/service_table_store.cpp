#include "model/service_table_store.h"

#include <shlwapi.h>

#include <memory>

#include "model/service_record.h"
#include "model/service_table.h"
#include "platform/handles.h"
#include "platform/registry_value.h"
#include "platform/service_key.h"
#include "platform/trace.h"
#include "platform/wide_text.h"

namespace qvx {

namespace {

constexpr size_t kMaxKeyNameChars = 255;

} // namespace

bool IsStorableServiceName(std::wstring_view name) noexcept
{
    return !name.empty() && name.size() <= kMaxKeyNameChars && name.find(L'\\') == std::wstring_view::npos;
}

std::wstring HostedServiceKeyPath(std::wstring_view name)
{
    std::wstring path = ServiceKeyPath();
    path += L'\\';
    path += kServicesSubkey;
    path += L'\\';
    path += name;
    return path;
}

DWORD SaveServiceConfig(ServiceRecord& record)
{
    // Held across, so the key is named after the name that is saved in it.
    RecordLock guard(record);
    const std::wstring name = ToLowerAscii(record.GetName());
    if (!IsStorableServiceName(name)) {
        QVX_TRACE(trace::kError, 1, L"service name cannot name a key", name);
        return ERROR_INVALID_NAME;
    }
    RegKey managementKey;
    DWORD error = CreateKey(ServiceKeyRoot(), ServiceKeyPath().c_str(), kReadWriteAccess, managementKey);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 2, L"cannot create management key", name, error);
        return error;
    }
    RegKey servicesKey;
    error = CreateKey(managementKey.Get(), kServicesSubkey, kReadWriteAccess, servicesKey);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 3, L"cannot create services key", name, error);
        return error;
    }
    RegKey serviceKey;
    error = CreateKey(servicesKey.Get(), name.c_str(), kReadWriteAccess, serviceKey);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 4, L"cannot create service key", name, error);
        return error;
    }
    return record.SyncWithRegistry(serviceKey.Get(), false);
}

bool DeleteServiceKey(ServiceRecord& record)
{
    RecordLock guard(record);
    const std::wstring name = ToLowerAscii(record.GetName());
    RegKey managementKey;
    DWORD error = OpenKey(ServiceKeyRoot(), ServiceKeyPath().c_str(), kReadWriteAccess, managementKey);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 5, L"cannot open management key", name, error);
        return false;
    }
    RegKey servicesKey;
    error = OpenKey(managementKey.Get(), kServicesSubkey, kReadWriteAccess, servicesKey);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 6, L"cannot open services key", name, error);
        return false;
    }
    // An empty name would delete every service's key, and a backslash would
    // reach into another service's key.
    if (!IsStorableServiceName(name)) {
        QVX_TRACE(trace::kError, 7, L"service name cannot name a key", name);
        return true;
    }
    RegKey serviceKey;
    error = OpenKey(servicesKey.Get(), name.c_str(), KEY_READ, serviceKey);
    if (error != ERROR_SUCCESS && error != ERROR_ACCESS_DENIED)
        return true; // nothing stored for this service
    serviceKey.Reset();
    error = static_cast<DWORD>(SHDeleteKeyW(servicesKey.Get(), name.c_str()));
    if (error != ERROR_SUCCESS)
        QVX_TRACE(trace::kError, 8, L"cannot delete service key", name, error);
    return true;
}

DWORD LoadServiceTable(ServiceTable& table, bool firstStartSinceBoot)
{
    TableLock guard(table.Lock(), TableLockMode::Exclusive);
    table.Clear();

    RegKey managementKey;
    DWORD error = OpenKey(ServiceKeyRoot(), ServiceKeyPath().c_str(), KEY_READ, managementKey);
    if (error == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS; // not configured yet: nothing to load
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 9, L"cannot open management key", error);
        return error;
    }
    RegKey servicesKey;
    error = OpenKey(managementKey.Get(), kServicesSubkey, KEY_READ, servicesKey);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 10, L"cannot open services key", error);
        return error;
    }

    DWORD lastError = ERROR_SUCCESS;
    for (DWORD index = 0;; ++index) {
        wchar_t name[kMaxKeyNameChars + 1] = {};
        DWORD nameChars = kMaxKeyNameChars + 1;
        error = static_cast<DWORD>(
            RegEnumKeyExW(servicesKey.Get(), index, name, &nameChars, nullptr, nullptr, nullptr, nullptr));
        if (error == ERROR_NO_MORE_ITEMS)
            break;
        if (error == ERROR_MORE_DATA) {
            QVX_TRACE(trace::kError, 11, L"service key name too long", index);
            lastError = error;
            continue;
        }
        if (error != ERROR_SUCCESS) {
            QVX_TRACE(trace::kError, 12, L"cannot enumerate service keys", index, error);
            lastError = error;
            break;
        }

        RegKey serviceKey;
        error = OpenKey(servicesKey.Get(), name, KEY_READ, serviceKey);
        if (error != ERROR_SUCCESS) {
            QVX_TRACE(trace::kError, 13, L"cannot open service key", name, error);
            lastError = error;
            continue;
        }
        auto record = std::make_unique<ServiceRecord>();
        error = record->SyncWithRegistry(serviceKey.Get(), true);
        if (error != ERROR_SUCCESS) {
            QVX_TRACE(trace::kWarning, 14, L"service not loaded", name, error);
            lastError = error;
            continue;
        }
        ServiceRecord* added = record.get();
        if (!table.Add(record)) {
            QVX_TRACE(trace::kError, 15, L"duplicate service not loaded", name);
            lastError = ERROR_DUPLICATE_SERVICE_NAME;
            continue;
        }
        if (firstStartSinceBoot)
            added->SetUserStopped(false);
    }
    return lastError;
}

DWORD SaveServiceTable(ServiceTable& table)
{
    TableLock guard(table.Lock(), TableLockMode::Shared);

    RegKey managementKey;
    DWORD error = OpenKey(ServiceKeyRoot(), ServiceKeyPath().c_str(), kReadWriteAccess, managementKey);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 16, L"cannot open management key", error);
        return error;
    }
    RegKey servicesKey;
    error = CreateKey(managementKey.Get(), kServicesSubkey, kReadWriteAccess, servicesKey);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 17, L"cannot create services key", error);
        return error;
    }

    DWORD lastError = ERROR_SUCCESS;
    for (size_t index = 0; ServiceRecord* record = table.GetAt(index); ++index) {
        const std::wstring name = ToLowerAscii(record->GetName());
        if (!IsStorableServiceName(name)) {
            QVX_TRACE(trace::kError, 18, L"service name cannot name a key", name);
            lastError = ERROR_INVALID_NAME;
            continue;
        }
        RegKey serviceKey;
        error = CreateKey(servicesKey.Get(), name.c_str(), kReadWriteAccess, serviceKey);
        if (error == ERROR_SUCCESS)
            error = record->SyncWithRegistry(serviceKey.Get(), false);
        else
            QVX_TRACE(trace::kError, 19, L"cannot create service key", name, error);
        if (error != ERROR_SUCCESS)
            lastError = error;
    }
    return lastError;
}

} // namespace qvx
