#include "platform/service_key.h"

#include "platform/registry_location.h"

namespace qvx {
namespace {

RegistryLocation& Location()
{
    static RegistryLocation location(HKEY_LOCAL_MACHINE, kServiceKeyPath);
    return location;
}

} // namespace

HKEY ServiceKeyRoot()
{
    return Location().Root();
}

const std::wstring& ServiceKeyPath()
{
    return Location().Path();
}

void SetServiceKeyLocation(HKEY root, const std::wstring& path)
{
    Location().Set(root, path);
}

void ResetServiceKeyLocation()
{
    Location().Reset();
}

} // namespace qvx
