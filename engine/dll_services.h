#pragma once
// Hosted services of type SERVICE_SVH_USER_DLL: a DLL loaded into the
// management service's own process whose entry point runs on a thread of
// its own, driven by the hosting library's control interface. The running
// ones are kept in one list; the stop of all of them and the shutdown wait
// are declared in engine/engine_calls.h.
//
// A context is shared by the list and by its service thread, each holding
// one reference. Whoever takes a context out of the list drops the list's
// reference; the thread drops its own when it ends, after it has unloaded
// the service DLL. So a service that outlives the shutdown wait keeps its
// context and its module until its thread ends.

#include <windows.h>

#include <cstddef>

namespace qvx {

class ServiceRecord;
class SvhControl;

// Loads the record's DLL, looks up its ServiceMain export and starts the
// service thread. 0, or the error of the step that failed, after which
// nothing is left loaded or allocated for the service. The record must
// stay in the table while the service runs.
DWORD StartDllService(ServiceRecord& record);

// Whether a DLL service of the record's name is in the running list with a
// thread.
bool DllServiceThreadExists(const ServiceRecord& record);

// How many DLL services the running list holds.
size_t RunningDllServiceCount();

// How many DLL service contexts exist, listed or held by a thread that
// still runs.
size_t LiveDllServiceContexts();

// Where a service thread gets its control interface from: 0 with
// *control set, or an error code. The default asks the hosting library
// "qvxsvha.dll" through the trusted loader; tests put a source of their own
// in its place (nullptr restores the default).
using DllServiceControlSourceFn = DWORD (*)(SvhControl** control);
void SetDllServiceControlSource(DllServiceControlSourceFn source) noexcept;

} // namespace qvx
