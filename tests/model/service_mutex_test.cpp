#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "model/service_mutex.h"
#include "model/service_record.h"
#include "platform/handles.h"
#include "tests/model/recording_release.h"
#include "tests/support/trace_capture.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

using test::RecordingRelease;
using test::ReleasedMutex;

constexpr wchar_t kLocalServiceSid[] = L"S-1-5-19";

struct Ace {
    BYTE type;
    BYTE flags;
    ACCESS_MASK mask;
    std::wstring sid;
    bool operator==(const Ace& other) const
    {
        return type == other.type && flags == other.flags && mask == other.mask && sid == other.sid;
    }
};

std::ostream& operator<<(std::ostream& out, const Ace& ace)
{
    return out << "{type " << int(ace.type) << ", flags 0x" << std::hex << int(ace.flags) << ", mask 0x" << ace.mask
               << std::dec << ", " << testing::PrintToString(ace.sid) << "}";
}

Ace Allow(const wchar_t* sid, ACCESS_MASK mask, BYTE flags = 0)
{
    return {ACCESS_ALLOWED_ACE_TYPE, flags, mask, sid};
}

Ace LocalServiceAce() { return Allow(kLocalServiceSid, kLocalServiceMutexAccess); }

std::wstring SidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return L"?";
    std::wstring result = text;
    LocalFree(text);
    return result;
}

// Allowed and denied ACEs only: all the tests put there.
std::vector<Ace> AcesOf(const ACL* acl)
{
    std::vector<Ace> aces;
    for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(const_cast<ACL*>(acl), i, &raw))
            break;
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        aces.push_back({ace->Header.AceType, ace->Header.AceFlags, ace->Mask, SidText(&ace->SidStart)});
    }
    return aces;
}

struct Dacl {
    bool present = false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    std::vector<Ace> aces;
};

Dacl ReadDacl(HANDLE object)
{
    Dacl result;
    DWORD needed = 0;
    GetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (needed == 0 || !GetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, buffer.data(), needed, &needed)) {
        ADD_FAILURE() << "GetKernelObjectSecurity failed: " << GetLastError();
        return result;
    }
    DWORD revision = 0;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    GetSecurityDescriptorControl(buffer.data(), &result.control, &revision);
    GetSecurityDescriptorDacl(buffer.data(), &present, &acl, &defaulted);
    result.present = present && acl;
    result.aces = AcesOf(acl);
    return result;
}

void WriteDacl(HANDLE object, const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        << GetLastError();
    LocalMemory owner(descriptor);
    ASSERT_TRUE(SetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, descriptor)) << GetLastError();
}

// What an object created without security attributes is given: the default
// DACL of the process token, with the local service account's ACE added.
std::vector<Ace> DefaultDaclWithLocalService()
{
    KernelHandle token;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive()));
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenDefaultDacl, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    EXPECT_TRUE(size && GetTokenInformation(token.Get(), TokenDefaultDacl, buffer.data(), size, &size));
    std::vector<Ace> expected;
    for (const auto& ace : AcesOf(reinterpret_cast<TOKEN_DEFAULT_DACL*>(buffer.data())->DefaultDacl)) {
        if (ace.sid != kLocalServiceSid)
            expected.push_back(ace);
    }
    expected.push_back(LocalServiceAce());
    return expected;
}

std::unique_ptr<ServiceRecord> NamedRecord(const std::wstring& name)
{
    auto record = std::make_unique<ServiceRecord>();
    record->SetName(name);
    return record;
}

TEST(ServiceMutexName, IsTheServiceNameWithSuffixInLowerCase)
{
    struct Case {
        const wchar_t* service;
        const wchar_t* mutex;
    };
    const Case cases[] = {
        {L"qvxtrust", L"qvxtrust_mutex"},
        {L"QvxFwSvc", L"qvxfwsvc_mutex"},
        {L"ABC-XYZ_09", L"abc-xyz_09_mutex"},
        {L"\u00C4BC", L"\u00C4bc_mutex"}, // only ASCII letters fold
    };
    for (const auto& c : cases)
        EXPECT_EQ(ServiceMutexName(c.service), c.mutex);
}

TEST(GrantLocalServiceAccess, RewritesTheDaclAroundOneLocalServiceAce)
{
    struct Case {
        const char* what;
        const wchar_t* sddl;
        std::vector<Ace> aces;
        SECURITY_DESCRIPTOR_CONTROL inheritance;
    };
    const BYTE kInherited = INHERITED_ACE;
    const Case cases[] = {
        {"explicit ACEs for the account give way, inherited ones follow the new ACE",
            L"D:AI(A;;0x1F0001;;;WD)(D;;0x1F0001;;;LS)(A;;0x100000;;;LS)(A;;0x1F0001;;;SY)"
            L"(A;ID;0x120000;;;BA)(A;ID;0x100000;;;LS)",
            {Allow(L"S-1-1-0", 0x1F0001), Allow(L"S-1-5-18", 0x1F0001), LocalServiceAce(),
                Allow(L"S-1-5-32-544", 0x120000, kInherited), Allow(kLocalServiceSid, 0x100000, kInherited)},
            SE_DACL_AUTO_INHERITED},
        {"everything from the first inherited ACE on keeps its place",
            L"D:(A;;0x1F0001;;;WD)(A;ID;0x100000;;;BA)(A;;0x100000;;;SY)",
            {Allow(L"S-1-1-0", 0x1F0001), LocalServiceAce(), Allow(L"S-1-5-32-544", 0x100000, kInherited),
                Allow(L"S-1-5-18", 0x100000)},
            0},
        {"a protected DACL stays protected", L"D:P(A;;0x1F0001;;;SY)",
            {Allow(L"S-1-5-18", 0x1F0001), LocalServiceAce()}, SE_DACL_PROTECTED},
        {"an empty DACL", L"D:", {LocalServiceAce()}, 0},
        {"the account alone", L"D:(A;;0x100000;;;LS)", {LocalServiceAce()}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        KernelHandle mutex(CreateMutexW(nullptr, FALSE, nullptr));
        ASSERT_TRUE(mutex);
        WriteDacl(mutex.Get(), c.sddl);

        ASSERT_EQ(GrantLocalServiceAccess(mutex.Get()), 0u);
        const Dacl dacl = ReadDacl(mutex.Get());
        EXPECT_TRUE(dacl.present);
        EXPECT_EQ(dacl.aces, c.aces);
        EXPECT_EQ(dacl.control & (SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED), c.inheritance);
    }
}

TEST(GrantLocalServiceAccess, AnObjectOpenToEveryoneStartsFromTheDefaultDacl)
{
    KernelHandle mutex(CreateMutexW(nullptr, FALSE, nullptr));
    ASSERT_TRUE(mutex);
    // Built by hand: Wine's SDDL reader turns "NO_ACCESS_CONTROL" into an empty DACL.
    SECURITY_DESCRIPTOR openToEveryone;
    ASSERT_TRUE(InitializeSecurityDescriptor(&openToEveryone, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&openToEveryone, TRUE, nullptr, FALSE));
    ASSERT_TRUE(SetKernelObjectSecurity(mutex.Get(), DACL_SECURITY_INFORMATION, &openToEveryone));
    ASSERT_FALSE(ReadDacl(mutex.Get()).present);

    ASSERT_EQ(GrantLocalServiceAccess(mutex.Get()), 0u);
    EXPECT_EQ(ReadDacl(mutex.Get()).aces, DefaultDaclWithLocalService());
}

class ServiceMutexTest : public testing::Test {
protected:
    RecordingRelease release_;
    test::TraceCapture traces_;
};

TEST_F(ServiceMutexTest, CreateMakesAnUnownedMutexOfTheFoldedName)
{
    auto record = NamedRecord(test::UniqueName(L"QvxTbl-Svc"));
    ASSERT_TRUE(CreateServiceMutex(*record));
    HANDLE mutex = record->GetServiceMutex();
    ASSERT_NE(mutex, nullptr);

    const std::wstring name = ServiceMutexName(record->GetName());
    KernelHandle opened(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
    EXPECT_TRUE(opened) << "no mutex named " << testing::PrintToString(name);

    DWORD waitFromAnotherThread = WAIT_FAILED;
    std::thread([&] {
        waitFromAnotherThread = WaitForSingleObject(mutex, 0);
        if (waitFromAnotherThread == WAIT_OBJECT_0)
            ReleaseMutex(mutex);
    }).join();
    EXPECT_EQ(waitFromAnotherThread, WAIT_OBJECT_0) << "the mutex must not be owned by its creator";

    // The object had no DACL of its own to start from (Wine gives new objects
    // none); the management service and others keep their access.
    const Dacl dacl = ReadDacl(mutex);
    EXPECT_EQ(dacl.aces, DefaultDaclWithLocalService());
    KernelHandle again(CreateMutexW(nullptr, FALSE, name.c_str()));
    EXPECT_TRUE(again) << "the creator can no longer open its own mutex: " << GetLastError();
}

TEST_F(ServiceMutexTest, CreateTakesAnExistingMutexAndGrantsAccessOnIt)
{
    auto record = NamedRecord(test::UniqueName(L"qvxtbl-existing"));
    const std::wstring name = ServiceMutexName(record->GetName());
    KernelHandle existing(CreateMutexW(nullptr, FALSE, name.c_str()));
    ASSERT_TRUE(existing);
    WriteDacl(existing.Get(), L"D:(A;;0x1F0001;;;WD)(A;;0x100000;;;LS)");

    ASSERT_TRUE(CreateServiceMutex(*record));
    EXPECT_TRUE(traces_.Contains(trace::kWarning, record->GetName())) << testing::PrintToString(traces_.Dump());
    EXPECT_NE(record->GetServiceMutex(), existing.Get());
    EXPECT_EQ(ReadDacl(existing.Get()).aces, (std::vector<Ace>{Allow(L"S-1-1-0", 0x1F0001), LocalServiceAce()}))
        << "the record's handle reaches the same object";
}

TEST_F(ServiceMutexTest, CreateFailureLeavesNoMutex)
{
    struct Case {
        const char* what;
        std::wstring service;
        bool nameTakenByEvent;
        DWORD error; // 0: any
    };
    const Case cases[] = {
        {"the name belongs to an event", test::UniqueName(L"qvxtbl-event"), true, ERROR_INVALID_HANDLE},
        {"a name that reaches into a missing directory", L"no\\such\\directory", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        KernelHandle event;
        if (c.nameTakenByEvent) {
            event.Reset(CreateEventW(nullptr, TRUE, FALSE, ServiceMutexName(c.service).c_str()));
            ASSERT_TRUE(event);
        }
        auto record = NamedRecord(c.service);
        HANDLE previous = CreateMutexW(nullptr, FALSE, nullptr);
        record->SetServiceMutex(previous);
        release_.released.clear();

        EXPECT_FALSE(CreateServiceMutex(*record));
        const DWORD error = GetLastError();
        if (c.error)
            EXPECT_EQ(error, c.error);
        else
            EXPECT_NE(error, 0u);
        EXPECT_EQ(record->GetServiceMutex(), nullptr);
        EXPECT_EQ(release_.released, (std::vector<RecordingRelease::Released>{ReleasedMutex(previous)}));
        EXPECT_TRUE(traces_.Contains(trace::kError, c.service)) << testing::PrintToString(traces_.Dump());
    }
}

TEST_F(ServiceMutexTest, OpenTakesTheExistingMutexOnlyWhenNoneIsHeld)
{
    auto record = NamedRecord(test::UniqueName(L"QvxTbl-Open"));

    EXPECT_FALSE(OpenServiceMutex(*record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(record->GetServiceMutex(), nullptr);
    EXPECT_TRUE(traces_.Contains(trace::kError, record->GetName())) << testing::PrintToString(traces_.Dump());

    KernelHandle existing(CreateMutexW(nullptr, FALSE, ServiceMutexName(record->GetName()).c_str()));
    ASSERT_TRUE(existing);
    ASSERT_TRUE(OpenServiceMutex(*record));
    HANDLE opened = record->GetServiceMutex();
    EXPECT_NE(opened, nullptr);
    EXPECT_NE(opened, existing.Get());

    EXPECT_TRUE(OpenServiceMutex(*record));
    EXPECT_EQ(record->GetServiceMutex(), opened) << "a held mutex is kept";
    EXPECT_TRUE(release_.released.empty());
}

TEST_F(ServiceMutexTest, CloseReleasesTheMutexThroughTheHandleRelease)
{
    auto record = NamedRecord(test::UniqueName(L"qvxtbl-close"));
    ASSERT_TRUE(CreateServiceMutex(*record));
    HANDLE mutex = record->GetServiceMutex();

    record->CloseServiceMutex();
    EXPECT_EQ(record->GetServiceMutex(), nullptr);
    EXPECT_EQ(release_.released, (std::vector<RecordingRelease::Released>{ReleasedMutex(mutex)}));
}

} // namespace
} // namespace qvx
