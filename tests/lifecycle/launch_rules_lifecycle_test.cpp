#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "tests/lifecycle/lifecycle_harness.h"
#include "tests/support/installed_service.h"
#include "tests/support/unique_name.h"

namespace qvx::test {
namespace {

const wchar_t kRecordKey[] = L"Software\\Quorvex\\StandIn";
const wchar_t kRecordValue[] = L"AccessControlRecord";

// Has the access-control stand-in of the installed host write what it is
// asked to a file of this test's own, for the test's duration.
class AccessRecord {
public:
    AccessRecord()
    {
        wchar_t folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        path_ = std::wstring(folder) + UniqueName(L"qvxaccess-record") + L".txt";
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRecordKey, kRecordValue, REG_SZ, path_.c_str(),
                        static_cast<DWORD>((path_.size() + 1) * sizeof(wchar_t)));
    }
    ~AccessRecord()
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRecordKey);
        DeleteFileW(path_.c_str());
    }
    AccessRecord(const AccessRecord&) = delete;
    AccessRecord& operator=(const AccessRecord&) = delete;

    std::wstring Text() const
    {
        HANDLE file = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return L"";
        std::wstring text;
        wchar_t buffer[4096];
        DWORD read = 0;
        while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
            text.append(buffer, read / sizeof(wchar_t));
        CloseHandle(file);
        return text;
    }

private:
    std::wstring path_;
};

// Waits until the record holds a removed policy; the text read last.
std::wstring WaitForRemoval(const AccessRecord& record, DWORD timeoutMs)
{
    std::wstring text;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        text = record.Text();
        if (text.find(L"DeletePolicy") != std::wstring::npos)
            break;
        Sleep(50);
    } while (GetTickCount64() < deadline);
    return text;
}

class LaunchRulesLifecycleTest : public LifecycleTest {};

TEST_F(LaunchRulesLifecycleTest, InstalledHostWrapsALaunchInItsRules)
{
    AccessRecord record;
    const std::wstring name = UniqueName(L"ruled");
    ASSERT_EQ(Create(name, Profile(name, L"")), L"ACK");
    ASSERT_EQ(Start(name), L"ACK");
    ASSERT_TRUE(WaitForState(name, L"SERVICE_RUNNING"));
    const DWORD pid = LatestPid(name);
    ASSERT_NE(pid, 0u);

    // The creation rule is removed after the launch, which the host may
    // still be finishing when the service reports in.
    const std::wstring text = WaitForRemoval(record, kStateTimeoutMs);

    const size_t creation = text.find(L" 1 Allow SVH to CreateProccess ");
    const size_t processRules = text.find(L"to access SVH named pipe");
    const size_t processActor = text.find(L"CreateActorMatcher actor 2 (null) " + std::to_wstring(pid) + L"\n");
    const size_t removal = text.find(L"DeletePolicy");
    ASSERT_NE(creation, std::wstring::npos) << text;
    EXPECT_NE(text.find(L"qvxtest_service.exe", creation), std::wstring::npos) << text;
    ASSERT_NE(processRules, std::wstring::npos) << text;
    ASSERT_NE(processActor, std::wstring::npos) << text;
    ASSERT_NE(removal, std::wstring::npos) << text;
    EXPECT_LT(creation, processRules);
    EXPECT_LT(processRules, removal);
}

// A DLL service is loaded into the host under the same creation rule, and
// gets no rules of a process of its own: it has none.
TEST_F(LaunchRulesLifecycleTest, InstalledHostWrapsTheLoadOfADllServiceInTheCreationRule)
{
    AccessRecord record;
    const std::wstring name = UniqueName(L"ruleddll");
    const std::wstring image = ServiceImagePath();
    const std::wstring dll = image.substr(0, image.find_last_of(L'\\') + 1) + L"qvxtest_dllsvc.dll";
    const std::wstring profile = L"<Service><Name>" + name +
                                 L"</Name><StartupProfile>SERVICE_START_DEMAND</StartupProfile>"
                                 L"<SVHServiceType>SERVICE_TYPE_SVH</SVHServiceType>"
                                 L"<ServiceType>SERVICE_SVH_USER_DLL</ServiceType><BinaryPath>" +
                                 dll + L"</BinaryPath><ServiceMain>RegistersAndRuns</ServiceMain></Service>";
    ASSERT_EQ(Create(name, profile), L"ACK");
    ASSERT_EQ(Start(name), L"ACK");
    ASSERT_TRUE(WaitForState(name, L"SERVICE_RUNNING"));

    const std::wstring text = WaitForRemoval(record, kStateTimeoutMs);
    const size_t creation = text.find(L" 1 Allow SVH to CreateProccess ");
    const size_t removal = text.find(L"DeletePolicy");
    ASSERT_NE(creation, std::wstring::npos) << text;
    EXPECT_NE(text.find(L"qvxtest_dllsvc.dll", creation), std::wstring::npos) << text;
    ASSERT_NE(removal, std::wstring::npos) << text;
    EXPECT_LT(creation, removal);
    EXPECT_EQ(text.find(L"to access SVH named pipe"), std::wstring::npos) << text;
}

} // namespace
} // namespace qvx::test
