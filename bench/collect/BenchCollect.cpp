// The cost of answering the performance library, against the floor of copying the same bytes
// under one uncontended lock round trip, and the server's instance cycle, all in one run.
//
// Run: wine bench_collect.exe (registers and removes the service "TARN" for the module cycle).

#include "harness/Bench.h"

#include "perfmon/datablock/PerformanceDataBlock.h"
#include "perfmon/collector/PerformanceDataCollector.h"
#include "provider/TarnCounterSet.h"
#include "tools/perfclient/DirectProvider.h"
#include "tools/perfclient/ProviderRegistration.h"
#include "win32/Exception.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace Halyard;

namespace {

void Run()
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    const Win32::CGlobalName name(L"HalyardBenchCollect_" + std::to_wstring(::GetCurrentProcessId()));
    PerfMon::CPerformanceDataBlock server(name, schema, 1000, nullptr);
    PERF_OBJECT_TYPE *object = server.GetObjectDefinition(0);
    DWORD created = 0;
    for (const wchar_t *instance : {L"gateway", L"backend-one", L"backend-two"})
    {
        server.AllocateObjectInstance(object, instance, created);
    }

    PerfMon::CPerformanceDataCollector collector(name, schema, 1000, nullptr);
    collector.Open(L"");
    std::vector<BYTE> buffer(16384);
    void *cursor = buffer.data();
    DWORD bytes = static_cast<DWORD>(buffer.size());
    DWORD objects = 0;
    collector.Collect(L"Global", &cursor, &bytes, &objects);
    const DWORD answer = bytes;
    std::printf("# Collect(\"Global\") answers %lu bytes for 3 instances\n", answer);

    Bench::CBench bench("Collect against its floor");
    std::vector<BYTE> target(answer);
    bench.Measure("floor: memcpy of the answer + lock round trip", 10000, [&](std::uint64_t n) {
        for (std::uint64_t i = 0; i < n; ++i)
        {
            Win32::ICriticalSection::Owner lock(server);
            std::memcpy(target.data(), server.GetBlock(), answer);
        }
    });
    bench.Measure("Collect(\"Global\"), 3 instances", "floor: memcpy of the answer + lock round trip", 10000,
                  [&](std::uint64_t n) {
                      for (std::uint64_t i = 0; i < n; ++i)
                      {
                          void *at = buffer.data();
                          DWORD size = static_cast<DWORD>(buffer.size());
                          DWORD count = 0;
                          collector.Collect(L"Global", &at, &size, &count);
                      }
                  });
    server.ReleaseObjectInstance(object, 3);
    bench.Measure("AllocateObjectInstance + ReleaseObjectInstance", 10000, [&](std::uint64_t n) {
        for (std::uint64_t i = 0; i < n; ++i)
        {
            DWORD isNew = 0;
            const DWORD id = server.AllocateObjectInstance(object, L"transient", isNew);
            server.ReleaseObjectInstance(object, static_cast<long>(id));
        }
    });

    const std::wstring module = Bench::ExecutableDirectory() + L"\\TARNCounters.dll";
    PerfClient::CProviderRegistration registration(TarnProductName, module, 1000);
    PerfClient::CDirectProvider provider(module);
    Bench::CBench cycle("The module as the performance library drives it", 11, 2);
    cycle.Measure("PerfData_Open + PerfData_Collect + PerfData_Close", 200, [&](std::uint64_t n) {
        for (std::uint64_t i = 0; i < n; ++i)
        {
            provider.Open(L"");
            provider.Collect(L"Global", 16384);
            provider.Close();
        }
    });
}

} // namespace

int main()
{
    try
    {
        Run();
        return 0;
    }
    catch (const Halyard::Win32::CException &e)
    {
        std::fprintf(stderr, "%ls - %ls\n", e.GetWhere().c_str(), e.GetMessage().c_str());
    }
    return 1;
}
