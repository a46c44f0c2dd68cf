#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

// Registry access for setting up and checking tests, through the raw API so that it does not
// depend on the code under test.

inline bool RawKeyExists(HKEY root, const std::wstring &path)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    {
        return false;
    }
    ::RegCloseKey(key);
    return true;
}

// Creates the key if needed and, given a name, sets the value.
inline void RawSet(HKEY root, const std::wstring &path, const wchar_t *name = nullptr, DWORD type = 0,
                   const void *data = nullptr, DWORD size = 0)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    if (name)
    {
        EXPECT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key, name, 0, type, static_cast<const BYTE *>(data), size));
    }
    ::RegCloseKey(key);
}

// The stored bytes of a value, or "<missing>".
inline std::string RawGet(HKEY root, const std::wstring &path, const std::wstring &name, DWORD *type = nullptr)
{
    HKEY key = nullptr;
    BYTE buffer[512];
    DWORD size = sizeof(buffer);
    const bool found = ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS &&
                       ::RegQueryValueExW(key, name.c_str(), nullptr, type, buffer, &size) == ERROR_SUCCESS;
    if (key)
    {
        ::RegCloseKey(key);
    }
    return found ? std::string(reinterpret_cast<const char *>(buffer), size) : "<missing>";
}

// The call throws E with this origin and error code.
template <typename E>
void ExpectError(const std::function<void()> &call, const std::wstring &where, DWORD error)
{
    try
    {
        call();
        ADD_FAILURE() << "no exception";
    }
    catch (const E &e)
    {
        EXPECT_EQ(where, e.GetWhere());
        EXPECT_EQ(error, e.GetError());
    }
}

// A key path of the test's own, removed with everything under it before and after the test.
class CTestKey
{
public:
    CTestKey(HKEY root, const std::wstring &parent)
        : m_root(root), m_path(parent + L"Halyard_" + std::to_wstring(::GetCurrentProcessId()) + L"_")
    {
        const char *test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        m_path.append(test, test + std::strlen(test));
        Remove();
    }
    ~CTestKey() { Remove(); }
    CTestKey(const CTestKey &) = delete;
    CTestKey &operator=(const CTestKey &) = delete;

    const std::wstring &Path() const { return m_path; }

private:
    void Remove() const
    {
        ::RegDeleteTreeW(m_root, m_path.c_str());
        ::RegDeleteKeyW(m_root, m_path.c_str());
    }

    HKEY m_root;
    std::wstring m_path;
};
