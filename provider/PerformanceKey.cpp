#include "provider/PerformanceKey.h"

#include "perfmon/installer/PerformanceCounterInstaller.h"

CPerformanceKey::CPerformanceKey(const std::wstring &productName)
{
    try
    {
        m_key.emplace(HKEY_LOCAL_MACHINE, Halyard::PerfMon::PerformanceKeyPath(productName), KEY_QUERY_VALUE);
    }
    catch (...)
    {
        m_failure = std::current_exception();
    }
}

bool CPerformanceKey::IsOpen() const
{
    return m_key.has_value();
}

const Halyard::Win32::CRegistryKey &CPerformanceKey::Get() const
{
    if (!m_key)
    {
        std::rethrow_exception(m_failure);
    }
    return *m_key;
}
