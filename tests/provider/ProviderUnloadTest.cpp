// A host may load and unload the module for every query (the performance library under Wine does):
// each cycle must give back all the memory and handles it took, or a monitor that queries every few
// seconds grows without end.
#include "perfmon/datablock/PerformanceDataBlock.h"
#include "perfmon/schema/Schema.h"
#include "provider/TarnCounterSet.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Watchdog.h"
#include "tools/perfclient/DirectProvider.h"
#include "tools/perfclient/PerfData.h"
#include "tools/perfclient/ProviderRegistration.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <functional>

using namespace Halyard;
using namespace Halyard::Testing;
using Halyard::PerfClient::CDirectProvider;

namespace {

const DWORD kFirstCounter = 7000;
const int kCycles = 300;
const int kWarmUpCycles = 10;
const SIZE_T kAllowedGrowth = 64 * 1024;

// What the system counts as the process's own committed memory, region by region.
SIZE_T CommittedPrivateBytes()
{
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION info;
    for (const BYTE *address = nullptr; ::VirtualQuery(address, &info, sizeof(info)) == sizeof(info);
         address = static_cast<const BYTE *>(info.BaseAddress) + info.RegionSize)
    {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE)
        {
            total += info.RegionSize;
        }
    }
    return total;
}

SIZE_T PrivateUsage()
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                           sizeof(counters));
    return counters.PrivateUsage;
}

// Wine reports no handle count, so every handle value is probed; values are multiples of 4 and are
// handed out from the lowest free one, so the search ends well past the highest in use.
size_t OpenHandles()
{
    size_t count = 0;
    UINT_PTR highest = 0;
    for (UINT_PTR value = 4; value <= highest + 4096; value += 4)
    {
        DWORD flags = 0;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
        {
            ++count;
            highest = value;
        }
    }
    return count;
}

struct Growth
{
    long long committed;
    long long privateUsage;
    long long handles;
};

Growth MeasureCycles(const std::function<void()> &cycle)
{
    for (int i = 0; i < kWarmUpCycles; ++i)
    {
        cycle();
    }
    const SIZE_T committed = CommittedPrivateBytes();
    const SIZE_T usage = PrivateUsage();
    const size_t handles = OpenHandles();
    for (int i = 0; i < kCycles; ++i)
    {
        cycle();
    }
    return Growth{static_cast<long long>(CommittedPrivateBytes()) - static_cast<long long>(committed),
                  static_cast<long long>(PrivateUsage()) - static_cast<long long>(usage),
                  static_cast<long long>(OpenHandles()) - static_cast<long long>(handles)};
}

Growth operator-(const Growth &a, const Growth &b)
{
    return Growth{a.committed - b.committed, a.privateUsage - b.privateUsage, a.handles - b.handles};
}

// handleNoise: handles that the process may open once in a while on its own, never once per cycle.
void ExpectNothingKept(const Growth &growth, long long handleNoise = 0)
{
    EXPECT_LE(growth.committed, static_cast<long long>(kAllowedGrowth))
        << "committed private memory, per cycle: " << growth.committed / kCycles << " bytes (private usage "
        << growth.privateUsage / kCycles << ")";
    EXPECT_LE(growth.handles, handleNoise) << "handles kept by " << kCycles << " cycles";
    std::printf("per cycle: committed %lld bytes, private usage %lld bytes, handles %lld/%d\n",
                growth.committed / kCycles, growth.privateUsage / kCycles, growth.handles, kCycles);
}

class ProviderUnload : public ::testing::Test
{
protected:
    ProviderUnload()
        : m_schema(CreateTarnCounterSet()),
          m_server(Win32::CGlobalName(TarnProductName), m_schema, kFirstCounter, nullptr)
    {
        DWORD created = 0;
        m_server.AllocateObjectInstance(m_server.GetObjectDefinition(0), L"steady", created);
    }

    const PerfMon::CPerformanceDataSchema m_schema;
    PerfMon::CPerformanceDataBlock m_server;
    CWatchdog m_watchdog{300000};
};

} // namespace

TEST_F(ProviderUnload, LoadingAndUnloadingGivesBackMemoryAndHandles)
{
    const PerfClient::CProviderRegistration registration(TarnProductName, Beside(L"TARNCounters.dll"), kFirstCounter);
    ExpectNothingKept(MeasureCycles([] { CDirectProvider provider(Beside(L"TARNCounters.dll")); }));
}

// A second Open throws inside the module and is reported, so each cycle also runs the runtime's
// exception support.
TEST_F(ProviderUnload, OpenCollectCloseAndUnloadGivesBackMemoryAndHandles)
{
    const PerfClient::CProviderRegistration registration(TarnProductName, Beside(L"TARNCounters.dll"), kFirstCounter);
    ExpectNothingKept(MeasureCycles([] {
        CDirectProvider provider(Beside(L"TARNCounters.dll"));
        ASSERT_EQ(0u, provider.Open(L""));
        ASSERT_EQ(0u, provider.Open(L""));
        const CDirectProvider::CollectResult r = provider.Collect(L"Global", 65536);
        ASSERT_EQ(0u, r.result);
        ASSERT_EQ(1u, r.objects);
        ASSERT_EQ(0u, provider.Close());
    }));
}

// The system's own providers may keep something per query (Wine's print spooler keeps a mutex), so
// what the same queries keep without the module is taken off; what they keep varies by a handle or
// two between the runs, where a module keeping one per query would show one per cycle.
TEST_F(ProviderUnload, PerformanceLibraryQueriesGiveBackMemoryAndHandles)
{
    const Growth without = MeasureCycles([] {
        const std::vector<BYTE> data = PerfClient::QueryPerformanceData(L"Global");
        ASSERT_EQ(nullptr, PerfClient::CPerformanceData::Parse(data).FindObject(kFirstCounter));
    });
    const PerfClient::CProviderRegistration registration(TarnProductName, Beside(L"TARNCounters.dll"), kFirstCounter);
    const Growth with = MeasureCycles([] {
        const std::vector<BYTE> data = PerfClient::QueryPerformanceData(L"Global");
        ASSERT_NE(nullptr, PerfClient::CPerformanceData::Parse(data).FindObject(kFirstCounter));
    });
    ExpectNothingKept(with - without, 2);
}

// The threading runtime linked into the module takes a thread-local storage index on every load, and
// a process has about a thousand of them.
TEST_F(ProviderUnload, LoadingAndUnloadingGivesBackStorageIndexes)
{
    const PerfClient::CProviderRegistration registration(TarnProductName, Beside(L"TARNCounters.dll"), kFirstCounter);
    const auto lowestFreeIndex = [] {
        const DWORD index = ::TlsAlloc();
        ::TlsFree(index);
        return index;
    };
    const DWORD before = lowestFreeIndex();
    for (int i = 0; i < 20; ++i)
    {
        CDirectProvider provider(Beside(L"TARNCounters.dll"));
        ASSERT_EQ(0u, provider.Open(L""));
        ASSERT_EQ(0u, provider.Open(L""));
        ASSERT_EQ(0u, provider.Close());
    }
    EXPECT_EQ(before, lowestFreeIndex());
}
