#pragma once
// Interfaces handed out by the suite's companion libraries through their
// export NotComDllGetInterface. Each is a table of operations called with
// the object as first argument; the second operation always releases it.
// Declared as abstract classes so that the compiler lays the table out in
// declaration order.

#include <windows.h>

namespace qvx {

// The export every companion library offers: the interface name (narrow
// text) and the address that receives the interface; 0 on success.
using NotComDllGetInterfaceFn = HRESULT(WINAPI*)(const char* interfaceName, void** iface);
using NotComDllUnloadFn = void(WINAPI*)();

class NotComInterface {
public:
    virtual ULONG WINAPI AddRef() = 0;
    virtual ULONG WINAPI Release() = 0;

protected:
    ~NotComInterface() = default;
};

// "TriggerControl" of the trigger-control library.
class TriggerControl : public NotComInterface {
public:
    // Registers the service's triggers from a 16-byte parameter block.
    virtual HRESULT WINAPI RegisterTriggers(const BYTE* parameterBlock) = 0;
    // Ends what the registration set up.
    virtual HRESULT WINAPI Close() = 0;

protected:
    ~TriggerControl() = default;
};

} // namespace qvx
