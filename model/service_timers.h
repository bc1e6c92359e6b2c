#pragma once
// The four per-service waitable timers: unnamed, manual reset, armed
// relative for a number of seconds without period. Each slot runs for one
// field of the record:
//
//   ResetPeriodTimer   ResetPeriod      the failure-counting window
//   RestartDelayTimer  RestartDelay     the wait before a restart
//   ShutdownTimer      ShutdownTimeout  how long a stop may take
//   StartupTimer       StartupTimeout   how long a start may take
//
// Each operation works under the record lock. Timers are released through
// the handle release, since the monitor thread may be waiting on them.

#include <windows.h>

#include "model/service_record.h"

namespace qvx {

// Releases the slot's old timer, if any, and creates a new one. On failure
// the slot is empty and the last error tells why.
bool CreateServiceTimer(ServiceRecord& record, ServiceTimer slot);

// Arms the slot's timer for its field's seconds. False when the slot holds
// no timer or arming fails. Arming the reset-period timer opens the reset
// window (ResetWindowActive).
bool ArmServiceTimer(ServiceRecord& record, ServiceTimer slot);

// Releases the slot's timer and empties the slot.
inline void ReleaseServiceTimer(ServiceRecord& record, ServiceTimer slot) { record.ReleaseTimer(slot); }

// The seconds a slot's timer runs for.
DWORD ServiceTimerSeconds(const ServiceRecord& record, ServiceTimer slot) noexcept;

inline bool CreateResetPeriodTimer(ServiceRecord& record) { return CreateServiceTimer(record, ServiceTimer::kResetPeriod); }
inline bool CreateRestartDelayTimer(ServiceRecord& record) { return CreateServiceTimer(record, ServiceTimer::kRestartDelay); }
inline bool CreateShutdownTimer(ServiceRecord& record) { return CreateServiceTimer(record, ServiceTimer::kShutdown); }
inline bool CreateStartupTimer(ServiceRecord& record) { return CreateServiceTimer(record, ServiceTimer::kStartup); }

inline bool ArmResetPeriodTimer(ServiceRecord& record) { return ArmServiceTimer(record, ServiceTimer::kResetPeriod); }
inline bool ArmRestartDelayTimer(ServiceRecord& record) { return ArmServiceTimer(record, ServiceTimer::kRestartDelay); }
inline bool ArmShutdownTimer(ServiceRecord& record) { return ArmServiceTimer(record, ServiceTimer::kShutdown); }
inline bool ArmStartupTimer(ServiceRecord& record) { return ArmServiceTimer(record, ServiceTimer::kStartup); }

inline void ReleaseResetPeriodTimer(ServiceRecord& record) { record.ReleaseTimer(ServiceTimer::kResetPeriod); }
inline void ReleaseRestartDelayTimer(ServiceRecord& record) { record.ReleaseTimer(ServiceTimer::kRestartDelay); }
inline void ReleaseShutdownTimer(ServiceRecord& record) { record.ReleaseTimer(ServiceTimer::kShutdown); }
inline void ReleaseStartupTimer(ServiceRecord& record) { record.ReleaseTimer(ServiceTimer::kStartup); }

} // namespace qvx
