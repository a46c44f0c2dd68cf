// A server that keeps the block's lock, or dies holding it: collects give up within the deadline
// with nothing, and come back by themselves once the owner is gone.
#include "tests/collector/CollectTestSupport.h"

#include "tests/support/Watchdog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

using namespace Halyard;
using namespace Halyard::Testing;

namespace {

class CollectLock : public ::testing::Test
{
protected:
    CollectLock()
        : m_base(UniqueName(L"HalyardHeld")),
          m_readyName(UniqueName(L"HalyardHeldReady")),
          m_releaseName(UniqueName(L"HalyardHeldRelease")),
          m_ready(m_readyName),
          m_release(m_releaseName),
          m_schema(CreateTarnCounterSet()),
          m_server(Win32::CGlobalName(m_base), m_schema, 1000, nullptr),
          m_collector(Win32::CGlobalName(m_base), m_schema, 1000, nullptr, 100),
          m_buffer(4096)
    {
        DWORD created = 0;
        m_server.AllocateObjectInstance(m_server.GetObjectDefinition(0), L"steady", created);
        m_collector.Open(L"");
    }

    std::unique_ptr<CChildProcess> StartHolder()
    {
        std::unique_ptr<CChildProcess> holder(new CChildProcess(
            L"collector_helper.exe", L"hold " + m_base + L" " + m_readyName + L" " + m_releaseName));
        EXPECT_TRUE(m_ready.Wait());
        return holder;
    }

    // A collect that must give up: the caller's counts 0, its cursor and buffer untouched.
    void ExpectNothingCollected()
    {
        void *cursor = m_buffer.Data();
        DWORD bytes = m_buffer.Size();
        DWORD objects = 7;
        const ULONGLONG start = ::GetTickCount64();
        try
        {
            m_collector.Collect(L"Global", &cursor, &bytes, &objects);
            ADD_FAILURE() << "a collect returned data while another process held the lock";
        }
        catch (const Win32::CException &e)
        {
            EXPECT_EQ(L"COptex::Enter()", e.GetWhere());
            EXPECT_EQ(0u, e.GetMessage().find(L"Timed out after")) << e.GetMessage().c_str();
        }
        const ULONGLONG waited = ::GetTickCount64() - start;
        std::printf("collect gave up after %llu ms\n", waited);
        EXPECT_LT(waited, 1000u);
        EXPECT_EQ(0u, bytes);
        EXPECT_EQ(0u, objects);
        EXPECT_EQ(m_buffer.Data(), cursor);
        EXPECT_TRUE(m_buffer.Untouched());
    }

    std::wstring m_base;
    std::wstring m_readyName;
    std::wstring m_releaseName;
    CNamedSignal m_ready;
    CNamedSignal m_release;
    PerfMon::CPerformanceDataSchema m_schema;
    PerfMon::CPerformanceDataBlock m_server;
    PerfMon::CPerformanceDataCollector m_collector;
    CGuardedBuffer m_buffer;
};

} // namespace

TEST_F(CollectLock, LiveHolderMakesCollectAndOpenGiveUpWithNothing)
{
    std::unique_ptr<CChildProcess> holder = StartHolder();
    CWatchdog watchdog(20000);
    ExpectNothingCollected();
    ExpectNothingCollected();

    PerfMon::CPerformanceDataCollector late(Win32::CGlobalName(m_base), m_schema, 1000, nullptr, 100);
    EXPECT_THROW(late.Open(L""), Win32::CException);

    m_release.Set();
    EXPECT_EQ(0u, holder->Wait());
    const CollectResult r = CollectInto(m_collector, L"Global", m_buffer.Data(), m_buffer.Size());
    EXPECT_TRUE(r.result);
    EXPECT_EQ(1u, r.objects);
    EXPECT_EQ(1, reinterpret_cast<const PERF_OBJECT_TYPE *>(m_buffer.Data())->NumInstances);
}

TEST_F(CollectLock, HolderKilledWhileHoldingGivesTheCountersBack)
{
    {
        std::unique_ptr<CChildProcess> holder = StartHolder();
        ::TerminateProcess(holder->Handle(), 9);
        ASSERT_EQ(9u, holder->Wait());
    }
    CWatchdog watchdog(20000);
    const ULONGLONG start = ::GetTickCount64();
    const CollectResult r = CollectInto(m_collector, L"Global", m_buffer.Data(), m_buffer.Size());
    std::printf("first collect after the holder died took %llu ms\n", ::GetTickCount64() - start);
    ASSERT_TRUE(r.result);
    ASSERT_EQ(1u, r.objects);
    EXPECT_EQ("", CheckObjects(m_buffer.Data(), r.bytes, r.objects));

    // The server takes instances again without restarting anything.
    DWORD created = 0;
    EXPECT_EQ(2u, m_server.AllocateObjectInstance(m_server.GetObjectDefinition(0), L"after", created));
    EXPECT_EQ(1u, created);
}
