// A second process for the server-side and tool tests.
//
//   collect <base> <first index> <ready signal> <stop signal>
//       opens the block "Global\<base>" through the library collector and collects the TARN object
//       until the stop signal, checking that the first and third counters of every instance are whole:
//       the test writes them only with values whose two 32-bit halves are equal. Signals ready after
//       the first collect that finds an instance. Exits 0 when every value was whole over at least
//       kMinimumCollects collects, 1 on a torn value, 2 on too few collects.
//   take-and-exit <base> <first index> <instance name>
//       takes the instance and ends the process without releasing it

#include "perfmon/collector/PerformanceDataCollector.h"
#include "provider/TarnCounterSet.h"
#include "provider/TarnServerCounters.h"
#include "tools/perfclient/PerfData.h"
#include "win32/Exception.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

using namespace Halyard;

namespace {

const int kFailed = 3;
const unsigned kMinimumCollects = 20;

bool Whole(ULONGLONG value)
{
    return (value >> 32) == (value & 0xFFFFFFFFull);
}

int Collect(const wchar_t *base, DWORD firstIndex, const wchar_t *readyName, const wchar_t *stopName)
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataCollector collector(Win32::CGlobalName(base), schema, firstIndex, nullptr);
    collector.Open(nullptr);
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, readyName);
    HANDLE stop = ::CreateEventW(nullptr, TRUE, FALSE, stopName);
    std::vector<BYTE> buffer(64 * 1024);
    unsigned collects = 0;
    bool torn = false;
    while (::WaitForSingleObject(stop, 0) == WAIT_TIMEOUT)
    {
        void *cursor = buffer.data();
        DWORD bytes = static_cast<DWORD>(buffer.size());
        DWORD objects = 0;
        if (!collector.Collect(L"Global", &cursor, &bytes, &objects))
        {
            return kFailed;
        }
        const auto parsed = PerfClient::CPerformanceData::ParseObjects(buffer.data(), bytes, objects);
        for (const PerfClient::CPerformanceData::Instance &instance : parsed.at(0).instances)
        {
            for (size_t k : {0, 2})
            {
                ULONGLONG value;
                std::memcpy(&value, instance.counterBlock.data() + parsed[0].counters.at(k).CounterOffset, sizeof(value));
                torn = torn || !Whole(value);
            }
        }
        if (!parsed[0].instances.empty() && collects++ == 0)
        {
            ::SetEvent(ready);
        }
    }
    collector.Close();
    ::CloseHandle(ready);
    ::CloseHandle(stop);
    std::printf("%u collects\n", collects);
    return torn ? 1 : collects < kMinimumCollects ? 2 : 0;
}

int Run(int argc, wchar_t **argv)
{
    if (argc < 4)
    {
        return kFailed;
    }
    const std::wstring command = argv[1];
    const DWORD firstIndex = std::wcstoul(argv[3], nullptr, 10);
    if (command == L"collect" && argc == 6)
    {
        return Collect(argv[2], firstIndex, argv[4], argv[5]);
    }
    if (command == L"take-and-exit" && argc == 5)
    {
        CTarnServerCounters counters(Win32::CGlobalName(argv[2]), firstIndex);
        CTarnInstance instance = counters.TakeInstance(argv[4]);
        instance.Set(TarnCounter::ConnectionsActive, 42);
        // Ends without running a destructor, as a server that crashes would.
        ::ExitProcess(0);
    }
    return kFailed;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t **argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    int result = kFailed;
    try
    {
        result = Run(argc, argv);
    }
    catch (const Win32::CException &e)
    {
        std::fwprintf(stderr, L"%ls - %ls\n", e.GetWhere().c_str(), e.GetMessage().c_str());
    }
    ::LocalFree(argv);
    return result;
}
