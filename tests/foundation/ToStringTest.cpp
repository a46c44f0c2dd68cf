#include "win32/ToString.h"

#include <gtest/gtest.h>

#include <climits>

using namespace Halyard::Win32;

TEST(ToString, ExtremesFitTheirBuffers)
{
    EXPECT_EQ(L"4294967295", ToString(4294967295u));
    EXPECT_EQ(L"-2147483648", ToString(INT_MIN));
    EXPECT_EQ(L"-32768", ToString(static_cast<short>(SHRT_MIN)));
    EXPECT_EQ(L"-2147483648", ToString(LONG_MIN));
    EXPECT_EQ(L"18446744073709551615", ToString(18446744073709551615ull));
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
    EXPECT_EQ(L"ab", ToString(static_cast<unsigned char>(0xAB), HexNone));
    EXPECT_EQ(L"0x80", ToString(static_cast<unsigned char>(0x80), HexPrefix | HexUpperCase | HexFullWidth));
    EXPECT_EQ(L"0x0f", ToString(static_cast<unsigned char>(0x0F), HexPrefix | HexFullWidth));
    EXPECT_EQ(L"0005", ToString(static_cast<unsigned short>(5), HexFullWidth));
    EXPECT_EQ(L"0xDEADBEEF", ToString(0xDEADBEEFu, HexPrefix | HexUpperCase));
    EXPECT_EQ(L"0x0000ffff", ToString(0xFFFFul, HexPrefix | HexFullWidth));
    EXPECT_EQ(L"ffffffff", ToString(-1l, HexNone));
    EXPECT_EQ(L"0x0000000100000000", ToString(0x100000000ull, HexPrefix | HexFullWidth));
    EXPECT_EQ("123456789ABCDEF0", ToStringA(0x123456789ABCDEF0ull, HexUpperCase));
    // Pointer-sized signed values widen with their sign.
    EXPECT_EQ(L"ffffffffffffffff", ToString(static_cast<INT_PTR>(-1), HexFullWidth));
    EXPECT_EQ(L"0xFFFFFFFFFFFFFFFE", ToString(static_cast<INT_PTR>(-2), HexPrefix | HexUpperCase));
    EXPECT_EQ(L"7f", ToString(static_cast<INT_PTR>(0x7F), HexNone));
    EXPECT_EQ("0A", ToHexA(0x0A));
}

TEST(ToHexString, TwoDigitsPerByteInTheRequestedCase)
{
    const BYTE bytes[] = {0x00, 0x0A, 0xF0, 0x0D};
    EXPECT_EQ(L"000AF00D", ToHexStringW(bytes, 4, HexUpperCase));
    EXPECT_EQ("000af00d", ToHexStringA(bytes, 4, HexNone));
    EXPECT_EQ(L"0xf00d", ToHexStringW(bytes + 2, 2, HexPrefix | HexFullWidth));
    EXPECT_EQ(L"", ToHexStringW(bytes, 0, HexUpperCase));
    EXPECT_EQ("0x", ToHexStringA(bytes, 0, HexPrefix));
}

TEST(DumpData, LinesArePaddedPrefixedAndEnded)
{
    const BYTE example[] = {0x80, 0x41};
    EXPECT_EQ(L"80 41  - .A", DumpData(example, 2, 0));
    EXPECT_EQ(L"", DumpData(example, 0, 0));
    // A width too narrow for a byte still shows one per line.
    EXPECT_EQ(L"80  - .\n41  - A\n", DumpData(example, 2, 2));

    const BYTE bytes[] = {'a', 'b', 'c', 0x00, 'e'};
    // (10 - 1) / 3 = 3 bytes per line; the short last line is padded to the hex column's width.
    EXPECT_EQ(L"61 62 63  - abc\n00 65     - .e\n", DumpData(bytes, 5, 10));
    EXPECT_EQ(L"61 62 63  - abc\r\n00 65     - .e\r\n", DumpData(bytes, 5, 10, true));
    EXPECT_EQ(L"abc\n.e\n", DumpDataAsText(bytes, 5, 10));
    EXPECT_EQ(L"61 62 63  - abc\n> 00 65     - .e", DumpDataW(L"> ", bytes, 5, 10, false, false, false, false));
    EXPECT_EQ("> abc\n> .e", DumpDataA("> ", bytes, 5, 10, true, false, true, false));
    // Non-ASCII prefixes survive in the wide form.
    EXPECT_EQ(L"\u00e9abc\n\u00e9.e", DumpDataW(L"\u00e9", bytes, 5, 10, true, false, true, false));
}
