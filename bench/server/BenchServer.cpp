// A counter update through the server API against the bare interlocked operation on the same
// 8-byte value of the shared block. Ratios are against the bare operation measured in the same run.
#include "harness/Bench.h"

#include "provider/TarnServerCounters.h"

#include <windows.h>

#include <string>

using Halyard::Bench::CBench;

namespace {

const std::uint64_t kOperations = 2000000;

} // namespace

int main()
{
    // A private block, so that the run neither needs nor disturbs an installed TARN.
    CTarnServerCounters counters(Halyard::Win32::CGlobalName(L"TarnBench_" + std::to_wstring(::GetCurrentProcessId())),
                                 1000);
    CTarnInstance instance = counters.TakeInstance(L"bench");
    Halyard::PerfMon::CPerformanceDataBlock &block = counters.GetBlock();
    LONGLONG *values = reinterpret_cast<LONGLONG *>(
        block.GetInstanceCounterData(block.GetObjectDefinition(0), static_cast<long>(instance.GetId())));
    LONGLONG *bytesIn = values + static_cast<DWORD>(TarnCounter::BytesIn);
    LONGLONG *connections = values + static_cast<DWORD>(TarnCounter::ConnectionsActive);

    CBench bench("TARN counter update, one thread, same shared value");
    bench.Measure("InterlockedExchangeAdd64 (bare)", kOperations, [&](std::uint64_t operations) {
        for (std::uint64_t i = 0; i < operations; ++i)
        {
            ::InterlockedExchangeAdd64(bytesIn, 1500);
        }
    });
    bench.Measure("CTarnInstance::Add", "InterlockedExchangeAdd64 (bare)", kOperations,
                  [&](std::uint64_t operations) {
                      for (std::uint64_t i = 0; i < operations; ++i)
                      {
                          instance.Add(TarnCounter::BytesIn, 1500);
                      }
                  });
    bench.Measure("InterlockedIncrement64 (bare)", kOperations, [&](std::uint64_t operations) {
        for (std::uint64_t i = 0; i < operations; ++i)
        {
            ::InterlockedIncrement64(connections);
        }
    });
    bench.Measure("CTarnInstance::Increment", "InterlockedIncrement64 (bare)", kOperations,
                  [&](std::uint64_t operations) {
                      for (std::uint64_t i = 0; i < operations; ++i)
                      {
                          instance.Increment(TarnCounter::ConnectionsActive);
                      }
                  });
    return 0;
}
