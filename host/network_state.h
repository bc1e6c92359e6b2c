#pragma once
// Whether the machine has a network, and the IP interface change callback
// that keeps bit POWERPROFILE_NOTNETWORK of MachineConditions current. The
// IP Helper entry points are looked up by name in "IPHLPAPI.DLL" while the
// monitor thread runs; GetAdaptersAddresses is also kept process-wide for
// the network test.

#include <winsock2.h>
#include <ws2ipdef.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include "platform/handles.h"

namespace qvx {

class HostRuntime;

using GetAdaptersAddressesFn = ULONG(WINAPI*)(ULONG family, ULONG flags, PVOID reserved,
                                              PIP_ADAPTER_ADDRESSES addresses, PULONG size);
using NotifyIpInterfaceChangeFn = NETIO_STATUS(NETIOAPI_API_*)(ADDRESS_FAMILY family,
                                                               PIPINTERFACE_CHANGE_CALLBACK callback,
                                                               PVOID context, BOOLEAN initialNotification,
                                                               HANDLE* registration);
using CancelMibChangeNotify2Fn = NETIO_STATUS(NETIOAPI_API_*)(HANDLE registration);

struct IpHelperEntryPoints {
    GetAdaptersAddressesFn getAdaptersAddresses = nullptr;
    NotifyIpInterfaceChangeFn notifyIpInterfaceChange = nullptr;
    CancelMibChangeNotify2Fn cancelMibChangeNotify2 = nullptr;
};

// The adapter-list flags of the network test: skip anycast, multicast and
// friendly names (0x26).
constexpr ULONG kAdapterListFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_FRIENDLY_NAME;

// True when an adapter other than a software loopback (type 24) or tunnel
// (type 131) has an operational status with its lowest bit set (up, testing,
// dormant, lower layer down). Without GetAdaptersAddresses: false. When the
// list cannot be had (size query, allocation or fetch failing) the network
// counts as available, so that a failing query never stops services.
bool IsNetworkAvailable();

// The IP interface change callback, with the runtime as its context: sets
// bit POWERPROFILE_NOTNETWORK of MachineConditions without a network and
// clears it with one; a real change calls ApplyPowerCondition(true).
void NETIOAPI_API_ OnIpInterfaceChange(PVOID context, PMIB_IPINTERFACE_ROW row, MIB_NOTIFICATION_TYPE type);

// The monitor thread's IP Helper state.
class IpInterfaceWatch {
public:
    IpInterfaceWatch() = default;
    ~IpInterfaceWatch() { Stop(); }
    IpInterfaceWatch(const IpInterfaceWatch&) = delete;
    IpInterfaceWatch& operator=(const IpInterfaceWatch&) = delete;

    // Loads "IPHLPAPI.DLL" and looks up its three entry points (each one
    // missing is traced), publishes GetAdaptersAddresses for the network
    // test and registers OnIpInterfaceChange for every address family with
    // an initial notification, so that the no-network bit of the runtime's
    // MachineConditions is right at once. The runtime must outlive Stop.
    void Start(HostRuntime& runtime);
    // Cancels the registration, forgets GetAdaptersAddresses and unloads
    // the library.
    void Stop();

private:
    Module library_;
    IpHelperEntryPoints entries_;
    HANDLE registration_ = nullptr;
};

// Test seam: IpInterfaceWatch takes these entry points instead of loading
// the library; nullptr goes back to the library.
void SetIpHelperEntryPoints(const IpHelperEntryPoints* entries) noexcept;

} // namespace qvx
