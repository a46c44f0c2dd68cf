#include "provider/TarnCounterSet.h"

#include <gtest/gtest.h>

#include <winperf.h>

using Halyard::PerfMon::CPerformanceDataSchema;

TEST(TarnCounterSet, HasOneObjectWithThreeNamedSlotsAndTwentySixCounters)
{
    const CPerformanceDataSchema schema = CreateTarnCounterSet();
    ASSERT_EQ(1u, schema.GetObjectCount());
    const CPerformanceDataSchema::Object &object = *schema.GetObjects().front();
    EXPECT_EQ(L"www.brindle.example:TARN", object.GetName());
    EXPECT_EQ(3u, object.GetMaxInstances());
    EXPECT_EQ(25u, object.GetMaxInstanceNameLength());
    ASSERT_EQ(26u, object.GetCounters().size());
    EXPECT_EQ(1u, object.GetDefaultCounter());

    // One row in full, its help text worded exactly as the server has it; the printed checksum stands for the rest.
    const auto &counter = *object.GetCounters()[3];
    EXPECT_EQ(L"Bytes Out/sec", counter.GetName());
    EXPECT_EQ(L"The number of bytes into out of the server per second", counter.GetHelp());
    EXPECT_EQ(static_cast<DWORD>(PERF_COUNTER_BULK_COUNT), counter.GetCounterType());
}

// Installed servers compare against this value; any change to a name, help text or type moves it.
TEST(TarnCounterSet, ChecksumIsPinned)
{
    EXPECT_EQ(L"3C6CD357451860A14F2CC2C8258E2AC7", CreateTarnCounterSet().GetChecksum());
}
