#include "tests/support/Expect.h"
#include "tests/support/TempFiles.h"
#include "win32/FileUtils.h"
#include "win32/LibraryLoader.h"
#include "win32/SystemTime.h"

#include <gtest/gtest.h>

using namespace Halyard::Win32;
using namespace Halyard::Testing;

namespace {

std::wstring Write(const CTempFolder &folder, const std::wstring &name, const std::string &bytes)
{
    SaveStringAsFile(folder / name, bytes);
    return folder / name;
}

} // namespace

// Dump file names are made of these: a year beyond four digits would not fit the name's buffer.
TEST(CSystemTime, DumpNameFieldsArePaddedAndAYearBeyond9999IsRefused)
{
    SYSTEMTIME fields = {2024, 2, 4, 9, 3, 5, 7, 0};
    CSystemTime time(fields);
    EXPECT_EQ(L"20240209", time.GetAsYYYYMMDD());
    EXPECT_EQ(L"030507", time.GetAsHHMMSS());
    time.wYear = 10000;
    ExpectException([&] { time.GetAsYYYYMMDD(); }, L"CSystemTime::GetAsYYYYMMDD()", L"Invalid date; year > 9999?");
}

TEST(CLibraryLoader, MissingModulesAndExportsThrowOnlyWhenAsked)
{
    const CLibraryLoader quiet = CLibraryLoader::LoadSystemLibrary(L"HalyardNoSuchModule.dll", false);
    EXPECT_FALSE(quiet.IsLoaded());
    EXPECT_FALSE(quiet.HasProcAddress(L"GetTickCount"));
    ExpectWin32Exception([] { CLibraryLoader(L"HalyardNoSuchModule.dll"); },
                         L"CLibraryLoader::CLibraryLoader() - \"HalyardNoSuchModule.dll\"", ERROR_MOD_NOT_FOUND);

    CLibraryLoader kernel32 = CLibraryLoader::LoadSystemLibrary(L"kernel32.dll");
    EXPECT_TRUE(kernel32.HasProcAddress(L"GetTickCount"));
    EXPECT_FALSE(kernel32.HasProcAddress(L"HalyardNoSuchExport"));
    ExpectWin32Exception([&] { kernel32.GetProcAddress(L"HalyardNoSuchExport"); },
                         L"CLibraryLoader::GetProcAddress() - \"HalyardNoSuchExport\"", ERROR_PROC_NOT_FOUND);
    kernel32.FreeLibrary();
    // Not the process's own executable: with nothing loaded there is nothing to find.
    EXPECT_FALSE(kernel32.HasProcAddress(L"GetTickCount"));
}

TEST(FileExists, OnlyForFilesThatOpen)
{
    const CTempFolder folder(L"HalyardFileExists");
    const std::wstring path = Write(folder, L"present.txt", "x");
    EXPECT_TRUE(FileExists(path));
    EXPECT_FALSE(FileExists(folder / L"missing.txt"));
    EXPECT_FALSE(FileExists(folder.Path()));
    const HANDLE exclusive = ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, exclusive);
    EXPECT_FALSE(FileExists(path));
    ::CloseHandle(exclusive);
}

TEST(LoadFileAsUnicodeString, FollowsTheByteOrderMark)
{
    const CTempFolder folder(L"HalyardUnicodeLoad");
    const struct
    {
        std::string bytes;
        const wchar_t *text;
        bool unicode;
    } loads[] = {{std::string("\xFF\xFEh\0i\0\xE9\0", 8), L"hi\x00e9", true},
                 {"\xEF\xBB\xBF\xC3\xA9t\xC3\xA9", L"\x00e9t\x00e9", true},
                 {"plain text", L"plain text", false},
                 {"ab", L"ab", false}};
    for (const auto &load : loads)
    {
        bool wasUnicode = !load.unicode;
        EXPECT_EQ(load.text, LoadFileAsUnicodeString(Write(folder, L"load.txt", load.bytes), &wasUnicode));
        EXPECT_EQ(load.unicode, wasUnicode) << load.bytes;
    }

    const std::wstring shortFile = Write(folder, L"short.txt", "a");
    EXPECT_EQ(0u, ThrownText([&] { LoadFileAsUnicodeString(shortFile); })
                      .find(L"LoadFileAsUnicodeString() - Initial 2 byte read failed \"" + shortFile + L"\" - "));
    const std::wstring badMark = Write(folder, L"badmark.txt", std::string("\xEF\xBB\0", 3));
    ExpectException([&] { LoadFileAsUnicodeString(badMark); }, L"LoadFileAsUnicodeString()",
                    L"Unexpected 3rd byte in UTF-8 BOM. \"" + badMark + L"\"");
    const std::wstring bigEndian = Write(folder, L"be.txt", std::string("\xFE\xFF\0h", 4));
    EXPECT_EQ(0u, ThrownText([&] { LoadFileAsUnicodeString(bigEndian); })
                      .find(L"LoadFileAsUnicodeString() - We don't handle UCS-2 big-endian yet. \"" + bigEndian));
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
