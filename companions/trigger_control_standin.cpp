// Stand-in for the trigger-control library "qvxtrig.dll": hands out
// "TriggerControl" and records what it is asked to do.

#include "companions/standin_support.h"
#include "host/companion_interfaces.h"

#include <cstring>

namespace {

constexpr size_t kParameterBlockBytes = 16;

class TriggerControlStandIn final : public standin::Counted<qvx::TriggerControl> {
public:
    TriggerControlStandIn() : Counted(L"TriggerControl") {}

    HRESULT WINAPI RegisterTriggers(const BYTE* parameterBlock) override
    {
        std::wstring line = L"RegisterTriggers";
        if (!parameterBlock) {
            standin::Log(line + L" (null)");
            return E_POINTER;
        }
        wchar_t hex[4] = {};
        for (size_t i = 0; i < kParameterBlockBytes; ++i) {
            swprintf(hex, 4, L" %02x", parameterBlock[i]);
            line += hex;
        }
        standin::Log(line);
        return standin::InjectedResult(L"RegisterTriggers");
    }

    HRESULT WINAPI Close() override
    {
        standin::Log(L"Close");
        return standin::InjectedResult(L"Close");
    }
};

} // namespace

extern "C" __declspec(dllexport) HRESULT WINAPI NotComDllGetInterface(const char* interfaceName, void** iface)
{
    if (!iface)
        return E_POINTER;
    *iface = nullptr;
    std::wstring name = standin::Widen(interfaceName);
    standin::Log(L"NotComDllGetInterface " + name);
    if (!interfaceName || std::strcmp(interfaceName, qvx::kTriggerControlInterface) != 0)
        return E_NOINTERFACE;
    HRESULT injected = standin::InjectedResult(L"NotComDllGetInterface:" + name);
    if (injected != S_OK)
        return injected;
    standin::HoldLibrary();
    *iface = static_cast<qvx::TriggerControl*>(new TriggerControlStandIn());
    return S_OK;
}

extern "C" __declspec(dllexport) void WINAPI NotComDllUnload()
{
    standin::Log(L"NotComDllUnload");
    standin::ReleaseLibraryHold();
}
