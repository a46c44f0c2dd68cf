#pragma once

#include <windows.h>

#include <string>


// A key of the test's own, below HKEY_CURRENT_USER\Software\HalyardTests\<pid>, removed with
// everything under it when the test ends. Cleanup uses the raw API so that it does not depend on
// the code under test.
class CRegistryTestKey
{
public:
    explicit CRegistryTestKey(const std::wstring &name);
    ~CRegistryTestKey();

    CRegistryTestKey(const CRegistryTestKey &) = delete;
    CRegistryTestKey &operator=(const CRegistryTestKey &) = delete;

    HKEY Get() const
    {
        return m_key;
    }

    const std::wstring &Path() const
    {
        return m_path;
    }

    // Raw access for checking what was written.
    bool RawQuery(HKEY key, const std::wstring &name, DWORD &type, std::string &bytes) const;
    void RawSet(HKEY key, const std::wstring &name, DWORD type, const void *data, DWORD size) const;
    bool RawKeyExists(const std::wstring &subKey) const;
    void RawCreate(const std::wstring &subKey) const;

private:
    std::wstring m_path;
    HKEY m_key;
};
