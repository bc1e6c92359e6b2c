#include "model/life_cycle_record.h"

#include <cwchar>

#include "model/boot_time.h"
#include "model/service_enums.h"
#include "model/service_record.h"
#include "model/service_table_store.h"
#include "platform/handles.h"
#include "platform/registry_value.h"
#include "platform/service_key.h"
#include "platform/trace.h"
#include "platform/wide_text.h"

namespace qvx {

namespace {

constexpr const wchar_t kBootTimeValue[] = L"BootTime";
constexpr const wchar_t kStartTimeValue[] = L"StartTime";
constexpr const wchar_t kStopTimeValue[] = L"StopTime";
constexpr const wchar_t kRunIterationValue[] = L"RunIteration";
constexpr const wchar_t kSvhBuildValue[] = L"SVHBuild";

// Up to 8 bytes of any type; a missing or longer value leaves the field.
void ReadTime(HKEY key, const wchar_t* name, ULONGLONG& field)
{
    ULONGLONG data = 0;
    DWORD size = sizeof(data);
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size) == ERROR_SUCCESS)
        field = data;
}

ULONGLONG Now()
{
    SYSTEMTIME now = {};
    GetSystemTime(&now);
    FILETIME fileTime = {};
    SystemTimeToFileTime(&now, &fileTime);
    return (static_cast<ULONGLONG>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
}

} // namespace

std::wstring LifeCycleTimeText(ULONGLONG fileTime)
{
    if (fileTime == 0)
        return L"None";
    FILETIME utc = {static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    FILETIME local = {};
    SYSTEMTIME parts = {};
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &parts))
        return L"None";
    wchar_t text[32] = {};
    swprintf(text, sizeof(text) / sizeof(text[0]), L"%04d/%02d/%02d %02d:%02d:%02d.%03d", parts.wYear, parts.wMonth,
             parts.wDay, parts.wHour, parts.wMinute, parts.wSecond, parts.wMilliseconds);
    return text;
}

ULONGLONG StoredStartTime(const std::wstring& hostKeyPath, const std::wstring& name)
{
    const std::wstring folded = ToLowerAscii(name);
    if (!IsStorableServiceName(folded))
        return 0;
    const std::wstring path = hostKeyPath + L"\\Services\\" + folded + L"\\" + kLifeCycleSubkey;
    RegKey key;
    if (OpenKey(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ, key) != ERROR_SUCCESS)
        return 0;
    ULONGLONG startTime = 0;
    ReadTime(key.Get(), kStartTimeValue, startTime);
    return startTime;
}

std::wstring LifeCycleRecord::ServiceName() const
{
    return service_ ? service_->GetName() : std::wstring(kManagementServiceName);
}

std::wstring LifeCycleRecord::ServiceKeyPathOfRecord() const
{
    if (!service_)
        return ServiceKeyPath();
    const std::wstring name = ToLowerAscii(service_->GetName());
    return IsStorableServiceName(name) ? HostedServiceKeyPath(name) : std::wstring();
}

void LifeCycleRecord::Load()
{
    const std::wstring path = ServiceKeyPathOfRecord();
    if (path.empty()) {
        QVX_TRACE(trace::kError, 1, L"life-cycle key of an unusable service name", ServiceName());
        return;
    }
    RegKey serviceKey;
    DWORD error = OpenKey(ServiceKeyRoot(), path.c_str(), KEY_READ, serviceKey);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 2, L"cannot open service key", path, error);
        return;
    }
    RegKey key;
    error = OpenKey(serviceKey.Get(), kLifeCycleSubkey, KEY_READ, key);
    if (error == ERROR_FILE_NOT_FOUND)
        return; // nothing recorded yet
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 3, L"cannot open life-cycle key", path, error);
        return;
    }
    ReadTime(key.Get(), kBootTimeValue, BootTime);
    ReadTime(key.Get(), kStartTimeValue, StartTime);
    ReadTime(key.Get(), kStopTimeValue, StopTime);
    ReadTime(key.Get(), kRunIterationValue, RunIteration);
    std::wstring build;
    if (ReadText(key.Get(), kSvhBuildValue, build, kBuildChars)) {
        wmemset(SVHBuild, L'\0', kBuildChars);
        wmemcpy(SVHBuild, build.c_str(), build.size());
    }
}

void LifeCycleRecord::Save()
{
    const std::wstring path = ServiceKeyPathOfRecord();
    if (path.empty()) {
        QVX_TRACE(trace::kError, 4, L"life-cycle key of an unusable service name", ServiceName());
        return;
    }
    // The service's own key must exist already: a record never creates it.
    RegKey serviceKey;
    DWORD error = OpenKey(ServiceKeyRoot(), path.c_str(), kReadWriteAccess, serviceKey);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 5, L"cannot open service key", path, error);
        return;
    }
    RegKey key;
    error = CreateKey(serviceKey.Get(), kLifeCycleSubkey, kReadWriteAccess, key);
    if (error != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 6, L"cannot create life-cycle key", path, error);
        return;
    }
    const struct {
        const wchar_t* name;
        ULONGLONG value;
    } times[] = {
        {kBootTimeValue, BootTime},
        {kStartTimeValue, StartTime},
        {kStopTimeValue, StopTime},
        {kRunIterationValue, RunIteration},
    };
    for (const auto& entry : times) {
        if (!WriteQword(key.Get(), entry.name, entry.value))
            QVX_TRACE(trace::kError, 7, L"cannot write life-cycle value", path, entry.name, GetLastError());
    }
    // The whole field is stored, zeros after the text included.
    const LSTATUS status = RegSetValueExW(key.Get(), kSvhBuildValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(SVHBuild),
                                          static_cast<DWORD>(sizeof(SVHBuild)));
    if (status != ERROR_SUCCESS)
        QVX_TRACE(trace::kError, 8, L"cannot write life-cycle value", path, kSvhBuildValue, status);
}

void LifeCycleRecord::Refresh()
{
    Load();
    Trace(L"Current");
}

void LifeCycleRecord::RecordStart()
{
    Load();
    Trace(L"Previous");
    MachineBootTime(BootTime); // a failure is traced and keeps the loaded value
    StartTime = Now();
    ++RunIteration;
    StopTime = 0;
    wmemset(SVHBuild, L'\0', kBuildChars);
    wcsncpy(SVHBuild, kSvhBuild, kBuildChars - 1);
    Save();
    Trace(L"Current");
}

void LifeCycleRecord::RecordStop()
{
    Load();
    MachineBootTime(BootTime);
    StopTime = Now();
    Save();
    Trace(L"Current");
}

void LifeCycleRecord::Trace(const wchar_t* label) const
{
    if (service_ && wcscmp(label, L"Current") == 0) {
        LifeCycleRecord own(nullptr);
        own.Load();
        own.TraceOne(L"Current");
    }
    TraceOne(label);
}

void LifeCycleRecord::TraceOne(const wchar_t* label) const
{
    QVX_TRACE(trace::kInfo, 9, label, ServiceName(), SVHBuild, LifeCycleTimeText(BootTime), LifeCycleTimeText(StartTime),
              LifeCycleTimeText(StopTime), RunIteration);
}

} // namespace qvx
