// Reading an installed counter set back: all that the provider module needs of the installer, kept
// apart so that the module does not carry the installation code with it.
#include "perfmon/installer/PerformanceCounterInstaller.h"

#include "win32/Exception.h"
#include "win32/RegistryKey.h"

#include <memory>

using Halyard::Win32::CException;
using Halyard::Win32::CRegistryKey;

namespace Halyard {
namespace PerfMon {

namespace {

CRegistryKey OpenPerformanceKey(const std::wstring &applicationName)
{
    return CRegistryKey(HKEY_LOCAL_MACHINE, PerformanceKeyPath(applicationName), KEY_READ);
}

} // namespace

std::wstring PerformanceKeyPath(const std::wstring &applicationName)
{
    return L"SYSTEM\\CurrentControlSet\\Services\\" + applicationName + L"\\Performance";
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
    return ReadFirstCounterIndex(applicationName);
}

DWORD ReadFirstCounterIndex(const std::wstring &applicationName)
{
    return ReadFirstCounterIndex(OpenPerformanceKey(applicationName));
}

DWORD ReadFirstCounterIndex(const CRegistryKey &performance)
{
    DWORD type = REG_NONE;
    DWORD firstCounter = 0;
    DWORD size = sizeof(firstCounter);
    const LONG result = ::RegQueryValueExW(performance, L"First Counter", nullptr, &type,
                                           reinterpret_cast<BYTE *>(&firstCounter), &size);
    // A big-endian number would be read with its bytes reversed: only REG_DWORD is an index.
    if (result != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(firstCounter))
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
