#include "tools/tarnmon/CounterCooking.h"

#include "provider/TarnCounterSet.h"
#include "tools/common/NumberFormat.h"
#include "win32/Exception.h"
#include "win32/ToString.h"

#include <cmath>
#include <cstring>
#include <cwchar>

namespace Halyard {
namespace TarnMon {

using Win32::CException;
using Win32::ToString;

namespace {

std::wstring CsvQuoted(const std::wstring &text)
{
    std::wstring quoted = L"\"";
    for (wchar_t c : text)
    {
        quoted += c;
        if (c == L'"')
        {
            quoted += L'"';
        }
    }
    return quoted + L"\"";
}

} // namespace

const Instance *Sample::FindInstance(const std::wstring &name) const
{
    for (const Instance &instance : instances)
    {
        if (instance.name == name)
        {
            return &instance;
        }
    }
    return nullptr;
}

std::vector<KnownCounter> TarnCounters(DWORD firstCounter)
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    std::vector<KnownCounter> known;
    DWORD index = firstCounter + 2;
    for (const auto &counter : schema.GetObjects().front()->GetCounters())
    {
        known.push_back({index, counter->GetName(), counter->GetHelp()});
        index += 2;
    }
    return known;
}

ULONGLONG ReadRawValue(const Counter &counter, const std::vector<BYTE> &counterBlock)
{
    if (counter.size != sizeof(DWORD) && counter.size != sizeof(ULONGLONG))
    {
        throw CException(L"ReadRawValue()", L"Counter \"" + counter.name + L"\" has a size of " +
                                                ToString(counter.size) + L" bytes");
    }
    const std::optional<ULONGLONG> value = PerfClient::LoadCounterValue(counterBlock, counter.offset, counter.size);
    if (!value)
    {
        throw CException(L"ReadRawValue()", L"Counter \"" + counter.name + L"\" lies outside its " +
                                                ToString(counterBlock.size()) + L"-byte counter block");
    }
    return *value;
}

Sample ExtractSample(const PerfClient::CPerformanceData::Object &object, DWORD firstCounter, LONGLONG perfTime,
                     LONGLONG perfFreq, const SYSTEMTIME &localTime)
{
    Sample sample{perfTime, perfFreq, localTime, {}, {}};
    for (const KnownCounter &known : TarnCounters(firstCounter))
    {
        if (const PERF_COUNTER_DEFINITION *definition = object.FindCounter(known.nameIndex))
        {
            sample.counters.push_back({known.name, known.help, definition->CounterType, definition->DefaultScale,
                                       definition->CounterOffset, definition->CounterSize});
        }
    }
    for (const PerfClient::CPerformanceData::Instance &found : object.instances)
    {
        Instance instance{found.name, {}};
        for (const Counter &counter : sample.counters)
        {
            instance.raw.push_back(ReadRawValue(counter, found.counterBlock));
        }
        sample.instances.push_back(std::move(instance));
    }
    return sample;
}

bool IsRate(DWORD counterType)
{
    return counterType == PERF_COUNTER_COUNTER || counterType == PERF_COUNTER_BULK_COUNT;
}

std::optional<double> Cook(const Counter &counter, const ULONGLONG *previous, ULONGLONG current, LONGLONG elapsedTicks,
                           LONGLONG frequency)
{
    switch (counter.counterType)
    {
    case PERF_COUNTER_RAWCOUNT:
    case PERF_COUNTER_LARGE_RAWCOUNT:
        return static_cast<double>(current);
    case PERF_COUNTER_COUNTER:
    case PERF_COUNTER_BULK_COUNT:
        if (previous == nullptr || elapsedTicks <= 0 || frequency <= 0)
        {
            return std::nullopt;
        }
        if (current < *previous)
        {
            return 0.0;
        }
        return static_cast<double>(current - *previous) * static_cast<double>(frequency) /
               static_cast<double>(elapsedTicks);
    default:
        return std::nullopt;
    }
}

double ApplyDefaultScale(double value, LONG scale)
{
    return value * std::pow(10.0, static_cast<double>(scale));
}

std::vector<std::optional<double>> CookInstance(const Sample *previous, const Sample &current,
                                                const Instance &instance)
{
    const Instance *before = previous != nullptr ? previous->FindInstance(instance.name) : nullptr;
    const LONGLONG elapsed = previous != nullptr ? current.perfTime - previous->perfTime : 0;
    std::vector<std::optional<double>> values;
    for (size_t k = 0; k < current.counters.size(); ++k)
    {
        // The previous sample holds the same counters: both come from the same provider and index.
        const ULONGLONG *earlier = before != nullptr && k < before->raw.size() ? &before->raw[k] : nullptr;
        values.push_back(Cook(current.counters[k], earlier, instance.raw[k], elapsed, current.perfFreq));
    }
    return values;
}

std::wstring CsvHeader(const std::wstring &machine, const std::wstring &objectName, const CsvTimeZone &zone,
                       const std::vector<Column> &columns)
{
    std::wstring header = CsvQuoted(L"(PDH-CSV 4.0) (" + zone.name + L")(" + std::to_wstring(zone.bias) + L")");
    for (const Column &column : columns)
    {
        header += L"," + CsvQuoted(L"\\\\" + machine + L"\\" + objectName + L"(" + column.instance + L")\\" +
                                   column.counter);
    }
    return header;
}

std::wstring CsvRow(const SYSTEMTIME &localTime, const std::vector<std::optional<double>> &values)
{
    wchar_t stamp[32];
    std::swprintf(stamp, sizeof(stamp) / sizeof(stamp[0]), L"%02u/%02u/%04u %02u:%02u:%02u.%03u", localTime.wMonth,
                  localTime.wDay, localTime.wYear, localTime.wHour, localTime.wMinute, localTime.wSecond,
                  localTime.wMilliseconds);
    std::wstring row = CsvQuoted(stamp);
    for (const std::optional<double> &value : values)
    {
        row += L"," + CsvQuoted(value ? Tools::FormatNumber(L"%.6f", *value) : L" ");
    }
    return row;
}

} // namespace TarnMon
} // namespace Halyard
