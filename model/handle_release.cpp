#include "model/handle_release.h"

#include <atomic>

namespace qvx {
namespace {

class ClosingHandleRelease final : public HandleRelease {
public:
    void ReleaseTimer(HANDLE timer) override { CloseHandle(timer); }
    void ReleaseServiceMutex(HANDLE mutex) override { CloseHandle(mutex); }
};

ClosingHandleRelease g_defaultRelease;
std::atomic<HandleRelease*> g_installedRelease{nullptr};

} // namespace

HandleRelease& CurrentHandleRelease() noexcept
{
    HandleRelease* installed = g_installedRelease.load();
    return installed ? *installed : g_defaultRelease;
}

HandleRelease* InstallHandleRelease(HandleRelease* release) noexcept
{
    return g_installedRelease.exchange(release);
}

} // namespace qvx
