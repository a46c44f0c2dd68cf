// A server for the collector tests.
//
//   churn <base> <ready signal> <stop signal>     takes, releases and updates TARN instances as fast
//                                                 as it can until the stop signal
//   hold <base> <ready signal> <release signal>   keeps the block's lock until released or killed

#include "perfmon/datablock/PerformanceDataBlock.h"
#include "provider/TarnCounterSet.h"
#include "win32/Exception.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <random>
#include <string>

using namespace Halyard;

namespace {

HANDLE OpenSignal(const wchar_t *name)
{
    return ::CreateEventW(nullptr, TRUE, FALSE, name);
}

// Each round runs under the block's lock: it takes or releases an instance under one of several
// names, or writes all 26 values of every instance it holds. Each value is round in its high half
// and round XOR the name's tag in its low half, so a reader can tell which update and which name
// every value belongs to.
int Churn(const wchar_t *base, const wchar_t *readyName, const wchar_t *stopName)
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock block(Win32::CGlobalName(base), schema, 1000, nullptr);
    PERF_OBJECT_TYPE *object = block.GetObjectDefinition(0);

    // One instance is in use from before the collector starts, whatever the churn does.
    DWORD created = 0;
    long ids[3] = {static_cast<long>(block.AllocateObjectInstance(object, L"instance-0", created)), 0, 0};
    DWORD tags[3] = {0, 0, 0};

    HANDLE ready = OpenSignal(readyName);
    HANDLE stop = OpenSignal(stopName);
    ::SetEvent(ready);

    std::mt19937 random(7);
    for (DWORD round = 1; ::WaitForSingleObject(stop, 0) == WAIT_TIMEOUT; ++round)
    {
        Win32::ICriticalSection::Owner lock(block);
        const unsigned which = 1 + random() % 2;
        if (ids[which] == 0)
        {
            tags[which] = 1 + random() % 6;
            ids[which] = static_cast<long>(
                block.AllocateObjectInstance(object, L"instance-" + std::to_wstring(tags[which]), created));
            if (created == 0)
            {
                ids[which] = 0;
            }
        }
        else if (random() % 8 == 0)
        {
            block.ReleaseObjectInstance(object, ids[which]);
            ids[which] = 0;
        }
        for (unsigned i = 0; i < 3; ++i)
        {
            if (ids[i] != 0)
            {
                LONGLONG *values = reinterpret_cast<LONGLONG *>(block.GetInstanceCounterData(object, ids[i]));
                const LONGLONG value = (static_cast<LONGLONG>(round) << 32) | (round ^ tags[i]);
                for (int k = 0; k < 26; ++k)
                {
                    ::InterlockedExchange64(values + k, value);
                }
            }
        }
    }
    ::CloseHandle(ready);
    ::CloseHandle(stop);
    return 0;
}

// Takes the block's lock and keeps it until the release signal, or until the process is killed.
int Hold(const wchar_t *base, const wchar_t *readyName, const wchar_t *releaseName)
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock block(Win32::CGlobalName(base), schema, 1000, nullptr);
    Win32::ICriticalSection::Owner lock(block);
    HANDLE ready = OpenSignal(readyName);
    HANDLE release = OpenSignal(releaseName);
    ::SetEvent(ready);
    const DWORD waited = ::WaitForSingleObject(release, 60000);
    ::CloseHandle(ready);
    ::CloseHandle(release);
    return waited == WAIT_OBJECT_0 ? 0 : 2;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t **argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    int result = 1;
    try
    {
        if (argc == 5 && std::wstring(argv[1]) == L"churn")
        {
            result = Churn(argv[2], argv[3], argv[4]);
        }
        else if (argc == 5 && std::wstring(argv[1]) == L"hold")
        {
            result = Hold(argv[2], argv[3], argv[4]);
        }
    }
    catch (const Win32::CException &e)
    {
        std::fwprintf(stderr, L"%ls - %ls\n", e.GetWhere().c_str(), e.GetMessage().c_str());
    }
    ::LocalFree(argv);
    return result;
}
