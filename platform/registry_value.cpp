#include "platform/registry_value.h"

#include <vector>

namespace qvx {

namespace {

bool Fail(LSTATUS status)
{
    SetLastError(static_cast<DWORD>(status));
    return false;
}

} // namespace

bool ReadDword(HKEY key, const wchar_t* name, DWORD& value)
{
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof(data);
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    if (status != ERROR_SUCCESS)
        return Fail(status);
    if (type != REG_DWORD || size != sizeof(DWORD))
        return Fail(ERROR_INVALID_DATA);
    value = data;
    return true;
}

bool ReadText(HKEY key, const wchar_t* name, std::wstring& value, size_t bufferChars)
{
    if (bufferChars == 0)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS)
        return Fail(status);
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return Fail(ERROR_INVALID_DATA);
    for (;;) {
        // Rounded up, so that a value of an odd number of bytes fits whole
        // (a buffer one byte short would be refused for ever).
        std::vector<wchar_t> data((size + sizeof(wchar_t) - 1) / sizeof(wchar_t) + 1, L'\0');
        DWORD got = static_cast<DWORD>((data.size() - 1) * sizeof(wchar_t));
        status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got);
        if (status == ERROR_MORE_DATA) {
            size = got;
            continue;
        }
        if (status != ERROR_SUCCESS)
            return Fail(status);
        if (type != REG_SZ && type != REG_EXPAND_SZ)
            return Fail(ERROR_INVALID_DATA);
        std::wstring text(data.data(), got / sizeof(wchar_t));
        size_t end = text.find(L'\0');
        if (end != std::wstring::npos)
            text.resize(end);
        if (text.size() > bufferChars - 1)
            text.resize(bufferChars - 1);
        value = std::move(text);
        return true;
    }
}

bool ReadQword(HKEY key, const wchar_t* name, ULONGLONG& value)
{
    DWORD type = 0;
    ULONGLONG data = 0;
    DWORD size = sizeof(data);
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    if (status != ERROR_SUCCESS)
        return Fail(status);
    if ((type != REG_QWORD && type != REG_BINARY) || size != sizeof(ULONGLONG))
        return Fail(ERROR_INVALID_DATA);
    value = data;
    return true;
}

bool WriteDword(HKEY key, const wchar_t* name, DWORD value)
{
    LSTATUS status = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    return status == ERROR_SUCCESS ? true : Fail(status);
}

bool WriteText(HKEY key, const wchar_t* name, const wchar_t* text, DWORD type)
{
    DWORD bytes = text ? static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)) : 0;
    LSTATUS status = RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text), bytes);
    return status == ERROR_SUCCESS ? true : Fail(status);
}

bool WriteText(HKEY key, const wchar_t* name, const std::wstring& text, DWORD type)
{
    return WriteText(key, name, text.c_str(), type);
}

bool WriteQword(HKEY key, const wchar_t* name, ULONGLONG value)
{
    LSTATUS status = RegSetValueExW(key, name, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    return status == ERROR_SUCCESS ? true : Fail(status);
}

DWORD OpenKey(HKEY parent, const wchar_t* path, REGSAM access, RegKey& key)
{
    LSTATUS status = RegOpenKeyExW(parent, path, 0, access, key.Receive());
    if (status != ERROR_SUCCESS)
        SetLastError(static_cast<DWORD>(status));
    return static_cast<DWORD>(status);
}

DWORD CreateKey(HKEY parent, const wchar_t* path, REGSAM access, RegKey& key, DWORD options)
{
    LSTATUS status = RegCreateKeyExW(parent, path, 0, nullptr, options, access, nullptr, key.Receive(), nullptr);
    if (status != ERROR_SUCCESS)
        SetLastError(static_cast<DWORD>(status));
    return static_cast<DWORD>(status);
}

} // namespace qvx
