#pragma once

// Registry access for setting up and checking tests, through the raw API so that it does not
// depend on the code under test.

#include "tests/support/ChildProcess.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

namespace Halyard {
namespace Testing {

// The bytes of a text stored with its terminating null, and of a number.
inline std::string TextBytes(const std::wstring &text)
{
    return std::string(reinterpret_cast<const char *>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
}

inline std::string DwordBytes(DWORD value)
{
    return std::string(reinterpret_cast<const char *>(&value), sizeof(value));
}

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

// Creates the key if needed (volatile if asked) and, given a name, sets the value.
inline void RawSet(HKEY root, const std::wstring &path, const wchar_t *name = nullptr, DWORD type = 0,
                   const std::string &bytes = std::string(), DWORD options = 0)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegCreateKeyExW(root, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    if (name)
    {
        EXPECT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE *>(bytes.data()),
                                                  static_cast<DWORD>(bytes.size())));
    }
    ::RegCloseKey(key);
}

// The stored bytes of a value, or "<missing>"; a value that is there must be of the type expected.
inline std::string RawGet(HKEY root, const std::wstring &path, const std::wstring &name, DWORD expectedType)
{
    HKEY key = nullptr;
    BYTE buffer[1024];
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    const bool found = ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS &&
                       ::RegQueryValueExW(key, name.c_str(), nullptr, &type, buffer, &size) == ERROR_SUCCESS;
    if (key)
    {
        ::RegCloseKey(key);
    }
    if (!found)
    {
        return "<missing>";
    }
    EXPECT_EQ(expectedType, type) << "type of " << std::string(name.begin(), name.end());
    return std::string(reinterpret_cast<const char *>(buffer), size);
}

inline void RawDeleteTree(HKEY root, const std::wstring &path)
{
    ::RegDeleteTreeW(root, path.c_str());
    ::RegDeleteKeyW(root, path.c_str());
}

// Every value and subkey under the key, sorted, as one text: the registry's state to compare.
inline std::string RawTree(HKEY root, const std::wstring &path)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    {
        return "<no key>\n";
    }
    std::vector<std::string> entries;
    wchar_t name[256];
    BYTE data[4096];
    DWORD nameLength = 256, size = sizeof(data), type = 0;
    for (DWORD i = 0; ::RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &size) == ERROR_SUCCESS;
         ++i, nameLength = 256, size = sizeof(data))
    {
        entries.push_back(std::string(name, name + nameLength) + " " + std::to_string(type) + " " +
                          std::string(reinterpret_cast<const char *>(data), size) + "\n");
    }
    for (DWORD i = 0; ::RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, nameLength = 256)
    {
        entries.push_back("[" + std::string(name, name + nameLength) + "]\n" +
                          RawTree(root, path + L"\\" + std::wstring(name, nameLength)));
    }
    ::RegCloseKey(key);
    std::sort(entries.begin(), entries.end());
    return std::accumulate(entries.begin(), entries.end(), std::string());
}

// A key path of the test's own, removed with everything under it before and after the test.
class CTestKey
{
public:
    CTestKey(HKEY root, const std::wstring &parent) : m_root(root), m_path(parent + UniqueName(L"Halyard"))
    {
        RawDeleteTree(m_root, m_path);
    }
    ~CTestKey() { RawDeleteTree(m_root, m_path); }
    CTestKey(const CTestKey &) = delete;
    CTestKey &operator=(const CTestKey &) = delete;

    const std::wstring &Path() const { return m_path; }

private:
    HKEY m_root;
    std::wstring m_path;
};

} // namespace Testing
} // namespace Halyard
