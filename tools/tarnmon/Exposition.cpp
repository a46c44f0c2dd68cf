#include "tools/tarnmon/Exposition.h"

namespace Halyard {
namespace TarnMon {

namespace {

const wchar_t kServerLabel[] = L"server"; // "instance" belongs to the scraper, which renames ours

std::wstring Escape(const std::wstring &text, bool quotes)
{
    std::wstring escaped;
    for (wchar_t c : text)
    {
        if (c == L'\\')
        {
            escaped += L"\\\\";
        }
        else if (c == L'\n')
        {
            escaped += L"\\n";
        }
        else if (c == L'"' && quotes)
        {
            escaped += L"\\\"";
        }
        else
        {
            escaped += c;
        }
    }
    return escaped;
}

// The exposed value is the count itself, so a rate's "per second" does not describe it.
std::wstring MetricHelp(const std::wstring &help, bool isCounter)
{
    const std::wstring perSecond = L" per second";
    if (isCounter && help.size() > perSecond.size() &&
        help.compare(help.size() - perSecond.size(), perSecond.size(), perSecond) == 0)
    {
        return help.substr(0, help.size() - perSecond.size());
    }
    return help;
}

struct Family
{
    std::wstring name;
    std::wstring type;
    std::wstring unit;
    std::wstring help;
    std::wstring sampleName;
};

std::wstring Metadata(const Family &family, ExpositionFormat format)
{
    if (format == ExpositionFormat::Prometheus)
    {
        return L"# HELP " + family.sampleName + L" " + Escape(family.help, false) + L"\n# TYPE " +
               family.sampleName + L" " + family.type + L"\n";
    }
    std::wstring text = L"# TYPE " + family.name + L" " + family.type + L"\n";
    if (!family.unit.empty())
    {
        text += L"# UNIT " + family.name + L" " + family.unit + L"\n";
    }
    return text + L"# HELP " + family.name + L" " + Escape(family.help, true) + L"\n";
}

const size_t kMissing = static_cast<size_t>(-1);

size_t FindSource(const Sample &sample, const MetricDefinition &metric)
{
    for (const std::wstring &source : metric.counters)
    {
        for (size_t k = 0; k < sample.counters.size(); ++k)
        {
            if (sample.counters[k].name == source)
            {
                return k;
            }
        }
    }
    return kMissing;
}

} // namespace

const std::vector<MetricDefinition> &TarnMetrics()
{
    static const std::vector<MetricDefinition> metrics = {
        {L"tarn_received_bytes", true, L"bytes", {L"Bytes In", L"Bytes In/sec"}},
        {L"tarn_sent_bytes", true, L"bytes", {L"Bytes Out", L"Bytes Out/sec"}},
        {L"tarn_io_buffers", false, L"", {L"IO Buffers Total"}},
        {L"tarn_io_buffers_added", true, L"", {L"IO Buffers Total +/sec"}},
        {L"tarn_io_buffers_removed", true, L"", {L"IO Buffers Total -/sec"}},
        {L"tarn_io_buffers_in_use", false, L"", {L"IO Buffers In Use"}},
        {L"tarn_io_buffers_taken", true, L"", {L"IO Buffers In Use +/sec"}},
        {L"tarn_io_buffers_released", true, L"", {L"IO Buffers In Use -/sec"}},
        {L"tarn_connections_active", false, L"", {L"Connections Active"}},
        {L"tarn_sockets", false, L"", {L"Sockets Total"}},
        {L"tarn_sockets_added", true, L"", {L"Sockets Total +/sec"}},
        {L"tarn_sockets_removed", true, L"", {L"Sockets Total -/sec"}},
        {L"tarn_sockets_in_use", false, L"", {L"Sockets In Use"}},
        {L"tarn_sockets_taken", true, L"", {L"Sockets In Use +/sec"}},
        {L"tarn_sockets_released", true, L"", {L"Sockets In Use -/sec"}},
        {L"tarn_io_threads_active", false, L"", {L"IO Threads Active"}},
        {L"tarn_io_threads_processing", false, L"", {L"IO Threads Processing"}},
        {L"tarn_io_thread_events", true, L"", {L"IO Threads Events/sec"}},
        {L"tarn_business_logic_threads_active", false, L"", {L"Business Logic Threads Active"}},
        {L"tarn_business_logic_threads_processing", false, L"", {L"Business Logic Threads Processing"}},
        {L"tarn_business_logic_thread_events", true, L"", {L"Business Logic Threads Events/sec"}},
        {L"tarn_business_logic_queue_length", false, L"", {L"Business Logic Queue"}},
        {L"tarn_business_logic_queue_added", true, L"", {L"Business Logic Queue +/sec"}},
        {L"tarn_business_logic_queue_removed", true, L"", {L"Business Logic Queue -/sec"}},
    };
    return metrics;
}

std::wstring FormatExposition(const Sample &sample, bool serverUp, ExpositionFormat format)
{
    std::wstring text = Metadata({L"tarn_up", L"gauge", L"",
                                  L"Whether the TARN server is running: 1 when its object has instances, 0 when not",
                                  L"tarn_up"},
                                 format) +
                        L"tarn_up " + (serverUp ? L"1" : L"0") + L"\n";
    for (const MetricDefinition &metric : TarnMetrics())
    {
        const size_t k = FindSource(sample, metric);
        if (k == kMissing || sample.instances.empty())
        {
            continue;
        }
        const Family family{metric.family, metric.isCounter ? L"counter" : L"gauge", metric.unit,
                            MetricHelp(sample.counters[k].help, metric.isCounter),
                            metric.isCounter ? metric.family + L"_total" : metric.family};
        text += Metadata(family, format);
        for (const Instance &instance : sample.instances)
        {
            text += family.sampleName + L"{" + kServerLabel + L"=\"" + Escape(instance.name, true) + L"\"} " +
                    std::to_wstring(instance.raw[k]) + L"\n";
        }
    }
    if (format == ExpositionFormat::OpenMetrics)
    {
        text += L"# EOF\n";
    }
    return text;
}

} // namespace TarnMon
} // namespace Halyard
