#pragma once

#include <windows.h>

#include <string>

namespace Halyard {
namespace PerfClient {

// A provider registered for the performance library for the life of the object: the service key
// HKLM\SYSTEM\CurrentControlSet\Services\<name> with its "Performance" values. The service key must not
// exist beforehand (an installed service is never touched); the destructor deletes the whole key again.
class CProviderRegistration
{
public:
    CProviderRegistration(const std::wstring &serviceName, const std::wstring &libraryPath, DWORD firstCounter,
                          const std::wstring &openName = L"PerfData_Open",
                          const std::wstring &collectName = L"PerfData_Collect",
                          const std::wstring &closeName = L"PerfData_Close");
    CProviderRegistration(CProviderRegistration &&rhs) noexcept;
    CProviderRegistration &operator=(CProviderRegistration &&rhs) noexcept;
    CProviderRegistration(const CProviderRegistration &) = delete;
    CProviderRegistration &operator=(const CProviderRegistration &) = delete;
    ~CProviderRegistration();

    const std::wstring &GetServiceName() const;
    // "SYSTEM\CurrentControlSet\Services\<name>", under HKEY_LOCAL_MACHINE.
    std::wstring GetServiceKeyPath() const;

    // Writes a further value under the "Performance" key (for example "Last Counter").
    void SetPerformanceValue(const std::wstring &name, DWORD value) const;
    void SetPerformanceValue(const std::wstring &name, const std::wstring &value) const;

private:
    void Remove() noexcept;

    std::wstring m_serviceName;
};

} // namespace PerfClient
} // namespace Halyard
