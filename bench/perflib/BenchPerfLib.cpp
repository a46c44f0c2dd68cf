// What the TARN module adds to one performance-library query, against a provider that answers
// nothing, both registered the same way and queried in alternating rounds; and how fast a collect
// gives up on a lock that a live process keeps, and comes back after the owner died.
//
// Run: wine bench_perflib.exe (registers and removes the services "TARN" and "HalyardNull").

#include "harness/Bench.h"

#include "perfmon/datablock/PerformanceDataBlock.h"
#include "perfmon/collector/PerformanceDataCollector.h"
#include "provider/TarnCounterSet.h"
#include "tools/common/CommandLine.h"
#include "tools/perfclient/PerfData.h"
#include "tools/perfclient/ProviderRegistration.h"
#include "win32/Exception.h"
#include "win32/SmartHandle.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace Halyard;

namespace {

void Query(std::uint64_t n)
{
    for (std::uint64_t i = 0; i < n; ++i)
    {
        PerfClient::QueryPerformanceData(L"Global");
    }
}

// Started as a second process: takes the block's lock, says so, and keeps it until killed.
int Hold(const std::wstring &base, const std::wstring &readyName)
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock block(Win32::CGlobalName(base), schema, 1000, nullptr);
    block.Enter();
    ::SetEvent(Win32::CSmartHandle(::OpenEventW(EVENT_MODIFY_STATE, FALSE, readyName.c_str())).GetHandle());
    ::Sleep(INFINITE);
    return 0;
}

class CHolder
{
public:
    explicit CHolder(const std::wstring &base)
    {
        const std::wstring readyName = base + L"_Ready";
        const Win32::CSmartHandle ready(::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
        wchar_t path[MAX_PATH];
        ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring commandLine = L"\"" + std::wstring(path) + L"\" hold " + base + L" " + readyName;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                              &process))
        {
            throw Win32::CWin32Exception(L"CHolder::CHolder() - CreateProcessW", ::GetLastError());
        }
        const Win32::CSmartHandle thread(process.hThread);
        m_process = process.hProcess;
        ::WaitForSingleObject(ready.GetHandle(), 30000);
    }
    ~CHolder() { Kill(); }
    void Kill()
    {
        ::TerminateProcess(m_process.GetHandle(), 9);
        ::WaitForSingleObject(m_process.GetHandle(), 30000);
    }

private:
    Win32::CSmartHandle m_process;
};

double Milliseconds(const LARGE_INTEGER &start)
{
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// One collect against a lock that a live process keeps, then, once that process was killed, the
// time to the first collect that returns data.
void MeasureLockRecovery()
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    const std::wstring base = L"HalyardBenchHeld_" + std::to_wstring(::GetCurrentProcessId());
    PerfMon::CPerformanceDataBlock server(Win32::CGlobalName(base), schema, 1000, nullptr);
    DWORD created = 0;
    server.AllocateObjectInstance(server.GetObjectDefinition(0), L"gateway", created);
    PerfMon::CPerformanceDataCollector collector(Win32::CGlobalName(base), schema, 1000, nullptr);
    collector.Open(L"");
    std::vector<BYTE> buffer(16384);

    std::printf("# Lock recovery (target: under 200 ms each)\n");
    for (int round = 0; round < 3; ++round)
    {
        CHolder holder(base);
        LARGE_INTEGER start;
        ::QueryPerformanceCounter(&start);
        try
        {
            void *cursor = buffer.data();
            DWORD bytes = static_cast<DWORD>(buffer.size());
            DWORD objects = 0;
            collector.Collect(L"Global", &cursor, &bytes, &objects);
            std::printf("collect returned data while the lock was held\n");
        }
        catch (const Win32::CException &)
        {
        }
        const double gaveUp = Milliseconds(start);

        holder.Kill();
        ::QueryPerformanceCounter(&start);
        for (;;)
        {
            try
            {
                void *cursor = buffer.data();
                DWORD bytes = static_cast<DWORD>(buffer.size());
                DWORD objects = 0;
                collector.Collect(L"Global", &cursor, &bytes, &objects);
                if (objects == 1)
                {
                    break;
                }
            }
            catch (const Win32::CException &)
            {
            }
        }
        std::printf("give up on a live holder %8.1f ms   first data after the holder's death %8.1f ms\n", gaveUp,
                    Milliseconds(start));
    }
}

// One side of a round: the provider is registered, asked once untimed (the first query after a
// registration is not the steady state a monitor sees), timed over the batch and unregistered.
double QueryRegistered(const std::wstring &service, const std::wstring &module, DWORD firstCounter,
                       std::uint64_t queries)
{
    const PerfClient::CProviderRegistration registration(service, module, firstCounter);
    Query(1);
    return Bench::TimePerOperation(queries, Query);
}

void Run()
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock server(Win32::CGlobalName(TarnProductName), schema, 1000, nullptr);
    DWORD created = 0;
    for (const wchar_t *instance : {L"gateway", L"backend-one", L"backend-two"})
    {
        server.AllocateObjectInstance(server.GetObjectDefinition(0), instance, created);
    }
    const std::wstring null = Bench::ExecutableDirectory() + L"\\NullProvider.dll";
    const std::wstring tarn = Bench::ExecutableDirectory() + L"\\TARNCounters.dll";

    Bench::CPairedBench bench("One performance-library query of \"Global\"", 41, 1);
    const auto queryNull = [&](std::uint64_t n) { return QueryRegistered(L"HalyardNull", null, 5000, n); };
    const auto queryTarn = [&](std::uint64_t n) { return QueryRegistered(TarnProductName, tarn, 1000, n); };
    bench.Measure("provider that answers nothing", queryNull, "TARNCounters.dll, 3 instances", queryTarn, 5);
    MeasureLockRecovery();
}

} // namespace

int main()
{
    try
    {
        const std::vector<std::wstring> args = Tools::GetCommandLineArguments();
        if (args.size() == 4 && args[1] == L"hold")
        {
            return Hold(args[2], args[3]);
        }
        Run();
        return 0;
    }
    catch (const Win32::CException &e)
    {
        std::fprintf(stderr, "%ls - %ls\n", e.GetWhere().c_str(), e.GetMessage().c_str());
    }
    return 1;
}
