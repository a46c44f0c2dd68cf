#include "win32/ToString.h"

#include <gtest/gtest.h>

#include <climits>

using namespace Halyard::Win32;

TEST(ToString, ExtremesFitTheirBuffers)
{
    EXPECT_EQ(L"4294967295", ToString(4294967295u));
    EXPECT_EQ(L"-2147483648", ToString(INT_MIN));
    EXPECT_EQ(L"18446744073709551615", ToString(18446744073709551615ull));
    EXPECT_EQ("-9223372036854775808", ToStringA(LLONG_MIN));
}
