#include "win32/Digest.h"
#include "win32/Exception.h"
#include "win32/ToString.h"

#include <gtest/gtest.h>

using namespace Halyard::Win32;

namespace {

std::wstring Md5Of(const std::string &text)
{
    BYTE digest[16];
    GetMD5Digest(reinterpret_cast<const BYTE *>(text.data()), static_cast<DWORD>(text.size()), digest, 16);
    return ToHexStringW(digest, 16, HexUpperCase);
}

} // namespace

TEST(GetMD5Digest, MatchesKnownDigests)
{
    EXPECT_EQ(L"D41D8CD98F00B204E9800998ECF8427E", Md5Of(""));
    EXPECT_EQ(L"900150983CD24FB0D6963F7D28E17F72", Md5Of("abc"));
    EXPECT_EQ(L"9E107D9D372BB6826BD81D3542A419D6", Md5Of("The quick brown fox jumps over the lazy dog"));
}

TEST(GetMD5Digest, RefusesAnOutputThatIsNotSixteenBytes)
{
    BYTE digest[16] = {};
    try
    {
        GetMD5Digest(nullptr, 0, digest, 15);
        FAIL() << "expected an exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"GetMD5Digest()", e.GetWhere());
        EXPECT_EQ(L"Unexpected output length: 15 expected: 16", e.GetMessage());
    }
}
