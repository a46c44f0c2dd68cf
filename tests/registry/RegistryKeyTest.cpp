#include "win32/RegistryKey.h"

#include "RegistryTestKey.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

using namespace Halyard::Win32;

namespace {

std::wstring TestName()
{
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::wstring(info->name(), info->name() + std::strlen(info->name()));
}

std::string Bytes(const void *data, size_t size)
{
    return std::string(static_cast<const char *>(data), size);
}

class RegistryKeyTest : public ::testing::Test
{
protected:
    RegistryKeyTest()
        : m_test(TestName()), m_key(HKEY_CURRENT_USER, m_test.Path(), KEY_ALL_ACCESS)
    {
    }

    CRegistryTestKey m_test;
    CRegistryKey m_key;
};

template <typename F>
CRegistryKey::Exception CatchRegistryException(F f)
{
    try
    {
        f();
    }
    catch (const CRegistryKey::Exception &e)
    {
        return e;
    }
    ADD_FAILURE() << "no CRegistryKey::Exception";
    return CRegistryKey::Exception(L"", 0);
}

} // namespace

TEST_F(RegistryKeyTest, SetValueRefusesMismatchedTypesBeforeWriting)
{
    auto text = CatchRegistryException([&] { m_key.SetValue(L"Text", std::wstring(L"abc"), REG_DWORD); });
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), text.GetError());
    EXPECT_EQ(L"CRegistryKey::SetValue()", text.GetWhere());

    auto number = CatchRegistryException([&] { m_key.SetValue(L"Number", DWORD(7), REG_SZ); });
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), number.GetError());

    auto binary = CatchRegistryException([&] { m_key.SetValue(L"Multi", std::wstring(L"abc"), REG_MULTI_SZ); });
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), binary.GetError());

    DWORD type = 0;
    std::string bytes;
    EXPECT_FALSE(m_test.RawQuery(m_test.Get(), L"Text", type, bytes));
    EXPECT_FALSE(m_test.RawQuery(m_test.Get(), L"Number", type, bytes));
    EXPECT_FALSE(m_test.RawQuery(m_test.Get(), L"Multi", type, bytes));
}

TEST_F(RegistryKeyTest, TextIsWrittenWithItsTerminator)
{
    m_key.SetValue(L"Empty", std::wstring());
    m_key.SetValue(L"Expand", std::wstring(L"%TEMP%\\x"), REG_EXPAND_SZ);

    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(m_test.RawQuery(m_test.Get(), L"Empty", type, bytes));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(std::string(2, '\0'), bytes);

    ASSERT_TRUE(m_test.RawQuery(m_test.Get(), L"Expand", type, bytes));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    EXPECT_EQ(Bytes(L"%TEMP%\\x", 18), bytes);
}

TEST_F(RegistryKeyTest, DWORDsAreWrittenInMemoryOrder)
{
    m_key.SetValue(L"Little", DWORD(0x01020304));
    m_key.SetValue(L"Big", DWORD(0x01020304), REG_DWORD_BIG_ENDIAN);

    const DWORD expected = 0x01020304;
    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(m_test.RawQuery(m_test.Get(), L"Big", type, bytes));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD_BIG_ENDIAN), type);
    EXPECT_EQ(Bytes(&expected, 4), bytes);

    DWORD value = 0;
    EXPECT_TRUE(m_key.QueryValue(L"Little", value));
    EXPECT_EQ(expected, value);
    value = 0;
    EXPECT_TRUE(m_key.QueryValue(L"Big", value));
    EXPECT_EQ(expected, value);
}

TEST_F(RegistryKeyTest, DWORDQueryAcceptsOnlyFourByteNumbers)
{
    const ULONGLONG qword = 5;
    const WORD word = 5;
    m_test.RawSet(m_test.Get(), L"Text", REG_SZ, L"5", 4);
    m_test.RawSet(m_test.Get(), L"Qword", REG_QWORD, &qword, sizeof(qword));
    m_test.RawSet(m_test.Get(), L"Short", REG_DWORD, &word, sizeof(word));

    DWORD value = 99;
    EXPECT_FALSE(m_key.QueryValue(L"Text", value));
    EXPECT_FALSE(m_key.QueryValue(L"Qword", value));
    EXPECT_FALSE(m_key.QueryValue(L"Short", value));
    EXPECT_FALSE(m_key.QueryValue(L"Missing", value));
    EXPECT_EQ(99u, value);
}

TEST_F(RegistryKeyTest, TextQueryAlwaysEndsTheBuffer)
{
    m_test.RawSet(m_test.Get(), L"Unterminated", REG_SZ, L"abcd", 8);
    m_test.RawSet(m_test.Get(), L"Odd", REG_EXPAND_SZ, L"xy", 3);
    m_test.RawSet(m_test.Get(), L"Binary", REG_BINARY, "ab", 2);

    std::unique_ptr<wchar_t[]> text;
    ASSERT_TRUE(m_key.QueryValue(L"Unterminated", text));
    EXPECT_EQ(std::wstring(L"abcd"), text.get());
    ASSERT_TRUE(m_key.QueryValue(L"Odd", text));
    EXPECT_EQ(L'x', text[0]);
    EXPECT_EQ(L'\0', text[2]);

    EXPECT_FALSE(m_key.QueryValue(L"Binary", text));
    EXPECT_EQ(nullptr, text.get());
    EXPECT_FALSE(m_key.QueryValue(L"Missing", text));
}

TEST_F(RegistryKeyTest, BinaryValuesRoundTrip)
{
    const BYTE data[] = {0, 1, 0xFE, 0xFF};
    m_key.SetValue(L"Data", data, sizeof(data));

    std::unique_ptr<BYTE[]> read;
    DWORD size = 0;
    ASSERT_TRUE(m_key.QueryValue(L"Data", read, size));
    EXPECT_EQ(Bytes(data, sizeof(data)), Bytes(read.get(), size));

    m_key.SetValue(L"Text", std::wstring(L"t"));
    EXPECT_FALSE(m_key.QueryValue(L"Text", read, size));
    EXPECT_EQ(nullptr, read.get());
}

TEST_F(RegistryKeyTest, ValueGivesTypedAccessOnlyForItsType)
{
    m_key.SetValue(L"Text", std::wstring(L"hello"));
    m_key.SetValue(L"Number", DWORD(42));
    const BYTE data[] = {0xAB, 0x01};
    m_key.SetValue(L"Data", data, sizeof(data));
    m_test.RawSet(m_test.Get(), L"Multi", REG_MULTI_SZ, L"one\0two\0", 18);

    const CRegistryKey::Value text = m_key.QueryValue(L"Text");
    EXPECT_EQ(L"hello", text.GetText());
    EXPECT_EQ(L"hello", text.AsString());
    EXPECT_EQ(12u, text.GetSize());

    const CRegistryKey::Value number = m_key.QueryValue(L"Number");
    EXPECT_EQ(42u, number.GetDWORD());
    EXPECT_EQ(L"A number", number.AsString());

    const CRegistryKey::Value binary = m_key.QueryValue(L"Data");
    EXPECT_EQ(0xAB, binary.GetBytes()[0]);
    EXPECT_EQ(L"AB01", binary.AsString());

    EXPECT_EQ(L"one", m_key.QueryValue(L"Multi").AsString());

    try
    {
        number.GetText();
        FAIL() << "text access to a number";
    }
    catch (const CRegistryKey::Value::Exception &e)
    {
        EXPECT_EQ(L"CRegistryKey::Value::Exception", e.GetWhere());
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), e.GetError());
    }
    EXPECT_THROW(text.GetDWORD(), CRegistryKey::Value::Exception);
    EXPECT_THROW(text.GetBytes(), CRegistryKey::Value::Exception);
    EXPECT_THROW(CRegistryKey::Value(L"x", std::wstring(L"y"), REG_BINARY), CRegistryKey::Value::Exception);
    EXPECT_THROW(CRegistryKey::Value(L"x", DWORD(1), REG_SZ), CRegistryKey::Value::Exception);

    auto missing = CatchRegistryException([&] { m_key.QueryValue(L"Missing"); });
    EXPECT_EQ(L"CRegistryKey::QueryValue()", missing.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), missing.GetError());
}

TEST_F(RegistryKeyTest, ValueCopiesWriteBack)
{
    CRegistryKey::Value value(L"Copy", std::wstring(L"first"));
    EXPECT_EQ(L"first", value.AsString());
    CRegistryKey::Value copy(value);
    copy = CRegistryKey::Value(L"Copy", std::wstring(L"second"), REG_EXPAND_SZ);
    EXPECT_EQ(L"second", copy.AsString());
    EXPECT_EQ(L"first", value.AsString());

    m_key.SetValue(copy);
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), m_key.QueryValue(L"Copy").GetType());
    m_key.DeleteValue(L"Copy");
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              CatchRegistryException([&] { m_key.DeleteValue(L"Copy"); }).GetError());
}

TEST_F(RegistryKeyTest, OpeningAMissingKeyThrowsTheOpenError)
{
    auto e = CatchRegistryException([&] { m_key.OpenKey(L"Missing", KEY_READ); });
    EXPECT_EQ(L"CRegistryKey::CRegistryKey(HKEY hKey ...)", e.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), e.GetError());
    EXPECT_FALSE(m_key.SubkeyExists(L"Missing"));
}

TEST_F(RegistryKeyTest, CreateKeyRefusesAnExistingKey)
{
    m_key.CreateKey(L"Child");
    EXPECT_TRUE(m_key.SubkeyExists(L"Child"));

    auto e = CatchRegistryException([&] { m_key.CreateKey(L"Child"); });
    EXPECT_EQ(L"CRegistryKey::CreateKey()", e.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), e.GetError());

    DWORD disposition = 0;
    const CRegistryKey opened = m_key.CreateOrOpenKey(L"Child", &disposition);
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    opened.SetValue(L"V", DWORD(1));
    DWORD value = 0;
    EXPECT_TRUE(m_key.OpenKey(L"Child", KEY_READ).QueryValue(L"V", value));
}

TEST_F(RegistryKeyTest, DeleteKeyRefusesAKeyWithSubkeys)
{
    m_test.RawCreate(L"Parent\\Child\\Grandchild");
    m_test.RawCreate(L"Parent\\Sibling");
    m_key.OpenKey(L"Parent\\Child", KEY_WRITE).SetValue(L"V", std::wstring(L"v"));

    auto e = CatchRegistryException([&] { m_key.DeleteKey(L"Parent"); });
    EXPECT_EQ(L"CRegistryKey::DeleteKey()", e.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), e.GetError());
    EXPECT_TRUE(m_test.RawKeyExists(L"Parent\\Child\\Grandchild"));

    m_key.DeleteKeyAndSubkeys(L"Parent");
    EXPECT_FALSE(m_test.RawKeyExists(L"Parent"));

    m_test.RawCreate(L"Leaf");
    m_key.DeleteKey(L"Leaf");
    EXPECT_FALSE(m_test.RawKeyExists(L"Leaf"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              CatchRegistryException([&] { m_key.DeleteKey(L"Leaf"); }).GetError());
}

TEST_F(RegistryKeyTest, EmptyKeyIteratesNothing)
{
    EXPECT_TRUE(m_key.BeginSubkeyIteration() == m_key.EndSubkeyIteration());
    EXPECT_TRUE(m_key.BeginValueIteration() == m_key.EndValueIteration());
}

TEST_F(RegistryKeyTest, SubkeyIterationVisitsEverySubkey)
{
    m_test.RawCreate(L"One");
    m_test.RawCreate(L"Two\\Deeper");
    m_test.RawCreate(L"Three");
    m_key.OpenKey(L"Two", KEY_WRITE).SetValue(L"Marker", DWORD(2));

    std::set<std::wstring> names;
    for (auto it = m_key.BeginSubkeyIteration(); it != m_key.EndSubkeyIteration(); ++it)
    {
        names.insert(it.GetName());
        if (std::wstring(it.GetName()) == L"Two")
        {
            DWORD marker = 0;
            EXPECT_TRUE(it.OpenKey(KEY_READ).QueryValue(L"Marker", marker));
            EXPECT_EQ(2u, marker);
        }
    }
    EXPECT_EQ((std::set<std::wstring>{L"One", L"Two", L"Three"}), names);
}

TEST_F(RegistryKeyTest, SubkeyIterationGrowsForLongerNames)
{
    m_test.RawCreate(L"a");
    auto it = m_key.BeginSubkeyIteration();
    ASSERT_TRUE(it != m_key.EndSubkeyIteration());
    EXPECT_EQ(std::wstring(L"a"), it.GetName());

    const std::wstring longName(100, L'b');
    m_test.RawCreate(longName);
    ++it;
    ASSERT_TRUE(it != m_key.EndSubkeyIteration());
    EXPECT_EQ(longName, it.GetName());
    ++it;
    EXPECT_TRUE(it == m_key.EndSubkeyIteration());
}

TEST_F(RegistryKeyTest, ValueIterationVisitsEveryValue)
{
    m_key.SetValue(L"Text", std::wstring(L"hello"));
    m_key.SetValue(L"Number", DWORD(3));
    const BYTE data[] = {1, 2, 3};
    m_key.SetValue(L"Data", data, sizeof(data));

    std::set<std::wstring> seen;
    for (auto it = m_key.BeginValueIteration(); it != m_key.EndValueIteration(); ++it)
    {
        const std::wstring name = it.GetName();
        seen.insert(name + L"=" + it.AsString());
        const CRegistryKey::Value value = it.GetValue();
        EXPECT_EQ(name, value.GetName());
        EXPECT_EQ(it.GetType(), value.GetType());
        EXPECT_EQ(it.GetDataSize(), value.GetSize());
    }
    EXPECT_EQ((std::set<std::wstring>{L"Text=hello", L"Number=A number", L"Data=010203"}), seen);
}

TEST_F(RegistryKeyTest, CopiesAndIteratorsOutliveTheOriginal)
{
    m_test.RawCreate(L"Sub");
    std::unique_ptr<CRegistryKey> original(new CRegistryKey(m_key.OpenKey(L"Sub", KEY_ALL_ACCESS)));
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

TEST_F(RegistryKeyTest, TheLastCopyClosesTheKey)
{
    HKEY raw = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_CURRENT_USER, m_test.Path().c_str(), 0, KEY_READ, &raw));
    {
        const CRegistryKey owner(raw);
        {
            const CRegistryKey copy(owner);
        }
        DWORD values = 0;
        EXPECT_EQ(ERROR_SUCCESS, ::RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                    &values, nullptr, nullptr, nullptr, nullptr));
    }
    DWORD values = 0;
    EXPECT_NE(ERROR_SUCCESS, ::RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                                                nullptr, nullptr, nullptr, nullptr));
}

TEST_F(RegistryKeyTest, KeySecurityReadsAValidDescriptor)
{
    const std::vector<BYTE> descriptor = m_key.GetKeySecurity(OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
    ASSERT_FALSE(descriptor.empty());
    EXPECT_TRUE(::IsValidSecurityDescriptor(const_cast<BYTE *>(descriptor.data())));
}

TEST_F(RegistryKeyTest, ChangesSignalTheNotificationEvent)
{
    const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    m_key.RegNotifyChangeKeyValue(event, false, REG_NOTIFY_CHANGE_LAST_SET);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(event, 0));
    m_key.SetValue(L"Changed", DWORD(1));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(event, 5000));
    ::CloseHandle(event);
}

TEST(CRegistryKeyRemote, ConnectingToAnUnknownMachineThrows)
{
    try
    {
        const CRegistryKey remote(std::wstring(L"\\\\HalyardNoSuchMachine"), HKEY_LOCAL_MACHINE);
        FAIL() << "no exception";
    }
    catch (const CRegistryKey::Exception &e)
    {
        EXPECT_EQ(L"CRegistryKey::CRegistryKey() - RegConnectRegistry", e.GetWhere());
        EXPECT_NE(0u, e.GetError());
    }
}

TEST(TExpandableBuffer, GrowsButNeverShrinks)
{
    TExpandableBuffer<wchar_t> buffer(4);
    const wchar_t *first = buffer;
    buffer.Resize(2);
    EXPECT_EQ(first, buffer.GetBuffer());
    EXPECT_EQ(4u, buffer.GetSize());
    buffer.Resize(100);
    EXPECT_EQ(100u, buffer.GetSize());
    buffer[99] = L'x';

    const TExpandableBuffer<wchar_t> copy(buffer);
    EXPECT_NE(buffer.GetBuffer(), copy.GetBuffer());
    EXPECT_EQ(L'x', copy[99]);
}
