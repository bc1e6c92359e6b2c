#include <gtest/gtest.h>

#include <windows.h>
#include <shlwapi.h>

#include <optional>
#include <string>
#include <vector>

#include "model/life_cycle_record.h"
#include "model/power_profile.h"
#include "model/service_record.h"
#include "model/service_table_store.h"
#include "model/text_list.h"
#include "platform/registry_value.h"
#include "tests/model/record_configuration.h"
#include "tests/model/stored_service.h"
#include "tests/support/test_service_key.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

using test::CompleteService;
using test::Number;
using test::StoredValue;
using test::Text;
using test::With;
using test::Without;

class RegistryPersistenceTest : public testing::Test {
protected:
    // Writes the values into a new Services\<subkey> and loads a fresh record from them.
    DWORD Load(const std::vector<StoredValue>& values, ServiceRecord& record, const std::wstring& subkey = L"svc")
    {
        SHDeleteKeyW(HKEY_LOCAL_MACHINE, (root_.Path() + L"\\Services\\" + subkey).c_str());
        RegKey key = test::WriteServiceKey(root_, subkey, values);
        return record.SyncWithRegistry(key.Get(), true);
    }

    std::wstring StoredText(const std::wstring& subkey, const wchar_t* name)
    {
        std::wstring text;
        RegKey key = root_.Open(L"Services\\" + subkey);
        EXPECT_TRUE(ReadText(key.Get(), name, text, 1024)) << name;
        return text;
    }

    test::TestServiceKey root_;
};

// A record with a value other than the default in every field.
void FillEveryField(ServiceRecord& record, WinServiceType type)
{
    record.SetName(L"Every.Field");
    record.SetSVHType(SvhServiceType::kSvh);
    record.SetServiceType(type);
    record.SetStartupProfile(StartupProfile::kLate);
    record.SetDependOnService({L"first", L"second", L"third"});
    record.SetResetPeriod(3600);
    record.SetRestartCount(4);
    record.SetRestartDelay(15);
    record.SetPowerProfile(POWERPROFILE_BATTERY | POWERPROFILE_LOWMEMORY | POWERPROFILE_SAFEMODE);
    record.SetNumServiceArgs(3);
    record.SetServiceArgs(L"-x \"quoted arg\" -y");
    record.SetShutdownTimeout(45);
    record.SetStartupTimeout(300);
    record.SetBinaryPath(L"%ProgramFiles%\\Suite\\svc.exe");
    record.SetGroupAccount(L"LocalService");
    record.SetLaunchProtected(LaunchProtection::kAntimalwareLight);
    if (type == WinServiceType::kUserDll)
        record.SetServiceMain("ServiceMainEx");
    record.SetVersion(12);
}

TEST_F(RegistryPersistenceTest, EveryFieldSurvivesSaveAndLoad)
{
    for (WinServiceType type : {WinServiceType::kOwnProcess, WinServiceType::kShareProcess, WinServiceType::kUserDll}) {
        SCOPED_TRACE(WinServiceTypeName(type));
        ServiceRecord saved;
        FillEveryField(saved, type);
        ASSERT_EQ(SaveServiceConfig(saved), 0u);
        EXPECT_EQ(saved.GetName(), L"every.field"); // folded in the record as well

        RegKey key = root_.Open(L"Services\\every.field");
        ASSERT_TRUE(key);
        ServiceRecord loaded;
        ASSERT_EQ(loaded.SyncWithRegistry(key.Get(), true), 0u);
        EXPECT_EQ(test::DescribeConfiguration(loaded), test::DescribeConfiguration(saved));
        EXPECT_EQ(StoredText(L"every.field", L"Name"), L"every.field");
    }
}

TEST_F(RegistryPersistenceTest, SaveWritesEnumerationsAndListsAsText)
{
    ServiceRecord record;
    FillEveryField(record, WinServiceType::kUserDll);
    record.SetUserStopped(true);
    ASSERT_EQ(SaveServiceConfig(record), 0u);

    EXPECT_EQ(StoredText(L"every.field", L"SVHType"), L"SERVICE_TYPE_SVH");
    EXPECT_EQ(StoredText(L"every.field", L"ServiceType"), L"SERVICE_SVH_USER_DLL");
    EXPECT_EQ(StoredText(L"every.field", L"StartupProfile"), L"SERVICE_START_LATE");
    EXPECT_EQ(StoredText(L"every.field", L"DependOnService"), L"first:second:third");
    EXPECT_EQ(StoredText(L"every.field", L"PowerProfile"),
              L"POWERPROFILE_BATTERY POWERPROFILE_LOWMEMORY POWERPROFILE_SAFEMODE");
    EXPECT_EQ(StoredText(L"every.field", L"ServiceMain"), L"ServiceMainEx");
    DWORD userStopped = 0;
    EXPECT_TRUE(ReadDword(root_.Open(L"Services\\every.field").Get(), L"UserStopped", userStopped));
    EXPECT_EQ(userStopped, 1u);
}

TEST_F(RegistryPersistenceTest, NamesAreFoldedAndUnknownProfilesSaveAsUnknown)
{
    ServiceRecord record;
    ASSERT_EQ(Load(With(With(CompleteService(L"MixedCase"), Text(L"StartupProfile", L"SERVICE_START_SOMETIME")),
                        Text(L"DependOnService", L"")),
                   record),
              0u);
    EXPECT_EQ(record.GetName(), L"mixedcase");
    EXPECT_EQ(record.GetStartupProfile(), StartupProfile::kNone);
    EXPECT_TRUE(record.GetDependOnService().empty());

    ASSERT_EQ(SaveServiceConfig(record), 0u);
    EXPECT_EQ(StoredText(L"mixedcase", L"Name"), L"mixedcase");
    EXPECT_EQ(StoredText(L"mixedcase", L"StartupProfile"), L"SERVICE_START_UNKNOWN");
    EXPECT_EQ(StoredText(L"mixedcase", L"DependOnService"), L"");
}

TEST_F(RegistryPersistenceTest, LoadStopsAtTheFirstUnusableRequiredValue)
{
    // Values are read in table order; whatever was read before the failure
    // stays, everything after keeps the defaults of a new record.
    struct Case {
        const char* label;
        std::vector<StoredValue> values;
        bool nameRead;
        bool binaryPathRead;
    };
    const auto complete = CompleteService(L"svc");
    const Case cases[] = {
        {"no Name", Without(complete, L"Name"), false, false},
        {"empty Name", With(complete, Text(L"Name", L"")), false, false},
        {"no SVHType", Without(complete, L"SVHType"), true, false},
        {"empty ServiceType", With(complete, Text(L"ServiceType", L"")), true, false},
        {"no StartupProfile", Without(complete, L"StartupProfile"), true, false},
        {"no DependOnService", Without(complete, L"DependOnService"), true, false},
        {"dependencies with an empty name", With(complete, Text(L"DependOnService", L"a::b")), true, false},
        {"no ResetPeriod", Without(complete, L"ResetPeriod"), true, false},
        {"RestartCount as text", With(complete, Text(L"RestartCount", L"3")), true, false},
        {"no RestartDelay", Without(complete, L"RestartDelay"), true, false},
        {"no NumServiceArgs", Without(complete, L"NumServiceArgs"), true, false},
        {"no ServiceArgs", Without(complete, L"ServiceArgs"), true, false},
        {"no BinaryPath", Without(complete, L"BinaryPath"), true, false},
        {"empty BinaryPath", With(complete, Text(L"BinaryPath", L"")), true, false},
        {"no GroupAccount", Without(complete, L"GroupAccount"), true, true},
        {"Name as a number", With(complete, Number(L"Name", 1)), false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        test::TraceCapture traces;
        ServiceRecord record;
        EXPECT_NE(Load(c.values, record), 0u);
        EXPECT_EQ(!record.GetName().empty(), c.nameRead);
        EXPECT_EQ(!record.GetBinaryPath().empty(), c.binaryPathRead);
        EXPECT_EQ(record.GetLaunchProtected(), LaunchProtection::kNone);
        EXPECT_EQ(record.GetVersion(), 0u);
        EXPECT_TRUE(traces.Contains(trace::kError, L"cannot load value")) << traces.Dump();
    }
}

TEST_F(RegistryPersistenceTest, MissingRequiredValueReportsTheRegistryError)
{
    ServiceRecord record;
    EXPECT_EQ(Load(Without(CompleteService(L"svc"), L"RestartDelay"), record), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(record.GetRestartCount(), 3u);
    EXPECT_EQ(record.GetRestartDelay(), 0u);
    EXPECT_EQ(record.GetPowerProfile(), 0u);
}

TEST_F(RegistryPersistenceTest, TimeoutsAreClampedAsSignedNumbers)
{
    struct Case {
        const char* label;
        std::vector<StoredValue> values;
        DWORD expected;
    };
    const auto complete = CompleteService(L"svc");
    const Case cases[] = {
        {"5", With(complete, Number(L"ShutdownTimeout", 5)), 30},
        {"29", With(complete, Number(L"ShutdownTimeout", 29)), 30},
        {"30", With(complete, Number(L"ShutdownTimeout", 30)), 30},
        {"120", With(complete, Number(L"ShutdownTimeout", 120)), 120},
        {"300", With(complete, Number(L"ShutdownTimeout", 300)), 300},
        {"1000", With(complete, Number(L"ShutdownTimeout", 1000)), 300},
        {"top bit set", With(complete, Number(L"ShutdownTimeout", 0xFFFFFFFF)), 30},
        {"0x80000000", With(complete, Number(L"ShutdownTimeout", 0x80000000)), 30},
        {"absent", Without(complete, L"ShutdownTimeout"), 30},
        {"text", With(complete, Text(L"ShutdownTimeout", L"120")), 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ServiceRecord record;
        ASSERT_EQ(Load(c.values, record), 0u);
        EXPECT_EQ(record.GetShutdownTimeout(), c.expected);
        // The start-up time-out follows the same rule with the same values.
        std::vector<StoredValue> startup;
        for (auto value : c.values) {
            if (value.name == L"ShutdownTimeout")
                value.name = L"StartupTimeout";
            else if (value.name == L"StartupTimeout")
                value.name = L"ShutdownTimeout";
            startup.push_back(value);
        }
        ServiceRecord other;
        ASSERT_EQ(Load(startup, other, L"startup"), 0u);
        EXPECT_EQ(other.GetStartupTimeout(), c.expected);
    }
}

TEST_F(RegistryPersistenceTest, PowerProfileDefaultsToNormal)
{
    struct Case {
        const char* label;
        std::vector<StoredValue> values;
        DWORD expected;
    };
    const auto complete = CompleteService(L"svc");
    const Case cases[] = {
        {"absent", Without(complete, L"PowerProfile"), POWERPROFILE_NORMAL},
        {"empty", With(complete, Text(L"PowerProfile", L"")), POWERPROFILE_NORMAL},
        {"unknown names only", With(complete, Text(L"PowerProfile", L"POWERPROFILE_SOMETIMES")), POWERPROFILE_NORMAL},
        {"two names", With(complete, Text(L"PowerProfile", L"POWERPROFILE_BATTERY POWERPROFILE_METERED")),
         POWERPROFILE_BATTERY | POWERPROFILE_METERED},
        {"letter case folded", With(complete, Text(L"PowerProfile", L"powerprofile_safemode")), POWERPROFILE_SAFEMODE},
        {"undefined", With(complete, Text(L"PowerProfile", L"POWERPROFILE_UNDEFINED")), POWERPROFILE_UNDEFINED},
        {"expandable text", With(complete, Text(L"PowerProfile", L"POWERPROFILE_LOWMEMORY", REG_EXPAND_SZ)),
         POWERPROFILE_LOWMEMORY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ServiceRecord record;
        ASSERT_EQ(Load(c.values, record), 0u);
        EXPECT_EQ(record.GetPowerProfile(), c.expected);
        EXPECT_EQ(record.GetBinaryPath(), L"C:\\svc\\svc.exe");
    }
}

TEST_F(RegistryPersistenceTest, DamagedPowerProfileFailsTheLoad)
{
    // A profile that does not split (a leading blank, two blanks in a row) is
    // damaged: the load reports it instead of passing off a half-read record.
    for (const wchar_t* text : {L" POWERPROFILE_BATTERY", L"POWERPROFILE_BATTERY  POWERPROFILE_METERED"}) {
        SCOPED_TRACE(testing::Message() << "text length " << wcslen(text));
        ServiceRecord record;
        EXPECT_EQ(Load(With(CompleteService(L"svc"), Text(L"PowerProfile", text)), record),
                  static_cast<DWORD>(ERROR_INVALID_DATA));
        EXPECT_EQ(record.GetPowerProfile(), 0u);
        EXPECT_TRUE(record.GetBinaryPath().empty());
    }
}

TEST_F(RegistryPersistenceTest, TextValuesAreTakenAsStored)
{
    const std::wstring longArgs(1500, L'a');
    const auto values = With(With(With(With(CompleteService(L"svc"), Text(L"DependOnService", L" alpha:beta ")),
                                       Text(L"BinaryPath", L"%SystemRoot%\\svc.exe", REG_EXPAND_SZ)),
                                  Text(L"ServiceArgs", longArgs)),
                             Text(L"GroupAccount", L""));
    ServiceRecord record;
    record.SetGroupAccount(L"kept");
    ASSERT_EQ(Load(values, record), 0u);
    EXPECT_EQ(record.GetDependOnService(), (std::vector<std::wstring>{L"alpha", L"beta"}));
    EXPECT_EQ(record.GetBinaryPath(), L"%SystemRoot%\\svc.exe"); // never expanded
    EXPECT_EQ(record.GetServiceArgs(), longArgs) << "read whole, as saved";
    EXPECT_EQ(record.GetGroupAccount(), L"kept"); // an empty text leaves the field
}

TEST_F(RegistryPersistenceTest, DependencyListsSurviveSaveAndLoad)
{
    const std::vector<std::vector<std::wstring>> lists = {
        {L"x"},
        {L"x", L"y"},
        {L"ab"},
        {},
    };
    for (const auto& list : lists) {
        ServiceRecord saved;
        saved.SetName(L"dependent");
        saved.SetServiceType(WinServiceType::kOwnProcess);
        saved.SetBinaryPath(L"C:\\svc\\svc.exe");
        saved.SetDependOnService(list);
        ASSERT_EQ(SaveServiceConfig(saved), 0u);

        ServiceRecord loaded;
        RegKey key = root_.Open(L"Services\\dependent");
        EXPECT_EQ(loaded.SyncWithRegistry(key.Get(), true), 0u) << JoinList(list, L":");
        EXPECT_EQ(loaded.GetDependOnService(), list) << JoinList(list, L":");
    }
}

TEST_F(RegistryPersistenceTest, EntryPointIsReadForDllServicesOnly)
{
    struct Case {
        const char* label;
        std::vector<StoredValue> values;
        DWORD expectedError;
        bool entryPoint;
    };
    const auto complete = CompleteService(L"svc");
    const auto dll = With(complete, Text(L"ServiceType", L"SERVICE_SVH_USER_DLL"));
    const Case cases[] = {
        {"process service with an entry point", With(complete, Text(L"ServiceMain", L"Main")), 0, false},
        {"DLL service with an entry point", With(dll, Text(L"ServiceMain", L"Main")), 0, true},
        {"DLL service without one", dll, ERROR_FILE_NOT_FOUND, false},
        {"DLL service with an empty one", With(dll, Text(L"ServiceMain", L"")), ERROR_INVALID_DATA, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ServiceRecord record;
        EXPECT_EQ(Load(c.values, record), c.expectedError);
        EXPECT_EQ(record.GetServiceMain(), c.entryPoint ? std::optional<std::string>("Main") : std::nullopt);
    }
}

TEST_F(RegistryPersistenceTest, UserStoppedOfADllServiceRecordsTheStop)
{
    auto values = With(With(With(CompleteService(L"dllsvc"), Text(L"ServiceType", L"SERVICE_SVH_USER_DLL")),
                            Text(L"ServiceMain", L"Main")),
                       Number(L"UserStopped", 1));
    ServiceRecord record;
    ASSERT_EQ(Load(values, record, L"dllsvc"), 0u);
    EXPECT_TRUE(record.GetUserStopped());
    LifeCycleRecord lifeCycle(&record);
    lifeCycle.Load();
    EXPECT_NE(lifeCycle.StopTime, 0u);

    // A process service keeps UserStopped out of its key.
    ServiceRecord process;
    ASSERT_EQ(Load(With(CompleteService(L"procsvc"), Number(L"UserStopped", 1)), process, L"procsvc"), 0u);
    EXPECT_FALSE(process.GetUserStopped());
}

TEST_F(RegistryPersistenceTest, SaveLeavesValuesItDoesNotWrite)
{
    RegKey key = test::WriteServiceKey(root_, L"svc", {Number(L"Version", 9), Text(L"Comment", L"by hand")});
    ServiceRecord record;
    FillEveryField(record, WinServiceType::kOwnProcess);
    record.SetName(L"svc");
    record.SetVersion(0);
    ASSERT_EQ(record.SyncWithRegistry(key.Get(), false), 0u);
    DWORD version = 0;
    EXPECT_TRUE(ReadDword(key.Get(), L"Version", version));
    EXPECT_EQ(version, 9u);
    EXPECT_TRUE(test::ValueExists(key.Get(), L"Comment"));
    EXPECT_FALSE(test::ValueExists(key.Get(), L"ServiceMain"));

    record.SetVersion(10);
    ASSERT_EQ(record.SyncWithRegistry(key.Get(), false), 0u);
    EXPECT_TRUE(ReadDword(key.Get(), L"Version", version));
    EXPECT_EQ(version, 10u);
}

TEST_F(RegistryPersistenceTest, SaveReportsAFailedWrite)
{
    RegKey readOnly = root_.Open();
    RegKey key;
    ASSERT_EQ(OpenKey(readOnly.Get(), L"", KEY_READ, key), 0u);
    ServiceRecord record;
    FillEveryField(record, WinServiceType::kOwnProcess);
    test::TraceCapture traces;
    EXPECT_EQ(record.SyncWithRegistry(key.Get(), false), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(traces.Contains(trace::kError, L"every.field")) << traces.Dump();
}

TEST_F(RegistryPersistenceTest, NamesThatCannotNameAKeyAreRefused)
{
    for (const wchar_t* name : {L"", L"other\\LifeCycle"}) {
        SCOPED_TRACE(testing::Message() << "name length " << wcslen(name));
        ServiceRecord record;
        FillEveryField(record, WinServiceType::kOwnProcess);
        record.SetName(name);
        EXPECT_EQ(SaveServiceConfig(record), static_cast<DWORD>(ERROR_INVALID_NAME));
        EXPECT_FALSE(root_.Open(L"Services"));
    }
}

TEST_F(RegistryPersistenceTest, DeleteRemovesTheKeyWithItsLifeCycle)
{
    ServiceRecord record;
    FillEveryField(record, WinServiceType::kOwnProcess);
    ASSERT_EQ(SaveServiceConfig(record), 0u);
    LifeCycleRecord(&record).RecordStart();
    ASSERT_TRUE(root_.Open(L"Services\\every.field\\LifeCycle"));
    test::WriteServiceKey(root_, L"neighbour", CompleteService(L"neighbour"));

    EXPECT_TRUE(DeleteServiceKey(record));
    EXPECT_FALSE(root_.Open(L"Services\\every.field"));
    EXPECT_TRUE(root_.Open(L"Services\\neighbour"));

    // Nothing left to delete still counts as done.
    EXPECT_TRUE(DeleteServiceKey(record));

    // A record whose name cannot name a key deletes nothing, not even its neighbours.
    ServiceRecord nameless;
    EXPECT_TRUE(DeleteServiceKey(nameless));
    ServiceRecord reaching;
    reaching.SetName(L"neighbour\\LifeCycle");
    EXPECT_TRUE(DeleteServiceKey(reaching));
    EXPECT_TRUE(root_.Open(L"Services\\neighbour"));
}

TEST_F(RegistryPersistenceTest, DeleteWithoutServicesKeyReportsFalse)
{
    ServiceRecord record;
    record.SetName(L"svc");
    EXPECT_FALSE(DeleteServiceKey(record));
}

} // namespace
} // namespace qvx
