#include "perfmon/installer/KeySnapshot.h"

#include "win32/Exception.h"

#include <cwchar>

using Halyard::Win32::CException;
using Halyard::Win32::CRegistryKey;

namespace Halyard {
namespace PerfMon {

CKeySnapshot::CKeySnapshot(const std::wstring &path, bool withValues)
    : m_path(path), m_existed(false), m_withValues(withValues)
{
    HKEY raw = nullptr;
    const LONG result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &raw);
    if (result == ERROR_FILE_NOT_FOUND)
    {
        return;
    }
    if (result != ERROR_SUCCESS)
    {
        throw CRegistryKey::Exception(L"CPerformanceCounterInstaller::Install() - RegOpenKeyEx",
                                      static_cast<DWORD>(result));
    }
    const CRegistryKey key(raw);
    m_existed = true;
    if (withValues)
    {
        for (CRegistryKey::ValueIterator value = key.BeginValueIteration(); value != key.EndValueIteration();
             ++value)
        {
            m_values.push_back(value.GetValue());
        }
    }
}

void CKeySnapshot::Restore() const
{
    try
    {
        const size_t split = m_path.rfind(L'\\');
        const CRegistryKey parent(HKEY_LOCAL_MACHINE, m_path.substr(0, split), KEY_READ | KEY_WRITE);
        const std::wstring name = m_path.substr(split + 1);
        if (!m_existed)
        {
            if (parent.SubkeyExists(name))
            {
                parent.DeleteKeyAndSubkeys(name);
            }
            return;
        }
        if (!m_withValues)
        {
            return;
        }
        const CRegistryKey key = parent.OpenKey(name, KEY_READ | KEY_WRITE);
        std::vector<std::wstring> added;
        for (CRegistryKey::ValueIterator value = key.BeginValueIteration(); value != key.EndValueIteration();
             ++value)
        {
            if (!WasThere(value.GetName()))
            {
                added.push_back(value.GetName());
            }
        }
        for (const std::wstring &value : added)
        {
            key.DeleteValue(value);
        }
        for (const CRegistryKey::Value &value : m_values)
        {
            key.SetValue(value);
        }
    }
    catch (const CException &)
    {
    }
}

bool CKeySnapshot::WasThere(const std::wstring &name) const
{
    for (const CRegistryKey::Value &value : m_values)
    {
        if (::_wcsicmp(value.GetName().c_str(), name.c_str()) == 0)
        {
            return true;
        }
    }
    return false;
}

} // namespace PerfMon
} // namespace Halyard
