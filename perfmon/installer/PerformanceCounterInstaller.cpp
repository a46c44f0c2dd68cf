#include "perfmon/installer/PerformanceCounterInstaller.h"

#include "perfmon/installer/KeySnapshot.h"
#include "perfmon/installer/RawImage.h"
#include "win32/Exception.h"
#include "win32/RegistryKey.h"
#include "win32/ToString.h"

#include "win32/FileUtils.h"
#include "win32/LibraryLoader.h"

#include <cwchar>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

using Halyard::Win32::CException;
using Halyard::Win32::CLibraryLoader;
using Halyard::Win32::CRegistryKey;
using Halyard::Win32::CWin32Exception;
using Halyard::Win32::CWOW64FileSystemRedirector;
using Halyard::Win32::FileExists;
using Halyard::Win32::GetDirectoryFromPath;
using Halyard::Win32::GetFileNameFromPath;
using Halyard::Win32::GetLastErrorMessage;
using Halyard::Win32::Is64bitSystem;
using Halyard::Win32::IsWow64Process;
using Halyard::Win32::ToString;

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

// The counter-text loader is looked up when an install needs it, so that it is loaded only into the
// process that installs.
// It comes from the system folder only: an elevated installer started from a folder that users can
// write must not run a loadperf.dll placed beside it.
DWORD CallCounterTextLoader(const wchar_t *function, const std::wstring &commandLine)
{
    const CLibraryLoader loadperf = CLibraryLoader::LoadSystemLibrary(L"loadperf.dll");
    const CounterTextFunction call =
        reinterpret_cast<CounterTextFunction>(reinterpret_cast<void *>(loadperf.GetProcAddress(function)));
    std::wstring writable(commandLine);
    return call(&writable[0], TRUE);
}

// Used only to undo an installation that is failing anyway: its own failure must not hide why.
void UnloadCounterTextsQuietly(const std::wstring &applicationName)
{
    try
    {
        CallCounterTextLoader(L"UnloadPerfCounterTextStringsW", L"NotUsed \"" + applicationName + L"\"");
    }
    catch (...)
    {
    }
}

// The keys an installation writes. The application's key may be a service's registration: its own
// values are never written, only its existence is kept.
class CRegistrationSnapshot
{
public:
    explicit CRegistrationSnapshot(const std::wstring &applicationName)
        : m_application(kServicesKey + applicationName, false),
          m_performance(kServicesKey + applicationName + L"\\Performance", true),
          m_linkage(kServicesKey + applicationName + L"\\Linkage", true)
    {
    }

    void Restore() const
    {
        m_performance.Restore();
        m_linkage.Restore();
        m_application.Restore();
    }

private:
    CKeySnapshot m_application;
    CKeySnapshot m_performance;
    CKeySnapshot m_linkage;
};

CPerformanceCounterInstaller::FileMover g_fileMover = ::MoveFileExW;

// "<where> - <message>" of the exception being handled, for a report that must name it.
std::wstring DescribeCurrentException()
{
    try
    {
        throw;
    }
    catch (const CException &e)
    {
        return e.GetWhere() + L" - " + e.GetMessage();
    }
    catch (...)
    {
        return L"an unexpected exception";
    }
}

// Registers, then moves the staged modules to their names; a failure on the way leaves the
// registry and the system folders as they were, or says which module it left where.
void RegisterThenCommit(const std::wstring &applicationName,
                        std::vector<CPerformanceCounterInstaller::StagedCopy> &copies,
                        const std::function<void()> &registerCounterSet)
{
    const CRegistrationSnapshot before(applicationName);
    registerCounterSet();
    size_t committed = 0;
    try
    {
        for (; committed < copies.size(); ++committed)
        {
            copies[committed].Commit();
        }
    }
    catch (...)
    {
        std::wstring leftBehind;
        while (committed > 0)
        {
            const std::wstring left = copies[--committed].Revert();
            leftBehind += left.empty() || leftBehind.empty() ? left : L"; " + left;
        }
        UnloadCounterTextsQuietly(applicationName);
        before.Restore();
        if (leftBehind.empty())
        {
            throw;
        }
        throw CInstallException(TInstallFailure::Restore, L"CPerformanceCounterInstaller::Install()",
                                L"The install failed (" + DescribeCurrentException() +
                                    L") and could not be taken back: " + leftBehind);
    }
    for (CPerformanceCounterInstaller::StagedCopy &copy : copies)
    {
        copy.Finish();
    }
}

// Switches file-system redirection off for its life when asked to.
class CUnredirected
{
public:
    explicit CUnredirected(bool unredirected)
    {
        if (unredirected)
        {
            m_redirector.Disable();
        }
    }

private:
    CWOW64FileSystemRedirector m_redirector;
};

// A new empty file of a unique name in the folder.
std::wstring CreateTemporaryName(const std::wstring &folder, const wchar_t *where)
{
    wchar_t name[MAX_PATH];
    if (::GetTempFileNameW(folder.c_str(), L"trn", 0, name) == 0)
    {
        throw CInstallWin32Exception(TInstallFailure::Copy, where, ::GetLastError());
    }
    return name;
}

} // namespace

CPerformanceCounterInstaller::StagedCopy::StagedCopy(const std::wstring &source, const std::wstring &destination,
                                                     bool unredirected, const wchar_t *where)
    : m_destination(destination), m_unredirected(unredirected), m_where(where), m_committed(false)
{
    const CUnredirected off(m_unredirected);
    m_staged = CreateTemporaryName(GetDirectoryFromPath(destination), where);
    if (!::CopyFileW(source.c_str(), m_staged.c_str(), FALSE))
    {
        const DWORD error = ::GetLastError();
        ::DeleteFileW(m_staged.c_str());
        throw CInstallWin32Exception(TInstallFailure::Copy, where, error);
    }
}

CPerformanceCounterInstaller::StagedCopy::StagedCopy(StagedCopy &&rhs) noexcept
    : m_destination(std::move(rhs.m_destination)), m_staged(std::move(rhs.m_staged)),
      m_previous(std::move(rhs.m_previous)), m_unredirected(rhs.m_unredirected), m_where(rhs.m_where),
      m_committed(rhs.m_committed)
{
    rhs.m_staged.clear();
    rhs.m_previous.clear();
    rhs.m_committed = false;
}

CPerformanceCounterInstaller::StagedCopy::~StagedCopy()
{
    if (m_committed)
    {
        Finish();
    }
    else if (!m_staged.empty())
    {
        const CUnredirected off(m_unredirected);
        ::DeleteFileW(m_staged.c_str());
    }
}

void CPerformanceCounterInstaller::StagedCopy::Commit()
{
    const CUnredirected off(m_unredirected);
    // A module in use cannot be overwritten, but it can be renamed.
    if (::GetFileAttributesW(m_destination.c_str()) != INVALID_FILE_ATTRIBUTES)
    {
        m_previous = CreateTemporaryName(GetDirectoryFromPath(m_destination), m_where);
        if (!g_fileMover(m_destination.c_str(), m_previous.c_str(), MOVEFILE_REPLACE_EXISTING))
        {
            const DWORD error = ::GetLastError();
            ::DeleteFileW(m_previous.c_str());
            m_previous.clear();
            throw CInstallWin32Exception(TInstallFailure::Copy, m_where, error);
        }
    }
    if (!g_fileMover(m_staged.c_str(), m_destination.c_str(), 0))
    {
        const DWORD error = ::GetLastError();
        const std::wstring left = PutPreviousBack();
        if (!left.empty())
        {
            throw CInstallException(TInstallFailure::Restore, m_where,
                                    L"The module could not be moved into place (" +
                                        GetLastErrorMessage(error, true) + L"), and " + left);
        }
        throw CInstallWin32Exception(TInstallFailure::Copy, m_where, error);
    }
    m_committed = true;
}

std::wstring CPerformanceCounterInstaller::StagedCopy::PutPreviousBack()
{
    if (m_previous.empty())
    {
        return std::wstring();
    }
    if (!g_fileMover(m_previous.c_str(), m_destination.c_str(), 0))
    {
        return L"the module it replaced is left at \"" + m_previous + L"\" instead of \"" + m_destination +
               L"\" (" + GetLastErrorMessage(::GetLastError(), true) + L")";
    }
    m_previous.clear();
    return std::wstring();
}

std::wstring CPerformanceCounterInstaller::StagedCopy::Revert()
{
    if (!m_committed)
    {
        return std::wstring();
    }
    const CUnredirected off(m_unredirected);
    m_committed = false;
    if (!g_fileMover(m_destination.c_str(), m_staged.c_str(), MOVEFILE_REPLACE_EXISTING))
    {
        const std::wstring error = GetLastErrorMessage(::GetLastError(), true);
        // The new module stays where it is; the one it replaced, if any, is kept aside.
        m_staged.clear();
        const std::wstring kept = m_previous.empty() ? std::wstring()
                                                     : L"; the module it replaced is left at \"" + m_previous + L"\"";
        return L"\"" + m_destination + L"\" could not be taken back (" + error + L")" + kept;
    }
    return PutPreviousBack();
}

void CPerformanceCounterInstaller::StagedCopy::Finish()
{
    if (m_previous.empty())
    {
        return;
    }
    const CUnredirected off(m_unredirected);
    // A module some process still has loaded goes when the system restarts.
    if (!::DeleteFileW(m_previous.c_str()))
    {
        ::MoveFileExW(m_previous.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    m_previous.clear();
}

void CPerformanceCounterInstaller::SetFileMover(FileMover mover)
{
    g_fileMover = mover != nullptr ? mover : ::MoveFileExW;
}

CPerformanceCounterInstaller::CPerformanceCounterInstaller(DWORD lockTimeout) : m_lockTimeout(lockTimeout)
{
    ValidateTimeout(L"Lock Timeout", lockTimeout);
}

void CPerformanceCounterInstaller::ValidateTimeout(const wchar_t *name, DWORD milliseconds)
{
    if (milliseconds == 0 || milliseconds > MaximumTimeout)
    {
        throw CInstallException(TInstallFailure::InvalidParameter, L"CPerformanceCounterInstaller::ValidateParameters()",
                                std::wstring(name) + L" " + ToString(milliseconds) + L" is outside 1 to " +
                             ToString(MaximumTimeout) + L" milliseconds");
    }
}

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
    ValidateTimeout(L"Open Timeout", openTimeout);
    ValidateTimeout(L"Collect Timeout", collectTimeout);
    const bool is64Bit = Is64bitSystem();
    ValidateDLL(performanceCounterDll, is64Bit, openFunction, collectFunction, closeFunction);

    std::wstring library = performanceCounterDll;
    std::vector<StagedCopy> copies;
    if (copyToSystemDirectory)
    {
        library = GetFileNameFromPath(performanceCounterDll);
        copies.push_back(CopyFileToSystemDirectory(performanceCounterDll, library));
    }
    RegisterThenCommit(applicationName, copies, [&] {
        RegisterCounterSet(applicationName, library, iniFile, openFunction, collectFunction, closeFunction,
                           linkageExport, openTimeout, collectTimeout, schemaChecksum);
    });
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
    ValidateTimeout(L"Open Timeout", openTimeout);
    ValidateTimeout(L"Collect Timeout", collectTimeout);
    DWORD flags = 0;
    std::vector<StagedCopy> copies;
    if (Is64bitSystem())
    {
        if (FileExists(x64Dll))
        {
            ValidateDLL(x64Dll, true, openFunction, collectFunction, closeFunction);
            copies.push_back(CopyFileToSystemDirectory(x64Dll, dllName));
            flags = kInstalledX64;
        }
        if (FileExists(x86Dll))
        {
            ValidateDLL(x86Dll, false, openFunction, collectFunction, closeFunction);
            copies.push_back(CopyFileToSysWOW64(x86Dll, dllName));
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
        copies.push_back(CopyFileToSystemDirectory(x86Dll, dllName));
        flags = kInstalledX86;
    }
    RegisterThenCommit(applicationName, copies, [&] {
        RegisterCounterSet(applicationName, dllName, iniFile, openFunction, collectFunction, closeFunction,
                           linkageExport, openTimeout, collectTimeout, schemaChecksum);
    });
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
        throw CInstallWin32Exception(TInstallFailure::CounterTextLoader, L"CPerformanceCounterInstaller::Uninstall()",
                                     result);
    }
    RemoveRegistryKeys(applicationName);
}

void CPerformanceCounterInstaller::ValidateParameters(const std::wstring &applicationName) const
{
    if (CPerformanceCounterInstaller().IsInstalled(applicationName))
    {
        throw CInstallException(TInstallFailure::AlreadyInstalled, L"CPerformanceCounterInstaller::ValidateParameters()",
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
        throw CInstallException(TInstallFailure::InvalidModule, where, module + L" does not exist.");
    }
    // Read as data, never loaded: no code of the module runs, whatever its word size.
    const CRawImage image(performanceCounterDll, false);
    if (!image.IsValid() || !image.IsDLL())
    {
        throw CInstallException(TInstallFailure::InvalidModule, where, module + L" is not a valid dll image file.");
    }
    if (is64Bit && !image.IsX64())
    {
        throw CInstallException(TInstallFailure::InvalidModule, where, module + L" is not an x64 dll.");
    }
    if (!is64Bit && !image.IsX86())
    {
        throw CInstallException(TInstallFailure::InvalidModule, where, module + L" is not a Win32 dll.");
    }
    const std::pair<const wchar_t *, const std::wstring *> entryPoints[] = {
        {L"open", &openFunction}, {L"collect", &collectFunction}, {L"close", &closeFunction}};
    for (const auto &entryPoint : entryPoints)
    {
        if (image.GetExportRVA(*entryPoint.second) == 0)
        {
            throw CInstallException(TInstallFailure::InvalidModule, where, module + L" does not export " + entryPoint.first + L" function: \"" +
                                        *entryPoint.second + L"\"");
        }
    }
}

CPerformanceCounterInstaller::StagedCopy
CPerformanceCounterInstaller::CopyFileToSystemDirectory(const std::wstring &source, const std::wstring &fileName) const
{
    // A 32-bit installer on a 64-bit system would otherwise put the module into the 32-bit system
    // folder, where the 64-bit performance library never looks.
    return StagedCopy(source, Halyard::Win32::GetSystemDirectory() + L"\\" + fileName, IsWow64Process(),
                      L"CPerformanceCounterInstaller::CopyFileToSystemDirectory()");
}

CPerformanceCounterInstaller::StagedCopy
CPerformanceCounterInstaller::CopyFileToSysWOW64(const std::wstring &source, const std::wstring &fileName) const
{
    return StagedCopy(source, Halyard::Win32::GetSystemWow64Directory() + L"\\" + fileName, false,
                      L"CPerformanceCounterInstaller::CopyFileToSysWOW64()");
}

void CPerformanceCounterInstaller::RegisterCounterSet(const std::wstring &applicationName,
                                                      const std::wstring &library, const std::wstring &iniFile,
                                                      const std::wstring &openFunction,
                                                      const std::wstring &collectFunction,
                                                      const std::wstring &closeFunction,
                                                      const std::wstring &linkageExport, DWORD openTimeout,
                                                      DWORD collectTimeout, const std::wstring &schemaChecksum) const
{
    const CRegistrationSnapshot before(applicationName);
    try
    {
        WriteRegistryValues(applicationName, library, openFunction, collectFunction, closeFunction, linkageExport,
                            openTimeout, collectTimeout, schemaChecksum);
        const DWORD result =
            CallCounterTextLoader(L"LoadPerfCounterTextStringsW", L"NotUsed \"" + iniFile + L"\"");
        if (result != ERROR_SUCCESS)
        {
            throw CInstallWin32Exception(TInstallFailure::CounterTextLoader, L"CPerformanceCounterInstaller::Install()",
                                         result);
        }
        if (!IsInstalled(applicationName))
        {
            // Texts the loader took without recording where they start could never be found again.
            UnloadCounterTextsQuietly(applicationName);
            throw CInstallException(TInstallFailure::CounterTextLoader, L"CPerformanceCounterInstaller::Install()",
                                    L"The counter-text loader recorded no First Counter for application: \"" +
                                 applicationName + L"\"");
        }
    }
    catch (...)
    {
        before.Restore();
        throw;
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
    if (m_lockTimeout != 0)
    {
        performance.SetValue(L"Lock Timeout", m_lockTimeout);
    }
}

void CPerformanceCounterInstaller::RemoveRegistryKeys(const std::wstring &applicationName) const
{
    try
    {
        const CRegistryKey services(HKEY_LOCAL_MACHINE, kServicesKey, KEY_CREATE_SUB_KEY);
        const CRegistryKey application = services.OpenKey(applicationName, KEY_READ | KEY_WRITE);
        const auto ignoringFailure = [](const std::function<void()> &step) {
            try
            {
                step();
            }
            catch (const CRegistryKey::Exception &)
            {
            }
        };
        const auto isEmpty = [](const CRegistryKey &key) {
            return key.BeginValueIteration() == key.EndValueIteration() &&
                   key.BeginSubkeyIteration() == key.EndSubkeyIteration();
        };
        // The "Performance" key is the registration itself, whatever the loader or the system added.
        ignoringFailure([&] { application.DeleteKey(L"Performance"); });
        ignoringFailure([&] {
            const CRegistryKey linkage = application.OpenKey(L"Linkage", KEY_READ | KEY_WRITE);
            ignoringFailure([&] { linkage.DeleteValue(L"Export"); });
            if (isEmpty(linkage))
            {
                application.DeleteKey(L"Linkage");
            }
        });
        ignoringFailure([&] {
            if (isEmpty(application))
            {
                services.DeleteKey(applicationName);
            }
        });
    }
    catch (const CRegistryKey::Exception &)
    {
    }
}

} // namespace PerfMon
} // namespace Halyard
