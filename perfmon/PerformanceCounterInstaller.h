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
};

} // namespace PerfMon
} // namespace Halyard
