#include "tools/perfclient/ProviderRegistration.h"

#include "tools/perfclient/Owners.h"
#include "win32/Exception.h"

#include <utility>

using Halyard::Win32::CException;
using Halyard::Win32::CWin32Exception;

namespace Halyard {
namespace PerfClient {

namespace {

const wchar_t kServicesPath[] = L"SYSTEM\\CurrentControlSet\\Services\\";

UniqueRegistryKey CreateKey(HKEY parent, const std::wstring &path, const wchar_t *where, DWORD *disposition)
{
    HKEY key = nullptr;
    const LONG result = ::RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                          nullptr, &key, disposition);
    if (result != ERROR_SUCCESS)
    {
        throw CWin32Exception(std::wstring(where) + L" - RegCreateKeyExW", L"\"" + path + L"\"",
                              static_cast<DWORD>(result));
    }
    return UniqueRegistryKey(key);
}

void SetValue(HKEY key, const std::wstring &name, DWORD type, const void *data, DWORD size, const wchar_t *where)
{
    const LONG result = ::RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE *>(data), size);
    if (result != ERROR_SUCCESS)
    {
        throw CWin32Exception(std::wstring(where) + L" - RegSetValueExW", L"\"" + name + L"\"",
                              static_cast<DWORD>(result));
    }
}

void SetString(HKEY key, const std::wstring &name, const std::wstring &value, const wchar_t *where)
{
    SetValue(key, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)), where);
}

void SetDword(HKEY key, const std::wstring &name, DWORD value, const wchar_t *where)
{
    SetValue(key, name, REG_DWORD, &value, sizeof(value), where);
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
    DWORD disposition = 0;
    UniqueRegistryKey service = CreateKey(HKEY_LOCAL_MACHINE, kServicesPath + serviceName, where, &disposition);
    if (disposition != REG_CREATED_NEW_KEY)
    {
        throw CException(where, L"Error: the service key \"" + serviceName + L"\" already exists");
    }
    // From here on the key is ours: a failure below removes it again.
    m_serviceName = serviceName;
    try
    {
        const UniqueRegistryKey performance = CreateKey(service.get(), L"Performance", where, &disposition);
        SetString(performance.get(), L"Library", libraryPath, where);
        SetString(performance.get(), L"Open", openName, where);
        SetString(performance.get(), L"Collect", collectName, where);
        SetString(performance.get(), L"Close", closeName, where);
        SetDword(performance.get(), L"First Counter", firstCounter, where);
    }
    catch (...)
    {
        service.reset();
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
    return kServicesPath + m_serviceName;
}

void CProviderRegistration::SetPerformanceValue(const std::wstring &name, DWORD value) const
{
    const wchar_t where[] = L"CProviderRegistration::SetPerformanceValue()";
    DWORD disposition = 0;
    SetDword(CreateKey(HKEY_LOCAL_MACHINE, GetServiceKeyPath() + L"\\Performance", where, &disposition).get(), name,
             value, where);
}

void CProviderRegistration::SetPerformanceValue(const std::wstring &name, const std::wstring &value) const
{
    const wchar_t where[] = L"CProviderRegistration::SetPerformanceValue()";
    DWORD disposition = 0;
    SetString(CreateKey(HKEY_LOCAL_MACHINE, GetServiceKeyPath() + L"\\Performance", where, &disposition).get(), name,
              value, where);
}

void CProviderRegistration::Remove() noexcept
{
    if (m_serviceName.empty())
    {
        return;
    }
    const DWORD lastError = ::GetLastError();
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, GetServiceKeyPath().c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, GetServiceKeyPath().c_str());
    ::SetLastError(lastError);
    m_serviceName.clear();
}

} // namespace PerfClient
} // namespace Halyard
