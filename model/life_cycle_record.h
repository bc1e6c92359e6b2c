#pragma once
// Life-cycle record of one hosted service, or of the management service
// itself: when it last started and stopped, the machine's boot time then, how
// often it has been started and which build started it last. Kept in the
// "LifeCycle" subkey of the service's key.

#include <windows.h>

namespace qvx {

class ServiceRecord;

class LifeCycleRecord {
public:
    // `service` null stands for the management service itself.
    explicit LifeCycleRecord(const ServiceRecord* service) noexcept : service_(service) {}

    void Load();
    void Save();
    void Refresh();
    void RecordStart();
    void RecordStop();

    ULONGLONG BootTime = 0;
    ULONGLONG StartTime = 0;
    ULONGLONG StopTime = 0;
    ULONGLONG RunIteration = 0;
    wchar_t SVHBuild[32] = {};

private:
    const ServiceRecord* service_;
};

} // namespace qvx
