#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protect/access_control.h"
#include "tests/support/trace_capture.h"
#include "tests/trust/trust_fixtures.h"

namespace qvx {
namespace {

class AccessControlTest : public testing::Test {
protected:
    void SetUp() override
    {
        installDir_.Set(test::BinDirectory());
        ASSERT_TRUE(library_.Loaded());
    }

    void Withdraw(size_t count)
    {
        for (size_t i = 0; i < count; ++i)
            library_.Fail(L"NotComDllGetInterface:" + std::wstring(kAacInterfaceNames[i], kAacInterfaceNames[i] + strlen(kAacInterfaceNames[i])),
                          E_NOINTERFACE);
    }

    // The interface names the library was asked for, in order.
    std::vector<std::wstring> Requested() const
    {
        std::vector<std::wstring> names;
        std::wstring log = library_.Log();
        const std::wstring prefix = L"NotComDllGetInterface ";
        for (size_t at = log.find(prefix); at != std::wstring::npos; at = log.find(prefix, at + 1)) {
            size_t end = log.find(L'\n', at);
            names.push_back(log.substr(at + prefix.size(), end - at - prefix.size()));
        }
        return names;
    }

    test::InstallDirOverride installDir_;
    test::StandIn library_{L"qvxaccess.dll"};
};

TEST_F(AccessControlTest, StartupObjectUsesTheCurrentInterfaceIdentifierAndClientName)
{
    AacObject* object = nullptr;
    ASSERT_EQ(OpenStartupAccessControl(&object), 0u);
    ASSERT_NE(object, nullptr);
    object->Release();
    EXPECT_EQ(library_.Log(), L"NotComDllGetInterface AacControl6\n"
                              L"CreateAccessControl AacControl6 {4562A25A-895D-4E20-BB47-7317801F0108} SVH\n"
                              L"Release AacControl6\n"
                              L"Release AccessControl {4562A25A-895D-4E20-BB47-7317801F0108} SVH\n");
}

TEST_F(AccessControlTest, ExceptionScopeFallsBackThroughOlderInterfaces)
{
    struct {
        const char* name;
        size_t withdrawn;
        DWORD result;
        const char* used;
    } cases[] = {
        {"CurrentOffered", 0, 0, "AacControl6"},
        {"OneOlder", 1, 0, "AacControl5"},
        {"OnlyTheOldest", 5, 0, "AacControl"},
        {"NoneOffered", 6, static_cast<DWORD>(E_NOINTERFACE), nullptr},
    };
    const std::vector<std::wstring> all = {L"AacControl6", L"AacControl5", L"AacControl4",
                                           L"AacControl3", L"AacControl2", L"AacControl"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        library_.Reset();
        Withdraw(c.withdrawn);
        test::TraceCapture traces;

        AacControl* iface = nullptr;
        const char* used = nullptr;
        EXPECT_EQ(GetAccessControlInterfaceWithFallback(&iface, &used), c.result);
        size_t asked = c.used ? c.withdrawn + 1 : all.size();
        EXPECT_EQ(Requested(), std::vector<std::wstring>(all.begin(), all.begin() + asked));
        if (c.used) {
            ASSERT_NE(iface, nullptr);
            EXPECT_STREQ(used, c.used);
            iface->Release();
        } else {
            EXPECT_EQ(iface, nullptr);
            EXPECT_TRUE(traces.Contains(trace::kError, L"qvxaccess.dll")) << traces.Dump();
        }
    }
}

TEST_F(AccessControlTest, LaunchPathsAskOnlyForTheCurrentInterface)
{
    Withdraw(1);
    test::TraceCapture traces;
    const GUID client = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
    AacObject* object = nullptr;
    EXPECT_EQ(OpenAccessControl(client, nullptr, &object), static_cast<DWORD>(E_NOINTERFACE));
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(Requested(), std::vector<std::wstring>{L"AacControl6"});
    EXPECT_TRUE(traces.Contains(trace::kError, L"AacControl6")) << traces.Dump();

    library_.Reset();
    Withdraw(1);
    ASSERT_EQ(OpenAccessControlWithFallback(client, nullptr, &object), 0u);
    object->Release();
    EXPECT_NE(library_.Log().find(L"CreateAccessControl AacControl5 {11111111-2222-3333-0404-040404040404} (null)\n"),
              std::wstring::npos)
        << library_.Log();
}

TEST_F(AccessControlTest, ObjectCreationFailureReleasesTheInterfaceAndIsTraced)
{
    library_.Fail(L"CreateAccessControl", E_ACCESSDENIED);
    test::TraceCapture traces;
    AacObject* object = nullptr;
    EXPECT_EQ(OpenStartupAccessControl(&object), static_cast<DWORD>(E_ACCESSDENIED));
    EXPECT_EQ(object, nullptr);
    EXPECT_NE(library_.Log().find(L"Release AacControl6\n"), std::wstring::npos) << library_.Log();
    EXPECT_TRUE(traces.Contains(trace::kError, L"SVH")) << traces.Dump();
}

TEST_F(AccessControlTest, UnverifiedLibraryIsRefusedAndTraced)
{
    installDir_.Set(test::BinDirectory() + L"\\unsigned");
    test::TraceCapture traces;
    AacObject* object = nullptr;
    EXPECT_EQ(OpenStartupAccessControl(&object), static_cast<DWORD>(TRUST_E_NOSIGNATURE));
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(library_.Log(), L"");
    EXPECT_TRUE(traces.Contains(trace::kError, L"qvxaccess.dll")) << traces.Dump();
}

} // namespace
} // namespace qvx
