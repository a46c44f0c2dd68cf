#pragma once

#include "perfmon/datablock/DataBlockLayout.h"
#include "win32/Exception.h"

#include <windows.h>

#include <string>

namespace Halyard {
namespace Win32 {
class CRegistryKey;
} // namespace Win32

namespace PerfMon {

// What an install failed at, so that a caller can act on it without reading its texts.
enum class TInstallFailure
{
    AlreadyInstalled,
    // A time-out outside the accepted range.
    InvalidParameter,
    InvalidModule,
    Copy,
    CounterTextLoader,
    // A failed install could not put back the module it had moved aside: the message names where
    // that module was left.
    Restore
};

// The kind that an installer exception carries beside its usual where and message texts; caught
// through CException and found with dynamic_cast.
class CInstallFailure
{
public:
    explicit CInstallFailure(TInstallFailure kind) : m_kind(kind) {}
    virtual ~CInstallFailure() = default;

    TInstallFailure GetKind() const { return m_kind; }

private:
    TInstallFailure m_kind;
};

class CInstallException : public Win32::CException, public CInstallFailure
{
public:
    CInstallException(TInstallFailure kind, const std::wstring &where, const std::wstring &message)
        : CException(where, message), CInstallFailure(kind)
    {
    }
};

class CInstallWin32Exception : public Win32::CWin32Exception, public CInstallFailure
{
public:
    CInstallWin32Exception(TInstallFailure kind, const std::wstring &where, DWORD error)
        : CWin32Exception(where, error), CInstallFailure(kind)
    {
    }
};

// Registers a counter set with the system, removes it, and reads an installed one back.
class IInstallPerformanceMonitorCounters
{
public:
    virtual bool CanInstall() const = 0;

    virtual void Install(const std::wstring &applicationName, const std::wstring &performanceCounterDll,
                         bool copyToSystemDirectory, const std::wstring &iniFile, const std::wstring &openFunction,
                         const std::wstring &collectFunction, const std::wstring &closeFunction,
                         const std::wstring &linkageExport, DWORD openTimeout, DWORD collectTimeout,
                         const std::wstring &schemaChecksum) = 0;

    // With the entry points "PerfData_Open", "PerfData_Collect" and "PerfData_Close".
    virtual void Install(const std::wstring &applicationName, const std::wstring &performanceCounterDll,
                         bool copyToSystemDirectory, const std::wstring &iniFile, const std::wstring &linkageExport,
                         DWORD openTimeout, DWORD collectTimeout, const std::wstring &schemaChecksum) = 0;

    virtual DWORD InstallToSystemDirectories(const std::wstring &applicationName, const std::wstring &x86Dll,
                                             const std::wstring &x64Dll, const std::wstring &dllName,
                                             const std::wstring &iniFile, const std::wstring &openFunction,
                                             const std::wstring &collectFunction, const std::wstring &closeFunction,
                                             const std::wstring &linkageExport, DWORD openTimeout,
                                             DWORD collectTimeout, const std::wstring &schemaChecksum) = 0;

    virtual DWORD InstallToSystemDirectories(const std::wstring &applicationName, const std::wstring &x86Dll,
                                             const std::wstring &x64Dll, const std::wstring &dllName,
                                             const std::wstring &iniFile, const std::wstring &linkageExport,
                                             DWORD openTimeout, DWORD collectTimeout,
                                             const std::wstring &schemaChecksum) = 0;

    virtual void Uninstall(const std::wstring &applicationName) = 0;

    virtual bool IsInstalled(const std::wstring &applicationName) const = 0;

    virtual DWORD FirstCounterIndex(const std::wstring &applicationName) const = 0;

    virtual std::wstring InstalledSchemaChecksum(const std::wstring &applicationName) const = 0;

protected:
    // Not deleted through the interface, so the interface needs no virtual destructor.
    ~IInstallPerformanceMonitorCounters() = default;
};

// Everything lives in the registry under the application's key below
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services; the installer only remembers the
// optional lock time-out it is to record.
// An install that fails part way leaves the registry and the system folders as they were.
class CPerformanceCounterInstaller : public IInstallPerformanceMonitorCounters
{
public:
    // Time-outs are milliseconds from 1 to MaximumTimeout: 0 would fail every call at once, and
    // INFINITE would let one provider stall every monitor.
    static constexpr DWORD MaximumTimeout = 600000;
    // What the provider and the server wait for the shared block's lock when no "Lock Timeout" is
    // recorded.
    static constexpr DWORD DefaultLockTimeout = kDefaultLockTimeout;

    CPerformanceCounterInstaller() = default;
    // Also records "Lock Timeout"; throws CException for a time-out outside the range.
    explicit CPerformanceCounterInstaller(DWORD lockTimeout);
    virtual ~CPerformanceCounterInstaller() = default;

    bool CanInstall() const override;

    void Install(const std::wstring &applicationName, const std::wstring &performanceCounterDll,
                 bool copyToSystemDirectory, const std::wstring &iniFile, const std::wstring &openFunction,
                 const std::wstring &collectFunction, const std::wstring &closeFunction,
                 const std::wstring &linkageExport, DWORD openTimeout, DWORD collectTimeout,
                 const std::wstring &schemaChecksum) override;

    void Install(const std::wstring &applicationName, const std::wstring &performanceCounterDll,
                 bool copyToSystemDirectory, const std::wstring &iniFile, const std::wstring &linkageExport,
                 DWORD openTimeout, DWORD collectTimeout, const std::wstring &schemaChecksum) override;

    DWORD InstallToSystemDirectories(const std::wstring &applicationName, const std::wstring &x86Dll,
                                     const std::wstring &x64Dll, const std::wstring &dllName,
                                     const std::wstring &iniFile, const std::wstring &openFunction,
                                     const std::wstring &collectFunction, const std::wstring &closeFunction,
                                     const std::wstring &linkageExport, DWORD openTimeout, DWORD collectTimeout,
                                     const std::wstring &schemaChecksum) override;

    DWORD InstallToSystemDirectories(const std::wstring &applicationName, const std::wstring &x86Dll,
                                     const std::wstring &x64Dll, const std::wstring &dllName,
                                     const std::wstring &iniFile, const std::wstring &linkageExport,
                                     DWORD openTimeout, DWORD collectTimeout,
                                     const std::wstring &schemaChecksum) override;

    void Uninstall(const std::wstring &applicationName) override;

    // True exactly when FirstCounterIndex succeeds; never throws.
    bool IsInstalled(const std::wstring &applicationName) const override;

    DWORD FirstCounterIndex(const std::wstring &applicationName) const override;

    std::wstring InstalledSchemaChecksum(const std::wstring &applicationName) const override;

    // The steps the install operations share.

    // Refuses an application whose counters are installed.
    void ValidateParameters(const std::wstring &applicationName) const;

    // Checks that the module file is a DLL of the right word size exporting the three entry points.
    void ValidateDLL(const std::wstring &performanceCounterDll, bool is64Bit, const std::wstring &openFunction,
                     const std::wstring &collectFunction, const std::wstring &closeFunction) const;

    // How staged copies move files: MoveFileExW unless a test put in a replacement that fails on
    // purpose. Null restores MoveFileExW.
    using FileMover = BOOL(WINAPI *)(LPCWSTR existing, LPCWSTR target, DWORD flags);
    static void SetFileMover(FileMover mover);

    // A module copied into a system folder under a temporary name of its own. Commit moves it to its
    // name once the registration succeeded, keeping a module of that name aside until Finish, so
    // that Revert can put it back; a copy never committed is deleted. A module kept aside that
    // could not be put back is never deleted. Movable, not copyable.
    class StagedCopy
    {
    public:
        StagedCopy(const std::wstring &source, const std::wstring &destination, bool unredirected,
                   const wchar_t *where);
        StagedCopy(StagedCopy &&rhs) noexcept;
        StagedCopy &operator=(StagedCopy &&) = delete;
        StagedCopy(const StagedCopy &) = delete;
        StagedCopy &operator=(const StagedCopy &) = delete;
        ~StagedCopy();

        // A failure that left the module kept aside where it could not be put back throws with the
        // kind Restore.
        void Commit();
        // Undoes a Commit; never throws. Empty when everything is back, else what was left where.
        std::wstring Revert();
        // Drops the module kept aside; never throws.
        void Finish();

    private:
        // Empty when the module kept aside is back under its name.
        std::wstring PutPreviousBack();

        std::wstring m_destination;
        std::wstring m_staged;
        std::wstring m_previous;
        // A 64-bit module written by a 32-bit process goes past the file-system redirection.
        bool m_unredirected;
        const wchar_t *m_where;
        bool m_committed;
    };

    // The system folder (or the 32-bit one) + "\\" + fileName, staged.
    StagedCopy CopyFileToSystemDirectory(const std::wstring &source, const std::wstring &fileName) const;
    StagedCopy CopyFileToSysWOW64(const std::wstring &source, const std::wstring &fileName) const;

    // Writes the registry values, then loads the counter texts. When the loader fails or records no
    // usable "First Counter", the application's keys are put back as they were and it throws.
    void RegisterCounterSet(const std::wstring &applicationName, const std::wstring &library,
                            const std::wstring &iniFile, const std::wstring &openFunction,
                            const std::wstring &collectFunction, const std::wstring &closeFunction,
                            const std::wstring &linkageExport, DWORD openTimeout, DWORD collectTimeout,
                            const std::wstring &schemaChecksum) const;

    void WriteRegistryValues(const std::wstring &applicationName, const std::wstring &library,
                             const std::wstring &openFunction, const std::wstring &collectFunction,
                             const std::wstring &closeFunction, const std::wstring &linkageExport,
                             DWORD openTimeout, DWORD collectTimeout, const std::wstring &schemaChecksum) const;

    // Removes the registration: the "Performance" key, the "Export" linkage value, and each key the
    // installation may have created only once nothing else is left in it, so that a service
    // registered under the same name keeps its values and subkeys. Never reports a registry failure.
    void RemoveRegistryKeys(const std::wstring &applicationName) const;

private:
    // Throws unless the time-out lies from 1 to MaximumTimeout.
    static void ValidateTimeout(const wchar_t *name, DWORD milliseconds);

    // 0 when no "Lock Timeout" is to be recorded.
    DWORD m_lockTimeout = 0;
};

// "SYSTEM\CurrentControlSet\Services\<application>\Performance" under HKEY_LOCAL_MACHINE: where an
// installed counter set's values are read back.
std::wstring PerformanceKeyPath(const std::wstring &applicationName);

// What CPerformanceCounterInstaller::FirstCounterIndex answers, for a caller that needs nothing else
// of the installer: the provider module, which must not carry the installation code.
DWORD ReadFirstCounterIndex(const std::wstring &applicationName);
// The same from the application's "Performance" key, already open.
DWORD ReadFirstCounterIndex(const Win32::CRegistryKey &performance);

} // namespace PerfMon
} // namespace Halyard
