#pragma once

#include <windows.h>

#include <string>

namespace Halyard {
namespace PerfMon {

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

// Keeps no state: everything lives in the registry below
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\<application name>.
class CPerformanceCounterInstaller : public IInstallPerformanceMonitorCounters
{
public:
    CPerformanceCounterInstaller() = default;
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

    // Both return the destination path.
    std::wstring CopyFileToSystemDirectory(const std::wstring &source, const std::wstring &fileName) const;
    std::wstring CopyFileToSysWOW64(const std::wstring &source, const std::wstring &fileName) const;

    // Writes the registry values, then loads the counter texts; a failing load removes the keys again.
    void RegisterCounterSet(const std::wstring &applicationName, const std::wstring &library,
                            const std::wstring &iniFile, const std::wstring &openFunction,
                            const std::wstring &collectFunction, const std::wstring &closeFunction,
                            const std::wstring &linkageExport, DWORD openTimeout, DWORD collectTimeout,
                            const std::wstring &schemaChecksum) const;

    void WriteRegistryValues(const std::wstring &applicationName, const std::wstring &library,
                             const std::wstring &openFunction, const std::wstring &collectFunction,
                             const std::wstring &closeFunction, const std::wstring &linkageExport,
                             DWORD openTimeout, DWORD collectTimeout, const std::wstring &schemaChecksum) const;

    // Never reports a registry failure; an application key holding other subkeys stays.
    void RemoveRegistryKeys(const std::wstring &applicationName) const;
};

} // namespace PerfMon
} // namespace Halyard
