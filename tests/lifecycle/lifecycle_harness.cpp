#include "tests/lifecycle/lifecycle_harness.h"

#include <shlwapi.h>

#include <algorithm>
#include <cstdlib>

#include "platform/handles.h"
#include "platform/service_key.h"
#include "platform/wide_text.h"
#include "tests/support/test_prefix.h"

namespace qvx::test {

namespace {

constexpr DWORD kPollMs = 50;
constexpr DWORD kCleanupTimeoutMs = 5000;
constexpr wchar_t kEnvironmentKey[] = L"System\\CurrentControlSet\\Control\\Session Manager\\Environment";

std::wstring BinFolder()
{
    std::wstring image = ServiceImagePath();
    return image.substr(0, image.find_last_of(L'\\') + 1);
}

std::string ReadFrom(const std::wstring& path, LONGLONG offset)
{
    KernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return std::string();
    LARGE_INTEGER position;
    position.QuadPart = offset;
    if (!SetFilePointerEx(file.Get(), position, nullptr, FILE_BEGIN))
        return std::string();
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.Get(), buffer, sizeof(buffer), &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    return bytes;
}

LONGLONG FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Whole lines only: a line still being written has no line break yet.
std::vector<std::wstring> Lines(const std::string& bytes)
{
    std::vector<std::wstring> lines;
    size_t begin = 0;
    for (size_t end; (end = bytes.find('\n', begin)) != std::string::npos; begin = end + 1) {
        std::string line = bytes.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(Utf8ToWide(line));
    }
    return lines;
}

bool ParseLogLine(const std::wstring& line, ServiceLogLine& parsed)
{
    const size_t first = line.find(L' ');
    const size_t second = first == std::wstring::npos ? first : line.find(L' ', first + 1);
    if (second == std::wstring::npos || line.compare(second + 1, 4, L"pid=") != 0)
        return false;
    parsed.what = line.substr(0, first);
    parsed.service = line.substr(first + 1, second - first - 1);
    parsed.pid = wcstoul(line.c_str() + second + 5, nullptr, 10);
    const size_t arguments = line.find(L" args=", second);
    parsed.arguments = arguments == std::wstring::npos ? std::wstring() : line.substr(arguments + 6);
    return true;
}

} // namespace

std::wstring HostTrace::FilePath()
{
    wchar_t value[MAX_PATH + 8] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kEnvironmentKey, L"QVXSVH_TRACE", RRF_RT_REG_SZ, nullptr, value, &size) !=
        ERROR_SUCCESS)
        return std::wstring();
    const std::wstring setting(value);
    return setting.size() > 2 && setting[1] == L':' ? setting.substr(2) : std::wstring();
}

void HostTrace::Mark()
{
    mark_ = FileSize(FilePath());
}

std::vector<std::wstring> HostTrace::LinesSinceMark(DWORD hostPid) const
{
    // Every program of the prefix mirrors its trace into the same file;
    // the host's lines begin with its process id.
    const std::wstring tag = L"[qvxsvh " + std::to_wstring(hostPid) + L":";
    std::vector<std::wstring> lines;
    for (std::wstring& line : Lines(ReadFrom(FilePath(), mark_))) {
        if (line.rfind(tag, 0) == 0)
            lines.push_back(std::move(line));
    }
    return lines;
}

int HostTrace::EventsSinceMark(DWORD hostPid, const std::wstring& eventId, const std::wstring& serviceName) const
{
    // "event reported, 0x<id>, <first string> | <second string>..."
    int count = 0;
    for (const std::wstring& line : LinesSinceMark(hostPid)) {
        const size_t at = line.find(L"event reported");
        if (at == std::wstring::npos)
            continue;
        const size_t id = line.find(eventId, at);
        if (id == std::wstring::npos)
            continue;
        std::wstring rest = line.substr(id + eventId.size());
        while (!rest.empty() && (rest[0] == L',' || rest[0] == L' '))
            rest.erase(0, 1);
        const std::wstring first = rest.substr(0, rest.find(L" | "));
        if (EqualsFolded(first, serviceName))
            ++count;
    }
    return count;
}

void LifecycleTest::SetUp()
{
    QVX_REQUIRE_TEST_PREFIX();
    inPrefix_ = true;
    ASSERT_EQ(host_.Error(), 0u);
    ASSERT_FALSE(HostTrace::FilePath().empty()) << "the prefix sets no QVXSVH_TRACE for the host";

    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    const std::wstring folder = BinFolder() + L"..\\lifecycle-logs\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    // A parameterised test's name holds "/", which no file name may.
    std::wstring testName = Utf8ToWide(info->test_suite_name()) + L"." + Utf8ToWide(info->name());
    std::replace(testName.begin(), testName.end(), L'/', L'_');
    logPath_ = folder + testName + L".log";
    DeleteFileW(logPath_.c_str());

    ASSERT_EQ(host_.Start(), 0u);
    hostPid_ = host_.Status().dwProcessId;
    trace_.Mark();
}

void LifecycleTest::TearDown()
{
    if (!inPrefix_)
        return;
    const bool hostRuns = host_.Status().dwCurrentState == SERVICE_RUNNING;
    // Dependents were created after what they depend on: stopped in reverse
    // order, each stop finds its dependents stopped already.
    if (hostRuns) {
        for (auto name = created_.rbegin(); name != created_.rend(); ++name) {
            if (State(*name) == L"SERVICE_RUNNING" && Stop(*name).rfind(L"CONTROL_SERVICE,", 0) == 0)
                WaitForState(*name, L"SERVICE_STOPPED", kCleanupTimeoutMs);
        }
    }
    // What hangs or ignores its stop is killed.
    for (const ServiceLogLine& line : Log()) {
        if (line.pid != 0 && ProcessAlive(line.pid))
            KillProcess(line.pid);
    }
    if (hostRuns) {
        for (auto name = created_.rbegin(); name != created_.rend(); ++name) {
            // A killed service may still count as running; its key goes below
            // and the host's table with the host.
            const std::wstring reply = Ask(L"DELETE_SERVICE," + *name, kCleanupTimeoutMs);
            if (reply != L"ACK" && reply != L"SERVICE_ALREADY_RUNNING")
                ADD_FAILURE() << "not deleted: " << Narrow(*name) << ": " << Narrow(reply);
        }
    }
    for (const std::wstring& name : created_)
        SHDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(kServiceKeyPath) + L"\\Services\\" + name).c_str());
}

std::wstring LifecycleTest::Profile(const std::wstring& name, const std::wstring& switches, const std::wstring& extra,
                                    const std::wstring& type) const
{
    std::wstring binary = L"\"" + BinFolder() + L"qvxtest_service.exe\" --log=" + logPath_ + L" --name=" + name;
    if (!switches.empty())
        binary += L" " + switches;
    return L"<Service><Name>" + name +
           L"</Name><StartupProfile>SERVICE_START_DEMAND</StartupProfile><SVHServiceType>SERVICE_TYPE_SVH"
           L"</SVHServiceType><ServiceType>" +
           type + L"</ServiceType><BinaryPath>" + binary + L"</BinaryPath>" + extra + L"</Service>";
}

std::vector<std::wstring> LifecycleTest::TraceLines(DWORD hostPid, const std::wstring& text,
                                                    const std::wstring& service) const
{
    std::vector<std::wstring> matching;
    for (const std::wstring& line : trace_.LinesSinceMark(hostPid)) {
        if (line.find(text) != std::wstring::npos && (service.empty() || line.find(service) != std::wstring::npos))
            matching.push_back(line);
    }
    return matching;
}

bool LifecycleTest::WaitForTraceLines(const std::wstring& text, const std::wstring& service, size_t count,
                                      DWORD timeoutMs) const
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (TraceLines(hostPid_, text, service).size() >= count)
            return true;
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(100);
    }
}

std::wstring LifecycleTest::Create(const std::wstring& name, const std::wstring& profile)
{
    const std::wstring reply = Ask(L"CREATE_SERVICE," + name + L"," + profile);
    if (reply == L"ACK")
        created_.push_back(name);
    return reply;
}

std::wstring LifecycleTest::Ask(const std::wstring& request, DWORD timeoutMs)
{
    return InstalledService::Request(request, timeoutMs);
}

std::wstring LifecycleTest::Start(const std::wstring& name, const std::wstring& count, const std::wstring& arguments)
{
    return Ask(L"START_SERVICE," + name + L"," + count + L"," + arguments);
}

std::wstring LifecycleTest::Stop(const std::wstring& name)
{
    return Ask(L"CONTROL_SERVICE," + name + L",SERVICE_CONTROL_STOP");
}

std::wstring LifecycleTest::State(const std::wstring& name)
{
    const std::wstring reply = Ask(L"QUERY_SERVICE_STATUS," + name, 5000);
    constexpr wchar_t kPrefix[] = L"QUERY_SERVICE_STATUS,";
    return reply.rfind(kPrefix, 0) == 0 ? reply.substr(wcslen(kPrefix)) : reply;
}

bool LifecycleTest::WaitForState(const std::wstring& name, const std::wstring& state, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (State(name) == state)
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(kPollMs);
    }
}

std::vector<ServiceLogLine> LifecycleTest::Log() const
{
    std::vector<ServiceLogLine> parsed;
    for (const std::wstring& line : Lines(ReadFrom(logPath_, 0))) {
        ServiceLogLine entry;
        if (ParseLogLine(line, entry))
            parsed.push_back(entry);
    }
    return parsed;
}

std::vector<ServiceLogLine> LifecycleTest::LogOf(const std::wstring& what, const std::wstring& service) const
{
    std::vector<ServiceLogLine> matching;
    for (const ServiceLogLine& line : Log()) {
        if (line.what == what && (service.empty() || EqualsFolded(line.service, service)))
            matching.push_back(line);
    }
    return matching;
}

std::vector<ServiceLogLine> LifecycleTest::WaitForLog(const std::wstring& what, const std::wstring& service,
                                                      size_t count, DWORD timeoutMs) const
{
    const DWORD start = GetTickCount();
    for (;;) {
        std::vector<ServiceLogLine> lines = LogOf(what, service);
        if (lines.size() >= count || GetTickCount() - start > timeoutMs)
            return lines;
        Sleep(kPollMs);
    }
}

DWORD LifecycleTest::LatestPid(const std::wstring& service) const
{
    const std::vector<ServiceLogLine> starts = LogOf(L"start", service);
    return starts.empty() ? 0 : starts.back().pid;
}

DWORD LifecycleTest::WaitForNewPid(const std::wstring& service, DWORD oldPid, DWORD timeoutMs) const
{
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD pid = LatestPid(service);
        if ((pid != 0 && pid != oldPid) || GetTickCount() - start > timeoutMs)
            return pid == oldPid ? 0 : pid;
        Sleep(kPollMs);
    }
}

bool LifecycleTest::ProcessAlive(DWORD pid)
{
    KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    return process && WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT;
}

bool LifecycleTest::KillProcess(DWORD pid)
{
    KernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER; // no such process
    TerminateProcess(process.Get(), ERROR_PROCESS_ABORTED);
    return WaitForSingleObject(process.Get(), 10000) == WAIT_OBJECT_0;
}

void LifecycleTest::SetDefaultArguments(DWORD count, const std::wstring& arguments)
{
    HKEY opened = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServiceKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(opened, L"NumServiceArgs", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count),
                             sizeof(count)),
              ERROR_SUCCESS);
    const LSTATUS set = RegSetValueExW(opened, L"ServiceArgs", 0, REG_SZ, reinterpret_cast<const BYTE*>(arguments.c_str()),
                                       static_cast<DWORD>((arguments.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(opened);
    ASSERT_EQ(set, ERROR_SUCCESS);
}

WaveStartSetup::WaveStartSetup(DWORD waveDelaySeconds)
{
    HKEY opened = nullptr;
    const std::wstring path = std::wstring(kServiceKeyPath) + L"\\Parameters";
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr) !=
        ERROR_SUCCESS) {
        ADD_FAILURE() << "the host's Parameters key cannot be created";
        return;
    }
    EXPECT_EQ(RegSetValueExW(opened, L"TestWaveDelaySeconds", 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&waveDelaySeconds), sizeof(waveDelaySeconds)),
              ERROR_SUCCESS);
    RegCloseKey(opened);
}

WaveStartSetup::~WaveStartSetup()
{
    const std::wstring path = std::wstring(kServiceKeyPath) + L"\\Parameters";
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), L"TestWaveDelaySeconds");
}

DWORD WaveStartSetup::RestartAsAfterReboot(InstalledService& host, HostTrace& trace)
{
    if (host.Status().dwCurrentState != SERVICE_STOPPED && host.Stop() != ERROR_SUCCESS)
        return 0;
    for (const wchar_t* marker : {L"bootstart", L"dirtyexit"}) {
        const std::wstring path = std::wstring(kServiceKeyPath) + L"\\" + marker;
        SHDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    }
    trace.Mark();
    if (host.Start() != ERROR_SUCCESS)
        return 0;
    return host.Status().dwProcessId;
}

bool WaveStartSetup::WaitForStartupComplete(const HostTrace& trace, DWORD hostPid, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        for (const std::wstring& line : trace.LinesSinceMark(hostPid)) {
            if (line.find(L"start-up complete") != std::wstring::npos)
                return true;
        }
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(kPollMs);
    }
}

} // namespace qvx::test
