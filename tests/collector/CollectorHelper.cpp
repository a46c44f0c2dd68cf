// A server for the collector tests: takes and releases TARN instances and writes their values in
// a loop, as fast as it can, until the stop signal.
//
//   churn <base> <ready signal> <stop signal>

#include "perfmon/PerformanceDataBlock.h"
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

int Churn(const wchar_t *base, const wchar_t *readyName, const wchar_t *stopName)
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock block(Win32::CGlobalName(base), schema, 1000, nullptr);
    PERF_OBJECT_TYPE *object = block.GetObjectDefinition(0);

    // One instance is in use from before the collector starts, whatever the churn does.
    DWORD created = 0;
    block.AllocateObjectInstance(object, L"steady", created);

    HANDLE ready = OpenSignal(readyName);
    HANDLE stop = OpenSignal(stopName);
    ::SetEvent(ready);

    std::mt19937 random(7);
    long ids[2] = {};
    for (unsigned round = 0; ::WaitForSingleObject(stop, 0) == WAIT_TIMEOUT; ++round)
    {
        const unsigned which = random() % 2;
        if (ids[which] == 0)
        {
            DWORD created = 0;
            try
            {
                ids[which] = static_cast<long>(
                    block.AllocateObjectInstance(object, L"instance-" + std::to_wstring(which * 7), created));
            }
            catch (const Win32::CException &)
            {
                continue;
            }
        }
        else if (random() % 8 == 0)
        {
            block.ReleaseObjectInstance(object, ids[which]);
            ids[which] = 0;
            continue;
        }
        LONGLONG *values = reinterpret_cast<LONGLONG *>(block.GetInstanceCounterData(object, ids[which]));
        for (int k = 0; k < 26; ++k)
        {
            ::InterlockedExchange64(values + k, static_cast<LONGLONG>(round) * 0x100000001LL);
        }
    }
    ::CloseHandle(ready);
    ::CloseHandle(stop);
    return 0;
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
    }
    catch (const Win32::CException &e)
    {
        std::fwprintf(stderr, L"%ls - %ls\n", e.GetWhere().c_str(), e.GetMessage().c_str());
    }
    ::LocalFree(argv);
    return result;
}
