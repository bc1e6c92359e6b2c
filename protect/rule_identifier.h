#pragma once
// A rule's identifier: the MD5 digest of its description text, taken over
// the text's UTF-16 bytes without the terminating NUL, so that the same
// rule text always names the same rule.

#include <windows.h>

#include <string>

namespace qvx {

// 0 and the digest in *identifier, or the CryptoAPI error (traced).
DWORD RuleIdentifier(const std::wstring& description, GUID* identifier);

} // namespace qvx
