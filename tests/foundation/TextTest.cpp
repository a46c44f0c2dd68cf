#include "tests/support/Expect.h"
#include "win32/Digest.h"
#include "win32/StringConverter.h"
#include "win32/ToString.h"

#include <gtest/gtest.h>

#include <climits>

using namespace Halyard::Win32;
using Halyard::Testing::ExpectException;

TEST(ToString, NumbersFitTheirBuffersAndHexFlagsChooseCasePrefixAndWidth)
{
    const std::pair<std::wstring, const wchar_t *> cases[] = {
        {ToString(4294967295u), L"4294967295"},
        {ToString(LONG_MIN), L"-2147483648"},
        {ToString(18446744073709551615ull), L"18446744073709551615"},
        {ToString(0xABu, HexPrefix), L"0xab"},
        {ToString(static_cast<unsigned char>(0x0F), HexPrefix | HexFullWidth), L"0x0f"},
        {ToString(static_cast<unsigned char>(0x80), HexPrefix | HexUpperCase | HexFullWidth), L"0x80"},
        {ToString(0xFFFFul, HexPrefix | HexFullWidth), L"0x0000ffff"},
        {ToString(0x100000000ull, HexPrefix | HexFullWidth), L"0x0000000100000000"},
        {ToHexStringW(reinterpret_cast<const BYTE *>("\x00\x0A\xF0\x0D"), 4, HexUpperCase), L"000AF00D"},
        {ToHexStringW(nullptr, 0, HexUpperCase), L""},
    };
    for (const auto &c : cases)
    {
        EXPECT_EQ(c.second, c.first);
    }
    EXPECT_EQ("4294967295", ToStringA(4294967295ul));
}

// The digest goes into a caller's buffer of exactly sixteen bytes; anything else is refused, not overrun.
TEST(GetMD5Digest, RefusesAnOutputThatIsNotSixteenBytes)
{
    BYTE digest[16] = {};
    ExpectException([&] { GetMD5Digest(nullptr, 0, digest, 15); }, L"GetMD5Digest()",
                    L"Unexpected output length: 15 expected: 16");
}

TEST(CStringConverter, ConvertsInTheCodePageAndRefusesWhatTheSignedLengthCannotHold)
{
    const std::string latin1Cafe("caf\xE9");
    EXPECT_EQ(L"caf\u00e9", CStringConverter::AtoW(latin1Cafe, CCodePage(1252)));
    EXPECT_EQ(latin1Cafe, CStringConverter::WtoA(L"caf\u00e9", CCodePage(1252)));
    EXPECT_EQ("\xE2\x82\xAC" "1", CStringConverter::WtoA(L"\u20ac1", CCodePage(CP_UTF8)));
    EXPECT_EQ(L"\U0001F600A", CStringConverter::UTF8toW(reinterpret_cast<const BYTE *>("\xF0\x9F\x98\x80" "A"), 5));
    // A pointer the platform would refuse: only the length-0 rule keeps these from failing.
    EXPECT_EQ(L"", CStringConverter::AtoW(nullptr, 0));
    EXPECT_EQ("", CStringConverter::WtoA(nullptr, 0));
    EXPECT_EQ(L"", CStringConverter::UTF8toW(nullptr, 0));

    EXPECT_EQ(0x7FFFFFFFu, GetStringLength(0x7FFFFFFF, false));
    ExpectException([] { GetStringLength(0x7FFFFFFF, true); }, L"GetStringLength()",
                    L"String is too long to fit: 2147483648");
}
