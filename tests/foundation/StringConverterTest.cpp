#include "win32/Exception.h"
#include "win32/StringConverter.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace Halyard::Win32;

namespace {

void ExpectFailure(const std::function<void()> &call, const std::wstring &where, const std::wstring &message)
{
    try
    {
        call();
        ADD_FAILURE() << "expected an exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(where, e.GetWhere());
        EXPECT_EQ(message, e.GetMessage());
    }
}

std::string Bytes(std::initializer_list<BYTE> bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

TEST(GetStringLength, CountsAndRefusesWhatTheSignedLengthCannotHold)
{
    EXPECT_EQ(3u, GetStringLength(std::string("abc"), false));
    EXPECT_EQ(4u, GetStringLength(std::wstring(L"abc"), true));
    EXPECT_EQ(0x7FFFFFFFu, GetStringLength(0x7FFFFFFF, false));
    ExpectFailure([] { GetStringLength(0x7FFFFFFF, true); }, L"GetStringLength()",
                  L"String is too long to fit: 2147483648");
    // SysAllocStringLen takes an unsigned count.
    EXPECT_EQ(0x80000000u, GetBSTRLength(0x7FFFFFFF, true));
    EXPECT_EQ(0xFFFFFFFFu, GetBSTRLength(0xFFFFFFFF, false));
    if (sizeof(size_t) > 4)
    {
        ExpectFailure([] { GetBSTRLength(0xFFFFFFFF, true); }, L"GetStringLength()",
                      L"String is too long to fit: 4294967296");
    }
}

TEST(CStringConverter, NarrowAndWideRoundTripInTheCodePage)
{
    const CCodePage latin1(1252);
    const CCodePage utf8(CP_UTF8);
    EXPECT_EQ(L"caf\u00e9", CStringConverter::AtoW(Bytes({'c', 'a', 'f', 0xE9}), latin1));
    EXPECT_EQ(Bytes({'c', 'a', 'f', 0xE9}), CStringConverter::WtoA(L"caf\u00e9", latin1));
    EXPECT_EQ(Bytes({0xE2, 0x82, 0xAC, '1'}), CStringConverter::WtoA(L"\u20ac1", utf8));
    EXPECT_EQ(4u, CStringConverter::GetSpaceRequiredForWtoA(L"\u20ac1", utf8));
    EXPECT_EQ(8u, CStringConverter::GetSpaceRequiredForAtoW("abcd", latin1));
}

TEST(CStringConverter, EmptyInputNeverReachesThePlatform)
{
    // A pointer the platform would refuse: only the length-0 rule keeps these from failing.
    EXPECT_EQ(L"", CStringConverter::AtoW(nullptr, 0));
    EXPECT_EQ("", CStringConverter::WtoA(nullptr, 0));
    EXPECT_EQ(L"", CStringConverter::UTF8toW(nullptr, 0));
    EXPECT_EQ(0u, CStringConverter::WtoUTF8(nullptr, 0, nullptr, 0));
}

TEST(CStringConverter, UTF8ToAndFromWide)
{
    const std::string euroA = Bytes({0xE2, 0x82, 0xAC, 'A'});
    EXPECT_EQ(L"\u20acA", CStringConverter::UTF8toW(euroA));
    EXPECT_EQ(L"\U0001F600", CStringConverter::UTF8toW(Bytes({0xF0, 0x9F, 0x98, 0x80})));

    EXPECT_EQ(4u, CStringConverter::GetSpaceRequiredForWtoUTF8(L"\u20acA"));
    BYTE buffer[8] = {};
    EXPECT_EQ(4u, CStringConverter::WtoUTF8(L"\u20acA", buffer, sizeof(buffer)));
    EXPECT_EQ(euroA, std::string(reinterpret_cast<char *>(buffer), 4));

    // Too small a buffer is the platform's failure.
    try
    {
        CStringConverter::WtoUTF8(L"\u20acA", buffer, 2);
        ADD_FAILURE() << "expected an exception";
    }
    catch (const CWin32Exception &e)
    {
        EXPECT_EQ(L"CStringConverter::WtoUTF8()", e.GetWhere());
        EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), e.GetError());
    }

    const CCodePage latin1(1252);
    EXPECT_EQ(Bytes({0xE9}), CStringConverter::UTF8toA(Bytes({0xC3, 0xA9}), latin1));
    const std::string narrow = Bytes({0xE9, 'x'});
    EXPECT_EQ(3u, CStringConverter::AtoUTF8(narrow.data(), narrow.size(), latin1, buffer, sizeof(buffer)));
    EXPECT_EQ(Bytes({0xC3, 0xA9, 'x'}), std::string(reinterpret_cast<char *>(buffer), 3));
}

TEST(CStringConverter, UTF8InPiecesJoinsTheSplitCharacter)
{
    const BYTE partial[] = {0xE2, 0x82};
    const BYTE rest[] = {0xAC, 0x41};
    EXPECT_EQ(L"\u20acA", CStringConverter::UTF8toW(partial, 2, rest, 2));
    EXPECT_EQ(L"\u20ac", CStringConverter::UTF8toW(partial, 2, rest, 1));
    EXPECT_EQ(L"A", CStringConverter::UTF8toW(nullptr, 0, rest + 1, 1));

    const BYTE tooLong[] = {0xC3, 0xA9, 0xA9};
    ExpectFailure([&] { CStringConverter::UTF8toW(tooLong, 3, rest, 2); }, L"CStringConverter::UTF8toW()",
                  L"Partial character contains too many bytes:  3and character is only: 2 bytes long");

    // A piece that still leaves the character incomplete is refused, not read past.
    const BYTE fourByteStart[] = {0xF0};
    const BYTE second[] = {0x9F};
    ExpectFailure([&] { CStringConverter::UTF8toW(fourByteStart, 1, second, 1); }, L"CStringConverter::UTF8toW()",
                  L"Input of 1 bytes does not complete the partial character of 4 bytes");
}

TEST(CStringConverter, UTF8CharacterLengths)
{
    EXPECT_EQ(1u, CStringConverter::GetBytesInUTF8Character(0x41));
    EXPECT_EQ(2u, CStringConverter::GetBytesInUTF8Character(0xC3));
    EXPECT_EQ(3u, CStringConverter::GetBytesInUTF8Character(0xE2));
    EXPECT_EQ(4u, CStringConverter::GetBytesInUTF8Character(0xF0));
    EXPECT_EQ(4u, CStringConverter::GetBytesInUTF8Character(0xFF));
    ExpectFailure([] { CStringConverter::GetBytesInUTF8Character(0x80); },
                  L"CStringConverter::GetBytesInUTF8Character()", L"Not a start character: 0x80");
}
