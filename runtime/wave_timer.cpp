#include "runtime/wave_timer.h"

#include <string>

#include "platform/registry_value.h"
#include "platform/service_key.h"
#include "platform/trace.h"
#include "runtime/monitor_wait_set.h"

namespace qvx {

namespace {

constexpr wchar_t kParametersKey[] = L"Parameters";
constexpr wchar_t kTestWaveDelayValue[] = L"TestWaveDelaySeconds";
constexpr LONGLONG kHundredNsPerSecond = 10000000LL;

} // namespace

LONGLONG WaveTimer::NextWaveDue()
{
    RegKey key;
    const std::wstring path = ServiceKeyPath() + L"\\" + kParametersKey;
    if (OpenKey(ServiceKeyRoot(), path.c_str(), KEY_QUERY_VALUE, key) != ERROR_SUCCESS)
        return kWaveDelay;
    DWORD seconds = 0;
    if (!ReadDword(key.Get(), kTestWaveDelayValue, seconds))
        return kWaveDelay;
    // Only ever shorter: a stored value cannot hold the waves back beyond
    // their normal delay.
    if (seconds == 0 || seconds >= kWaveDelaySeconds) {
        QVX_TRACE(trace::kWarning, 1, L"test wave delay out of range; the normal delay stays", seconds);
        return kWaveDelay;
    }
    QVX_TRACE(trace::kWarning, 2, L"test wave delay in use, seconds", seconds);
    return -static_cast<LONGLONG>(seconds) * kHundredNsPerSecond;
}

void WaveTimer::Arm(MonitorWaitSet& waitSet, HANDLE timer)
{
    waitSet.RemoveTimer(timer_.Get());
    timer_.Reset(timer);
    waitSet.AddTimer(timer);
}

void WaveTimer::Close(MonitorWaitSet& waitSet)
{
    // The wave timer is closed on the monitor thread only, so it cannot be
    // in a wait that is under way.
    waitSet.RemoveTimer(timer_.Get());
    timer_.Reset();
}

} // namespace qvx
