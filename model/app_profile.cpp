// Reading an XML app profile into a record. Only the children of the root
// element are read, each by its name; values are taken exactly as written,
// so text with blanks or line breaks around it matches nothing.

#include <tinyxml2.h>

#include <cstring>
#include <string>
#include <vector>

#include "model/power_profile.h"
#include "model/service_enums.h"
#include "model/service_record.h"
#include "platform/trace.h"
#include "platform/wide_text.h"

namespace qvx {

namespace {

using tinyxml2::XMLElement;

constexpr wchar_t kPowerProfileAllName[] = L"POWERPROFILE_ALL";
constexpr size_t kMaxDependencyChars = 127;
constexpr DWORD kMinTimeoutSeconds = 30;
constexpr DWORD kMaxTimeoutSeconds = 300;

struct ProfileContext {
    ServiceRecord& record;
    bool* launchProtectionGiven;
};

std::wstring TextOf(const XMLElement& element)
{
    const char* text = element.GetText();
    return text ? Utf8ToWide(text) : std::wstring();
}

DWORD ValueError(const ServiceRecord& record, const XMLElement& element, const std::wstring& text,
                 DWORD error = ERROR_INVALID_DATA)
{
    QVX_TRACE(trace::kError, 1, L"app profile value refused", record.GetName(), element.Name(), text, error);
    return error;
}

// As C's atoi reads a number (leading white space, a sign, digits; anything
// else gives 0), but wide enough for every unsigned 32-bit value, so that a
// number the profile writer prints reads back. A negative number gives its
// two's complement; more than 32 bits saturate.
DWORD DecimalOf(const XMLElement& element)
{
    const char* text = element.GetText();
    if (!text)
        return 0;
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    unsigned long long magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        magnitude = magnitude * 10 + static_cast<unsigned>(*text - '0');
        if (magnitude > 0xFFFFFFFFull)
            magnitude = 0xFFFFFFFFull;
    }
    const DWORD value = static_cast<DWORD>(magnitude);
    return negative ? 0u - value : value;
}

// The value whose name equals the text exactly, letter case included.
template <typename Enum, size_t N>
bool ExactName(const std::wstring& text, const Enum (&values)[N], const wchar_t* (*nameOf)(Enum), Enum& value)
{
    for (Enum candidate : values) {
        if (text == nameOf(candidate)) {
            value = candidate;
            return true;
        }
    }
    return false;
}

DWORD ReadName(ProfileContext& context, const XMLElement& element)
{
    context.record.SetName(ToLowerAscii(TextOf(element)));
    return ERROR_SUCCESS;
}

DWORD ReadStartupProfile(ProfileContext& context, const XMLElement& element)
{
    static constexpr StartupProfile kAccepted[] = {StartupProfile::kEarly, StartupProfile::kNormal,
                                                   StartupProfile::kLate, StartupProfile::kDemand};
    const std::wstring text = TextOf(element);
    StartupProfile profile = StartupProfile::kNone;
    if (!ExactName(text, kAccepted, &StartupProfileName, profile))
        return ValueError(context.record, element, text);
    context.record.SetStartupProfile(profile);
    return ERROR_SUCCESS;
}

DWORD ReadServiceType(ProfileContext& context, const XMLElement& element)
{
    static constexpr WinServiceType kAccepted[] = {WinServiceType::kOwnProcess, WinServiceType::kShareProcess,
                                                   WinServiceType::kUserDll};
    const std::wstring text = TextOf(element);
    WinServiceType type = WinServiceType::kUnknown;
    if (!ExactName(text, kAccepted, &WinServiceTypeName, type))
        return ValueError(context.record, element, text);
    context.record.SetServiceType(type);
    return ERROR_SUCCESS;
}

DWORD ReadSvhServiceType(ProfileContext& context, const XMLElement& element)
{
    static constexpr SvhServiceType kAccepted[] = {SvhServiceType::kSvh};
    const std::wstring text = TextOf(element);
    SvhServiceType type = SvhServiceType::kUnknown;
    if (!ExactName(text, kAccepted, &SvhServiceTypeName, type))
        return ValueError(context.record, element, text);
    context.record.SetSVHType(type);
    return ERROR_SUCCESS;
}

DWORD ReadFailureRestart(ProfileContext& context, const XMLElement& element)
{
    for (const XMLElement* child = element.FirstChildElement(); child; child = child->NextSiblingElement()) {
        const char* name = child->Name();
        if (std::strcmp(name, "ResetPeriod") == 0)
            context.record.SetResetPeriod(DecimalOf(*child));
        else if (std::strcmp(name, "RestartCount") == 0)
            context.record.SetRestartCount(DecimalOf(*child));
        else if (std::strcmp(name, "RestartDelay") == 0)
            context.record.SetRestartDelay(DecimalOf(*child));
    }
    return ERROR_SUCCESS;
}

DWORD ReadPowerProfile(ProfileContext& context, const XMLElement& element)
{
    const std::wstring text = TextOf(element);
    if (text == kPowerProfileAllName) {
        context.record.SetPowerProfile(POWERPROFILE_ALL);
        return ERROR_SUCCESS;
    }
    // The name lookup folds letter case; a profile must spell the name exactly.
    const uint32_t flag = PowerProfileFromName(text);
    if (flag == 0 || flag == POWERPROFILE_ALL || text != PowerProfileName(flag))
        return ValueError(context.record, element, text);
    context.record.SetPowerProfile(context.record.GetPowerProfile() | flag);
    return ERROR_SUCCESS;
}

DWORD ReadDependOnService(ProfileContext& context, const XMLElement& element)
{
    std::vector<std::wstring> names = context.record.GetDependOnService();
    const std::wstring ownName = context.record.GetName();
    for (const XMLElement* child = element.FirstChildElement(); child; child = child->NextSiblingElement()) {
        if (std::strcmp(child->Name(), "ServiceName") != 0)
            continue;
        const std::wstring text = TextOf(*child).substr(0, kMaxDependencyChars);
        std::wstring name = text;
        name.erase(0, name.find_first_not_of(L' '));
        name.erase(name.find_last_not_of(L' ') + 1);
        if (name.find(L'"') != std::wstring::npos)
            name = name.size() >= 2 ? name.substr(1, name.size() - 2) : std::wstring();
        // The cleaned name is tested too: blanks or quotes around the
        // service's own name must not slip a self-dependency through.
        for (std::wstring_view candidate : {std::wstring_view(text), std::wstring_view(name)}) {
            if (!candidate.empty() &&
                (SameServiceName(candidate, ownName) || SameServiceName(candidate, kManagementServiceName)))
                return ValueError(context.record, *child, text, ERROR_CIRCULAR_DEPENDENCY);
        }
        // The stored list separates names with ':': a name holding one
        // would come back as two other names after the next load.
        if (name.find(L':') != std::wstring::npos)
            return ValueError(context.record, *child, text);
        if (!name.empty())
            names.push_back(std::move(name));
    }
    context.record.SetDependOnService(std::move(names));
    return ERROR_SUCCESS;
}

DWORD ReadNumServiceArgs(ProfileContext& context, const XMLElement& element)
{
    context.record.SetNumServiceArgs(DecimalOf(element));
    return ERROR_SUCCESS;
}

DWORD ReadServiceArgVectors(ProfileContext& context, const XMLElement& element)
{
    context.record.SetServiceArgs(TextOf(element));
    return ERROR_SUCCESS;
}

DWORD ReadGroupAccount(ProfileContext& context, const XMLElement& element)
{
    const std::wstring text = TextOf(element);
    if (!IsBuiltinServiceAccount(text))
        return ValueError(context.record, element, text);
    context.record.SetGroupAccount(text);
    return ERROR_SUCCESS;
}

DWORD ReadBinaryPath(ProfileContext& context, const XMLElement& element)
{
    const std::wstring text = TextOf(element);
    const DWORD size = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    if (size == 0)
        return ValueError(context.record, element, text);
    std::wstring expanded(size + 2, L'\0');
    if (ExpandEnvironmentStringsW(text.c_str(), expanded.data(), size + 2) == 0)
        return ValueError(context.record, element, text);
    expanded.resize(wcslen(expanded.c_str()));
    context.record.SetBinaryPath(expanded);
    return ERROR_SUCCESS;
}

DWORD ReadTimeout(const XMLElement& element, DWORD (ServiceRecord::*setter)(DWORD) noexcept, ServiceRecord& record)
{
    const DWORD seconds = DecimalOf(element);
    (record.*setter)(seconds);
    if (seconds < kMinTimeoutSeconds || seconds > kMaxTimeoutSeconds)
        return ValueError(record, element, TextOf(element));
    return ERROR_SUCCESS;
}

DWORD ReadShutdownTimeout(ProfileContext& context, const XMLElement& element)
{
    return ReadTimeout(element, &ServiceRecord::SetShutdownTimeout, context.record);
}

DWORD ReadStartupTimeout(ProfileContext& context, const XMLElement& element)
{
    return ReadTimeout(element, &ServiceRecord::SetStartupTimeout, context.record);
}

DWORD ReadLaunchProtected(ProfileContext& context, const XMLElement& element)
{
    static constexpr LaunchProtection kAccepted[] = {LaunchProtection::kAntimalwareLight, LaunchProtection::kNone};
    const std::wstring text = TextOf(element);
    for (LaunchProtection value : kAccepted) {
        if (EqualsFolded(text, LaunchProtectionName(value))) {
            context.record.SetLaunchProtected(value);
            if (context.launchProtectionGiven)
                *context.launchProtectionGiven = true;
            return ERROR_SUCCESS;
        }
    }
    // Not an error: the field keeps its value and counts as not given.
    QVX_TRACE(trace::kWarning, 2, L"app profile launch protection ignored", context.record.GetName(), text);
    if (context.launchProtectionGiven)
        *context.launchProtectionGiven = false;
    return ERROR_SUCCESS;
}

DWORD ReadServiceMain(ProfileContext& context, const XMLElement& element)
{
    context.record.SetServiceMain(element.GetText());
    return ERROR_SUCCESS;
}

DWORD ReadVersion(ProfileContext& context, const XMLElement& element)
{
    context.record.SetVersion(DecimalOf(element));
    return ERROR_SUCCESS;
}

struct ElementReader {
    const char* name;
    DWORD (*read)(ProfileContext& context, const XMLElement& element);
};

constexpr ElementReader kElementReaders[] = {
    {"Name", &ReadName},
    {"StartupProfile", &ReadStartupProfile},
    {"ServiceType", &ReadServiceType},
    {"SVHServiceType", &ReadSvhServiceType},
    {"FailureRestart", &ReadFailureRestart},
    {"PowerProfile", &ReadPowerProfile},
    {"DependOnService", &ReadDependOnService},
    {"NumServiceArgs", &ReadNumServiceArgs},
    {"ServiceArgVectors", &ReadServiceArgVectors},
    {"GroupAccount", &ReadGroupAccount},
    {"BinaryPath", &ReadBinaryPath},
    {"ShutdownTimeout", &ReadShutdownTimeout},
    {"StartupTimeout", &ReadStartupTimeout},
    {"LaunchProtected", &ReadLaunchProtected},
    {"ServiceMain", &ReadServiceMain},
    {"Version", &ReadVersion},
};

DWORD ReadElement(ProfileContext& context, const XMLElement& element)
{
    for (const auto& reader : kElementReaders) {
        if (std::strcmp(element.Name(), reader.name) == 0)
            return reader.read(context, element);
    }
    return ERROR_SUCCESS; // unknown elements are ignored
}

// The checks that need the whole profile. Both are made, so that a refused
// launch protection is always cleared.
DWORD CheckProfile(ServiceRecord& record)
{
    DWORD result = ERROR_SUCCESS;
    if (record.GetLaunchProtected() != LaunchProtection::kNone &&
        record.GetServiceType() != WinServiceType::kOwnProcess) {
        QVX_TRACE(trace::kError, 3, L"launch protection needs an own-process service", record.GetName(),
                  record.GetServiceType());
        record.SetLaunchProtected(LaunchProtection::kNone);
        result = ERROR_INVALID_DATA;
    }
    if (record.GetServiceType() == WinServiceType::kUserDll && !record.GetServiceMain()) {
        QVX_TRACE(trace::kError, 4, L"DLL service without entry point", record.GetName());
        result = ERROR_INVALID_DATA;
    }
    return result;
}

} // namespace

DWORD ServiceRecord::ParseAppProfile(std::wstring_view profile, bool* launchProtectionGiven)
{
    if (launchProtectionGiven)
        *launchProtectionGiven = false;
    RecordLock guard(*this);

    if (profile.empty()) {
        QVX_TRACE(trace::kError, 5, L"empty app profile");
        return ERROR_INVALID_PARAMETER;
    }
    const std::string text = WideToUtf8(profile);
    tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
    if (document.Parse(text.c_str()) != tinyxml2::XML_SUCCESS) {
        QVX_TRACE(trace::kError, 6, L"app profile is not XML", document.ErrorStr());
        return ERROR_INTERNAL_ERROR;
    }
    const XMLElement* root = document.FirstChildElement();
    if (!root) {
        QVX_TRACE(trace::kError, 7, L"app profile without an element");
        return ERROR_INVALID_DATA;
    }

    SetGroupAccount(kLocalSystemAccount);
    SetPowerProfile(0);
    ProfileContext context{*this, launchProtectionGiven};
    for (const XMLElement* element = root->FirstChildElement(); element; element = element->NextSiblingElement()) {
        const DWORD error = ReadElement(context, *element);
        if (error != ERROR_SUCCESS)
            return error;
    }
    if (GetPowerProfile() == 0)
        SetPowerProfile(POWERPROFILE_NORMAL);
    return CheckProfile(*this);
}

} // namespace qvx
