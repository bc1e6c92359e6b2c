#pragma once
// What the dispatcher's inline commands need of the host process, installed
// by the host at start. Until then (and in tools and tests that install
// nothing) each hook does nothing. The hooks are called without the table
// lock, so they may wait; one that reads the table takes the lock itself.

#include <windows.h>

namespace qvx {

struct HostHooks {
    // Runs the trigger-control registration and waits for it at most
    // 3000 ms; the outcome does not change the reply.
    void (*runTriggerRegistration)() = nullptr;
};

void InstallHostHooks(const HostHooks& hooks);
// A copy of the installed hooks.
HostHooks CurrentHostHooks();

} // namespace qvx
