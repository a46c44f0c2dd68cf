#include "win32/FileUtils.h"

#include "win32/Exception.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace Halyard::Win32;

namespace {

// A directory of the test's own in the temporary directory, removed with its files at the end.
class FileUtilsTest : public ::testing::Test
{
protected:
    FileUtilsTest()
    {
        wchar_t temp[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH, temp);
        const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_directory = std::wstring(temp) + L"HalyardFileUtils_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                      std::wstring(info->name(), info->name() + std::strlen(info->name()));
        ::CreateDirectoryW(m_directory.c_str(), nullptr);
    }

    ~FileUtilsTest() override
    {
        RemoveTree(m_directory);
    }

    static void RemoveTree(const std::wstring &directory)
    {
        WIN32_FIND_DATAW found;
        const HANDLE search = ::FindFirstFileW((directory + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE)
        {
            do
            {
                const std::wstring name = found.cFileName;
                if (name == L"." || name == L"..")
                {
                    continue;
                }
                const std::wstring path = directory + L"\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                {
                    RemoveTree(path);
                }
                else
                {
                    ::DeleteFileW(path.c_str());
                }
            } while (::FindNextFileW(search, &found));
            ::FindClose(search);
        }
        ::RemoveDirectoryW(directory.c_str());
    }

    std::wstring Write(const std::wstring &name, const std::string &bytes)
    {
        const std::wstring path = m_directory + L"\\" + name;
        const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, file);
        DWORD written = 0;
        ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        ::CloseHandle(file);
        return path;
    }

    std::wstring m_directory;
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

TEST(FilePaths, SplitAtTheLastBackslash)
{
    EXPECT_EQ(L"file.txt", GetFileNameFromPath(L"C:\\dir\\sub\\file.txt"));
    EXPECT_EQ(L"", GetFileNameFromPath(L"file.txt"));
    EXPECT_EQ(L"", GetFileNameFromPath(L"C:\\dir\\"));
    EXPECT_EQ(L"C:\\dir\\sub", GetDirectoryFromPath(L"C:\\dir\\sub\\file.txt"));
    EXPECT_EQ(L"", GetDirectoryFromPath(L"file.txt"));
    EXPECT_EQ(L"C:\\dir", GetDirectoryFromPath(L"C:\\dir\\"));
}

TEST_F(FileUtilsTest, FileExistsOnlyForFilesThatOpen)
{
    const std::wstring path = Write(L"present.txt", "x");
    EXPECT_TRUE(FileExists(path));
    EXPECT_FALSE(FileExists(m_directory + L"\\missing.txt"));
    EXPECT_FALSE(FileExists(m_directory));

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
}

TEST_F(FileUtilsTest, UnicodeLoadRefusesWhatItCannotRead)
{
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
    catch (const CWin32Exception &)
    {
        FAIL() << "a platform failure for a bad mark";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"LoadFileAsUnicodeString()", e.GetWhere());
        EXPECT_EQ(L"Unexpected 3rd byte in UTF-8 BOM. \"" + badMark + L"\"", e.GetMessage());
    }

    const std::wstring bigEndian = Write(L"be.txt", std::string("\xFE\xFF\0h", 4));
    EXPECT_EQ(L"LoadFileAsUnicodeString() - We don't handle UCS-2 big-endian yet. \"" + bigEndian + L"\"",
              Catch<CWin32Exception>([&] { LoadFileAsUnicodeString(bigEndian); }).GetWhere());

    const std::wstring missing = m_directory + L"\\missing.txt";
    const CWin32Exception notThere = Catch<CWin32Exception>([&] { LoadFileAsUnicodeString(missing); });
    EXPECT_EQ(L"LoadFileAsUnicodeString() \"" + missing + L"\"", notThere.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), notThere.GetError());
}

TEST_F(FileUtilsTest, SavedFilesLoadBack)
{
    const std::wstring path = m_directory + L"\\saved.bin";
    const std::string bytes("a\0b\r\n\xFF", 6);
    SaveStringAsFile(path, bytes);
    EXPECT_EQ(bytes, LoadFileAsString(path));
    const std::vector<BYTE> binary = LoadFileAsBinaryData(path);
    EXPECT_EQ(bytes, std::string(binary.begin(), binary.end()));

    SaveStringAsFile(path, "short");
    EXPECT_EQ("short", LoadFileAsString(path));
    EXPECT_EQ(L"short", LoadFileAsStringW(path));

    SaveUnicodeStringAsFile(path, L"wi");
    EXPECT_EQ(std::string("w\0i\0", 4), LoadFileAsString(path));

    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    ::SetFilePointer(file, 2, nullptr, FILE_BEGIN);
    EXPECT_EQ(std::string("i\0", 2), LoadFileAsString(file, path));
    ::CloseHandle(file);

    DeleteFile(path);
    EXPECT_FALSE(FileExists(path));
    const CWin32Exception again = Catch<CWin32Exception>([&] { DeleteFile(path); });
    EXPECT_EQ(L"DeleteFile() - \"" + path + L"\"", again.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), again.GetError());
}

TEST_F(FileUtilsTest, DirectoriesAreCreatedWithTheirParents)
{
    const std::wstring deep = m_directory + L"\\a\\b\\c";
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND),
              Catch<CWin32Exception>([&] { CreateDirectoryIfRequired(deep); }).GetError());
    CreateDirectoriesIfRequired(deep);
    CreateDirectoriesIfRequired(deep);
    CreateDirectoryIfRequired(deep);
    const DWORD attributes = ::GetFileAttributesW(deep.c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);

    const CWin32Exception exists = Catch<CWin32Exception>([&] { CreateDirectory(deep); });
    EXPECT_EQ(L"CreateDirectory()", exists.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), exists.GetError());

    const std::wstring temp = GetTempFileName(deep, L"hal");
    EXPECT_EQ(deep, GetDirectoryFromPath(temp));
    EXPECT_TRUE(FileExists(temp));
    CopyFile(temp, deep + L"\\copy.tmp", true);
    EXPECT_TRUE(FileExists(deep + L"\\copy.tmp"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS),
              Catch<CWin32Exception>([&] { CopyFile(temp, deep + L"\\copy.tmp", true); }).GetError());
}

TEST(StringToBool, AcceptsLeadingPartsOfTheWords)
{
    for (const wchar_t *text : {L"1", L"true", L"T", L"tRu", L"TRUE", L""})
    {
        EXPECT_TRUE(StringToBool(text)) << text;
    }
    for (const wchar_t *text : {L"0", L"f", L"False", L"FALSE"})
    {
        EXPECT_FALSE(StringToBool(text)) << text;
    }
    for (const wchar_t *text : {L"yes", L"TRUEX", L"falsey", L"2"})
    {
        try
        {
            StringToBool(text);
            ADD_FAILURE() << "no exception for " << text;
        }
        catch (const CException &e)
        {
            EXPECT_EQ(L"StringToBool()", e.GetWhere());
            EXPECT_EQ(L"Can't convert: \"" + std::wstring(text) + L"\" to a bool value", e.GetMessage());
        }
    }
}

TEST(GetLongFromString, ReadsOnlyInsideTheText)
{
    EXPECT_EQ(2024, GetLongFromString(L"29022024", 4, 4));
    EXPECT_EQ(2, GetLongFromString(L"29022024", 2, 2));
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

TEST(TextHelpers, TrimAndCase)
{
    EXPECT_EQ(L"a b", TrimWhitespace(std::wstring(L" \t a b\r\n")));
    EXPECT_EQ("a b", TrimWhitespace(std::string("  a b ")));
    EXPECT_EQ(L"", TrimWhitespace(std::wstring(L"   ")));
    EXPECT_EQ(L"ab", RemoveWhitespace(std::wstring(L" a\tb ")));
    EXPECT_EQ(L"x00", TrimLeft(std::wstring(L"00x00"), L'0'));
    EXPECT_EQ("00x", TrimRight(std::string("00x00"), '0'));
    EXPECT_EQ(L"", TrimRight(std::wstring(L"000"), L'0'));
    EXPECT_EQ(L"ABC", ToUpper(std::wstring(L"aBc")));
    EXPECT_EQ("abc", ToLower(std::string("AbC")));
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

TEST(SystemInformation, DirectoriesAndModuleNames)
{
    const std::wstring system = GetSystemDirectory();
    EXPECT_TRUE(FileExists(system + L"\\kernel32.dll"));
    EXPECT_FALSE(GetSystemWindowsDirectory().empty());

    const std::wstring module = GetModuleFileName();
    EXPECT_EQ(L"win32_utils_tests.exe", ToLower(GetFileNameFromPath(module)));
    EXPECT_EQ(GetDirectoryFromPath(module), GetModuleDirectory());
    EXPECT_EQ(module, GetModuleFileName(::GetCurrentProcess(), nullptr));

    EXPECT_FALSE(GetComputerName().empty());
    EXPECT_EQ(GetComputerName(), GetComputerName());
    EXPECT_EQ(L'\\', GetTempPath().back());
}

TEST(SystemInformation, StampsHaveFixedWidths)
{
    EXPECT_EQ(6u, GetDateStamp().size());
    const std::wstring time = GetTimeStamp();
    ASSERT_EQ(13u, time.size());
    EXPECT_EQ(L':', time[2]);
    EXPECT_EQ(L'.', time[8]);
    EXPECT_EQ(13u, GetTimeStampA().size());
}

TEST(GUIDs, AreWrittenInBraces)
{
    const GUID unknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    EXPECT_EQ(L"{00000000-0000-0000-C000-000000000046}", GUIDAsString(unknown));
    const std::wstring created = CreateGUIDAsString();
    EXPECT_EQ(38u, created.size());
    EXPECT_NE(created, CreateGUIDAsString());
}
