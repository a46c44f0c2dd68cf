#include "tests/collector/CollectTestSupport.h"

#include "tests/support/Expect.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace Halyard;
using namespace Halyard::Testing;

TEST(CollectorLifecycle, OpenAndCloseFollowTheirOrder)
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    const std::wstring name = UniqueName(L"HalyardLifecycle");
    PerfMon::CPerformanceDataCollector collector(Win32::CGlobalName(name), schema, 1000, nullptr);

    EXPECT_EQ(L"CPerformanceDataCollector::Close() - Error: collector has not been opened",
              ThrownText([&] { collector.Close(); }));

    std::vector<BYTE> buffer(4096);
    DWORD bytes = 4096;
    DWORD objects = 7;
    void *cursor = buffer.data();
    EXPECT_EQ(L"CPerformanceDataCollector::Collect() - Error: collector has not been opened",
              ThrownText([&] { collector.Collect(L"Global", &cursor, &bytes, &objects); }));
    EXPECT_EQ(0u, bytes);
    EXPECT_EQ(0u, objects);
    EXPECT_EQ(buffer.data(), cursor);

    collector.Open(L"");
    EXPECT_EQ(L"CPerformanceDataCollector::Open() - Error: collector is alread open",
              ThrownText([&] { collector.Open(L""); }));
    EXPECT_TRUE(CollectInto(collector, L"Global", buffer.data(), 4096).result);
    collector.Close();
    EXPECT_EQ(L"CPerformanceDataCollector::Close() - Error: collector has not been opened",
              ThrownText([&] { collector.Close(); }));

    // Reopened, it builds its table afresh from the block it attaches.
    collector.Open(L"");
    PerfMon::CPerformanceDataBlock server(Win32::CGlobalName(name), schema, 1000, nullptr);
    DWORD created = 0;
    server.AllocateObjectInstance(server.GetObjectDefinition(0), L"late", created);
    const CollectResult r = CollectInto(collector, L"Global", buffer.data(), 4096);
    EXPECT_EQ(1, reinterpret_cast<const PERF_OBJECT_TYPE *>(buffer.data())->NumInstances);
    EXPECT_EQ("", CheckObjects(buffer.data(), r.bytes, r.objects));
}

TEST(CollectorLifecycle, InvalidSchemaIsRefusedAtConstruction)
{
    const PerfMon::CPerformanceDataSchema empty(L"009");
    EXPECT_EQ(L"CPerformanceDataSchema::ValidateSchema() - Schema must have at least one object",
              ThrownText([&] {
                  PerfMon::CPerformanceDataCollector collector(Win32::CGlobalName(L"x"), empty, 1, nullptr);
              }));
}

TEST(CollectorLifecycle, OpenOfABlockOfAnotherSizeFailsAndCanBeRetried)
{
    const std::wstring name = UniqueName(L"HalyardOtherSize");
    PerfMon::CPerformanceDataSchema other(L"009");
    other.AddObject(L"Other", L"help", 100).AddCounter(L"One", L"one", 100, 0, 0x10000);
    std::unique_ptr<PerfMon::CPerformanceDataBlock> squatter(
        new PerfMon::CPerformanceDataBlock(Win32::CGlobalName(name), other, 1, nullptr));

    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataCollector collector(Win32::CGlobalName(name), schema, 1000, nullptr);
    EXPECT_NE(std::wstring::npos,
              ThrownText([&] { collector.Open(L""); }).find(L"Already exists and not the same size"));

    squatter.reset();
    collector.Open(L"");
    std::vector<BYTE> buffer(4096);
    EXPECT_TRUE(CollectInto(collector, L"Global", buffer.data(), 4096).result);
}

// Without a retry interval every collect tries again: a block that stays out of reach the same way
// is told once in 60 attempts, and the collects between give no data without a failure.
TEST(CollectorLifecycle, RetriesThatFailAlikeAreReportedOnceInSixty)
{
    const std::wstring name = UniqueName(L"HalyardRetry");
    PerfMon::CPerformanceDataSchema other(L"009");
    other.AddObject(L"Other", L"help", 100).AddCounter(L"One", L"one", 100, 0, 0x10000);
    std::unique_ptr<PerfMon::CPerformanceDataBlock> squatter(
        new PerfMon::CPerformanceDataBlock(Win32::CGlobalName(name), other, 1, nullptr));

    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataCollector collector(Win32::CGlobalName(name), schema, 1000, nullptr, 100, 0);
    EXPECT_THROW(collector.Open(L""), Win32::CException);
    std::vector<BYTE> buffer(4096);
    for (int round = 0; round < 2; ++round)
    {
        for (int attempt = 1; attempt < 60; ++attempt)
        {
            const CollectResult r = CollectInto(collector, L"Global", buffer.data(), 4096);
            ASSERT_TRUE(r.result) << attempt;
            ASSERT_EQ(0u, r.bytes) << attempt;
            ASSERT_EQ(buffer.data(), r.cursor) << attempt;
        }
        void *cursor = buffer.data();
        DWORD bytes = 4096;
        DWORD objects = 7;
        EXPECT_NE(std::wstring::npos, ThrownText([&] { collector.Collect(L"Global", &cursor, &bytes, &objects); })
                                          .find(L"Already exists and not the same size"));
        EXPECT_EQ(0u, bytes);
        EXPECT_EQ(0u, objects);
    }
    squatter.reset();
    EXPECT_EQ(1u, CollectInto(collector, L"Global", buffer.data(), 4096).objects);
}
