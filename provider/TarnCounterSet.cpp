#include "provider/TarnCounterSet.h"

#include "perfmon/installer/PerformanceCounterInstaller.h"
#include "provider/PerformanceKey.h"
#include "win32/RegistryKey.h"

#include <winperf.h>

using Halyard::PerfMon::CPerformanceDataSchema;

const wchar_t TarnProductName[] = L"TARN";
const wchar_t TarnLanguageId[] = L"009";
const wchar_t TarnObjectName[] = L"www.brindle.example:TARN";

namespace {

struct CounterText
{
    const wchar_t *name;
    const wchar_t *help;
    LONG defaultScale;
    DWORD counterType;
};

const DWORD kMaxInstances = 3;
const DWORD kMaxInstanceNameLength = 25;

const CounterText kCounters[] = {
    {L"Bytes In", L"The total number of bytes into the server", -6, PERF_COUNTER_LARGE_RAWCOUNT},
    {L"Bytes In/sec", L"The number of bytes into the server per second", -4, PERF_COUNTER_BULK_COUNT},
    {L"Bytes Out", L"The total number of bytes out of the server", -6, PERF_COUNTER_LARGE_RAWCOUNT},
    {L"Bytes Out/sec", L"The number of bytes into out of the server per second", -4, PERF_COUNTER_BULK_COUNT},
    {L"IO Buffers Total", L"The total number of IO buffers available", 0, PERF_COUNTER_RAWCOUNT},
    {L"IO Buffers Total +/sec", L"The increase in the total number of IO buffers available per second", -2,
     PERF_COUNTER_COUNTER},
    {L"IO Buffers Total -/sec", L"The decrease in the total number of IO buffers available per second", -2,
     PERF_COUNTER_COUNTER},
    {L"IO Buffers In Use", L"The number of IO buffers currently in use", 0, PERF_COUNTER_RAWCOUNT},
    {L"IO Buffers In Use +/sec", L"The increase in the number of IO buffers currently in use per second", -2,
     PERF_COUNTER_COUNTER},
    {L"IO Buffers In Use -/sec", L"The decrease in the number of IO buffers currently in use per second", -2,
     PERF_COUNTER_COUNTER},
    {L"Connections Active", L"The number of connected sockets", 0, PERF_COUNTER_RAWCOUNT},
    {L"Sockets Total", L"The total number of sockets in the socket pool", 0, PERF_COUNTER_RAWCOUNT},
    {L"Sockets Total +/sec", L"The increase in the total number of sockets in the socket pool per second", -1,
     PERF_COUNTER_COUNTER},
    {L"Sockets Total -/sec", L"The decrease in the total number of sockets in the socket pool per second", -1,
     PERF_COUNTER_COUNTER},
    {L"Sockets In Use", L"The total number of sockets currently in use", 0, PERF_COUNTER_RAWCOUNT},
    {L"Sockets In Use +/sec", L"The increase in the number of sockets currently in use per second", -1,
     PERF_COUNTER_COUNTER},
    {L"Sockets In Use -/sec", L"The decrease in the number of sockets currently in use per second", -1,
     PERF_COUNTER_COUNTER},
    {L"IO Threads Active", L"The total number of I/O threads in the thread pool", 0, PERF_COUNTER_RAWCOUNT},
    {L"IO Threads Processing", L"The number of I/O threads currently processing messages", 0, PERF_COUNTER_RAWCOUNT},
    {L"IO Threads Events/sec", L"The number of I/O events processed per second", -3, PERF_COUNTER_COUNTER},
    {L"Business Logic Threads Active",
     L"The total number of business logic threads in the business logic thread pool", 0, PERF_COUNTER_RAWCOUNT},
    {L"Business Logic Threads Processing", L"The number of business logic threads currently processing", 0,
     PERF_COUNTER_RAWCOUNT},
    {L"Business Logic Threads Events/sec", L"The number of business logic events processed per second", -3,
     PERF_COUNTER_COUNTER},
    {L"Business Logic Queue", L"The total number of requests in the business logic queue", 0, PERF_COUNTER_RAWCOUNT},
    {L"Business Logic Queue +/sec", L"The total number of requests added to the business logic queue per second", 0,
     PERF_COUNTER_COUNTER},
    {L"Business Logic Queue -/sec", L"The total number of requests removed from the business logic queue per second",
     0, PERF_COUNTER_COUNTER},
};

} // namespace

CPerformanceDataSchema CreateTarnCounterSet()
{
    CPerformanceDataSchema schema(TarnLanguageId);
    CPerformanceDataSchema::Object &object = schema.AddObjectWithInstances(
        TarnObjectName,
        L"The \"Brindle TARN\" object type defines counters that apply to the TARN process as a whole. ",
        PERF_DETAIL_NOVICE, kMaxInstances, kMaxInstanceNameLength);

    bool first = true;
    for (const CounterText &counter : kCounters)
    {
        object.AddCounter(counter.name, counter.help, PERF_DETAIL_NOVICE, counter.defaultScale, counter.counterType);
        if (first)
        {
            // "Bytes In" is what a monitor shows when it opens the object.
            object.SetDefaultCounter();
            first = false;
        }
    }
    return schema;
}

DWORD TarnLockTimeout()
{
    const CPerformanceKey performance(TarnProductName);
    return performance.IsOpen() ? TarnLockTimeout(performance.Get()) : Halyard::PerfMon::kDefaultLockTimeout;
}

DWORD TarnLockTimeout(const Halyard::Win32::CRegistryKey &performance)
{
    DWORD timeout = 0;
    if (!performance.QueryValue(L"Lock Timeout", timeout))
    {
        timeout = 0;
    }
    const bool inRange = timeout >= 1 && timeout <= Halyard::PerfMon::CPerformanceCounterInstaller::MaximumTimeout;
    return inRange ? timeout : Halyard::PerfMon::kDefaultLockTimeout;
}
