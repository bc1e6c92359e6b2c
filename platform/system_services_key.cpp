#include "platform/system_services_key.h"

#include "platform/registry_location.h"

namespace qvx {
namespace {

RegistryLocation& Location()
{
    static RegistryLocation location(HKEY_LOCAL_MACHINE, kServicesRootPath);
    return location;
}

} // namespace

HKEY ServicesRoot()
{
    return Location().Root();
}

const std::wstring& ServicesRootPath()
{
    return Location().Path();
}

std::wstring ServiceKeyPathOf(const wchar_t* serviceName)
{
    return Location().Path() + L"\\" + serviceName;
}

void SetServicesRootLocation(HKEY root, const std::wstring& path)
{
    Location().Set(root, path);
}

void ResetServicesRootLocation()
{
    Location().Reset();
}

} // namespace qvx
