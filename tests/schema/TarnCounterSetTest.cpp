#include "provider/TarnCounterSet.h"

#include <gtest/gtest.h>

// Installed servers compare against this value; any change to a name, help text, type, instance
// limit or the default counter moves it.
TEST(TarnCounterSet, ChecksumIsPinned)
{
    EXPECT_EQ(L"3C6CD357451860A14F2CC2C8258E2AC7", CreateTarnCounterSet().GetChecksum());
}
