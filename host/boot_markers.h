#pragma once
// The registry markers that tell the management service how it last ended.
// Both are volatile keys below the management service key, so a reboot
// removes them:
//   "bootstart"  the service has already started once in this boot;
//   "dirtyexit"  the monitor thread is running, or the last run in this
//                boot did not end cleanly.
// A key of either name that survived a reboot (created non-volatile by
// someone else) proves nothing: it is deleted and counts as absent.

namespace qvx {

constexpr const wchar_t kBootMarkerName[] = L"bootstart";
constexpr const wchar_t kDirtyExitMarkerName[] = L"dirtyexit";
// The non-volatile child that probes whether a marker is volatile.
constexpr const wchar_t kVolatilityProbeName[] = L"TEMP";

// True for the first start of the management service since the machine
// booted: no volatile "bootstart" marker. False when the management
// service key itself cannot be opened.
bool IsFirstStartSinceBoot();

// True when a volatile "dirtyexit" marker exists: the previous run in this
// boot did not end cleanly.
bool IsDirtyExitMarkerPresent();

// Create the volatile marker; true when it exists afterwards.
bool CreateBootMarker();
bool CreateDirtyExitMarker();

// Deletes "dirtyexit" at a clean end of the monitor thread; true when it is
// gone (also when it was not there).
bool DeleteDirtyExitMarker();

} // namespace qvx
