#include "provider/TarnCounterSet.h"

#include <gtest/gtest.h>

#include <winperf.h>

#include <iostream>

using Halyard::PerfMon::CPerformanceDataSchema;
typedef CPerformanceDataSchema::Object Object;

TEST(TarnCounterSet, HasOneObjectWithThreeNamedSlotsAndTwentySixCounters)
{
    const CPerformanceDataSchema schema = CreateTarnCounterSet();
    EXPECT_EQ(std::wstring(L"TARN"), TarnProductName);
    EXPECT_EQ(L"009", schema.GetLanguageId());
    CPerformanceDataSchema::Strings languages;
    schema.GetSupportedLanguages(languages);
    EXPECT_EQ(CPerformanceDataSchema::Strings{L"009"}, languages);

    ASSERT_EQ(1u, schema.GetObjectCount());
    const Object &object = *schema.GetObjects().front();
    EXPECT_EQ(L"www.brindle.example:TARN", object.GetName());
    EXPECT_EQ(L"The \"Brindle TARN\" object type defines counters that apply to the TARN process as a whole. ",
              object.GetHelp());
    EXPECT_EQ(static_cast<DWORD>(PERF_DETAIL_NOVICE), object.GetDetailLevel());
    EXPECT_EQ(3u, object.GetMaxInstances());
    EXPECT_EQ(25u, object.GetMaxInstanceNameLength());
    EXPECT_EQ(52u, object.GetInstanceNameSpace());
    ASSERT_EQ(26u, object.GetCounters().size());
    EXPECT_EQ(1u, object.GetDefaultCounter());
    EXPECT_EQ(L"Bytes In", object.GetCounters()[0]->GetName());

    EXPECT_EQ(1332u, schema.GetObjectDefinitionsSize());
    EXPECT_EQ(624u, schema.GetCounterDataSize());
    EXPECT_EQ(1956u, schema.GetRequiredSize());
}

TEST(TarnCounterSet, CountersMatchTheServersTable)
{
    const CPerformanceDataSchema schema = CreateTarnCounterSet();
    const Object &object = *schema.GetObjects().front();

    // A few rows checked in full, every row for its level; the checksum below covers the rest.
    const auto &counters = object.GetCounters();
    EXPECT_EQ(L"Bytes Out/sec", counters[3]->GetName());
    EXPECT_EQ(L"The number of bytes into out of the server per second", counters[3]->GetHelp());
    EXPECT_EQ(-4, counters[3]->GetDefaultScale());
    EXPECT_EQ(static_cast<DWORD>(PERF_COUNTER_BULK_COUNT), counters[3]->GetCounterType());

    EXPECT_EQ(L"IO Threads Events/sec", counters[19]->GetName());
    EXPECT_EQ(L"The number of I/O events processed per second", counters[19]->GetHelp());
    EXPECT_EQ(-3, counters[19]->GetDefaultScale());
    EXPECT_EQ(static_cast<DWORD>(PERF_COUNTER_COUNTER), counters[19]->GetCounterType());

    EXPECT_EQ(L"Business Logic Queue -/sec", counters[25]->GetName());
    EXPECT_EQ(L"The total number of requests removed from the business logic queue per second",
              counters[25]->GetHelp());
    EXPECT_EQ(0, counters[25]->GetDefaultScale());
    EXPECT_EQ(static_cast<DWORD>(PERF_COUNTER_COUNTER), counters[25]->GetCounterType());

    EXPECT_EQ(-6, counters[0]->GetDefaultScale());
    EXPECT_EQ(static_cast<DWORD>(PERF_COUNTER_LARGE_RAWCOUNT), counters[0]->GetCounterType());
    EXPECT_EQ(static_cast<DWORD>(PERF_COUNTER_RAWCOUNT), counters[4]->GetCounterType());
    for (const auto &counter : counters)
    {
        EXPECT_EQ(static_cast<DWORD>(PERF_DETAIL_NOVICE), counter->GetDetailLevel()) << counter->GetName();
    }
}

TEST(TarnCounterSet, ChecksumIsStableAcrossBuilds)
{
    const std::wstring checksum = CreateTarnCounterSet().GetChecksum();
    std::cout << "TARN schema checksum: " << std::string(checksum.begin(), checksum.end()) << std::endl;

    ASSERT_EQ(32u, checksum.size());
    for (wchar_t c : checksum)
    {
        EXPECT_TRUE((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F')) << "digit " << static_cast<int>(c);
    }
    EXPECT_EQ(checksum, CreateTarnCounterSet().GetChecksum());
    EXPECT_TRUE(CreateTarnCounterSet().ChecksumMatches(checksum));
}
