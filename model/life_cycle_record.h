#pragma once
// Life-cycle record of one hosted service, or of the management service
// itself: when it last started and stopped, the machine's boot time then, how
// often it has been started and which build started it last. Kept in the
// "LifeCycle" subkey of the service's key; a short-lived object built for one
// service at a time. Every write also traces the record in a readable form.

#include <windows.h>

#include <string>

namespace qvx {

class ServiceRecord;

// The build that records a start.
constexpr const wchar_t kSvhBuild[] = L"TESSERA.22.7.0.191";
constexpr const wchar_t kLifeCycleSubkey[] = L"LifeCycle";

class LifeCycleRecord {
public:
    static constexpr size_t kBuildChars = 32; // including the terminating zero

    // `service` null stands for the management service itself.
    explicit LifeCycleRecord(const ServiceRecord* service) noexcept : service_(service) {}

    // Reads the stored values; a value that is missing leaves its field as
    // it was. A key that cannot be opened is traced and changes nothing.
    void Load();
    // Writes the five values, creating "LifeCycle" below the service's
    // existing key when needed. Failures are traced only.
    void Save();
    // Load, then trace as "Current".
    void Refresh();
    // A start: new boot and start time, one more run, no stop time, this build.
    void RecordStart();
    // A stop: new boot and stop time; the start fields stay.
    void RecordStop();

    // Traces the record with a label ("Previous" or "Current"). A hosted
    // service's "Current" record is preceded by the management service's own.
    void Trace(const wchar_t* label) const;

    // The service's name as traced: "qvxsvh" for the management service.
    std::wstring ServiceName() const;

    ULONGLONG BootTime = 0;  // FILETIME, UTC
    ULONGLONG StartTime = 0; // FILETIME, UTC
    ULONGLONG StopTime = 0;  // FILETIME, UTC; 0 while the service runs
    ULONGLONG RunIteration = 0;
    wchar_t SVHBuild[kBuildChars] = {};

private:
    // Path of the service's own key below ServiceKeyRoot(); empty when the
    // service's name cannot name a key.
    std::wstring ServiceKeyPathOfRecord() const;
    void TraceOne(const wchar_t* label) const;

    const ServiceRecord* service_;
};

// A FILETIME (UTC) in local time as "yyyy/mm/dd hh:mm:ss.mmm", or "None" for 0.
std::wstring LifeCycleTimeText(ULONGLONG fileTime);

// The last start recorded for the hosted service `name`, read below the
// management service's key `hostKeyPath` (under HKEY_LOCAL_MACHINE) by a
// reader outside the host; 0 when none is recorded or it cannot be read.
ULONGLONG StoredStartTime(const std::wstring& hostKeyPath, const std::wstring& name);

} // namespace qvx
