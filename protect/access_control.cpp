#include "protect/access_control.h"

#include "platform/trusted_library.h"
#include "platform/trace.h"

namespace qvx {

DWORD GetAccessControlInterface(const char* interfaceName, AacControl** iface)
{
    if (!iface || !interfaceName)
        return ERROR_INVALID_PARAMETER;
    *iface = nullptr;
    void* raw = nullptr;
    DWORD result = GetTrustedLibraryInterface(kAccessControlLibrary, interfaceName, &raw);
    if (result != ERROR_SUCCESS) {
        QVX_TRACE(trace::kError, 1, L"access-control interface not obtained", kAccessControlLibrary, interfaceName,
                  result);
        return result;
    }
    *iface = static_cast<AacControl*>(raw);
    return ERROR_SUCCESS;
}

DWORD GetAccessControlInterfaceWithFallback(AacControl** iface, const char** usedName)
{
    if (!iface)
        return ERROR_INVALID_PARAMETER;
    *iface = nullptr;
    if (usedName)
        *usedName = nullptr;
    DWORD result = ERROR_NOT_FOUND;
    for (const char* name : kAacInterfaceNames) {
        void* raw = nullptr;
        result = GetTrustedLibraryInterface(kAccessControlLibrary, name, &raw);
        if (result == ERROR_SUCCESS) {
            *iface = static_cast<AacControl*>(raw);
            if (usedName)
                *usedName = name;
            if (name != kAacCurrentInterfaceName)
                QVX_TRACE(trace::kWarning, 2, L"access-control library offers an older interface", name);
            return ERROR_SUCCESS;
        }
    }
    QVX_TRACE(trace::kError, 3, L"access-control library offers none of its interfaces", kAccessControlLibrary,
              result);
    return result;
}

DWORD CreateAccessControlObject(AacControl* iface, const GUID& identifier, const wchar_t* clientName,
                                AacObject** object)
{
    if (!object) {
        if (iface)
            iface->Release();
        return ERROR_INVALID_PARAMETER;
    }
    *object = nullptr;
    if (!iface)
        return ERROR_INVALID_PARAMETER;
    AacObject* created = nullptr;
    HRESULT result = iface->CreateAccessControl(&identifier, clientName, &created);
    iface->Release();
    if (result != S_OK) {
        if (created)
            created->Release();
        QVX_TRACE(trace::kError, 4, L"access-control object not created", clientName, static_cast<DWORD>(result));
        return static_cast<DWORD>(result);
    }
    if (!created) {
        QVX_TRACE(trace::kError, 5, L"access-control library gave no object", clientName);
        return static_cast<DWORD>(E_POINTER);
    }
    *object = created;
    return ERROR_SUCCESS;
}

DWORD OpenAccessControl(const GUID& identifier, const wchar_t* clientName, AacObject** object)
{
    if (!object)
        return ERROR_INVALID_PARAMETER;
    *object = nullptr;
    AacControl* iface = nullptr;
    DWORD result = GetAccessControlInterface(kAacCurrentInterfaceName, &iface);
    if (result != ERROR_SUCCESS)
        return result;
    return CreateAccessControlObject(iface, identifier, clientName, object);
}

DWORD OpenAccessControlWithFallback(const GUID& identifier, const wchar_t* clientName, AacObject** object)
{
    if (!object)
        return ERROR_INVALID_PARAMETER;
    *object = nullptr;
    AacControl* iface = nullptr;
    DWORD result = GetAccessControlInterfaceWithFallback(&iface);
    if (result != ERROR_SUCCESS)
        return result;
    return CreateAccessControlObject(iface, identifier, clientName, object);
}

DWORD OpenStartupAccessControl(AacObject** object)
{
    return OpenAccessControl(kAacStartupIdentifier, kAacStartupClientName, object);
}

} // namespace qvx
