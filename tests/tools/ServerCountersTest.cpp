#include "perfmon/collector/PerformanceDataCollector.h"
#include "provider/TarnCounterSet.h"
#include "provider/TarnServerCounters.h"
#include "tests/support/ChildProcess.h"
#include "tools/perfclient/PerfData.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace Halyard;
using namespace Halyard::Testing;

namespace {

const DWORD kFirstCounter = 4000;
// Both halves of the 64-bit value move together, so a value read half before and half after an
// update shows unequal halves.
const LONGLONG kBothHalves = 0x100000001LL;

class ServerCounters : public ::testing::Test
{
protected:
    ServerCounters() : m_base(UniqueName(L"TarnServerTest")), m_counters(Win32::CGlobalName(m_base), kFirstCounter) {}

    DWORD InstancesInUse()
    {
        return m_counters.GetBlock().GetNamedInstanceCount(m_counters.GetBlock().GetObjectDefinition(0));
    }

    std::wstring m_base;
    CTarnServerCounters m_counters;
};

} // namespace

// Two writer threads update the same instance while a collector copies the block over and over:
// every copied value is whole and no update is lost.
TEST_F(ServerCounters, UpdatesAreAtomicAgainstWritersAndACollector)
{
    CTarnInstance instance = m_counters.TakeInstance(L"atomic");
    std::atomic<bool> stop(false);
    unsigned collects = 0;
    bool torn = false;
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    std::thread collector([&] {
        PerfMon::CPerformanceDataCollector reader(Win32::CGlobalName(m_base), schema, kFirstCounter, nullptr);
        reader.Open(nullptr);
        std::vector<BYTE> buffer(64 * 1024);
        for (; !stop; ++collects)
        {
            void *cursor = buffer.data();
            DWORD bytes = static_cast<DWORD>(buffer.size());
            DWORD objects = 0;
            reader.Collect(L"Global", &cursor, &bytes, &objects);
            const auto parsed = PerfClient::CPerformanceData::ParseObjects(buffer.data(), bytes, objects);
            for (size_t k : {0, 2})
            {
                const ULONGLONG value =
                    PerfClient::ReadCounterValue(parsed.at(0).counters.at(k), parsed[0].instances.at(0).counterBlock);
                torn = torn || (value >> 32) != (value & 0xFFFFFFFFull);
            }
        }
    });

    const LONGLONG kUpdates = 3000000;
    auto writer = [&](bool first) {
        for (LONGLONG i = 1; i <= kUpdates; ++i)
        {
            instance.Add(TarnCounter::BytesIn, kBothHalves);
            instance.Increment(TarnCounter::SocketsInUse);
            if (first)
            {
                instance.Set(TarnCounter::BytesOut, i * kBothHalves);
                instance.Increment(TarnCounter::ConnectionsActive);
            }
            else
            {
                instance.Set(TarnCounter::BytesOut, (kUpdates - i) * kBothHalves);
                instance.Decrement(TarnCounter::ConnectionsActive);
            }
        }
    };
    std::thread one(writer, true);
    std::thread two(writer, false);
    one.join();
    two.join();
    stop = true;
    collector.join();
    EXPECT_FALSE(torn) << "a torn value was collected";
    EXPECT_GE(collects, 20u) << "the collector must have copied the block while the writers wrote";
    EXPECT_EQ(2 * kUpdates * kBothHalves, instance.Get(TarnCounter::BytesIn));
    EXPECT_EQ(2 * kUpdates, instance.Get(TarnCounter::SocketsInUse));
    EXPECT_EQ(0, instance.Get(TarnCounter::ConnectionsActive));
}

#if defined(HALYARD_X64_BUILD)
// A 64-bit server process sets the values without the lock while this 32-bit process collects: the
// collector reads each 8-byte value whole, never one half from before a write and one from after.
TEST_F(ServerCounters, ValuesThatASixtyFourBitServerWritesAreCollectedWhole)
{
    CHelperHolding writer(L"values " + m_base + L" " + std::to_wstring(kFirstCounter), L"",
                          L"" HALYARD_X64_BUILD L"/tests/helper/test_helper.exe");
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataCollector reader(Win32::CGlobalName(m_base), schema, kFirstCounter, nullptr);
    reader.Open(nullptr);
    std::vector<BYTE> buffer(64 * 1024);
    unsigned torn = 0;
    unsigned changes = 0;
    ULONGLONG previous = 0;
    for (const ULONGLONG start = ::GetTickCount64(); ::GetTickCount64() - start < 3000;)
    {
        void *cursor = buffer.data();
        DWORD bytes = static_cast<DWORD>(buffer.size());
        DWORD objects = 0;
        ASSERT_TRUE(reader.Collect(L"Global", &cursor, &bytes, &objects));
        const auto parsed = PerfClient::CPerformanceData::ParseObjects(buffer.data(), bytes, objects);
        ASSERT_EQ(1u, parsed.at(0).instances.size());
        for (const auto &counter : parsed[0].counters)
        {
            // The 8-byte slots as they are, whatever their counter types make of them.
            if (counter.CounterSize == sizeof(ULONGLONG))
            {
                const ULONGLONG value = PerfClient::LoadCounterValue(parsed[0].instances[0].counterBlock,
                                                                     counter.CounterOffset, counter.CounterSize)
                                            .value();
                torn += (value >> 32) != (value & 0xFFFFFFFFull) ? 1 : 0;
                changes += value != previous ? 1 : 0;
                previous = value;
            }
        }
    }
    EXPECT_EQ(0u, writer.Release());
    EXPECT_EQ(0u, torn) << "torn values collected";
    EXPECT_GE(changes, 100u) << "the collector must have copied the values while the writer wrote";
}
#endif

TEST_F(ServerCounters, InstanceIsReleasedWhenItsOwnerGoesAway)
{
    {
        CTarnInstance first = m_counters.TakeInstance(L"first");
        EXPECT_TRUE(first.WasCreated());
        EXPECT_EQ(1u, InstancesInUse());
        CTarnInstance moved = std::move(first);
        EXPECT_EQ(1u, moved.GetId());
        EXPECT_EQ(1u, InstancesInUse());
        moved = m_counters.TakeInstance(L"second");
        EXPECT_EQ(L"second", moved.GetName());
        EXPECT_EQ(1u, InstancesInUse()) << "the instance assigned over is released";
    }
    EXPECT_EQ(0u, InstancesInUse());

    CTarnInstance explicitly = m_counters.TakeInstance(L"third");
    explicitly.Release();
    EXPECT_EQ(0u, InstancesInUse());
}

// A slot taken anew does not show the values its previous owner left in it.
TEST_F(ServerCounters, NewInstanceStartsFromZero)
{
    DWORD firstId = 0;
    {
        CTarnInstance previous = m_counters.TakeInstance(L"previous");
        previous.Add(TarnCounter::BytesIn, 12345);
        previous.Set(TarnCounter::BusinessLogicQueueRemovedPerSec, 77);
        firstId = previous.GetId();
    }
    CTarnInstance next = m_counters.TakeInstance(L"next");
    EXPECT_EQ(firstId, next.GetId());
    EXPECT_EQ(0, next.Get(TarnCounter::BytesIn));
    EXPECT_EQ(0, next.Get(TarnCounter::BusinessLogicQueueRemovedPerSec));
}

// A server that ended without releasing its instance leaves it in use, values and all; a server
// started again under the same name takes it over.
TEST_F(ServerCounters, InstanceOfAnEndedProcessStaysInUseAndIsTakenOver)
{
    CHelperHolding(L"hold " + m_base + L" " + std::to_wstring(kFirstCounter), L" crashed 42").Process().Kill(9);
    EXPECT_EQ(1u, InstancesInUse());

    {
        CTarnInstance restarted = m_counters.TakeInstance(L"crashed");
        EXPECT_FALSE(restarted.WasCreated());
        EXPECT_EQ(42, restarted.Get(TarnCounter::BytesIn));
    }
    EXPECT_EQ(0u, InstancesInUse());
}

TEST_F(ServerCounters, EachCounterUpdatesItsOwnValueInSchemaOrder)
{
    CTarnInstance instance = m_counters.TakeInstance(L"order");
    for (DWORD k = 0; k < TarnCounterCount; ++k)
    {
        instance.Set(static_cast<TarnCounter>(k), 1000 + k);
    }
    const LONGLONG *values = reinterpret_cast<const LONGLONG *>(m_counters.GetBlock().GetInstanceCounterData(
        m_counters.GetBlock().GetObjectDefinition(0), static_cast<long>(instance.GetId())));
    for (DWORD k = 0; k < TarnCounterCount; ++k)
    {
        EXPECT_EQ(1000 + static_cast<LONGLONG>(k), values[k]) << k;
    }
}
