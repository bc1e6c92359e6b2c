#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>

#include <string>
#include <vector>

#include "model/power_profile.h"
#include "model/service_record.h"
#include "model/service_table.h"
#include "model/service_table_store.h"
#include "platform/service_key.h"
#include "tests/model/record_configuration.h"
#include "tests/model/stored_service.h"
#include "tests/support/test_service_key.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

using test::CompleteService;
using test::Number;
using test::Text;
using test::With;
using test::Without;

std::vector<std::wstring> NamesOf(const ServiceTable& table)
{
    std::vector<std::wstring> names;
    for (size_t index = 0; const ServiceRecord* record = table.GetAt(index); ++index)
        names.push_back(record->GetName());
    return names;
}

// Gives the key a DACL without entries, so that nobody may open it, and
// takes the DACL away again when destroyed.
class DeniedKey {
public:
    explicit DeniedKey(HKEY key) : key_(key) { Apply(&empty_); }
    ~DeniedKey() { Apply(nullptr); }
    DeniedKey(const DeniedKey&) = delete;
    DeniedKey& operator=(const DeniedKey&) = delete;

    bool applied() const { return applied_; }

private:
    void Apply(ACL* acl)
    {
        InitializeAcl(&empty_, sizeof(empty_), ACL_REVISION);
        applied_ = SetSecurityInfo(key_, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl,
                                   nullptr) == ERROR_SUCCESS;
    }

    HKEY key_;
    ACL empty_ = {};
    bool applied_ = false;
};

class ServiceTableStoreTest : public testing::Test {
protected:
    test::TestServiceKey root_;
    ServiceTable table_;
};

TEST_F(ServiceTableStoreTest, LoadSkipsWhatItCannotUse)
{
    test::WriteServiceKey(root_, L"alpha", CompleteService(L"Alpha"));
    test::WriteServiceKey(root_, L"broken", Without(CompleteService(L"broken"), L"BinaryPath"));
    RegKey denied = test::WriteServiceKey(root_, L"denied", CompleteService(L"denied"));
    test::WriteServiceKey(root_, L"duplicate", CompleteService(L"ALPHA"));
    test::WriteServiceKey(root_, L"other", With(CompleteService(L"alpha"), Text(L"SVHType", L"SERVICE_TYPE_OTHER")));
    test::WriteServiceKey(root_, L"zeta", CompleteService(L"zeta"));
    DeniedKey denial(denied.Get());
    ASSERT_TRUE(denial.applied());
    ASSERT_FALSE(root_.Open(L"Services\\denied")) << "the denial must hold for the test to mean anything";

    test::TraceCapture traces;
    EXPECT_NE(LoadServiceTable(table_, false), 0u);
    // Keys enumerate in name order; an unknown SVHType is another class of
    // service and may share the name.
    EXPECT_EQ(NamesOf(table_), (std::vector<std::wstring>{L"alpha", L"alpha", L"zeta"}));
    EXPECT_TRUE(traces.Contains(trace::kError, L"denied")) << traces.Dump();
    EXPECT_TRUE(traces.Contains(trace::kError, L"duplicate")) << traces.Dump();
}

TEST_F(ServiceTableStoreTest, LoadReplacesWhatTheTableHeld)
{
    auto stale = std::make_unique<ServiceRecord>();
    stale->SetName(L"stale");
    ASSERT_TRUE(table_.Add(stale));
    test::WriteServiceKey(root_, L"fresh", CompleteService(L"fresh"));
    EXPECT_EQ(LoadServiceTable(table_, false), 0u);
    EXPECT_EQ(NamesOf(table_), std::vector<std::wstring>{L"fresh"});
}

TEST_F(ServiceTableStoreTest, LoadWithoutKeys)
{
    // Not configured at all: nothing to load, and nothing wrong.
    SetServiceKeyLocation(HKEY_LOCAL_MACHINE, root_.Path() + L"\\absent");
    EXPECT_EQ(LoadServiceTable(table_, false), 0u);
    EXPECT_EQ(table_.Count(SvhServiceType::kUnknown), 0u);

    // A management key without "Services" is reported.
    SetServiceKeyLocation(HKEY_LOCAL_MACHINE, root_.Path());
    EXPECT_EQ(LoadServiceTable(table_, false), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(ServiceTableStoreTest, UserStopLastsUntilTheNextBoot)
{
    test::WriteServiceKey(root_, L"dll",
                          With(With(With(CompleteService(L"dll"), Text(L"ServiceType", L"SERVICE_SVH_USER_DLL")),
                                    Text(L"ServiceMain", L"Main")),
                               Number(L"UserStopped", 1)));
    for (bool firstStartSinceBoot : {false, true}) {
        SCOPED_TRACE(firstStartSinceBoot ? "first start since boot" : "restart");
        ASSERT_EQ(LoadServiceTable(table_, firstStartSinceBoot), 0u);
        ASSERT_NE(table_.FindByName(L"dll"), nullptr);
        EXPECT_EQ(table_.FindByName(L"dll")->GetUserStopped(), !firstStartSinceBoot);
    }
}

TEST_F(ServiceTableStoreTest, SavedTableLoadsBack)
{
    test::WriteServiceKey(root_, L"alpha", CompleteService(L"alpha"));
    test::WriteServiceKey(root_, L"beta", With(CompleteService(L"beta"), Text(L"DependOnService", L"alpha")));
    ASSERT_EQ(LoadServiceTable(table_, false), 0u);
    table_.FindByName(L"alpha")->SetRestartCount(9);
    auto added = std::make_unique<ServiceRecord>();
    added->SetName(L"Gamma");
    added->SetBinaryPath(L"C:\\gamma.exe");
    added->SetPowerProfile(POWERPROFILE_NORMAL); // what a load makes of an empty profile
    ASSERT_TRUE(table_.Add(added));

    ASSERT_EQ(SaveServiceTable(table_), 0u);
    ServiceTable reloaded;
    ASSERT_EQ(LoadServiceTable(reloaded, false), 0u);
    ASSERT_EQ(NamesOf(reloaded), (std::vector<std::wstring>{L"alpha", L"beta", L"gamma"}));
    for (const wchar_t* name : {L"alpha", L"beta", L"gamma"}) {
        SCOPED_TRACE(testing::Message() << "service " << static_cast<char>(name[0]));
        EXPECT_EQ(test::DescribeConfiguration(*reloaded.FindByName(name)),
                  test::DescribeConfiguration(*table_.FindByName(name)));
    }
}

TEST_F(ServiceTableStoreTest, SaveGoesOnPastARecordItCannotStore)
{
    auto unnamed = std::make_unique<ServiceRecord>();
    unnamed->SetName(L"a\\b");
    ASSERT_TRUE(table_.Add(unnamed));
    auto named = std::make_unique<ServiceRecord>();
    named->SetName(L"named");
    ASSERT_TRUE(table_.Add(named));

    EXPECT_EQ(SaveServiceTable(table_), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_TRUE(root_.Open(L"Services\\named"));
    EXPECT_FALSE(root_.Open(L"Services\\a"));
}

} // namespace
} // namespace qvx
