#include "protect/rule_identifier.h"

#include <wincrypt.h>

#include "platform/trace.h"

namespace qvx {

DWORD RuleIdentifier(const std::wstring& description, GUID* identifier)
{
    static_assert(sizeof(GUID) == 16);
    if (!identifier)
        return ERROR_INVALID_PARAMETER;
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        const DWORD error = GetLastError();
        QVX_TRACE(trace::kError, 1, L"CryptAcquireContextW failed", error);
        return error;
    }
    DWORD error = ERROR_SUCCESS;
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
        error = GetLastError();
        QVX_TRACE(trace::kError, 2, L"CryptCreateHash failed", error);
    } else {
        DWORD digestBytes = sizeof(GUID);
        if (!CryptHashData(hash, reinterpret_cast<const BYTE*>(description.data()),
                           static_cast<DWORD>(description.size() * sizeof(wchar_t)), 0) ||
            !CryptGetHashParam(hash, HP_HASHVAL, reinterpret_cast<BYTE*>(identifier), &digestBytes, 0)) {
            error = GetLastError();
            QVX_TRACE(trace::kError, 3, L"the rule text could not be hashed", description, error);
        }
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
    return error;
}

} // namespace qvx
