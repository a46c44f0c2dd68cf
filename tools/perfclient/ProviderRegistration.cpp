#include "tools/perfclient/ProviderRegistration.h"

#include "win32/Exception.h"
#include "win32/RegistryKey.h"

#include <utility>

using Halyard::Win32::CException;
using Halyard::Win32::CLastErrorKeeper;
using Halyard::Win32::CRegistryKey;

namespace Halyard {
namespace PerfClient {

namespace {

const wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services";

CRegistryKey OpenServices(REGSAM access)
{
    return CRegistryKey(HKEY_LOCAL_MACHINE, kServicesKey, access);
}

} // namespace

CProviderRegistration::CProviderRegistration(const std::wstring &serviceName, const std::wstring &libraryPath,
                                             DWORD firstCounter, const std::wstring &openName,
                                             const std::wstring &collectName, const std::wstring &closeName)
{
    const wchar_t where[] = L"CProviderRegistration::CProviderRegistration()";
    if (serviceName.empty() || serviceName.find(L'\\') != std::wstring::npos)
    {
        throw CException(where, L"Error: invalid service name \"" + serviceName + L"\"");
    }
    const CRegistryKey services = OpenServices(KEY_CREATE_SUB_KEY);
    {
        DWORD disposition = 0;
        const CRegistryKey service = services.CreateOrOpenKey(serviceName, &disposition);
        if (disposition != REG_CREATED_NEW_KEY)
        {
            throw CException(where, L"Error: the service key \"" + serviceName + L"\" already exists");
        }
    }
    // From here on the key is ours: a failure below removes it again.
    m_serviceName = serviceName;
    try
    {
        const CRegistryKey performance = services.CreateOrOpenKey(serviceName + L"\\Performance");
        performance.SetValue(L"Library", libraryPath);
        performance.SetValue(L"Open", openName);
        performance.SetValue(L"Collect", collectName);
        performance.SetValue(L"Close", closeName);
        performance.SetValue(L"First Counter", firstCounter);
    }
    catch (...)
    {
        Remove();
        throw;
    }
}

CProviderRegistration::CProviderRegistration(CProviderRegistration &&rhs) noexcept
    : m_serviceName(std::exchange(rhs.m_serviceName, std::wstring()))
{
}

CProviderRegistration &CProviderRegistration::operator=(CProviderRegistration &&rhs) noexcept
{
    if (this != &rhs)
    {
        Remove();
        m_serviceName = std::exchange(rhs.m_serviceName, std::wstring());
    }
    return *this;
}

CProviderRegistration::~CProviderRegistration()
{
    Remove();
}

const std::wstring &CProviderRegistration::GetServiceName() const
{
    return m_serviceName;
}

std::wstring CProviderRegistration::GetServiceKeyPath() const
{
    return std::wstring(kServicesKey) + L"\\" + m_serviceName;
}

void CProviderRegistration::SetPerformanceValue(const std::wstring &name, DWORD value) const
{
    OpenServices(KEY_CREATE_SUB_KEY).CreateOrOpenKey(m_serviceName + L"\\Performance").SetValue(name, value);
}

void CProviderRegistration::SetPerformanceValue(const std::wstring &name, const std::wstring &value) const
{
    OpenServices(KEY_CREATE_SUB_KEY).CreateOrOpenKey(m_serviceName + L"\\Performance").SetValue(name, value);
}

void CProviderRegistration::Remove() noexcept
{
    if (m_serviceName.empty())
    {
        return;
    }
    const CLastErrorKeeper lastError;
    try
    {
        OpenServices(KEY_READ | KEY_WRITE).DeleteKeyAndSubkeys(m_serviceName);
    }
    catch (const CException &)
    {
        // Cleanup is best effort: a key someone else removed or locked is not this object's failure.
    }
    m_serviceName.clear();
}

} // namespace PerfClient
} // namespace Halyard
