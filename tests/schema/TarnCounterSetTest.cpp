#include "provider/TarnCounterSet.h"

#include <gtest/gtest.h>

#include <winperf.h>

#include <iostream>

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
    EXPECT_EQ(1332u, schema.GetObjectDefinitionsSize());
    EXPECT_EQ(624u, schema.GetCounterDataSize());

    // One row in full, its help text worded exactly as the server has it; the printed checksum stands for the rest.
    const auto &counter = *object.GetCounters()[3];
    EXPECT_EQ(L"Bytes Out/sec", counter.GetName());
    EXPECT_EQ(L"The number of bytes into out of the server per second", counter.GetHelp());
    EXPECT_EQ(static_cast<DWORD>(PERF_COUNTER_BULK_COUNT), counter.GetCounterType());
}

TEST(TarnCounterSet, ChecksumIsStableAcrossBuilds)
{
    const std::wstring checksum = CreateTarnCounterSet().GetChecksum();
    std::cout << "TARN schema checksum: " << std::string(checksum.begin(), checksum.end()) << std::endl;
    ASSERT_EQ(32u, checksum.size());
    EXPECT_EQ(std::wstring::npos, checksum.find_first_not_of(L"0123456789ABCDEF"));
    EXPECT_TRUE(CreateTarnCounterSet().ChecksumMatches(checksum));
}
