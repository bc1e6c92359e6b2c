#pragma once
// What the management service does to hosted services over their listener
// pipes: stop one (with its dependents), start one more service in a shared
// host, re-attach to a running one, and the broadcasts (forwarded controls,
// shutdown, power-condition changes; declared in engine/engine_calls.h).
//
// A post or transaction can take up to its 15-second time-out, so none is
// made while this code holds a record lock or a table lock of its own: what
// a message needs is copied out under the lock, the lock is let go for the
// exchange, and the record is looked at again afterwards.
//
// Operations that take a ServiceRecord& need the record to stay in the
// table for the call, which only a caller holding the table lock (shared is
// enough) can promise; such a caller keeps that lock across the exchange.
// The broadcasts and the power-condition pass take the lock themselves and
// must be called without it, so that no writer waits behind their posts.

#include <windows.h>

namespace qvx {

class HostRuntime;
class ServiceRecord;

// Asks the service to stop. Only SERVICE_CONTROL_STOP is accepted (87
// otherwise). A service that is stopping already gives 0; a stopped one has
// StopRequested cleared and gives 0; neither is sent anything. After a
// delivered stop the ShutdownTimer runs for ShutdownTimeout seconds in the
// monitor's wait set and the state is SERVICE_STOP_PENDING, unless the state
// changed while the message was on its way: then it is left as it is. A
// failed post is given back and changes nothing.
DWORD SendServiceControl(HostRuntime& runtime, ServiceRecord& record, DWORD control);

// Stops a running service and the services that depend on it. 0 for a
// stopped or stopping service; 1061 (ERROR_SERVICE_CANNOT_ACCEPT_CTRL) when
// the service is not running, or when a direct or indirect dependent is in a
// state that cannot be stopped, or when the dependents lead back to the
// service. With running dependents only those are asked to stop now and
// StopRequested is set: the service itself is stopped when they have.
DWORD StopHostedService(HostRuntime& runtime, ServiceRecord& record);

// Asks the shared host process behind the record's listener pipe to start
// the record's service; SERVICE_START_PENDING on success.
DWORD SendStartToHost(ServiceRecord& record);

// Re-attaches to a running hosted service: takes over the state it reports
// (a reply that names no state changes nothing) and the process it runs in.
// 0 for a service outside the SVH class, 87 without a listener pipe.
DWORD InterrogateHostedService(ServiceRecord& record);

// Whether the service answers a PING with exactly "ACK".
bool PingHostedService(ServiceRecord& record);

} // namespace qvx
