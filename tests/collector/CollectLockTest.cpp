// A server that keeps the block's lock: collects give up within the deadline, report nothing and
// leave the caller's buffer alone, and answer again once the lock is free.
#include "tests/collector/CollectTestSupport.h"

#include "tests/support/Expect.h"
#include "tests/support/Watchdog.h"

#include <gtest/gtest.h>

using namespace Halyard;
using namespace Halyard::Testing;

TEST(CollectLock, HeldBlockLockMakesCollectAndOpenGiveUpWithNothing)
{
    const std::wstring base = UniqueName(L"HalyardHeld");
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock server(Win32::CGlobalName(base), schema, 1000, nullptr);
    DWORD created = 0;
    server.AllocateObjectInstance(server.GetObjectDefinition(0), L"steady", created);
    PerfMon::CPerformanceDataCollector collector(Win32::CGlobalName(base), schema, 1000, nullptr, 100);
    collector.Open(L"");

    CHelperHolding holder(L"optex-hold Global\\" + base + L"_PerfData_Lock");
    CWatchdog watchdog(20000);
    CGuardedBuffer buffer(4096);
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        void *cursor = buffer.Data();
        DWORD bytes = buffer.Size();
        DWORD objects = 7;
        const ULONGLONG start = ::GetTickCount64();
        const std::wstring thrown = ThrownText([&] { collector.Collect(L"Global", &cursor, &bytes, &objects); });
        const ULONGLONG waited = ::GetTickCount64() - start;
        EXPECT_EQ(0u, thrown.find(L"COptex::Enter() - Timed out after")) << thrown;
        EXPECT_LT(waited, 1000u);
        EXPECT_EQ(0u, bytes);
        EXPECT_EQ(0u, objects);
        EXPECT_EQ(buffer.Data(), cursor);
        EXPECT_TRUE(buffer.Untouched());
    }
    PerfMon::CPerformanceDataCollector late(Win32::CGlobalName(base), schema, 1000, nullptr, 100);
    EXPECT_THROW(late.Open(L""), Win32::CException);

    EXPECT_EQ(0u, holder.Release());
    const CollectResult r = CollectInto(collector, L"Global", buffer.Data(), buffer.Size());
    EXPECT_TRUE(r.result);
    EXPECT_EQ(1u, r.objects);
    EXPECT_EQ(1, reinterpret_cast<const PERF_OBJECT_TYPE *>(buffer.Data())->NumInstances);
}
