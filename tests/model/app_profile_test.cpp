#include <gtest/gtest.h>

#include <tinyxml2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "model/app_profile_writer.h"
#include "model/power_profile.h"
#include "model/service_record.h"
#include "tests/model/record_configuration.h"
#include "tests/support/trace_capture.h"

namespace qvx {
namespace {

std::wstring Profile(const std::wstring& children) { return L"<Service>" + children + L"</Service>"; }

std::wstring Element(const std::wstring& name, const std::wstring& text)
{
    return L"<" + name + L">" + text + L"</" + name + L">";
}

TEST(AppProfileTest, RootAloneGivesTheReaderDefaults)
{
    ServiceRecord fresh;
    ServiceRecord record;
    record.SetPowerProfile(POWERPROFILE_BATTERY);
    ASSERT_EQ(record.ParseAppProfile(L"<?xml version=\"1.0\"?>\n<Anything/>"), 0u);
    EXPECT_EQ(record.GetGroupAccount(), L"LocalSystem");
    EXPECT_EQ(record.GetPowerProfile(), POWERPROFILE_NORMAL);
    fresh.SetGroupAccount(L"LocalSystem");
    fresh.SetPowerProfile(POWERPROFILE_NORMAL);
    EXPECT_EQ(test::DescribeConfiguration(record), test::DescribeConfiguration(fresh));
}

TEST(AppProfileTest, EveryElementIsRead)
{
    SetEnvironmentVariableW(L"QVX_PROFILE_DIR", L"C:\\Suite");
    ServiceRecord record;
    bool launchProtectionGiven = false;
    const std::wstring profile = Profile(
        Element(L"Name", L"My.Service") + Element(L"StartupProfile", L"SERVICE_START_LATE") +
        Element(L"ServiceType", L"SERVICE_WIN32_OWN_PROCESS") + Element(L"SVHServiceType", L"SERVICE_TYPE_SVH") +
        L"<FailureRestart><ResetPeriod>3600</ResetPeriod><RestartCount>4</RestartCount><Other>9</Other>"
        L"<RestartDelay>15</RestartDelay></FailureRestart>" +
        Element(L"PowerProfile", L"POWERPROFILE_BATTERY") + Element(L"PowerProfile", L"POWERPROFILE_METERED") +
        L"<DependOnService><ServiceName>alpha</ServiceName><Other>x</Other><ServiceName> beta </ServiceName>"
        L"<ServiceName>\"gamma\"</ServiceName><ServiceName>  </ServiceName></DependOnService>" +
        Element(L"NumServiceArgs", L"2") + Element(L"ServiceArgVectors", L"-a &amp; &lt;b&gt;") +
        Element(L"GroupAccount", L"LocalService") + Element(L"BinaryPath", L"%QVX_PROFILE_DIR%\\svc.exe") +
        Element(L"ShutdownTimeout", L"30") + Element(L"StartupTimeout", L"300") +
        Element(L"LaunchProtected", L"service_launch_protected_antimalware_light") +
        Element(L"ServiceMain", L"Main") + Element(L"Version", L"5") + Element(L"Unknown", L"ignored"));
    ASSERT_EQ(record.ParseAppProfile(profile, &launchProtectionGiven), 0u);
    EXPECT_TRUE(launchProtectionGiven);
    EXPECT_EQ(record.GetName(), L"my.service");
    EXPECT_EQ(record.GetStartupProfile(), StartupProfile::kLate);
    EXPECT_EQ(record.GetServiceType(), WinServiceType::kOwnProcess);
    EXPECT_EQ(record.GetSVHType(), SvhServiceType::kSvh);
    EXPECT_EQ(record.GetResetPeriod(), 3600u);
    EXPECT_EQ(record.GetRestartCount(), 4u);
    EXPECT_EQ(record.GetRestartDelay(), 15u);
    EXPECT_EQ(record.GetPowerProfile(), POWERPROFILE_BATTERY | POWERPROFILE_METERED);
    EXPECT_EQ(record.GetDependOnService(), (std::vector<std::wstring>{L"alpha", L"beta", L"gamma"}));
    EXPECT_EQ(record.GetNumServiceArgs(), 2u);
    EXPECT_EQ(record.GetServiceArgs(), L"-a & <b>");
    EXPECT_EQ(record.GetGroupAccount(), L"LocalService");
    EXPECT_EQ(record.GetBinaryPath(), L"C:\\Suite\\svc.exe");
    EXPECT_EQ(record.GetShutdownTimeout(), 30u);
    EXPECT_EQ(record.GetStartupTimeout(), 300u);
    EXPECT_EQ(record.GetLaunchProtected(), LaunchProtection::kAntimalwareLight);
    EXPECT_EQ(record.GetServiceMain(), std::optional<std::string>("Main"));
    EXPECT_EQ(record.GetVersion(), 5u);
}

TEST(AppProfileTest, NumbersAreReadAsAtoiReadsThem)
{
    struct Case {
        const wchar_t* text;
        DWORD expected;
    };
    const Case cases[] = {
        {L"42", 42},          {L"  42abc", 42}, {L"+7", 7},        {L"abc", 0},
        {L"", 0},             {L"-1", 0xFFFFFFFF}, {L"4294967295", 0xFFFFFFFF}, {L"99999999999", 0xFFFFFFFF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "text length " << wcslen(c.text));
        ServiceRecord record;
        ASSERT_EQ(record.ParseAppProfile(Profile(Element(L"NumServiceArgs", c.text))), 0u);
        EXPECT_EQ(record.GetNumServiceArgs(), c.expected);
    }
}

TEST(AppProfileTest, PowerProfileNames)
{
    struct Case {
        const char* label;
        std::wstring children;
        DWORD expected;
    };
    const Case cases[] = {
        {"two flags add up",
         Element(L"PowerProfile", L"POWERPROFILE_BATTERY") + Element(L"PowerProfile", L"POWERPROFILE_METERED"), 0x9},
        {"undefined", Element(L"PowerProfile", L"POWERPROFILE_UNDEFINED"), 0xFFFFFE00},
        {"all", Element(L"PowerProfile", L"POWERPROFILE_ALL"), 0xFFFFFFFF},
        {"safe mode", Element(L"PowerProfile", L"POWERPROFILE_SAFEMODE"), POWERPROFILE_SAFEMODE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ServiceRecord record;
        ASSERT_EQ(record.ParseAppProfile(Profile(c.children)), 0u);
        EXPECT_EQ(record.GetPowerProfile(), c.expected);
    }
}

TEST(AppProfileTest, BadProfilesGetAnErrorCode)
{
    struct Case {
        const char* label;
        std::wstring profile;
        DWORD expected;
    };
    const std::wstring dll = Element(L"ServiceType", L"SERVICE_SVH_USER_DLL");
    const Case cases[] = {
        {"empty text", L"", ERROR_INVALID_PARAMETER},
        {"blanks only", L"   ", ERROR_INTERNAL_ERROR},
        {"not XML", L"Name=svc", ERROR_INTERNAL_ERROR},
        {"unclosed element", L"<Service><Name>svc</Service>", ERROR_INTERNAL_ERROR},
        {"no element at all", L"<?xml version=\"1.0\"?><!-- nothing -->", ERROR_INVALID_DATA},
        {"startup profile in lower case", Profile(Element(L"StartupProfile", L"service_start_early")),
         ERROR_INVALID_DATA},
        {"startup profile with line breaks", Profile(Element(L"StartupProfile", L"\nSERVICE_START_EARLY\n")),
         ERROR_INVALID_DATA},
        {"empty startup profile", Profile(L"<StartupProfile/>"), ERROR_INVALID_DATA},
        {"service type SERVICE_WIN32", Profile(Element(L"ServiceType", L"SERVICE_WIN32")), ERROR_INVALID_DATA},
        {"service type with blanks", Profile(Element(L"ServiceType", L" SERVICE_WIN32_OWN_PROCESS")),
         ERROR_INVALID_DATA},
        {"unknown SVH type", Profile(Element(L"SVHServiceType", L"SERVICE_TYPE_OTHER")), ERROR_INVALID_DATA},
        {"unknown power profile", Profile(Element(L"PowerProfile", L"POWERPROFILE_SOMETIMES")), ERROR_INVALID_DATA},
        {"power profile in lower case", Profile(Element(L"PowerProfile", L"powerprofile_battery")),
         ERROR_INVALID_DATA},
        {"account in lower case", Profile(Element(L"GroupAccount", L"localsystem")), ERROR_INVALID_DATA},
        {"other account", Profile(Element(L"GroupAccount", L"Administrator")), ERROR_INVALID_DATA},
        {"account with a line break", Profile(Element(L"GroupAccount", L"LocalSystem\r\n")), ERROR_INVALID_DATA},
        {"shutdown time-out 29", Profile(Element(L"ShutdownTimeout", L"29")), ERROR_INVALID_DATA},
        {"shutdown time-out 301", Profile(Element(L"ShutdownTimeout", L"301")), ERROR_INVALID_DATA},
        {"negative start-up time-out", Profile(Element(L"StartupTimeout", L"-60")), ERROR_INVALID_DATA},
        {"start-up time-out 301", Profile(Element(L"StartupTimeout", L"301")), ERROR_INVALID_DATA},
        {"depends on itself", Profile(Element(L"Name", L"Svc") + L"<DependOnService><ServiceName>SVC</ServiceName>"
                                                                 L"</DependOnService>"),
         ERROR_CIRCULAR_DEPENDENCY},
        {"depends on itself behind blanks",
         Profile(Element(L"Name", L"svc") + L"<DependOnService><ServiceName> svc </ServiceName></DependOnService>"),
         ERROR_CIRCULAR_DEPENDENCY},
        {"depends on itself in quotes",
         Profile(Element(L"Name", L"svc") + L"<DependOnService><ServiceName>\"svc\"</ServiceName></DependOnService>"),
         ERROR_CIRCULAR_DEPENDENCY},
        {"depends on the management service",
         Profile(L"<DependOnService><ServiceName>QvxSvh</ServiceName></DependOnService>"), ERROR_CIRCULAR_DEPENDENCY},
        {"dependency name holding the list separator",
         Profile(L"<DependOnService><ServiceName>alpha:beta</ServiceName></DependOnService>"), ERROR_INVALID_DATA},
        {"launch protection of a share-process service",
         Profile(Element(L"ServiceType", L"SERVICE_WIN32_SHARE_PROCESS") +
                 Element(L"LaunchProtected", L"SERVICE_LAUNCH_PROTECTED_ANTIMALWARE_LIGHT")),
         ERROR_INVALID_DATA},
        {"DLL service without entry point", Profile(dll), ERROR_INVALID_DATA},
        {"DLL service with an empty entry point", Profile(dll + L"<ServiceMain/>"), ERROR_INVALID_DATA},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        test::TraceCapture traces;
        ServiceRecord record;
        EXPECT_EQ(record.ParseAppProfile(c.profile), c.expected);
        EXPECT_TRUE(traces.Contains(trace::kError, L"")) << "the refusal is traced";
        EXPECT_EQ(record.GetLaunchProtected(), LaunchProtection::kNone);
    }
}

TEST(AppProfileTest, ErrorEndsTheWalkAtThatElement)
{
    ServiceRecord record;
    EXPECT_EQ(record.ParseAppProfile(Profile(Element(L"NumServiceArgs", L"3") + Element(L"ShutdownTimeout", L"400") +
                                             Element(L"Version", L"8"))),
              static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(record.GetNumServiceArgs(), 3u);
    EXPECT_EQ(record.GetShutdownTimeout(), 400u); // stored before it was tested
    EXPECT_EQ(record.GetVersion(), 0u);
}

TEST(AppProfileTest, LaunchProtectionGivenTellsOfTheLastElement)
{
    struct Case {
        const char* label;
        std::wstring children;
        bool given;
        LaunchProtection value;
    };
    const Case cases[] = {
        {"none given", L"", false, LaunchProtection::kNone},
        {"accepted in any letter case", Element(L"LaunchProtected", L"Service_Launch_Protected_None"), true,
         LaunchProtection::kNone},
        {"unknown text keeps the field",
         Element(L"LaunchProtected", L"SERVICE_LAUNCH_PROTECTED_ANTIMALWARE_LIGHT") +
             Element(L"LaunchProtected", L"SERVICE_LAUNCH_PROTECTED_FULL"),
         false, LaunchProtection::kAntimalwareLight},
        {"a later accepted value counts",
         Element(L"LaunchProtected", L"bogus") +
             Element(L"LaunchProtected", L"SERVICE_LAUNCH_PROTECTED_ANTIMALWARE_LIGHT"),
         true, LaunchProtection::kAntimalwareLight},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ServiceRecord record;
        bool given = !c.given;
        ASSERT_EQ(record.ParseAppProfile(Profile(Element(L"ServiceType", L"SERVICE_WIN32_OWN_PROCESS") + c.children),
                                         &given),
                  0u);
        EXPECT_EQ(given, c.given);
        EXPECT_EQ(record.GetLaunchProtected(), c.value);
    }
}

TEST(AppProfileTest, EmptyProfileClearsLaunchProtectionGiven)
{
    ServiceRecord record;
    bool given = true;
    EXPECT_EQ(record.ParseAppProfile(L"", &given), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(given);
}

// The names of the root's children, in document order.
std::vector<std::string> ChildNames(const std::string& document)
{
    tinyxml2::XMLDocument parsed;
    std::vector<std::string> names;
    if (parsed.Parse(document.c_str()) != tinyxml2::XML_SUCCESS || !parsed.RootElement())
        return names;
    names.push_back(parsed.RootElement()->Name());
    for (auto* child = parsed.RootElement()->FirstChildElement(); child; child = child->NextSiblingElement())
        names.push_back(child->Name());
    return names;
}

TEST(AppProfileWriterTest, WritesTheServiceDocumentInOrder)
{
    ServiceRecord record;
    record.SetName(L"svc");
    record.SetStartupProfile(StartupProfile::kEarly);
    record.SetServiceType(WinServiceType::kOwnProcess);
    record.SetPowerProfile(POWERPROFILE_BATTERY | POWERPROFILE_NORMAL);
    record.SetDependOnService({L"a", L"b"});
    record.SetGroupAccount(L"LocalSystem");
    const std::string document = WriteAppProfile(record);
    EXPECT_EQ(document.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u) << document;
    EXPECT_NE(document.find("\n    <Name>svc</Name>\n"), std::string::npos) << "indented: " << document;
    EXPECT_NE(document.find("<ResetPeriod>0</ResetPeriod>"), std::string::npos) << document;
    EXPECT_NE(document.find("<LaunchProtected>SERVICE_LAUNCH_PROTECTED_NONE</LaunchProtected>"), std::string::npos);
    const std::vector<std::string> expected = {
        "Service",        "Name",           "StartupProfile", "ServiceType",       "SVHServiceType",
        "BinaryPath",     "FailureRestart", "PowerProfile",   "PowerProfile",      "LaunchProtected",
        "DependOnService", "NumServiceArgs", "ServiceArgVectors", "GroupAccount", "ShutdownTimeout",
        "StartupTimeout"};
    EXPECT_EQ(ChildNames(document), expected);
}

TEST(AppProfileWriterTest, UnnamedValuesGiveEmptyElements)
{
    ServiceRecord record; // StartupProfile 10, ServiceType 0
    record.SetSVHType(SvhServiceType::kUnknown);
    const std::string document = WriteAppProfile(record);
    for (const char* empty : {"<StartupProfile/>", "<ServiceType/>", "<SVHServiceType/>"})
        EXPECT_NE(document.find(empty), std::string::npos) << empty << "\n" << document;
    EXPECT_EQ(document.find("DependOnService"), std::string::npos);
    EXPECT_EQ(document.find("<PowerProfile>"), std::string::npos);
}

TEST(AppProfileWriterTest, WrittenProfileReadsBackToTheSameConfiguration)
{
    struct Case {
        const char* label;
        void (*fill)(ServiceRecord&);
    };
    const Case cases[] = {
        {"own process with everything set",
         [](ServiceRecord& r) {
             r.SetName(L"protected.svc");
             r.SetStartupProfile(StartupProfile::kEarly);
             r.SetServiceType(WinServiceType::kOwnProcess);
             r.SetResetPeriod(86400);
             r.SetRestartCount(3);
             r.SetRestartDelay(60);
             r.SetPowerProfile(POWERPROFILE_ALL);
             r.SetLaunchProtected(LaunchProtection::kAntimalwareLight);
             r.SetDependOnService({L"alpha", L"beta"});
             r.SetNumServiceArgs(4000000000u);
             r.SetServiceArgs(L"-x \"a b\" <&> caf\u00e9 \u4e2d \U0001F600");
             r.SetGroupAccount(L"LocalService");
             r.SetBinaryPath(L"C:\\Program Files\\Suite & Co\\svc.exe");
             r.SetShutdownTimeout(300);
             r.SetStartupTimeout(31);
         }},
        {"share process in safe mode",
         [](ServiceRecord& r) {
             r.SetName(L"shared");
             r.SetStartupProfile(StartupProfile::kDemand);
             r.SetServiceType(WinServiceType::kShareProcess);
             r.SetPowerProfile(POWERPROFILE_SAFEMODE | POWERPROFILE_LOW_BATTERY | POWERPROFILE_AAC_CONTROL);
             r.SetGroupAccount(L"LocalSystem");
             r.SetBinaryPath(L"C:\\shared.exe");
         }},
        {"DLL service",
         [](ServiceRecord& r) {
             r.SetName(L"dll.svc");
             r.SetStartupProfile(StartupProfile::kNormal);
             r.SetServiceType(WinServiceType::kUserDll);
             r.SetPowerProfile(POWERPROFILE_NORMAL | POWERPROFILE_USERACTIVE | POWERPROFILE_NOTNETWORK);
             r.SetGroupAccount(L"LocalSystem");
             r.SetBinaryPath(L"C:\\svc.dll");
             r.SetServiceMain("ServiceMainW");
             r.SetVersion(3);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ServiceRecord written;
        c.fill(written);
        ServiceRecord read;
        ASSERT_EQ(read.ParseAppProfile(WriteAppProfileText(written)), 0u) << WriteAppProfile(written);
        EXPECT_EQ(test::DescribeConfiguration(read), test::DescribeConfiguration(written));
    }
}

} // namespace
} // namespace qvx
