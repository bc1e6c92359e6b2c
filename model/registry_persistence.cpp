// A hosted service's configuration in its registry key: one value per field,
// enumerations and lists as text. Required values end a load at the first
// one that is missing or unusable; optional ones fall back to their defaults.

#include <string>
#include <vector>

#include "model/power_profile.h"
#include "model/service_record.h"
#include "model/text_list.h"
#include "platform/registry_value.h"
#include "platform/trace.h"
#include "platform/wide_text.h"

namespace qvx {

namespace {

// Value names, in the order of a load.
constexpr const wchar_t kNameValue[] = L"Name";
constexpr const wchar_t kSvhTypeValue[] = L"SVHType";
constexpr const wchar_t kServiceTypeValue[] = L"ServiceType";
constexpr const wchar_t kStartupProfileValue[] = L"StartupProfile";
constexpr const wchar_t kDependOnServiceValue[] = L"DependOnService";
constexpr const wchar_t kResetPeriodValue[] = L"ResetPeriod";
constexpr const wchar_t kRestartCountValue[] = L"RestartCount";
constexpr const wchar_t kRestartDelayValue[] = L"RestartDelay";
constexpr const wchar_t kPowerProfileValue[] = L"PowerProfile";
constexpr const wchar_t kNumServiceArgsValue[] = L"NumServiceArgs";
constexpr const wchar_t kServiceArgsValue[] = L"ServiceArgs";
constexpr const wchar_t kShutdownTimeoutValue[] = L"ShutdownTimeout";
constexpr const wchar_t kStartupTimeoutValue[] = L"StartupTimeout";
constexpr const wchar_t kBinaryPathValue[] = L"BinaryPath";
constexpr const wchar_t kGroupAccountValue[] = L"GroupAccount";
constexpr const wchar_t kLaunchProtectedValue[] = L"LaunchProtected";
constexpr const wchar_t kServiceMainValue[] = L"ServiceMain";
constexpr const wchar_t kUserStoppedValue[] = L"UserStopped";
constexpr const wchar_t kVersionValue[] = L"Version";

// Texts are read whole, however long: a text cut short would load as
// another path, argument text, entry point or dependency list than the one
// the save wrote and the commands answered for.
constexpr size_t kWholeText = static_cast<size_t>(-1);
constexpr wchar_t kDependencySeparator[] = L":";
constexpr wchar_t kPowerProfileSeparator[] = L" ";
constexpr int kMinTimeoutSeconds = 30;
constexpr int kMaxTimeoutSeconds = 300;

enum class Text { kNotEmpty, kMayBeEmpty };

// Compared as signed numbers, so a value with its top bit set is too small.
DWORD ClampTimeout(DWORD stored)
{
    const int seconds = static_cast<int>(stored);
    if (seconds < kMinTimeoutSeconds)
        return kMinTimeoutSeconds;
    if (seconds > kMaxTimeoutSeconds)
        return kMaxTimeoutSeconds;
    return stored;
}

std::wstring TrimBlanks(const std::wstring& text)
{
    const size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring::npos)
        return {};
    return text.substr(first, text.find_last_not_of(L' ') - first + 1);
}

// Reads one value of a service key, tracing a failure with the service's
// name as read so far.
class ValueReader {
public:
    ValueReader(HKEY key, const ServiceRecord& record) : key_(key), record_(record) {}

    DWORD Required(const wchar_t* name, std::wstring& text, Text rule)
    {
        if (!ReadText(key_, name, text, kWholeText))
            return Failed(name, GetLastError());
        if (rule == Text::kNotEmpty && text.empty())
            return Failed(name, ERROR_INVALID_DATA);
        return ERROR_SUCCESS;
    }

    DWORD Required(const wchar_t* name, DWORD& value)
    {
        return ReadDword(key_, name, value) ? ERROR_SUCCESS : Failed(name, GetLastError());
    }

    // False when absent; a value of the wrong kind counts as absent and is
    // traced as a warning.
    bool Optional(const wchar_t* name, std::wstring& text)
    {
        if (ReadText(key_, name, text, kWholeText))
            return true;
        NoteUnusable(name, GetLastError());
        return false;
    }

    bool Optional(const wchar_t* name, DWORD& value)
    {
        if (ReadDword(key_, name, value))
            return true;
        NoteUnusable(name, GetLastError());
        return false;
    }

    DWORD Failed(const wchar_t* name, DWORD error)
    {
        QVX_TRACE(trace::kError, 1, L"cannot load value", record_.GetName(), name, error);
        return error;
    }

private:
    void NoteUnusable(const wchar_t* name, DWORD error)
    {
        if (error != ERROR_FILE_NOT_FOUND)
            QVX_TRACE(trace::kWarning, 2, L"unusable value ignored", record_.GetName(), name, error);
    }

    HKEY key_;
    const ServiceRecord& record_;
};

// One value to save: a text (written as REG_SZ) or a number (REG_DWORD).
struct SavedValue {
    SavedValue(const wchar_t* valueName, std::wstring valueText)
        : name(valueName), isText(true), text(std::move(valueText))
    {
    }
    SavedValue(const wchar_t* valueName, DWORD valueNumber) : name(valueName), number(valueNumber) {}

    const wchar_t* name;
    bool isText = false;
    std::wstring text;
    DWORD number = 0;
};

// Writes the values of a service key, tracing a failure with the service's name.
class ValueWriter {
public:
    ValueWriter(HKEY key, const std::wstring& serviceName) : key_(key), serviceName_(serviceName) {}

    DWORD Write(const SavedValue& value)
    {
        const bool written =
            value.isText ? WriteText(key_, value.name, value.text) : WriteDword(key_, value.name, value.number);
        if (written)
            return ERROR_SUCCESS;
        const DWORD error = GetLastError();
        QVX_TRACE(trace::kError, 3, L"cannot save value", serviceName_, value.name, error);
        return error;
    }

private:
    HKEY key_;
    const std::wstring& serviceName_;
};

DWORD SaveValues(ServiceRecord& record, HKEY key)
{
    // The name is kept folded from here on, in the record as in the key.
    record.SetName(ToLowerAscii(record.GetName()));
    const std::wstring name = record.GetName();
    ValueWriter writer(key, name);
    std::wstring powerProfile;
    PowerProfileSetToText(record.GetPowerProfile(), powerProfile);

    const SavedValue values[] = {
        {kNameValue, name},
        {kSvhTypeValue, SvhServiceTypeName(record.GetSVHType())},
        {kServiceTypeValue, WinServiceTypeName(record.GetServiceType())},
        {kStartupProfileValue, StartupProfileName(record.GetStartupProfile())},
        {kDependOnServiceValue, JoinList(record.GetDependOnService(), kDependencySeparator)},
        {kResetPeriodValue, record.GetResetPeriod()},
        {kRestartCountValue, record.GetRestartCount()},
        {kRestartDelayValue, record.GetRestartDelay()},
        {kShutdownTimeoutValue, record.GetShutdownTimeout()},
        {kStartupTimeoutValue, record.GetStartupTimeout()},
        {kPowerProfileValue, powerProfile},
        {kGroupAccountValue, record.GetGroupAccount()},
        {kNumServiceArgsValue, record.GetNumServiceArgs()},
        {kServiceArgsValue, record.GetServiceArgs()},
        {kBinaryPathValue, record.GetBinaryPath()},
        {kLaunchProtectedValue, static_cast<DWORD>(record.GetLaunchProtected())},
    };
    DWORD error = ERROR_SUCCESS;
    for (const auto& value : values) {
        error = writer.Write(value);
        if (error != ERROR_SUCCESS)
            return error;
    }

    if (const auto entryPoint = record.GetServiceMain()) {
        error = writer.Write({kServiceMainValue, Utf8ToWide(*entryPoint)});
        if (error != ERROR_SUCCESS)
            return error;
        // Losing the flag only means a stopped service starts again; the
        // configuration itself is saved.
        writer.Write({kUserStoppedValue, record.GetUserStopped() ? 1u : 0u});
    }
    // A record that never had a version leaves a stored one alone.
    if (const DWORD version = record.GetVersion(); version != 0)
        writer.Write({kVersionValue, version});
    return ERROR_SUCCESS;
}

DWORD LoadValues(ServiceRecord& record, HKEY key)
{
    ValueReader reader(key, record);
    std::wstring text;
    DWORD number = 0;
    DWORD error = ERROR_SUCCESS;

    if ((error = reader.Required(kNameValue, text, Text::kNotEmpty)) != ERROR_SUCCESS)
        return error;
    record.SetName(ToLowerAscii(text));

    if ((error = reader.Required(kSvhTypeValue, text, Text::kNotEmpty)) != ERROR_SUCCESS)
        return error;
    record.SetSVHType(SvhServiceTypeFromName(text));
    if ((error = reader.Required(kServiceTypeValue, text, Text::kNotEmpty)) != ERROR_SUCCESS)
        return error;
    record.SetServiceType(WinServiceTypeFromName(text));
    if ((error = reader.Required(kStartupProfileValue, text, Text::kNotEmpty)) != ERROR_SUCCESS)
        return error;
    record.SetStartupProfile(StartupProfileFromName(std::wstring_view(text)));

    if ((error = reader.Required(kDependOnServiceValue, text, Text::kMayBeEmpty)) != ERROR_SUCCESS)
        return error;
    // A text of blanks only is an empty list, like an empty text. A text
    // without a separator is one name: the list rule refuses a text of one
    // character, and a dependency on a service of a one-letter name would
    // otherwise keep its dependent out of the table.
    if (const std::wstring names = TrimBlanks(text); !names.empty()) {
        std::vector<std::wstring> dependencies;
        if (names.find(kDependencySeparator) == std::wstring::npos)
            dependencies.push_back(names);
        else if (!SplitList(names, kDependencySeparator, dependencies))
            return reader.Failed(kDependOnServiceValue, ERROR_INVALID_DATA);
        record.SetDependOnService(std::move(dependencies));
    }

    if ((error = reader.Required(kResetPeriodValue, number)) != ERROR_SUCCESS)
        return error;
    record.SetResetPeriod(number);
    if ((error = reader.Required(kRestartCountValue, number)) != ERROR_SUCCESS)
        return error;
    record.SetRestartCount(number);
    if ((error = reader.Required(kRestartDelayValue, number)) != ERROR_SUCCESS)
        return error;
    record.SetRestartDelay(number);

    // Absent, empty or naming nothing known: the service runs in normal
    // conditions. A text that does not split is damaged, and fails the load
    // rather than leaving a half-read record that would pass for a good one.
    DWORD powerProfile = 0;
    if (reader.Optional(kPowerProfileValue, text) && !text.empty()) {
        std::vector<std::wstring> names;
        if (!SplitList(text, kPowerProfileSeparator, names))
            return reader.Failed(kPowerProfileValue, ERROR_INVALID_DATA);
        for (const auto& name : names)
            powerProfile |= PowerProfileFromName(name);
    }
    record.SetPowerProfile(powerProfile != 0 ? powerProfile : static_cast<DWORD>(POWERPROFILE_NORMAL));

    if ((error = reader.Required(kNumServiceArgsValue, number)) != ERROR_SUCCESS)
        return error;
    record.SetNumServiceArgs(number);
    if ((error = reader.Required(kServiceArgsValue, text, Text::kMayBeEmpty)) != ERROR_SUCCESS)
        return error;
    if (!text.empty())
        record.SetServiceArgs(text);

    constexpr DWORD kDefaultTimeout = ServiceRecord::kDefaultTimeoutSeconds;
    record.SetShutdownTimeout(reader.Optional(kShutdownTimeoutValue, number) ? ClampTimeout(number) : kDefaultTimeout);
    record.SetStartupTimeout(reader.Optional(kStartupTimeoutValue, number) ? ClampTimeout(number) : kDefaultTimeout);

    if ((error = reader.Required(kBinaryPathValue, text, Text::kNotEmpty)) != ERROR_SUCCESS)
        return error;
    record.SetBinaryPath(text);
    if ((error = reader.Required(kGroupAccountValue, text, Text::kMayBeEmpty)) != ERROR_SUCCESS)
        return error;
    if (!text.empty())
        record.SetGroupAccount(text);

    const bool launchProtected = reader.Optional(kLaunchProtectedValue, number);
    record.SetLaunchProtected(static_cast<LaunchProtection>(launchProtected ? number : 0));

    if (record.GetServiceType() == WinServiceType::kUserDll) {
        // A DLL service cannot be started without its entry point.
        if ((error = reader.Required(kServiceMainValue, text, Text::kNotEmpty)) != ERROR_SUCCESS)
            return error;
        record.SetServiceMain(WideToUtf8(text).c_str());
        if (reader.Optional(kUserStoppedValue, number))
            record.SetUserStopped(number != 0);
    }

    if (reader.Optional(kVersionValue, number))
        record.SetVersion(number);
    return ERROR_SUCCESS;
}

} // namespace

DWORD ServiceRecord::SyncWithRegistry(HKEY key, bool load)
{
    RecordLock guard(*this);
    return load ? LoadValues(*this, key) : SaveValues(*this, key);
}

} // namespace qvx
