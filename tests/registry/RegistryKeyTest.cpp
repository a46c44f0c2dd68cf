#include "win32/RegistryKey.h"

#include "tests/support/Expect.h"
#include "tests/support/RawRegistry.h"

#include <memory>
#include <set>

using namespace Halyard::Win32;
using namespace Halyard::Testing;

namespace {

// A key of the test's own below HKEY_CURRENT_USER\Software, opened by the code under test.
class RegistryKeyTest : public ::testing::Test
{
protected:
    RegistryKeyTest()
        : m_test(HKEY_CURRENT_USER, L"Software\\"), m_key(Created(m_test.Path()), m_test.Path(), KEY_ALL_ACCESS)
    {
    }

    static HKEY Created(const std::wstring &path)
    {
        RawSet(HKEY_CURRENT_USER, path);
        return HKEY_CURRENT_USER;
    }

    void Set(const wchar_t *name, DWORD type, const void *data, DWORD size) const
    {
        RawSet(HKEY_CURRENT_USER, m_test.Path(), name, type, std::string(static_cast<const char *>(data), size));
    }
    bool Exists(const std::wstring &subKey) const
    {
        return RawKeyExists(HKEY_CURRENT_USER, m_test.Path() + L"\\" + subKey);
    }
    void Create(const std::wstring &subKey) const { RawSet(HKEY_CURRENT_USER, m_test.Path() + L"\\" + subKey); }

    CTestKey m_test;
    CRegistryKey m_key;
};

} // namespace

TEST_F(RegistryKeyTest, TypedQueriesAcceptOnlyTheirOwnValues)
{
    const ULONGLONG qword = 5;
    Set(L"Text", REG_SZ, L"5", 4);
    Set(L"Qword", REG_QWORD, &qword, 8);
    Set(L"Short", REG_DWORD, &qword, 2);
    Set(L"Binary", REG_BINARY, "ab", 2);
    Set(L"Odd", REG_EXPAND_SZ, L"xy", 3);

    DWORD value = 99;
    for (const wchar_t *name : {L"Text", L"Qword", L"Short", L"Missing"})
    {
        EXPECT_FALSE(m_key.QueryValue(name, value)) << name;
    }
    EXPECT_EQ(99u, value);

    // The text buffer is always ended, whatever was stored: at some of these lengths a buffer without
    // a null of its own ends in bytes of the heap that are not zero.
    std::unique_ptr<wchar_t[]> text;
    for (size_t length = 1; length <= 40; ++length)
    {
        const std::wstring stored(length, L'a');
        Set(L"Unterminated", REG_SZ, stored.data(), static_cast<DWORD>(2 * length));
        ASSERT_TRUE(m_key.QueryValue(L"Unterminated", text));
        EXPECT_EQ(stored, text.get());
    }
    ASSERT_TRUE(m_key.QueryValue(L"Odd", text));
    EXPECT_EQ(L'x', text[0]);
    EXPECT_EQ(L'\0', text[2]);
    EXPECT_FALSE(m_key.QueryValue(L"Binary", text));
    EXPECT_EQ(nullptr, text.get());
    EXPECT_FALSE(m_key.QueryValue(L"Missing", text));
}

TEST_F(RegistryKeyTest, DeleteKeyRefusesAKeyWithSubkeys)
{
    Create(L"Parent\\Child\\Grandchild");
    Create(L"Parent\\Sibling");

    ExpectWin32Exception([&] { m_key.DeleteKey(L"Parent"); }, L"CRegistryKey::DeleteKey()", ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Exists(L"Parent\\Child\\Grandchild"));
    EXPECT_TRUE(Exists(L"Parent\\Sibling"));

    m_key.DeleteKeyAndSubkeys(L"Parent");
    EXPECT_FALSE(Exists(L"Parent"));
    Create(L"Leaf");
    m_key.DeleteKey(L"Leaf");
    EXPECT_FALSE(Exists(L"Leaf"));
}

TEST_F(RegistryKeyTest, IterationVisitsEverySubkeyAndValue)
{
    EXPECT_TRUE(m_key.BeginSubkeyIteration() == m_key.EndSubkeyIteration());
    EXPECT_TRUE(m_key.BeginValueIteration() == m_key.EndValueIteration());

    Create(L"One");
    Create(L"Two\\Deeper");
    auto subkey = m_key.BeginSubkeyIteration();
    // Longer than any name when the iteration began: the name buffer has to grow.
    const std::wstring longName(100, L'z');
    Create(longName);
    std::set<std::wstring> names;
    for (; subkey != m_key.EndSubkeyIteration(); ++subkey)
    {
        names.insert(subkey.GetName());
    }
    EXPECT_EQ((std::set<std::wstring>{L"One", L"Two", longName}), names);

    m_key.SetValue(L"Text", std::wstring(L"hello"));
    m_key.SetValue(L"Number", DWORD(3));
    std::set<std::wstring> values;
    for (auto it = m_key.BeginValueIteration(); it != m_key.EndValueIteration(); ++it)
    {
        const CRegistryKey::Value value = it.GetValue();
        values.insert(value.GetName() + L"=" + std::to_wstring(value.GetType()) + L":" +
                      std::to_wstring(value.GetSize()));
    }
    EXPECT_EQ((std::set<std::wstring>{L"Text=1:12", L"Number=4:4"}), values);
}

TEST_F(RegistryKeyTest, CopiesOutliveTheOriginalAndTheLastClosesTheKey)
{
    HKEY raw = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_CURRENT_USER, m_test.Path().c_str(), 0, KEY_ALL_ACCESS, &raw));
    {
        std::unique_ptr<CRegistryKey> original(new CRegistryKey(raw));
        const CRegistryKey copy(*original);
        CRegistryKey assigned(m_key);
        assigned = *original;
        assigned = assigned;
        original->SetValue(L"Before", DWORD(1));
        auto values = original->BeginValueIteration();
        original.reset();

        copy.SetValue(L"After", DWORD(2));
        DWORD value = 0;
        EXPECT_TRUE(assigned.QueryValue(L"After", value));
        EXPECT_EQ(2u, value);
        ASSERT_TRUE(values != copy.EndValueIteration());
        EXPECT_EQ(std::wstring(L"Before"), values.GetName());
    }
    DWORD count = 0;
    EXPECT_NE(ERROR_SUCCESS, ::RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                                                nullptr, nullptr, nullptr, nullptr));
}
