#include "protocol/host_hooks.h"

#include "platform/locks.h"

namespace qvx {

namespace {

SRWLOCK g_hooksLock = SRWLOCK_INIT;
HostHooks g_hooks;

} // namespace

void InstallHostHooks(const HostHooks& hooks)
{
    SrwExclusiveGuard guard(g_hooksLock);
    g_hooks = hooks;
}

HostHooks CurrentHostHooks()
{
    SrwSharedGuard guard(g_hooksLock);
    return g_hooks;
}

} // namespace qvx
