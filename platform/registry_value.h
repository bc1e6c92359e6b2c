#pragma once
// Small readers and writers of one registry value each. A failed read or
// write makes the registry's error the thread's last error, so that callers
// can report it.

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/handles.h"

namespace qvx {

// True only for a REG_DWORD of 4 bytes.
bool ReadDword(HKEY key, const wchar_t* name, DWORD& value);
// True only for REG_SZ or REG_EXPAND_SZ. The result is cut to
// bufferChars - 1 characters, as a terminated buffer of that size would hold.
bool ReadText(HKEY key, const wchar_t* name, std::wstring& value, size_t bufferChars);
// True only for 8 bytes of REG_QWORD (or REG_BINARY of 8 bytes).
bool ReadQword(HKEY key, const wchar_t* name, ULONGLONG& value);

bool WriteDword(HKEY key, const wchar_t* name, DWORD value);
// REG_SZ by default; the stored size includes the terminating NUL. A null
// text writes an empty value of 0 bytes.
bool WriteText(HKEY key, const wchar_t* name, const wchar_t* text, DWORD type = REG_SZ);
bool WriteText(HKEY key, const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ);
bool WriteQword(HKEY key, const wchar_t* name, ULONGLONG value);

// Opening and creating keys; 0 or the registry's error (also made the last error).
DWORD OpenKey(HKEY parent, const wchar_t* path, REGSAM access, RegKey& key);
DWORD CreateKey(HKEY parent, const wchar_t* path, REGSAM access, RegKey& key, DWORD options = REG_OPTION_NON_VOLATILE);

} // namespace qvx
