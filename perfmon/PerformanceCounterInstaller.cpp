#include "perfmon/PerformanceCounterInstaller.h"

#include "win32/Exception.h"
#include "win32/RegistryKey.h"

#include <memory>

using Halyard::Win32::CException;
using Halyard::Win32::CRegistryKey;

namespace Halyard {
namespace PerfMon {

namespace {

const wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\";

CRegistryKey OpenPerformanceKey(const std::wstring &applicationName)
{
    return CRegistryKey(HKEY_LOCAL_MACHINE, kServicesKey + applicationName + L"\\Performance", KEY_READ);
}

} // namespace

bool CPerformanceCounterInstaller::CanInstall() const
{
    try
    {
        const CRegistryKey services(HKEY_LOCAL_MACHINE, kServicesKey, KEY_CREATE_SUB_KEY);
        return true;
    }
    catch (const CException &)
    {
        return false;
    }
}

// Temporary: installing and uninstalling arrive with the installer's own change.
void CPerformanceCounterInstaller::Install(const std::wstring &, const std::wstring &, bool, const std::wstring &,
                                           const std::wstring &, const std::wstring &, const std::wstring &,
                                           const std::wstring &, DWORD, DWORD, const std::wstring &)
{
    throw CException(L"CPerformanceCounterInstaller::Install()", L"Not implemented");
}

void CPerformanceCounterInstaller::Install(const std::wstring &, const std::wstring &, bool, const std::wstring &,
                                           const std::wstring &, DWORD, DWORD, const std::wstring &)
{
    throw CException(L"CPerformanceCounterInstaller::Install()", L"Not implemented");
}

DWORD CPerformanceCounterInstaller::InstallToSystemDirectories(const std::wstring &, const std::wstring &,
                                                               const std::wstring &, const std::wstring &,
                                                               const std::wstring &, const std::wstring &,
                                                               const std::wstring &, const std::wstring &,
                                                               const std::wstring &, DWORD, DWORD,
                                                               const std::wstring &)
{
    throw CException(L"CPerformanceCounterInstaller::InstallToSystemDirectories()", L"Not implemented");
}

DWORD CPerformanceCounterInstaller::InstallToSystemDirectories(const std::wstring &, const std::wstring &,
                                                               const std::wstring &, const std::wstring &,
                                                               const std::wstring &, const std::wstring &, DWORD,
                                                               DWORD, const std::wstring &)
{
    throw CException(L"CPerformanceCounterInstaller::InstallToSystemDirectories()", L"Not implemented");
}

void CPerformanceCounterInstaller::Uninstall(const std::wstring &)
{
    throw CException(L"CPerformanceCounterInstaller::Uninstall()", L"Not implemented");
}

bool CPerformanceCounterInstaller::IsInstalled(const std::wstring &applicationName) const
{
    try
    {
        FirstCounterIndex(applicationName);
        return true;
    }
    catch (...)
    {
        return false;
    }
}

DWORD CPerformanceCounterInstaller::FirstCounterIndex(const std::wstring &applicationName) const
{
    const CRegistryKey performance = OpenPerformanceKey(applicationName);
    DWORD firstCounter = 0;
    if (!performance.QueryValue(L"First Counter", firstCounter))
    {
        throw CException(L"CPerformanceCounterInstaller::FirstCounterIndex()", L"FirstCounter not found");
    }
    return firstCounter;
}

std::wstring CPerformanceCounterInstaller::InstalledSchemaChecksum(const std::wstring &applicationName) const
{
    const CRegistryKey performance = OpenPerformanceKey(applicationName);
    std::unique_ptr<wchar_t[]> checksum;
    if (!performance.QueryValue(L"SchemaChecksum", checksum))
    {
        throw CException(L"CPerformanceCounterInstaller::InstalledSchemaChecksum()", L"SchemaChecksum not found");
    }
    // The buffer always ends with a null of its own, so an unterminated value is read in full.
    return checksum.get();
}

} // namespace PerfMon
} // namespace Halyard
