#include "win32/ToString.h"

#include <gtest/gtest.h>

#include <climits>

using namespace Halyard::Win32;

TEST(ToString, ExtremesFitTheirBuffers)
{
    EXPECT_EQ(L"4294967295", ToString(4294967295u));
    EXPECT_EQ(L"-2147483648", ToString(INT_MIN));
    EXPECT_EQ(L"65535", ToString(static_cast<unsigned short>(65535)));
    EXPECT_EQ(L"-32768", ToString(static_cast<short>(SHRT_MIN)));
    EXPECT_EQ(L"4294967295", ToString(ULONG_MAX));
    EXPECT_EQ(L"-2147483648", ToString(LONG_MIN));
    EXPECT_EQ(L"18446744073709551615", ToString(18446744073709551615ull));
    EXPECT_EQ("18446744073709551615", ToStringA(18446744073709551615ull));
    EXPECT_EQ(L"-9223372036854775808", ToString(LLONG_MIN));
    EXPECT_EQ("-9223372036854775808", ToStringA(LLONG_MIN));
    EXPECT_EQ(L"1.5", ToString(1.5f));
    EXPECT_EQ("0.1", ToStringA(0.1));
}

TEST(ToString, PointersAreUpperCaseDigitsOfPointerWidth)
{
    const void *pointer = reinterpret_cast<const void *>(static_cast<UINT_PTR>(0xABC12));
    const std::string expected = sizeof(void *) == 8 ? "00000000000ABC12" : "000ABC12";
    EXPECT_EQ(expected, ToStringA(pointer));
    EXPECT_EQ(std::wstring(expected.begin(), expected.end()), ToString(pointer));
}

TEST(ToString, HexFlagsChooseCasePrefixAndWidth)
{
    const unsigned char ab = 0xAB;
    EXPECT_EQ(L"ab", ToString(ab, HexNone));
    EXPECT_EQ(L"0xAB", ToString(ab, HexUpperCase | HexPrefix));
    EXPECT_EQ(L"0xAB", ToString(ab, HexUpperCase | HexPrefix | HexFullWidth));
    EXPECT_EQ(L"0x80", ToString(static_cast<unsigned char>(0x80), HexPrefix | HexUpperCase | HexFullWidth));
    EXPECT_EQ(L"0x0f", ToString(static_cast<unsigned char>(0x0F), HexPrefix | HexFullWidth));
    EXPECT_EQ(L"0005", ToString(static_cast<unsigned short>(5), HexFullWidth));
    EXPECT_EQ(L"00000001", ToString(1u, HexFullWidth));
    EXPECT_EQ(L"0xDEADBEEF", ToString(0xDEADBEEFu, HexPrefix | HexUpperCase));
    EXPECT_EQ(L"0x0000ffff", ToString(0xFFFFul, HexPrefix | HexFullWidth));
    EXPECT_EQ(L"ffffffff", ToString(-1l, HexNone));
    EXPECT_EQ(L"0x0000000100000000", ToString(0x100000000ull, HexPrefix | HexFullWidth));
    EXPECT_EQ("123456789ABCDEF0", ToStringA(0x123456789ABCDEF0ull, HexUpperCase));
}

TEST(ToString, PointerSizedSignedValuesWidenWithTheirSign)
{
    EXPECT_EQ(L"ffffffffffffffff", ToString(static_cast<INT_PTR>(-1), HexFullWidth));
    EXPECT_EQ(L"0xFFFFFFFFFFFFFFFE", ToString(static_cast<INT_PTR>(-2), HexPrefix | HexUpperCase));
    EXPECT_EQ(L"7f", ToString(static_cast<INT_PTR>(0x7F), HexNone));
}

TEST(ToString, HexAndBooleans)
{
    EXPECT_EQ("0A", ToHexA(0x0A));
    EXPECT_EQ(L"FF", ToHexW(0xFF));
    EXPECT_EQ(L"1", BoolAsStringW(true));
    EXPECT_EQ("0", BoolAsStringA(false));
    EXPECT_EQ(L"True", BoolAsTrueFalseW(true));
    EXPECT_EQ("False", BoolAsTrueFalseA(false));
}

TEST(ToHexString, TwoDigitsPerByteInTheRequestedCase)
{
    BYTE bytes[16];
    for (BYTE i = 0; i < 16; ++i)
    {
        bytes[i] = i;
    }
    EXPECT_EQ(L"000102030405060708090A0B0C0D0E0F", ToHexStringW(bytes, 16, HexUpperCase));
    EXPECT_EQ("000102030405060708090a0b0c0d0e0f", ToHexStringA(bytes, 16, HexNone));
    const BYTE high[] = {0xF0, 0x0D};
    EXPECT_EQ(L"0xf00d", ToHexStringW(high, 2, HexPrefix | HexFullWidth));
    EXPECT_EQ(L"", ToHexStringW(high, 0, HexUpperCase));
    EXPECT_EQ("0x", ToHexStringA(high, 0, HexPrefix));
}

TEST(DumpData, OneLineWhenWidthIsZero)
{
    const BYTE bytes[] = {0x80, 0x41};
    EXPECT_EQ(L"80 41  - .A", DumpData(bytes, 2, 0));
    EXPECT_EQ(".A", DumpDataA("", bytes, 2, 0, true, false, true, false));
    EXPECT_EQ(L"", DumpData(bytes, 0, 0));
}

TEST(DumpData, LinesArePaddedPrefixedAndEnded)
{
    const BYTE bytes[] = {'a', 'b', 'c', 0x00, 'e'};
    // (10 - 1) / 3 = 3 bytes per line; the short last line is padded to the hex column's width.
    EXPECT_EQ(L"61 62 63  - abc\n00 65     - .e\n", DumpData(bytes, 5, 10));
    EXPECT_EQ(L"61 62 63  - abc\r\n00 65     - .e\r\n", DumpData(bytes, 5, 10, true));
    EXPECT_EQ(L"abc\n.e\n", DumpDataAsText(bytes, 5, 10));
    EXPECT_EQ(L"61 62 63  - abc\n> 00 65     - .e",
              DumpDataW(L"> ", bytes, 5, 10, false, false, false, false));
    EXPECT_EQ("> abc\n> .e", DumpDataA("> ", bytes, 5, 10, true, false, true, false));
    // Non-ASCII prefixes survive in the wide form.
    EXPECT_EQ(L"\u00e9abc\n\u00e9.e", DumpDataW(L"\u00e9", bytes, 5, 10, true, false, true, false));
}

TEST(DumpData, WidthTooNarrowForAByteShowsOnePerLine)
{
    const BYTE bytes[] = {'x', 'y'};
    EXPECT_EQ(L"78  - x\n79  - y\n", DumpData(bytes, 2, 2));
}
