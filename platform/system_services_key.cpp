#include "platform/system_services_key.h"

namespace qvx {
namespace {

HKEY g_servicesRoot = HKEY_LOCAL_MACHINE;

std::wstring& RootPath()
{
    static std::wstring path = kServicesRootPath;
    return path;
}

} // namespace

HKEY ServicesRoot()
{
    return g_servicesRoot;
}

const std::wstring& ServicesRootPath()
{
    return RootPath();
}

std::wstring ServiceKeyPathOf(const wchar_t* serviceName)
{
    return RootPath() + L"\\" + serviceName;
}

void SetServicesRootLocation(HKEY root, const std::wstring& path)
{
    g_servicesRoot = root;
    RootPath() = path;
}

void ResetServicesRootLocation()
{
    SetServicesRootLocation(HKEY_LOCAL_MACHINE, kServicesRootPath);
}

} // namespace qvx
