#include "model/app_profile_writer.h"

#include <tinyxml2.h>

#include "model/power_profile.h"
#include "model/service_record.h"
#include "platform/wide_text.h"

namespace qvx {

namespace {

using tinyxml2::XMLElement;

// Appends an element; an empty text gives an empty element. An element that
// cannot be made is left out.
XMLElement* Append(tinyxml2::XMLNode& parent, const char* name, const std::wstring& text = {})
{
    XMLElement* element = parent.GetDocument()->NewElement(name);
    if (!element)
        return nullptr;
    if (!text.empty())
        element->SetText(WideToUtf8(text).c_str());
    return parent.InsertEndChild(element) ? element : nullptr;
}

void AppendNumber(tinyxml2::XMLNode& parent, const char* name, DWORD value)
{
    Append(parent, name, UnsignedText(value));
}

std::wstring StartupProfileText(StartupProfile profile)
{
    switch (profile) {
    case StartupProfile::kEarly:
    case StartupProfile::kNormal:
    case StartupProfile::kLate:
    case StartupProfile::kDemand:
        return StartupProfileName(profile);
    default:
        return {};
    }
}

std::wstring ServiceTypeText(WinServiceType type)
{
    switch (type) {
    case WinServiceType::kOwnProcess:
    case WinServiceType::kShareProcess:
    case WinServiceType::kUserDll: // with its ServiceMain below, so the profile describes a DLL service fully
        return WinServiceTypeName(type);
    default:
        return {};
    }
}

} // namespace

std::string WriteAppProfile(const ServiceRecord& record)
{
    tinyxml2::XMLDocument document;
    document.InsertEndChild(document.NewDeclaration()); // version 1.0, UTF-8

    {
        RecordLock guard(record);
        XMLElement* root = Append(document, "Service");
        if (root) {
            Append(*root, "Name", record.GetName());
            Append(*root, "StartupProfile", StartupProfileText(record.GetStartupProfile()));
            Append(*root, "ServiceType", ServiceTypeText(record.GetServiceType()));
            Append(*root, "SVHServiceType",
                   record.GetSVHType() == SvhServiceType::kSvh ? SvhServiceTypeName(SvhServiceType::kSvh) : L"");
            Append(*root, "BinaryPath", record.GetBinaryPath());
            if (XMLElement* restart = Append(*root, "FailureRestart")) {
                AppendNumber(*restart, "ResetPeriod", record.GetResetPeriod());
                AppendNumber(*restart, "RestartCount", record.GetRestartCount());
                AppendNumber(*restart, "RestartDelay", record.GetRestartDelay());
            }
            // One element per single flag, in bit order, then the undefined
            // bits when all of them are set.
            const uint32_t powerProfile = record.GetPowerProfile();
            for (uint32_t flag = 1; flag & kPowerProfileNamedBits; flag <<= 1) {
                if (powerProfile & flag)
                    Append(*root, "PowerProfile", PowerProfileName(flag));
            }
            if ((powerProfile & POWERPROFILE_UNDEFINED) == POWERPROFILE_UNDEFINED)
                Append(*root, "PowerProfile", PowerProfileName(POWERPROFILE_UNDEFINED));
            Append(*root, "LaunchProtected", LaunchProtectionName(record.GetLaunchProtected()));
            const std::vector<std::wstring> dependencies = record.GetDependOnService();
            if (!dependencies.empty()) {
                if (XMLElement* list = Append(*root, "DependOnService")) {
                    for (const auto& name : dependencies)
                        Append(*list, "ServiceName", name);
                }
            }
            AppendNumber(*root, "NumServiceArgs", record.GetNumServiceArgs());
            Append(*root, "ServiceArgVectors", record.GetServiceArgs());
            Append(*root, "GroupAccount", record.GetGroupAccount());
            AppendNumber(*root, "ShutdownTimeout", record.GetShutdownTimeout());
            AppendNumber(*root, "StartupTimeout", record.GetStartupTimeout());
            if (const auto entryPoint = record.GetServiceMain()) {
                if (XMLElement* element = Append(*root, "ServiceMain"))
                    element->SetText(entryPoint->c_str());
            }
            if (const DWORD version = record.GetVersion(); version != 0)
                AppendNumber(*root, "Version", version);
        }
    }

    tinyxml2::XMLPrinter printer; // indented
    document.Print(&printer);
    return std::string(printer.CStr(), static_cast<size_t>(printer.CStrSize() > 0 ? printer.CStrSize() - 1 : 0));
}

std::wstring WriteAppProfileText(const ServiceRecord& record)
{
    return Utf8ToWide(WriteAppProfile(record));
}

} // namespace qvx
