#pragma once

// What a monitor does with the raw TARN performance data: find the object and its counters by their
// installed title indexes, turn raw values into displayed values (rates from two samples over the
// data's own time base, default scales) and lay the result out as typeperf's CSV.

#include "tools/perfclient/PerfData.h"

#include <windows.h>
#include <winperf.h>

#include <optional>
#include <string>
#include <vector>

namespace Halyard {
namespace TarnMon {

// One counter as the monitor shows it: texts from the built-in counter set, the rest from the
// definition that the provider returned.
struct Counter
{
    std::wstring name;
    std::wstring help;
    DWORD counterType;
    LONG defaultScale;
    DWORD offset; // in the instance's counter block, PERF_COUNTER_BLOCK header included
    DWORD size;
};

struct Instance
{
    std::wstring name;
    std::vector<ULONGLONG> raw; // one value per counter, in counter order
};

// One collection of the TARN object.
struct Sample
{
    LONGLONG perfTime; // ticks of the data's time base when the data was taken
    LONGLONG perfFreq; // ticks per second
    SYSTEMTIME localTime;
    std::vector<Counter> counters;
    std::vector<Instance> instances;

    const Instance *FindInstance(const std::wstring &name) const;
};

// The counters of the built-in TARN set with the title indexes they are installed under:
// counter k has name index firstCounter + 2 + 2k.
struct KnownCounter
{
    DWORD nameIndex;
    std::wstring name;
    std::wstring help;
};
std::vector<KnownCounter> TarnCounters(DWORD firstCounter);

// Builds a sample from the object whose name index is firstCounter. Counters the provider did not
// return are left out; a counter whose value does not lie in the counter block throws CException.
Sample ExtractSample(const PerfClient::CPerformanceData::Object &object, DWORD firstCounter, LONGLONG perfTime,
                     LONGLONG perfFreq, const SYSTEMTIME &localTime);

// The value as stored: CounterSize bytes (4 or 8) at the counter's offset.
ULONGLONG ReadRawValue(const Counter &counter, const std::vector<BYTE> &counterBlock);

bool IsRate(DWORD counterType);

// The displayed value: raw counts as they are; PERF_COUNTER_COUNTER and PERF_COUNTER_BULK_COUNT as the
// increase per second since the previous sample. Empty for a rate without a previous value or
// elapsed time, and for counter types this monitor does not know. A value that went down (the
// instance was taken anew) shows 0, as perfmon shows it.
std::optional<double> Cook(const Counter &counter, const ULONGLONG *previous, ULONGLONG current, LONGLONG elapsedTicks,
                           LONGLONG frequency);

// value x 10^scale: what perfmon plots for a counter with that default scale.
double ApplyDefaultScale(double value, LONG scale);

// Displayed values of every counter of one instance between two samples (previous may be null).
std::vector<std::optional<double>> CookInstance(const Sample *previous, const Sample &current,
                                                const Instance &instance);

// typeperf's CSV: a header row whose first cell names the time zone in effect and its bias in minutes
// (UTC = local time + bias), "(PDH-CSV 4.0) (Eastern Standard Time)(300)", then one quoted path per column
// ("\\MACHINE\OBJECT(INSTANCE)\COUNTER"); then rows of the local time ("MM/DD/YYYY HH:MM:SS.mmm") and
// "%.6f" values, " " when empty. Every field is quoted.
struct CsvTimeZone
{
    std::wstring name;
    LONG bias;
};
struct Column
{
    std::wstring instance;
    std::wstring counter;
};
std::wstring CsvHeader(const std::wstring &machine, const std::wstring &objectName, const CsvTimeZone &zone,
                       const std::vector<Column> &columns);
std::wstring CsvRow(const SYSTEMTIME &localTime, const std::vector<std::optional<double>> &values);

} // namespace TarnMon
} // namespace Halyard
