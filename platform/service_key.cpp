#include "platform/service_key.h"

namespace qvx {

namespace {

HKEY g_root = HKEY_LOCAL_MACHINE;

std::wstring& Path()
{
    static std::wstring path = kServiceKeyPath;
    return path;
}

} // namespace

HKEY ServiceKeyRoot()
{
    return g_root;
}

const std::wstring& ServiceKeyPath()
{
    return Path();
}

void SetServiceKeyLocation(HKEY root, const std::wstring& path)
{
    g_root = root;
    Path() = path;
}

void ResetServiceKeyLocation()
{
    SetServiceKeyLocation(HKEY_LOCAL_MACHINE, kServiceKeyPath);
}

} // namespace qvx
