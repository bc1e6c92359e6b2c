#pragma once
// What the companion stand-ins share: a log of the calls they receive, a
// table of operations that tests make fail, keeping the library loaded
// while its interfaces are out, and a reference-counted object base.
//
// The stand-ins take the place of the suite's companion libraries on a
// development machine and under test. They are not part of the service host
// and share no code with it.

#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>

namespace standin {

// Appends one line to the call log.
void Log(const std::wstring& line);

// The result a test asked `operation` to give, or S_OK.
HRESULT InjectedResult(const std::wstring& operation);

// Takes one reference to this library for the interfaces handed out, once
// until NotComDllUnload gives it back to the caller to drop.
void HoldLibrary();
void ReleaseLibraryHold();

std::wstring GuidText(const GUID* guid);
std::wstring Hex(unsigned long value);
std::wstring Text(const wchar_t* text); // "(null)" for null
std::wstring Widen(const char* text);

// The shared part of every stand-in's NotComDllGetInterface: logs the
// request, refuses a name the library does not offer or a test withdrew,
// and otherwise keeps the library loaded and hands out make()'s interface.
template <size_t N, typename Make>
HRESULT HandOutInterface(const char* interfaceName, void** iface, const char* const (&offered)[N], Make make)
{
    if (!iface)
        return E_POINTER;
    *iface = nullptr;
    std::wstring name = Widen(interfaceName);
    Log(L"NotComDllGetInterface " + name);
    bool known = false;
    for (const char* candidate : offered)
        known = known || (interfaceName && strcmp(interfaceName, candidate) == 0);
    if (!known)
        return E_NOINTERFACE;
    HRESULT injected = InjectedResult(L"NotComDllGetInterface:" + name);
    if (injected != S_OK)
        return injected;
    HoldLibrary();
    *iface = make(name);
    return S_OK;
}

// The shared body of every stand-in's NotComDllUnload.
void Unload();


// A reference-counted object: deleted when the last reference goes. The
// release is logged with the object's label.
template <typename Interface>
class Counted : public Interface {
public:
    explicit Counted(std::wstring label) : label_(std::move(label)) {}
    virtual ~Counted() = default;

    ULONG WINAPI AddRef() override { return ++references_; }
    ULONG WINAPI Release() override
    {
        ULONG left = --references_;
        if (left == 0) {
            Log(L"Release " + label_);
            delete this;
        }
        return left;
    }

    const std::wstring& Label() const { return label_; }

private:
    std::atomic<ULONG> references_{1};
    std::wstring label_;
};

} // namespace standin

// Test exports of every stand-in:
//   QvxStandInReadLog(buffer, chars): copies the call log (lines ending in
//     "\n") and returns its length in characters; a buffer too small (or
//     none) receives nothing.
//   QvxStandInReset(): empties the log and the failure table.
//   QvxStandInFail(operation, result): makes the named operation give
//     `result` (S_OK removes the entry). Operations are named as in the log;
//     "NotComDllGetInterface:<name>" refuses one interface name.
extern "C" {
__declspec(dllexport) DWORD WINAPI QvxStandInReadLog(wchar_t* buffer, DWORD chars);
__declspec(dllexport) void WINAPI QvxStandInReset();
__declspec(dllexport) void WINAPI QvxStandInFail(const wchar_t* operation, HRESULT result);
}
