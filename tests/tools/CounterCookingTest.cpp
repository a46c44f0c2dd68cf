#include "tools/tarnmon/CounterCooking.h"
#include "tools/tarnmon/Exposition.h"
#include "win32/Exception.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <set>

using namespace Halyard;
using namespace Halyard::TarnMon;

namespace {

const LONGLONG kFrequency = 10000000;

Counter Make(const std::wstring &name, DWORD type, LONG scale = 0, DWORD offset = 8, DWORD size = 8)
{
    return Counter{name, L"help of " + name, type, scale, offset, size};
}

SYSTEMTIME Time(WORD hour, WORD minute, WORD second, WORD milliseconds)
{
    return SYSTEMTIME{2024, 3, 0, 7, hour, minute, second, milliseconds};
}

} // namespace

// Raw counts as they are; rates as the increase over the elapsed time base; no value where there is
// nothing to compare with.
TEST(Cooking, ValuesFollowTheCounterType)
{
    const ULONGLONG one = 1;
    const ULONGLONG before = 1000;
    const ULONGLONG large = 5000000000ull;
    const struct
    {
        DWORD type;
        const ULONGLONG *previous;
        ULONGLONG value;
        LONGLONG elapsed;
        LONGLONG frequency;
        std::optional<double> cooked;
    } cases[] = {
        {PERF_COUNTER_RAWCOUNT, nullptr, 13, 0, 0, 13.0},
        {PERF_COUNTER_LARGE_RAWCOUNT, &one, large, kFrequency, kFrequency, 5000000000.0},
        // 600 more in 1.5 s.
        {PERF_COUNTER_COUNTER, &before, 1600, 15000000, kFrequency, 400.0},
        // Beyond 32 bits: 3,000,000 more in 0.5 s at a 1 MHz time base.
        {PERF_COUNTER_BULK_COUNT, &large, large + 3000000, 500000, 1000000, 6000000.0},
        {PERF_COUNTER_COUNTER, nullptr, 1600, 15000000, kFrequency, std::nullopt},
        {PERF_COUNTER_COUNTER, &before, 1600, 0, kFrequency, std::nullopt},
        {PERF_COUNTER_BULK_COUNT, &large, 10, kFrequency, kFrequency, 0.0},
        {PERF_COUNTER_TIMER, &before, 1600, kFrequency, kFrequency, std::nullopt},
    };
    for (const auto &c : cases)
    {
        const auto cooked = Cook(Make(L"counter", c.type), c.previous, c.value, c.elapsed, c.frequency);
        ASSERT_EQ(c.cooked.has_value(), cooked.has_value()) << c.type << " " << c.value;
        if (cooked)
        {
            EXPECT_DOUBLE_EQ(*c.cooked, *cooked) << c.type << " " << c.value;
        }
    }
    EXPECT_DOUBLE_EQ(12.345678, ApplyDefaultScale(12345678, -6));
    EXPECT_DOUBLE_EQ(400.0, ApplyDefaultScale(400, 0));
    EXPECT_DOUBLE_EQ(4000.0, ApplyDefaultScale(400, 1));
}

TEST(Cooking, RawValueIsReadWithTheCountersSizeInsideItsBlock)
{
    std::vector<BYTE> block(24, 0);
    const ULONGLONG value = 0x1122334455667788ull;
    std::memcpy(block.data() + 8, &value, sizeof(value));
    EXPECT_EQ(value, ReadRawValue(Make(L"large", PERF_COUNTER_BULK_COUNT, 0, 8, 8), block));
    EXPECT_EQ(0x55667788u, ReadRawValue(Make(L"dword", PERF_COUNTER_RAWCOUNT, 0, 8, 4), block));
    EXPECT_THROW(ReadRawValue(Make(L"outside", PERF_COUNTER_BULK_COUNT, 0, 20, 8), block), Win32::CException);
    EXPECT_THROW(ReadRawValue(Make(L"odd size", PERF_COUNTER_BULK_COUNT, 0, 8, 2), block), Win32::CException);
}

// Counters are found by their installed title indexes, named from the built-in set, and the values
// of every instance read from its own block.
TEST(Cooking, SampleTakesCountersByTitleIndexAndNamesThemFromTheSet)
{
    const DWORD first = 7000;
    PerfClient::CPerformanceData::Object object = {};
    object.header.ObjectNameTitleIndex = first;
    const auto counter = [](DWORD title, DWORD type, LONG scale, DWORD offset) {
        return PERF_COUNTER_DEFINITION{sizeof(PERF_COUNTER_DEFINITION), title, {}, 0, {}, scale, 0, type, 8, offset};
    };
    // The queue, Bytes In/sec and a counter the set does not know.
    object.counters = {counter(first + 2 + 2 * 23, PERF_COUNTER_RAWCOUNT, 0, 4),
                       counter(first + 2 + 2 * 1, PERF_COUNTER_BULK_COUNT, -4, 4 + 8),
                       counter(9999, PERF_COUNTER_RAWCOUNT, 0, 4)};
    for (ULONGLONG n : {1ull, 2ull})
    {
        PerfClient::CPerformanceData::Instance instance = {};
        instance.name = L"gw" + std::to_wstring(n);
        instance.counterBlock.assign(20, 0);
        const ULONGLONG queueLength = 10 * n;
        const ULONGLONG bytes = 1000 * n;
        std::memcpy(instance.counterBlock.data() + 4, &queueLength, 8);
        std::memcpy(instance.counterBlock.data() + 12, &bytes, 8);
        object.instances.push_back(instance);
    }

    const Sample sample = ExtractSample(object, first, 123, kFrequency, Time(1, 2, 3, 4));
    ASSERT_EQ(2u, sample.counters.size());
    EXPECT_EQ(L"Bytes In/sec", sample.counters[0].name) << "in counter-set order";
    EXPECT_EQ(L"The number of bytes into the server per second", sample.counters[0].help);
    EXPECT_EQ(-4, sample.counters[0].defaultScale);
    EXPECT_EQ(L"Business Logic Queue", sample.counters[1].name);
    ASSERT_EQ(2u, sample.instances.size());
    EXPECT_EQ((std::vector<ULONGLONG>{2000, 20}), sample.instances[1].raw);
}

// Two samples: each instance is matched with itself by name, whatever their order.
TEST(Cooking, InstancesAreCookedAgainstTheirOwnPreviousValues)
{
    Sample before{0, kFrequency, Time(0, 0, 0, 0),
                  {Make(L"Bytes In/sec", PERF_COUNTER_BULK_COUNT), Make(L"Sockets In Use", PERF_COUNTER_RAWCOUNT)},
                  {{L"a", {100, 5}}, {L"b", {1000, 6}}}};
    Sample after = before;
    after.perfTime = 2 * kFrequency;
    after.instances = {{L"c", {50, 1}}, {L"b", {1600, 7}}, {L"a", {300, 8}}};

    const auto b = CookInstance(&before, after, after.instances[1]);
    EXPECT_DOUBLE_EQ(300.0, *b[0]);
    EXPECT_EQ(7.0, *b[1]);
    const auto a = CookInstance(&before, after, after.instances[2]);
    EXPECT_DOUBLE_EQ(100.0, *a[0]);
    const auto c = CookInstance(&before, after, after.instances[0]);
    EXPECT_FALSE(c[0]) << "a new instance has no rate yet";
    EXPECT_EQ(1.0, *c[1]);
}

TEST(Cooking, CsvFollowsTypeperfsLayout)
{
    EXPECT_EQ(L"\"(PDH-CSV 4.0) (India Standard Time)(-330)\",\"\\\\HOST\\www.x:TARN(gw1)\\Bytes In\","
              L"\"\\\\HOST\\www.x:TARN(g\"\"2)\\Bytes In/sec\"",
              CsvHeader(L"HOST", L"www.x:TARN", {L"India Standard Time", -330},
                        {{L"gw1", L"Bytes In"}, {L"g\"2", L"Bytes In/sec"}}));
    EXPECT_EQ(L"\"03/07/2024 14:05:09.042\",\"12.000000\",\"1234.567891\",\" \"",
              CsvRow(Time(14, 5, 9, 42), {12.0, 1234.5678912, std::nullopt}));
}

// Every counter of the set feeds exactly one metric; names follow the conventions the checkers enforce.
TEST(Exposition, EveryCounterFeedsOneMetric)
{
    std::vector<std::wstring> fed;
    std::set<std::wstring> families;
    for (const MetricDefinition &metric : TarnMetrics())
    {
        EXPECT_THAT(metric.family, ::testing::StartsWith(L"tarn_"));
        EXPECT_THAT(metric.family, ::testing::Not(::testing::HasSubstr(L"_total")));
        EXPECT_THAT(metric.family, ::testing::EndsWith(metric.unit.empty() ? L"" : L"_" + metric.unit));
        EXPECT_TRUE(families.insert(metric.family).second) << metric.family;
        fed.insert(fed.end(), metric.counters.begin(), metric.counters.end());
    }
    std::vector<std::wstring> known;
    for (const KnownCounter &counter : TarnCounters(0))
    {
        known.push_back(counter.name);
    }
    EXPECT_THAT(fed, ::testing::UnorderedElementsAreArray(known));
}

// A running total and its rate are one counter; awkward names are escaped per format.
TEST(Exposition, OneSampleInBothFormats)
{
    Sample sample{0, kFrequency, Time(0, 0, 0, 0),
                  {Make(L"Bytes In", PERF_COUNTER_LARGE_RAWCOUNT, -6), Make(L"Bytes In/sec", PERF_COUNTER_BULK_COUNT, -4),
                   Make(L"Sockets In Use", PERF_COUNTER_RAWCOUNT), Make(L"IO Threads Events/sec", PERF_COUNTER_COUNTER)},
                  {{L"gw1", {5000000000ull, 5000000000ull, 3, 9}}, {L"o\"d\\d\nZ\u00fcrich", {7, 7, 0, 1}}}};
    sample.counters[0].help = L"bytes \"in\"\\";
    sample.counters[3].help = L"events per second";

    EXPECT_EQ(L"# HELP tarn_up Whether the TARN server is running: 1 when its object has instances, 0 when not\n"
              L"# TYPE tarn_up gauge\n"
              L"tarn_up 1\n"
              L"# HELP tarn_received_bytes_total bytes \"in\"\\\\\n"
              L"# TYPE tarn_received_bytes_total counter\n"
              L"tarn_received_bytes_total{server=\"gw1\"} 5000000000\n"
              L"tarn_received_bytes_total{server=\"o\\\"d\\\\d\\nZ\u00fcrich\"} 7\n"
              L"# HELP tarn_sockets_in_use help of Sockets In Use\n"
              L"# TYPE tarn_sockets_in_use gauge\n"
              L"tarn_sockets_in_use{server=\"gw1\"} 3\n"
              L"tarn_sockets_in_use{server=\"o\\\"d\\\\d\\nZ\u00fcrich\"} 0\n"
              L"# HELP tarn_io_thread_events_total events\n"
              L"# TYPE tarn_io_thread_events_total counter\n"
              L"tarn_io_thread_events_total{server=\"gw1\"} 9\n"
              L"tarn_io_thread_events_total{server=\"o\\\"d\\\\d\\nZ\u00fcrich\"} 1\n",
              FormatExposition(sample, true, ExpositionFormat::Prometheus));

    sample.instances.pop_back();
    EXPECT_EQ(L"# TYPE tarn_up gauge\n"
              L"# HELP tarn_up Whether the TARN server is running: 1 when its object has instances, 0 when not\n"
              L"tarn_up 1\n"
              L"# TYPE tarn_received_bytes counter\n"
              L"# UNIT tarn_received_bytes bytes\n"
              L"# HELP tarn_received_bytes bytes \\\"in\\\"\\\\\n"
              L"tarn_received_bytes_total{server=\"gw1\"} 5000000000\n"
              L"# TYPE tarn_sockets_in_use gauge\n"
              L"# HELP tarn_sockets_in_use help of Sockets In Use\n"
              L"tarn_sockets_in_use{server=\"gw1\"} 3\n"
              L"# TYPE tarn_io_thread_events counter\n"
              L"# HELP tarn_io_thread_events events\n"
              L"tarn_io_thread_events_total{server=\"gw1\"} 9\n"
              L"# EOF\n",
              FormatExposition(sample, true, ExpositionFormat::OpenMetrics));
}

// A stopped server is a value: tarn_up 0 and no families without samples.
TEST(Exposition, ServerNotRunning)
{
    const Sample empty{0, kFrequency, Time(0, 0, 0, 0), {Make(L"Bytes In", PERF_COUNTER_LARGE_RAWCOUNT)}, {}};
    EXPECT_EQ(L"# HELP tarn_up Whether the TARN server is running: 1 when its object has instances, 0 when not\n"
              L"# TYPE tarn_up gauge\n"
              L"tarn_up 0\n",
              FormatExposition(empty, false, ExpositionFormat::Prometheus));
    const std::wstring openMetrics = FormatExposition(empty, false, ExpositionFormat::OpenMetrics);
    EXPECT_EQ(L"tarn_up 0\n# EOF\n", openMetrics.substr(openMetrics.size() - 16));
}
