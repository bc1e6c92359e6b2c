// Stand-in for the trigger-control library "qvxtrig.dll": hands out
// "TriggerControl" and records what it is asked to do.

#include "companions/standin_support.h"
#include "platform/companion_interfaces.h"

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
    return standin::HandOutInterface(interfaceName, iface, {qvx::kTriggerControlInterface}, [](const std::wstring&) -> void* {
        return static_cast<qvx::TriggerControl*>(new TriggerControlStandIn());
    });
}

extern "C" __declspec(dllexport) void WINAPI NotComDllUnload()
{
    standin::Unload();
}
