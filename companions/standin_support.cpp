#include "companions/standin_support.h"

#include <objbase.h>

#include <cwchar>
#include <map>
#include <mutex>

namespace standin {
namespace {

std::mutex g_lock;
std::wstring g_log;
std::map<std::wstring, HRESULT> g_failures;
std::atomic<bool> g_held{false};

} // namespace

void Log(const std::wstring& line)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_log.append(line).append(1, L'\n');
}

HRESULT InjectedResult(const std::wstring& operation)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto found = g_failures.find(operation);
    return found == g_failures.end() ? S_OK : found->second;
}

void HoldLibrary()
{
    if (g_held.exchange(true))
        return;
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<const wchar_t*>(&HoldLibrary),
                            &self))
        g_held.store(false);
}

void ReleaseLibraryHold() { g_held.store(false); }

std::wstring GuidText(const GUID* guid)
{
    if (!guid)
        return L"(null)";
    wchar_t text[40] = {};
    StringFromGUID2(*guid, text, 40);
    return text;
}

std::wstring Hex(unsigned long value)
{
    wchar_t text[16] = {};
    swprintf(text, 16, L"0x%lx", value);
    return text;
}

std::wstring Text(const wchar_t* text) { return text ? std::wstring(text) : std::wstring(L"(null)"); }

std::wstring Widen(const char* text)
{
    if (!text)
        return L"(null)";
    int chars = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (chars <= 0)
        return L"";
    std::wstring wide(static_cast<size_t>(chars), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), chars);
    wide.resize(static_cast<size_t>(chars) - 1);
    return wide;
}

void Unload()
{
    Log(L"NotComDllUnload");
    ReleaseLibraryHold();
}

} // namespace standin

extern "C" DWORD WINAPI QvxStandInReadLog(wchar_t* buffer, DWORD chars)
{
    std::lock_guard<std::mutex> guard(standin::g_lock);
    DWORD length = static_cast<DWORD>(standin::g_log.size());
    if (buffer && chars > length) {
        wmemcpy(buffer, standin::g_log.c_str(), length);
        buffer[length] = L'\0';
    }
    return length;
}

extern "C" void WINAPI QvxStandInReset()
{
    std::lock_guard<std::mutex> guard(standin::g_lock);
    standin::g_log.clear();
    standin::g_failures.clear();
}

extern "C" void WINAPI QvxStandInFail(const wchar_t* operation, HRESULT result)
{
    if (!operation)
        return;
    std::lock_guard<std::mutex> guard(standin::g_lock);
    if (result == S_OK)
        standin::g_failures.erase(operation);
    else
        standin::g_failures[operation] = result;
}
