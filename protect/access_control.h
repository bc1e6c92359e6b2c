#pragma once
// The suite's access-control component as the host uses it: the library
// "qvxaccess.dll" and its interfaces, how the access-control object is
// obtained, and the names and control codes of the access-protection driver.

#include <windows.h>
#include <winioctl.h>

#include "platform/companion_interfaces.h"

namespace qvx {

// Interface names, newest first. Start-up and the launch paths ask only for
// the first; an exception scope takes the first that the library offers.
inline constexpr const char* kAacInterfaceNames[] = {"AacControl6", "AacControl5", "AacControl4",
                                                     "AacControl3", "AacControl2", "AacControl"};
inline constexpr const char* kAacCurrentInterfaceName = kAacInterfaceNames[0];

// The identifier and client name under which the management service opens
// its access-control object at start-up.
inline constexpr GUID kAacStartupIdentifier = {
    0x4562A25A, 0x895D, 0x4E20, {0xBB, 0x47, 0x73, 0x17, 0x80, 0x1F, 0x01, 0x08}};
inline constexpr wchar_t kAacStartupClientName[] = L"SVH";

// What the management service passes when it registers itself as callback.
inline constexpr DWORD kAacCallbackNotificationMask = 1023;
inline constexpr DWORD kAacCallbackFlags = 2050;

// The access-protection driver: the local device name is tried first, the
// global one second.
inline constexpr wchar_t kDriverDeviceName[] = L"\\\\.\\QVXSNTRY";
inline constexpr wchar_t kDriverGlobalDeviceName[] = L"\\\\.\\Global\\QVXSNTRY";
inline constexpr DWORD kDriverDeviceType = 0x9EDB;

// Begin and end of a driver exception, on the write and the read handle.
inline constexpr DWORD kDriverBeginWriteException =
    CTL_CODE(kDriverDeviceType, 0x946, METHOD_BUFFERED, FILE_WRITE_ACCESS);
inline constexpr DWORD kDriverBeginReadException =
    CTL_CODE(kDriverDeviceType, 0x946, METHOD_BUFFERED, FILE_READ_ACCESS);
inline constexpr DWORD kDriverEndWriteException =
    CTL_CODE(kDriverDeviceType, 0x947, METHOD_BUFFERED, FILE_WRITE_ACCESS);
inline constexpr DWORD kDriverEndReadException =
    CTL_CODE(kDriverDeviceType, 0x947, METHOD_BUFFERED, FILE_READ_ACCESS);
static_assert(kDriverBeginWriteException == 0x9EDBA518 && kDriverBeginReadException == 0x9EDB6518 &&
              kDriverEndWriteException == 0x9EDBA51C && kDriverEndReadException == 0x9EDB651C);

// The identifier the host and the driver share, sent with the write
// exception's begin code as UTF-16 text with its terminating NUL (74 bytes).
inline constexpr wchar_t kDriverExceptionIdentifier[] = L"8b0f7c1e-5a43-4d2b-9e61-3c7a0d52f4b9";
static_assert(sizeof(kDriverExceptionIdentifier) == 74);

// Obtains the interface `interfaceName` of the access-control library
// through the trusted loader; the library's module reference is dropped
// right after (the interface keeps it loaded). 0 or the error (traced).
DWORD GetAccessControlInterface(const char* interfaceName, AacControl** iface);

// The same, trying the interface names newest first and taking the first
// the library offers; *usedName (when given) receives the name taken. The
// error of the last name tried when none is offered.
DWORD GetAccessControlInterfaceWithFallback(AacControl** iface, const char** usedName = nullptr);

// Creates an access-control object from `iface` (its third operation) and
// releases the interface whatever the result. 0 or the error (traced).
DWORD CreateAccessControlObject(AacControl* iface, const GUID& identifier, const wchar_t* clientName,
                                AacObject** object);

// The management service's own access-control object: "AacControl6", the
// start-up identifier and the client name "SVH". 0 or the error (traced).
DWORD OpenStartupAccessControl(AacObject** object);

// An access-control object for `identifier` and an optional client name,
// through "AacControl6" only (the launch and protection paths).
DWORD OpenAccessControl(const GUID& identifier, const wchar_t* clientName, AacObject** object);

// The same through the newest interface the library offers (exception scopes).
DWORD OpenAccessControlWithFallback(const GUID& identifier, const wchar_t* clientName, AacObject** object);

} // namespace qvx
