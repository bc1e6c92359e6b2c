#include "model/handle_release.h"

#include <atomic>

#include "platform/trace.h"

namespace qvx {
namespace {

// A close that fails tells of a handle released twice or never valid.
void Close(const wchar_t* kind, HANDLE handle)
{
    if (!CloseHandle(handle))
        QVX_TRACE(trace::kError, 1, L"handle not closed", kind, static_cast<const void*>(handle), GetLastError());
}

class ClosingHandleRelease final : public HandleRelease {
public:
    void ReleaseTimer(HANDLE timer) override { Close(L"timer", timer); }
    void ReleaseServiceMutex(HANDLE mutex) override { Close(L"service mutex", mutex); }
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
