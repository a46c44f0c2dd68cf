#include "perfmon/PerformanceCounterInstaller.h"

#include "perfmon/RawImage.h"
#include "win32/Exception.h"
#include "win32/RegistryKey.h"

#include "win32/FileUtils.h"
#include "win32/LibraryLoader.h"

#include <memory>
#include <utility>

using Halyard::Win32::CException;
using Halyard::Win32::CLibraryLoader;
using Halyard::Win32::CRegistryKey;
using Halyard::Win32::CWin32Exception;
using Halyard::Win32::CWOW64FileSystemRedirector;
using Halyard::Win32::FileExists;
using Halyard::Win32::GetFileNameFromPath;
using Halyard::Win32::Is64bitSystem;
using Halyard::Win32::IsWow64Process;

namespace Halyard {
namespace PerfMon {

namespace {

const wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\";
const wchar_t kDefaultOpen[] = L"PerfData_Open";
const wchar_t kDefaultCollect[] = L"PerfData_Collect";
const wchar_t kDefaultClose[] = L"PerfData_Close";

// A time-out of the system's default is left unwritten.
const DWORD kDefaultTimeout = 10000;

const DWORD kInstalledX86 = 0x00000001;
const DWORD kInstalledX64 = 0x00000010;

typedef DWORD(WINAPI *CounterTextFunction)(LPWSTR commandLine, BOOL quiet);

// The counter-text loader is looked up when an install needs it, so that the provider module,
// which shares this file for FirstCounterIndex, does not import it into every monitoring process.
DWORD CallCounterTextLoader(const wchar_t *function, const std::wstring &commandLine)
{
    const CLibraryLoader loadperf(L"loadperf.dll");
    const CounterTextFunction call =
        reinterpret_cast<CounterTextFunction>(reinterpret_cast<void *>(loadperf.GetProcAddress(function)));
    std::wstring writable(commandLine);
    return call(&writable[0], TRUE);
}

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

void CPerformanceCounterInstaller::Install(const std::wstring &applicationName,
                                           const std::wstring &performanceCounterDll, bool copyToSystemDirectory,
                                           const std::wstring &iniFile, const std::wstring &openFunction,
                                           const std::wstring &collectFunction, const std::wstring &closeFunction,
                                           const std::wstring &linkageExport, DWORD openTimeout,
                                           DWORD collectTimeout, const std::wstring &schemaChecksum)
{
    ValidateParameters(applicationName);
    const bool is64Bit = Is64bitSystem();
    ValidateDLL(performanceCounterDll, is64Bit, openFunction, collectFunction, closeFunction);

    std::wstring library = performanceCounterDll;
    if (copyToSystemDirectory)
    {
        const std::wstring fileName = GetFileNameFromPath(performanceCounterDll);
        library = fileName;
        // A 32-bit installer on a 64-bit system would otherwise put the 64-bit module into the
        // 32-bit system directory, where the 64-bit performance library never looks.
        CWOW64FileSystemRedirector redirector;
        if (IsWow64Process())
        {
            redirector.Disable();
        }
        CopyFileToSystemDirectory(performanceCounterDll, fileName);
    }
    RegisterCounterSet(applicationName, library, iniFile, openFunction, collectFunction, closeFunction,
                       linkageExport, openTimeout, collectTimeout, schemaChecksum);
}

void CPerformanceCounterInstaller::Install(const std::wstring &applicationName,
                                           const std::wstring &performanceCounterDll, bool copyToSystemDirectory,
                                           const std::wstring &iniFile, const std::wstring &linkageExport,
                                           DWORD openTimeout, DWORD collectTimeout,
                                           const std::wstring &schemaChecksum)
{
    Install(applicationName, performanceCounterDll, copyToSystemDirectory, iniFile, kDefaultOpen, kDefaultCollect,
            kDefaultClose, linkageExport, openTimeout, collectTimeout, schemaChecksum);
}

DWORD CPerformanceCounterInstaller::InstallToSystemDirectories(
    const std::wstring &applicationName, const std::wstring &x86Dll, const std::wstring &x64Dll,
    const std::wstring &dllName, const std::wstring &iniFile, const std::wstring &openFunction,
    const std::wstring &collectFunction, const std::wstring &closeFunction, const std::wstring &linkageExport,
    DWORD openTimeout, DWORD collectTimeout, const std::wstring &schemaChecksum)
{
    ValidateParameters(applicationName);
    DWORD flags = 0;
    if (Is64bitSystem())
    {
        if (FileExists(x64Dll))
        {
            ValidateDLL(x64Dll, true, openFunction, collectFunction, closeFunction);
            // Only a WOW64 process has its system directory redirected.
            CWOW64FileSystemRedirector redirector;
            if (IsWow64Process())
            {
                redirector.Disable();
            }
            CopyFileToSystemDirectory(x64Dll, dllName);
            flags = kInstalledX64;
        }
        if (FileExists(x86Dll))
        {
            ValidateDLL(x86Dll, false, openFunction, collectFunction, closeFunction);
            CopyFileToSysWOW64(x86Dll, dllName);
            flags |= kInstalledX86;
        }
        if (flags == 0)
        {
            return 0;
        }
    }
    else
    {
        if (!FileExists(x86Dll))
        {
            return 0;
        }
        ValidateDLL(x86Dll, false, openFunction, collectFunction, closeFunction);
        CopyFileToSystemDirectory(x86Dll, dllName);
        flags = kInstalledX86;
    }
    RegisterCounterSet(applicationName, dllName, iniFile, openFunction, collectFunction, closeFunction,
                       linkageExport, openTimeout, collectTimeout, schemaChecksum);
    return flags;
}

DWORD CPerformanceCounterInstaller::InstallToSystemDirectories(const std::wstring &applicationName,
                                                               const std::wstring &x86Dll,
                                                               const std::wstring &x64Dll,
                                                               const std::wstring &dllName,
                                                               const std::wstring &iniFile,
                                                               const std::wstring &linkageExport, DWORD openTimeout,
                                                               DWORD collectTimeout,
                                                               const std::wstring &schemaChecksum)
{
    return InstallToSystemDirectories(applicationName, x86Dll, x64Dll, dllName, iniFile, kDefaultOpen,
                                      kDefaultCollect, kDefaultClose, linkageExport, openTimeout, collectTimeout,
                                      schemaChecksum);
}

void CPerformanceCounterInstaller::Uninstall(const std::wstring &applicationName)
{
    if (!IsInstalled(applicationName))
    {
        throw CException(L"CPerformanceCounterInstaller::Uninstall()",
                         L"Performance counters for application: \"" + applicationName +
                             L"\" are not currently installed");
    }
    const DWORD result = CallCounterTextLoader(L"UnloadPerfCounterTextStringsW",
                                               L"NotUsed \"" + applicationName + L"\"");
    if (result != ERROR_SUCCESS)
    {
        throw CWin32Exception(L"CPerformanceCounterInstaller::Uninstall()", result);
    }
    RemoveRegistryKeys(applicationName);
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

void CPerformanceCounterInstaller::ValidateParameters(const std::wstring &applicationName) const
{
    if (CPerformanceCounterInstaller().IsInstalled(applicationName))
    {
        throw CException(L"CPerformanceCounterInstaller::ValidateParameters()",
                         L"Performance counters for application: \"" + applicationName +
                             L"\" are already installed");
    }
}

void CPerformanceCounterInstaller::ValidateDLL(const std::wstring &performanceCounterDll, bool is64Bit,
                                               const std::wstring &openFunction,
                                               const std::wstring &collectFunction,
                                               const std::wstring &closeFunction) const
{
    const wchar_t where[] = L"CPerformanceCounterInstaller::ValidateDLL()";
    const std::wstring module = L"PerformanceCounterDll: \"" + performanceCounterDll + L"\"";
    if (!FileExists(performanceCounterDll))
    {
        throw CException(where, module + L" does not exist.");
    }
    // Read as data, never loaded: no code of the module runs, whatever its word size.
    const CRawImage image(performanceCounterDll, false);
    if (!image.IsValid() || !image.IsDLL())
    {
        throw CException(where, module + L" is not a valid dll image file.");
    }
    if (is64Bit && !image.IsX64())
    {
        throw CException(where, module + L" is not an x64 dll.");
    }
    if (!is64Bit && !image.IsX86())
    {
        throw CException(where, module + L" is not a Win32 dll.");
    }
    const std::pair<const wchar_t *, const std::wstring *> entryPoints[] = {
        {L"open", &openFunction}, {L"collect", &collectFunction}, {L"close", &closeFunction}};
    for (const auto &entryPoint : entryPoints)
    {
        if (image.GetExportRVA(*entryPoint.second) == 0)
        {
            throw CException(where, module + L" does not export " + entryPoint.first + L" function: \"" +
                                        *entryPoint.second + L"\"");
        }
    }
}

std::wstring CPerformanceCounterInstaller::CopyFileToSystemDirectory(const std::wstring &source,
                                                                     const std::wstring &fileName) const
{
    const std::wstring destination = Halyard::Win32::GetSystemDirectory() + L"\\" + fileName;
    if (!::CopyFileW(source.c_str(), destination.c_str(), FALSE))
    {
        throw CWin32Exception(L"CPerformanceCounterInstaller::CopyFileToSystemDirectory()", ::GetLastError());
    }
    return destination;
}

std::wstring CPerformanceCounterInstaller::CopyFileToSysWOW64(const std::wstring &source,
                                                              const std::wstring &fileName) const
{
    const std::wstring destination = Halyard::Win32::GetSystemWow64Directory() + L"\\" + fileName;
    if (!::CopyFileW(source.c_str(), destination.c_str(), FALSE))
    {
        throw CWin32Exception(L"CPerformanceCounterInstaller::CopyFileToSysWOW64()", ::GetLastError());
    }
    return destination;
}

void CPerformanceCounterInstaller::RegisterCounterSet(const std::wstring &applicationName,
                                                      const std::wstring &library, const std::wstring &iniFile,
                                                      const std::wstring &openFunction,
                                                      const std::wstring &collectFunction,
                                                      const std::wstring &closeFunction,
                                                      const std::wstring &linkageExport, DWORD openTimeout,
                                                      DWORD collectTimeout, const std::wstring &schemaChecksum) const
{
    WriteRegistryValues(applicationName, library, openFunction, collectFunction, closeFunction, linkageExport,
                        openTimeout, collectTimeout, schemaChecksum);
    const DWORD result = CallCounterTextLoader(L"LoadPerfCounterTextStringsW", L"NotUsed \"" + iniFile + L"\"");
    if (result != ERROR_SUCCESS)
    {
        RemoveRegistryKeys(applicationName);
        throw CWin32Exception(L"CPerformanceCounterInstaller::Install()", result);
    }
}

void CPerformanceCounterInstaller::WriteRegistryValues(const std::wstring &applicationName,
                                                       const std::wstring &library,
                                                       const std::wstring &openFunction,
                                                       const std::wstring &collectFunction,
                                                       const std::wstring &closeFunction,
                                                       const std::wstring &linkageExport, DWORD openTimeout,
                                                       DWORD collectTimeout, const std::wstring &schemaChecksum) const
{
    const CRegistryKey services(HKEY_LOCAL_MACHINE, kServicesKey, KEY_CREATE_SUB_KEY);
    const CRegistryKey application = services.CreateOrOpenKey(applicationName, nullptr, L"", 0, KEY_WRITE);
    const CRegistryKey performance = application.CreateOrOpenKey(L"Performance", nullptr, L"", 0, KEY_WRITE);
    performance.SetValue(L"Library", library);
    performance.SetValue(L"Open", openFunction);
    performance.SetValue(L"Collect", collectFunction);
    performance.SetValue(L"Close", closeFunction);

    if (!linkageExport.empty())
    {
        const CRegistryKey parent = services.OpenKey(applicationName, KEY_CREATE_SUB_KEY);
        const CRegistryKey linkage = parent.CreateOrOpenKey(L"Linkage", nullptr, L"", 0, KEY_WRITE);
        // A multi-string: the one text, its null, and the null that ends the list.
        const std::wstring list = linkageExport + L'\0';
        linkage.SetValue(CRegistryKey::Value(L"Export", reinterpret_cast<const BYTE *>(list.c_str()),
                                             static_cast<DWORD>((list.length() + 1) * sizeof(wchar_t)),
                                             REG_MULTI_SZ));
    }
    if (openTimeout != kDefaultTimeout)
    {
        performance.SetValue(L"Open Timeout", openTimeout);
    }
    if (collectTimeout != kDefaultTimeout)
    {
        performance.SetValue(L"Collect Timeout", collectTimeout);
    }
    if (!schemaChecksum.empty())
    {
        performance.SetValue(L"SchemaChecksum", schemaChecksum);
    }
}

void CPerformanceCounterInstaller::RemoveRegistryKeys(const std::wstring &applicationName) const
{
    try
    {
        const CRegistryKey services(HKEY_LOCAL_MACHINE, kServicesKey, KEY_CREATE_SUB_KEY);
        const CRegistryKey application = services.OpenKey(applicationName, KEY_WRITE);
        for (const wchar_t *subKey : {L"Performance", L"Linkage"})
        {
            try
            {
                application.DeleteKey(subKey);
            }
            catch (const CRegistryKey::Exception &)
            {
            }
        }
        try
        {
            services.DeleteKey(applicationName);
        }
        catch (const CRegistryKey::Exception &)
        {
        }
    }
    catch (const CRegistryKey::Exception &)
    {
    }
}

} // namespace PerfMon
} // namespace Halyard
