#include "tests/provider/ProviderTestSupport.h"

#include "tools/perfclient/PerfData.h"

#include <gtest/gtest.h>

using namespace Halyard;
using namespace Halyard::Testing;
using Halyard::PerfClient::CPerformanceData;

// The system's own performance library loads the registered module, calls it and hands back the
// TARN object with the instances and values that a server in another process wrote.
TEST(ProviderPerfLib, SystemPerformanceLibraryReturnsTheServersCounters)
{
    PerfClient::CProviderRegistration registration(TarnProductName, ProviderPath(), kFirstCounter);
    // A TARN server in another process, with one instance and a value in its first counter.
    CHelperHolding server(L"hold TARN " + std::to_wstring(kFirstCounter), L" gateway 31337");

    for (const wchar_t *query : {L"Global", L"7000"})
    {
        const CPerformanceData data = CPerformanceData::Parse(PerfClient::QueryPerformanceData(query));
        const CPerformanceData::Object *object = data.FindObject(kFirstCounter);
        ASSERT_NE(nullptr, object) << query;
        EXPECT_EQ(26u, object->header.NumCounters);
        EXPECT_EQ(kFirstCounter + 1, object->header.ObjectHelpTitleIndex);
        ASSERT_EQ(1u, object->instances.size());
        EXPECT_EQ(L"gateway", object->instances[0].name);
        EXPECT_EQ(31337u, PerfClient::ReadCounterValue(object->counters.at(0), object->instances[0].counterBlock));
        EXPECT_EQ(kFirstCounter + 2, object->counters.at(0).CounterNameTitleIndex);
    }
    const CPerformanceData costly = CPerformanceData::Parse(PerfClient::QueryPerformanceData(L"Costly"));
    EXPECT_EQ(nullptr, costly.FindObject(kFirstCounter));
}
