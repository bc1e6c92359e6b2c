#pragma once
// Every configuration field of a record as one line of text, so that tests
// compare whole configurations and a mismatch shows which field differs.

#include <sstream>
#include <string>

#include "model/service_record.h"
#include "model/text_list.h"

namespace qvx::test {

inline std::wstring DescribeConfiguration(const ServiceRecord& record)
{
    std::wostringstream out;
    const auto entryPoint = record.GetServiceMain();
    out << L"Name=" << record.GetName() << L" SVHType=" << static_cast<uint32_t>(record.GetSVHType())
        << L" ServiceType=" << std::hex << static_cast<uint32_t>(record.GetServiceType()) << std::dec
        << L" StartupProfile=" << static_cast<uint32_t>(record.GetStartupProfile()) << L" DependOnService=["
        << JoinList(record.GetDependOnService(), L"|") << L"] ResetPeriod=" << record.GetResetPeriod()
        << L" RestartCount=" << record.GetRestartCount() << L" RestartDelay=" << record.GetRestartDelay()
        << L" PowerProfile=" << std::hex << record.GetPowerProfile() << std::dec << L" NumServiceArgs="
        << record.GetNumServiceArgs() << L" ServiceArgs=[" << record.GetServiceArgs() << L"] ShutdownTimeout="
        << record.GetShutdownTimeout() << L" StartupTimeout=" << record.GetStartupTimeout() << L" BinaryPath=["
        << record.GetBinaryPath() << L"] GroupAccount=" << record.GetGroupAccount() << L" LaunchProtected="
        << static_cast<uint32_t>(record.GetLaunchProtected()) << L" ServiceMain="
        << (entryPoint ? std::wstring(entryPoint->begin(), entryPoint->end()) : L"(none)") << L" Version="
        << record.GetVersion();
    return out.str();
}

} // namespace qvx::test
