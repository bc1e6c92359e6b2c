#pragma once
// Installing the service host on a machine: the three services of the one
// image with the service control manager, the event source, and the folder
// where the trusted loader finds the companion libraries.

#include <windows.h>

#include <string>

namespace qvx {

constexpr wchar_t kHostImageName[] = L"qvxsvh.exe";
constexpr wchar_t kEventSourceKeyPath[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quorvex Service Controller";
// Error, warning and information events.
constexpr DWORD kEventTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// Registers qvxsvh, qvxtrust and qvxfwsvc as share-process, demand-start
// services of `folder`\qvxsvh.exe (a registration that exists is changed in
// place, so the hosted services stored below qvxsvh stay), creates the empty
// hosted-service list of a first installation, registers the event source
// with the image as its message file and sets the companion install folder
// to `folder`. 0, or the first error met (reported on `log` when given).
DWORD InstallServiceHost(const std::wstring& folder);

// Stops and deletes the three services and removes the event source and the
// install-folder setting. Missing pieces are no failure. 0 or the last error.
DWORD RemoveServiceHost();

// The sample hosted services go where their profiles' BinaryPath points; the
// host expands the variable when a service is created, and the installer in
// the same way: qvxsample.exe, a service process, and qvxsampledll.dll, a
// service the host runs inside its own process, each with its app profile.
constexpr wchar_t kSampleFolder[] = L"%ProgramFiles%\\Quorvex\\Tessera";
constexpr wchar_t kSampleImageName[] = L"qvxsample.exe";
constexpr wchar_t kSampleProfileName[] = L"qvxsample.xml";
constexpr wchar_t kSampleDllName[] = L"qvxsampledll.dll";
constexpr wchar_t kSampleDllProfileName[] = L"qvxsampledll.xml";
constexpr const wchar_t* kSampleFiles[] = {kSampleImageName, kSampleProfileName, kSampleDllName,
                                           kSampleDllProfileName};

// Copies the samples' files (kSampleFiles) from `sourceFolder` into
// kSampleFolder, creating the folders and replacing copies that are there.
// A file missing from `sourceFolder` is no failure: it is noted on the log
// and not copied. 0, or the first error met.
DWORD PlaceSampleService(const std::wstring& sourceFolder);

// Deletes the samples' files from kSampleFolder, then each folder of that
// path that is left empty, up to the suite's own folder. Missing pieces are
// no failure. 0 or the last error.
DWORD RemoveSampleService();

// kSampleFolder with its variables expanded; empty when they cannot be.
std::wstring SampleFolder();

// Receives one line for each step that failed; none by default.
void SetInstallLog(void (*log)(const std::wstring& line));

} // namespace qvx
