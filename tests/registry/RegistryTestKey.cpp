#include "RegistryTestKey.h"

#include <gtest/gtest.h>

namespace {

const wchar_t kTestsRoot[] = L"Software\\HalyardTests";

std::wstring ProcessRoot()
{
    return std::wstring(kTestsRoot) + L"\\" + std::to_wstring(::GetCurrentProcessId());
}

} // namespace

CRegistryTestKey::CRegistryTestKey(const std::wstring &name)
    : m_path(ProcessRoot() + L"\\" + name), m_key(nullptr)
{
    ::RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    const LONG result = ::RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                          &m_key, nullptr);
    if (result != ERROR_SUCCESS)
    {
        ADD_FAILURE() << "cannot create the test key, error " << result;
    }
}

CRegistryTestKey::~CRegistryTestKey()
{
    if (m_key)
    {
        ::RegCloseKey(m_key);
    }
    ::RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, m_path.c_str());
    // Removed only once empty: other test programs may be using the shared parents.
    ::RegDeleteKeyW(HKEY_CURRENT_USER, ProcessRoot().c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, kTestsRoot);
}

bool CRegistryTestKey::RawQuery(HKEY key, const std::wstring &name, DWORD &type, std::string &bytes) const
{
    BYTE buffer[1024];
    DWORD size = sizeof(buffer);
    if (::RegQueryValueExW(key, name.c_str(), nullptr, &type, buffer, &size) != ERROR_SUCCESS)
    {
        return false;
    }
    bytes.assign(buffer, buffer + size);
    return true;
}

void CRegistryTestKey::RawSet(HKEY key, const std::wstring &name, DWORD type, const void *data, DWORD size) const
{
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE *>(data), size));
}

bool CRegistryTestKey::RawKeyExists(const std::wstring &subKey) const
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(m_key, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    {
        return false;
    }
    ::RegCloseKey(key);
    return true;
}

void CRegistryTestKey::RawCreate(const std::wstring &subKey) const
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegCreateKeyExW(m_key, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    ::RegCloseKey(key);
}
