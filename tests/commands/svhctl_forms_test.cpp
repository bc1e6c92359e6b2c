#include <gtest/gtest.h>

#include <string>

#include "tests/commands/command_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/svhctl_run.h"
#include "tests/support/unique_name.h"

namespace qvx {
namespace {

using test::CommandHost;

using test::RunSvhctl;

// A file in the temporary folder, deleted with the object.
class TempFile {
public:
    TempFile(const std::string& bytes)
    {
        wchar_t folder[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        path_ = std::wstring(folder) + test::UniqueName(L"qvxtest-profile") + L".xml";
        KernelHandle file(CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        EXPECT_TRUE(file.IsValid() &&
                    WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    }
    ~TempFile() { DeleteFileW(path_.c_str()); }
    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
};

std::string Utf16File(const std::wstring& text)
{
    std::string bytes = "\xFF\xFE";
    bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    return bytes;
}

class SvhctlForms : public CommandHost {
protected:
    // The test's pipe, and its key for the life-cycle records `list` reads.
    std::wstring On() const { return L"--pipe " + servers_.Name() + L" --key " + key_.Path() + L" "; }
};

TEST_F(SvhctlForms, CreateFromAProfileFile)
{
    const TempFile utf8("\xEF\xBB\xBF<Service>\r\n  <Name>Svc</Name>\r\n  <BinaryPath>C:\\svc\\svc.exe</BinaryPath>\r\n"
                        "  <StartupProfile>SERVICE_START_NORMAL</StartupProfile>\r\n"
                        "  <ServiceType>SERVICE_WIN32_OWN_PROCESS</ServiceType>\r\n</Service>\r\n");
    const TempFile utf16(Utf16File(test::Profile(L"wide")));
    const TempFile comma(WideToUtf8(L"<Service>\n<Name>c</Name>\n<ServiceArgVectors>-a,b</ServiceArgVectors>\n</Service>"));
    const TempFile nameless("<Service><BinaryPath>x</BinaryPath></Service>");
    const TempFile other(WideToUtf8(test::Profile(L"guest", L"<GroupAccount>Guest</GroupAccount>")));

    struct Case {
        const char* name;
        std::wstring arguments;
        DWORD exitCode;
        std::string output;
    };
    const Case cases[] = {
        {"UTF-8 with byte-order mark and line breaks", L"create \"" + utf8.Path() + L"\"", 0, "created svc\n"},
        {"UTF-16", L"create \"" + utf16.Path() + L"\"", 0, "created wide\n"},
        {"exists already", L"create \"" + utf8.Path() + L"\"", 1073,
         "svhctl: SERVICE_ALREADY_EXISTS: a hosted service of that name exists already\n"},
        {"comma", L"create \"" + comma.Path() + L"\"", ERROR_INVALID_PARAMETER,
         "line 3 holds a comma, which the control protocol cannot carry: the profile is not sent\n"},
        {"no name", L"create \"" + nameless.Path() + L"\"", ERROR_INVALID_PARAMETER,
         "is not an app profile with a <Name> element\n"},
        {"refused by the host", L"--raw create \"" + other.Path() + L"\"", 1066, "ERROR_PARSING_APP_PROFILE\n"},
        {"missing file", L"create C:\\no\\such\\profile.xml", ERROR_PATH_NOT_FOUND, "cannot read"},
    };
    for (const Case& c : cases) {
        test::ProgramRun run = RunSvhctl(On() + c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.name << ": " << run.output;
        EXPECT_NE(run.output.find(c.output), std::string::npos) << c.name << ": " << run.output;
    }
    EXPECT_NE(Find(L"svc"), nullptr);
    EXPECT_NE(Find(L"wide"), nullptr);
    EXPECT_EQ(Find(L"c"), nullptr);
    EXPECT_EQ(table_.Count(SvhServiceType::kUnknown), 2u);
}

TEST_F(SvhctlForms, EverydayTasks)
{
    Create(L"base");
    Create(L"svc", L"<DependOnService><ServiceName>base</ServiceName></DependOnService>");
    ASSERT_TRUE(Find(L"base")->SetServiceState(ServiceState::kRunning));

    struct Case {
        const char* name;
        std::wstring arguments;
        DWORD exitCode;
        std::string output; // the whole output
    };
    const Case cases[] = {
        {"show", L"show SVC", 0,
         "SERVICE_NAME  svc\nSTATE         SERVICE_STOPPED\nTYPE          SERVICE_WIN32_OWN_PROCESS\n"
         "STARTUP       SERVICE_START_NORMAL\nBINARY_PATH   C:\\svc\\svc.exe\nACCOUNT       LocalSystem\n"
         "DEPENDENCIES  base\n"},
        {"show raw", L"--raw show svc", 0,
         "QUERY_SERVICE_STATUS,SERVICE_STOPPED\n"
         "QUERY_SERVICE_CONFIG,SERVICE_WIN32_OWN_PROCESS,SERVICE_START_NORMAL,C:\\svc\\svc.exe,LocalSystem,base\n"},
        {"show a missing service", L"show ghost", 1060,
         "svhctl: SERVICE_NOT_FOUND: no hosted service of that name\n"},
        {"list", L"list", 0,
         "NAME  STATE            LAST STARTED\nbase  SERVICE_RUNNING  -\nsvc   SERVICE_STOPPED  -\n2 service(s)\n"},
        {"list of a type with none", L"list SERVICE_WIN32_SHARE_PROCESS", 0, "0 service(s)\n"},
        {"dependents", L"dependents base", 0, "NAME  STATE\nsvc   SERVICE_STOPPED\n1 dependent service(s)\n"},
        {"config", L"config svc --startup SERVICE_START_LATE --path D:\\new.exe --no-depend --account LocalService", 0,
         "configured svc\n"},
        {"config with a bad account", L"config svc --account Administrator", 1057,
         "svhctl: INVALID_ACCOUNT: the account must be LocalSystem or LocalService\n"},
        {"config with a comma in the path", L"config svc --path D:\\a,b.exe", ERROR_INVALID_PARAMETER,
         "svhctl: the path holds a comma, which the control protocol cannot carry\n"},
        {"disable", L"disable svc", 0, "disabled svc\n"},
        {"lockdown on", L"lockdown SVC on", 0, "asked the host to lock down svc\n"},
        {"lockdown off", L"lockdown svc OFF", 0, "asked the host to lift the lockdown of svc\n"},
        {"lockdown raw", L"--raw lockdown svc off", 0, "ACK\n"},
        {"lockdown of a missing service", L"lockdown ghost on", 1060,
         "svhctl: SERVICE_NOT_FOUND: no hosted service of that name\n"},
        {"lockdown with another word", L"lockdown svc enable", ERROR_INVALID_PARAMETER, ""},
        {"power set", L"power set POWERPROFILE_BATTERY", 0,
         "power state: POWERPROFILE_BATTERY POWERPROFILE_NORMAL POWERPROFILE_AAC_CONTROL\n"},
        {"power", L"power", 0, "power state: POWERPROFILE_BATTERY POWERPROFILE_NORMAL POWERPROFILE_AAC_CONTROL\n"},
        {"power set nothing", L"power set", 0, "power state: POWERPROFILE_NORMAL POWERPROFILE_AAC_CONTROL\n"},
        {"profile of a missing service", L"profile ghost", 1060, "svhctl: no hosted service named ghost\n"},
        {"delete a running service", L"delete base", 1056,
         "svhctl: SERVICE_ALREADY_RUNNING: the service is running or starting; stop it first\n"},
        {"bad operands", L"config svc --startup", ERROR_INVALID_PARAMETER, ""},
    };
    for (const Case& c : cases) {
        test::ProgramRun run = RunSvhctl(On() + c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.name << ": " << run.output;
        if (!c.output.empty()) {
            EXPECT_EQ(run.output, c.output) << c.name;
        }
    }
    const ServiceRecord* svc = Find(L"svc");
    EXPECT_EQ(svc->GetStartupProfile(), StartupProfile::kLate);
    EXPECT_EQ(svc->GetBinaryPath(), L"D:\\new.exe");
    EXPECT_TRUE(svc->GetDependOnService().empty());
    EXPECT_EQ(svc->GetGroupAccount(), L"LocalService");
    EXPECT_TRUE(svc->GetDisabled());

    test::ProgramRun profile = RunSvhctl(On() + L"profile svc");
    EXPECT_EQ(profile.exitCode, 0u);
    EXPECT_EQ(profile.output.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Service>\n    <Name>svc</Name>\n", 0),
              0u)
        << profile.output;
    EXPECT_EQ(RunSvhctl(On() + L"enable svc").output, "enabled svc\n");
    EXPECT_FALSE(svc->GetDisabled());
    EXPECT_EQ(RunSvhctl(On() + L"delete svc").output, "deleted svc\n");
    EXPECT_EQ(Find(L"svc"), nullptr);
}

TEST_F(SvhctlForms, ANameOrPathHoldingAReplyCodeIsNoFailure)
{
    Create(L"service_not_found");

    const wchar_t* const forms[] = {L"show service_not_found", L"list", L"profile service_not_found"};
    for (const wchar_t* form : forms) {
        test::ProgramRun run = RunSvhctl(On() + form);
        EXPECT_EQ(run.exitCode, 0u) << WideToUtf8(form) << ": " << run.output;
        EXPECT_NE(run.output.find("service_not_found"), std::string::npos) << WideToUtf8(form) << ": " << run.output;
    }
}

} // namespace
} // namespace qvx
