#include "win32/FileUtils.h"

#include "win32/Exception.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace Halyard::Win32;

namespace {

// Files of the test's own in the temporary directory, removed at the end.
class FileUtilsTest : public ::testing::Test
{
protected:
    ~FileUtilsTest() override
    {
        for (const std::wstring &path : m_files)
        {
            ::DeleteFileW(path.c_str());
        }
    }

    std::wstring Path(const std::wstring &name)
    {
        const char *test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        m_files.push_back(GetTempPath() + L"HalyardFileUtils_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                          std::wstring(test, test + std::strlen(test)) + L"_" + name);
        return m_files.back();
    }

    std::wstring Write(const std::wstring &name, const std::string &bytes)
    {
        const std::wstring path = Path(name);
        const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, file);
        DWORD written = 0;
        ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        ::CloseHandle(file);
        return path;
    }

    std::vector<std::wstring> m_files;
};

template <typename E, typename F>
E Catch(F f)
{
    try
    {
        f();
    }
    catch (const E &e)
    {
        return e;
    }
    ADD_FAILURE() << "expected exception not thrown";
    return E(L"", L"");
}

} // namespace

TEST_F(FileUtilsTest, FileExistsOnlyForFilesThatOpen)
{
    const std::wstring path = Write(L"present.txt", "x");
    EXPECT_TRUE(FileExists(path));
    EXPECT_FALSE(FileExists(Path(L"missing.txt")));
    EXPECT_FALSE(FileExists(GetSystemDirectory()));

    // Sharing is checked between handles, whichever process holds them.
    const HANDLE exclusive = ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, exclusive);
    EXPECT_FALSE(FileExists(path));
    ::CloseHandle(exclusive);
    EXPECT_TRUE(FileExists(path));
}

TEST_F(FileUtilsTest, UnicodeLoadFollowsTheByteOrderMark)
{
    bool wasUnicode = false;
    EXPECT_EQ(L"hi\x00e9", LoadFileAsUnicodeString(Write(L"utf16.txt", std::string("\xFF\xFEh\0i\0\xE9\0", 8)),
                                                     &wasUnicode));
    EXPECT_TRUE(wasUnicode);
    wasUnicode = false;
    EXPECT_EQ(L"\x00e9t\x00e9", LoadFileAsUnicodeString(Write(L"utf8.txt", "\xEF\xBB\xBF\xC3\xA9t\xC3\xA9"),
                                                        &wasUnicode));
    EXPECT_TRUE(wasUnicode);
    EXPECT_EQ(L"plain text", LoadFileAsUnicodeString(Write(L"ansi.txt", "plain text"), &wasUnicode));
    EXPECT_FALSE(wasUnicode);
    EXPECT_EQ(L"ab", LoadFileAsUnicodeString(Write(L"two.txt", "ab")));

    const std::wstring shortFile = Write(L"short.txt", "a");
    const CWin32Exception tooShort = Catch<CWin32Exception>([&] { LoadFileAsUnicodeString(shortFile); });
    EXPECT_EQ(L"LoadFileAsUnicodeString() - Initial 2 byte read failed \"" + shortFile + L"\"", tooShort.GetWhere());
    EXPECT_NE(0u, tooShort.GetError());

    const std::wstring badMark = Write(L"badmark.txt", std::string("\xEF\xBB\0", 3));
    try
    {
        LoadFileAsUnicodeString(badMark);
        FAIL() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"LoadFileAsUnicodeString()", e.GetWhere());
        EXPECT_EQ(L"Unexpected 3rd byte in UTF-8 BOM. \"" + badMark + L"\"", e.GetMessage());
    }

    const std::wstring bigEndian = Write(L"be.txt", std::string("\xFE\xFF\0h", 4));
    EXPECT_EQ(L"LoadFileAsUnicodeString() - We don't handle UCS-2 big-endian yet. \"" + bigEndian + L"\"",
              Catch<CWin32Exception>([&] { LoadFileAsUnicodeString(bigEndian); }).GetWhere());
}

TEST_F(FileUtilsTest, SavedFilesLoadBackWhole)
{
    const std::wstring path = Path(L"saved.bin");
    const std::string bytes("a\0b\r\n\xFF", 6);
    SaveStringAsFile(path, bytes);
    EXPECT_EQ(bytes, LoadFileAsString(path));
    // A shorter text replaces the file rather than overwriting its start.
    SaveStringAsFile(path, "short");
    EXPECT_EQ(L"short", LoadFileAsStringW(path));
    SaveUnicodeStringAsFile(path, L"wi");
    EXPECT_EQ(std::string("w\0i\0", 4), LoadFileAsString(path));
}

TEST(GetLongFromString, ReadsOnlyInsideTheText)
{
    EXPECT_EQ(2024, GetLongFromString(L"29022024", 4, 4));
    try
    {
        GetLongFromString(L"123", 2, 2);
        FAIL() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"GetLongFromString()", e.GetWhere());
        EXPECT_EQ(L"Invalid offset (2) or length (2) string is only 3 long", e.GetMessage());
    }
}

TEST(SystemInformation, SixtyFourBitBuildsKnowTheSystemIs64Bit)
{
#ifdef _WIN64
    // WOW64 says no to a 64-bit process, yet the system under it is 64-bit.
    EXPECT_TRUE(Is64bitSystem());
    EXPECT_FALSE(IsWow64Process());
#else
    EXPECT_EQ(IsWow64Process(), Is64bitSystem());
#endif
}
