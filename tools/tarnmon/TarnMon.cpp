// tarnmon: shows the TARN server's counters as a monitor sees them, through the system's performance
// library or by calling a provider module's exports directly.
#include "tools/tarnmon/CounterCooking.h"
#include "tools/tarnmon/Exposition.h"
#include "tools/tarnmon/Samplers.h"

#include "perfmon/installer/PerformanceCounterInstaller.h"
#include "provider/TarnCounterSet.h"
#include "tools/common/CommandLine.h"
#include "tools/common/Console.h"
#include "tools/common/NumberFormat.h"
#include "tools/perfclient/DirectProvider.h"
#include "tools/perfclient/PerfData.h"
#include "win32/Exception.h"
#include "win32/FileUtils.h"
#include "win32/SmartHandle.h"
#include "win32/StringConverter.h"

#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace Halyard;
using namespace Halyard::TarnMon;
using Halyard::Tools::CUsageError;
using Halyard::Tools::FormatNumber;

namespace {

enum ExitCode
{
    ExitOk = 0,
    ExitFailed = 1,
    ExitNotInstalled = 2,
    ExitNoData = 3,
    ExitNotRunning = 4
};

const wchar_t kUsage[] =
    L"usage: tarnmon [options]\n"
    L"  --direct <dll>      call the provider module's exports instead of the system performance library\n"
    L"  --interval <s>      whole seconds between samples, 1 to 3600 (default 1)\n"
    L"  --samples <n>       number of samples to show, 1 to 100000 (default 1); rates need one extra,\n"
    L"                      earlier sample\n"
    L"  --counter <name>    show only this counter (e.g. \"Bytes In/sec\")\n"
    L"  --instance <name>   show only this instance\n"
    L"  --format <f>        text (default), csv (typeperf's layout), prometheus or openmetrics (raw values\n"
    L"                      of one sample; tarn_up is 0 when the server is not running)\n"
    L"  --output <file>     write to this file instead, UTF-8 with LF line ends: csv adds its rows at the\n"
    L"                      end of the file, with the header only when the file is new or empty; the other\n"
    L"                      formats replace it whole for every sample; with --interval and no --samples\n"
    L"                      it goes on until stopped\n"
    L"  --list              show the object, its counters with type, scale and explain text, and the\n"
    L"                      instances now present, without sampling\n"
    L"exit codes: 0 shown, 1 failure or bad usage, 2 counters not installed, 3 no data from the provider,\n"
    L"            4 the TARN server is not running (no instances; not for prometheus, openmetrics, --list)\n";

const int kReplaceAttempts = 20;
const DWORD kReplaceRetryMs = 50;
const int kCreateAttempts = 5;

void WriteAll(HANDLE file, const std::string &bytes, const wchar_t *where)
{
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size())
    {
        throw Win32::CWin32Exception(where, ::GetLastError());
    }
}

// Deletes the temporary file unless it was moved into place.
class CTemporaryFile
{
public:
    explicit CTemporaryFile(std::wstring path) : m_path(std::move(path)) {}
    CTemporaryFile(const CTemporaryFile &) = delete;
    CTemporaryFile &operator=(const CTemporaryFile &) = delete;
    ~CTemporaryFile()
    {
        if (!m_path.empty())
        {
            const DWORD error = ::GetLastError();
            ::DeleteFileW(m_path.c_str());
            ::SetLastError(error);
        }
    }

    const std::wstring &GetPath() const { return m_path; }
    void Keep() { m_path.clear(); }

private:
    std::wstring m_path;
};

// Readers (a scraper's text-file collector) see the old file or the new one, never a part of either:
// the bytes go to a temporary file in the same folder, which then replaces the file in one rename.
// The folder may be one that others can write, so the temporary name cannot be guessed ahead and
// the file is created new, never opened over something already there.
// The temporary name does not end in ".prom", so the collector never picks it up.
void WriteWholeFile(const std::wstring &path, const std::string &bytes)
{
    std::unique_ptr<CTemporaryFile> temporary;
    Win32::CSmartHandle file;
    for (int attempt = 1; !file.IsValid(); ++attempt)
    {
        const std::wstring name = path + L"." + Win32::CreateGUIDAsString() + L".tmp";
        file = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = ::GetLastError();
        if (file.IsValid())
        {
            temporary = std::make_unique<CTemporaryFile>(name);
        }
        else if (error != ERROR_FILE_EXISTS || attempt == kCreateAttempts)
        {
            throw Win32::CWin32Exception(L"WriteWholeFile() - CreateFileW \"" + name + L"\"", error);
        }
    }
    WriteAll(file.GetHandle(), bytes, L"WriteWholeFile() - WriteFile");
    file.Close();
    // A Windows reader that opened the file without delete sharing holds off the replace for a moment.
    for (int attempt = 1;; ++attempt)
    {
        if (::MoveFileExW(temporary->GetPath().c_str(), path.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        {
            temporary->Keep();
            return;
        }
        const DWORD error = ::GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || attempt == kReplaceAttempts)
        {
            throw Win32::CWin32Exception(L"WriteWholeFile() - MoveFileExW \"" + path + L"\"", error);
        }
        ::Sleep(kReplaceRetryMs);
    }
}

// Stdout, or a file: replaced whole for every sample, or kept as a log that rows are added to.
class COutput
{
public:
    explicit COutput(std::wstring path) : m_path(std::move(path)) {}

    void Replace(const std::wstring &text)
    {
        if (m_path.empty())
        {
            PrintUtf8(text);
            return;
        }
        WriteWholeFile(m_path, Win32::CStringConverter::WtoA(text, Tools::Utf8()));
    }

    // Starts a log, as typeperf does: an existing file is kept and rows go on at its end; the header
    // starts an empty file only, so a file filled over several runs has it once.
    void BeginLog(const std::wstring &header)
    {
        if (m_path.empty())
        {
            PrintUtf8(header);
            return;
        }
        // Readers may look at the log while rows arrive; a second writer would interleave its rows.
        m_log = ::CreateFileW(m_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (!m_log.IsValid())
        {
            throw Win32::CWin32Exception(L"COutput::BeginLog() - CreateFileW \"" + m_path + L"\"", ::GetLastError());
        }
        LARGE_INTEGER size;
        if (!::GetFileSizeEx(m_log.GetHandle(), &size))
        {
            throw Win32::CWin32Exception(L"COutput::BeginLog() - GetFileSizeEx \"" + m_path + L"\"",
                                         ::GetLastError());
        }
        if (size.QuadPart == 0)
        {
            Append(header);
        }
    }

    void Append(const std::wstring &text)
    {
        if (m_path.empty())
        {
            PrintUtf8(text);
            return;
        }
        WriteAll(m_log.GetHandle(), Win32::CStringConverter::WtoA(text, Tools::Utf8()),
                 L"COutput::Append() - WriteFile");
    }

private:
    // Stdout carries UTF-8 too, whatever the console's code page.
    static void PrintUtf8(const std::wstring &text) { Tools::Print(stdout, text, Tools::Utf8()); }

    std::wstring m_path;
    Win32::CSmartHandle m_log;
};

int Fail(int code, const std::wstring &message)
{
    return Tools::ReportFailure(L"tarnmon", message, code);
}

struct Options
{
    std::wstring direct;
    unsigned interval = 1; // seconds
    bool intervalGiven = false;
    unsigned samples = 1; // 0: until stopped, which only --interval with --output and no --samples asks for
    bool samplesGiven = false;
    std::wstring counter;
    std::wstring instance;
    std::wstring format = L"text";
    std::wstring output;
    bool list = false;

    bool IsExposition() const { return format == L"prometheus" || format == L"openmetrics"; }
};

unsigned WholeNumber(const wchar_t *option, const std::wstring &text, unsigned long maximum)
{
    const std::optional<unsigned long> value = Tools::ParseWholeNumber(text, 1, maximum);
    if (!value)
    {
        throw CUsageError(std::wstring(option) + L" takes a whole number from 1 to " + std::to_wstring(maximum) +
                          L", not \"" + text + L"\"");
    }
    return static_cast<unsigned>(*value);
}

Options ParseOptions(const std::vector<std::wstring> &arguments)
{
    Options options;
    for (size_t i = 1; i < arguments.size(); ++i)
    {
        const std::wstring &option = arguments[i];
        if (option == L"--help" || option == L"-h" || option == L"/?")
        {
            throw CUsageError(L"");
        }
        if (option == L"--list")
        {
            options.list = true;
            continue;
        }
        if (i + 1 >= arguments.size())
        {
            throw CUsageError(L"unknown option or missing value: " + option);
        }
        const std::wstring &value = arguments[++i];
        if (option == L"--direct")
        {
            options.direct = value;
        }
        else if (option == L"--interval")
        {
            options.interval = WholeNumber(L"--interval", value, 3600);
            options.intervalGiven = true;
        }
        else if (option == L"--samples")
        {
            options.samples = WholeNumber(L"--samples", value, 100000);
            options.samplesGiven = true;
        }
        else if (option == L"--counter")
        {
            options.counter = value;
        }
        else if (option == L"--instance")
        {
            options.instance = value;
        }
        else if (option == L"--format")
        {
            options.format = value;
            if (options.format != L"text" && options.format != L"csv" && !options.IsExposition())
            {
                throw CUsageError(L"--format is text, csv, prometheus or openmetrics, not \"" + options.format +
                                  L"\"");
            }
        }
        else if (option == L"--output")
        {
            options.output = value;
        }
        else
        {
            throw CUsageError(L"unknown option: " + option);
        }
    }
    if (!options.output.empty() && options.intervalGiven && !options.samplesGiven)
    {
        options.samples = 0;
    }
    if (options.IsExposition() && options.output.empty() && options.samples != 1)
    {
        throw CUsageError(L"--format " + options.format +
                          L" prints one sample; --output <file> rewrites a file for each sample");
    }
    return options;
}

bool SameText(const std::wstring &a, const std::wstring &b)
{
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// Keeps the selected counter and instance only.
int Select(Sample &sample, const Options &options)
{
    if (!options.counter.empty())
    {
        size_t k = 0;
        while (k < sample.counters.size() && !SameText(sample.counters[k].name, options.counter))
        {
            ++k;
        }
        if (k == sample.counters.size())
        {
            return Fail(ExitFailed, L"the TARN object has no counter \"" + options.counter + L"\"");
        }
        sample.counters = {sample.counters[k]};
        for (Instance &instance : sample.instances)
        {
            instance.raw = {instance.raw[k]};
        }
    }
    if (!options.instance.empty())
    {
        std::vector<Instance> kept;
        for (Instance &instance : sample.instances)
        {
            if (instance.name == options.instance)
            {
                kept.push_back(std::move(instance));
            }
        }
        sample.instances = std::move(kept);
    }
    return ExitOk;
}

std::wstring FormatText(const Sample *previous, const Sample &sample, unsigned number, unsigned count)
{
    const SYSTEMTIME &t = sample.localTime;
    wchar_t heading[160];
    std::swprintf(heading, sizeof(heading) / sizeof(heading[0]),
                  L"Sample %u%ls at %04u-%02u-%02u %02u:%02u:%02u.%03u, %.3f s after the previous one\n", number,
                  count != 0 ? (L" of " + std::to_wstring(count)).c_str() : L"", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds,
                  previous != nullptr && sample.perfFreq > 0
                      ? static_cast<double>(sample.perfTime - previous->perfTime) / static_cast<double>(sample.perfFreq)
                      : 0.0);
    std::wstring text = heading;
    wchar_t line[256];
    for (const Instance &instance : sample.instances)
    {
        text += L"  Instance \"" + instance.name + L"\"\n";
        std::swprintf(line, sizeof(line) / sizeof(line[0]), L"    %-36ls %20ls %9ls %20ls\n", L"Counter", L"Value",
                      L"Scale", L"Scaled (graph)");
        text += line;
        const std::vector<std::optional<double>> values = CookInstance(previous, sample, instance);
        for (size_t k = 0; k < sample.counters.size(); ++k)
        {
            const Counter &counter = sample.counters[k];
            const std::optional<double> &value = values[k];
            const std::wstring shown = !value ? L"-" : IsRate(counter.counterType) ? FormatNumber(L"%.3f", *value)
                                                                                   : FormatNumber(L"%.0f", *value);
            const std::wstring scaled = value ? FormatNumber(L"%.6g", ApplyDefaultScale(*value, counter.defaultScale))
                                              : L"-";
            std::swprintf(line, sizeof(line) / sizeof(line[0]), L"    %-36ls %20ls %9ls %20ls\n", counter.name.c_str(),
                          shown.c_str(), (L"10^" + std::to_wstring(counter.defaultScale)).c_str(), scaled.c_str());
            text += line;
        }
    }
    return text;
}

std::wstring CounterTypeName(DWORD type)
{
    wchar_t hex[16];
    std::swprintf(hex, sizeof(hex) / sizeof(hex[0]), L"0x%08lX", static_cast<unsigned long>(type));
    switch (type)
    {
    case PERF_COUNTER_RAWCOUNT:
        return L"PERF_COUNTER_RAWCOUNT (" + std::wstring(hex) + L", current 32-bit count)";
    case PERF_COUNTER_LARGE_RAWCOUNT:
        return L"PERF_COUNTER_LARGE_RAWCOUNT (" + std::wstring(hex) + L", current 64-bit count)";
    case PERF_COUNTER_COUNTER:
        return L"PERF_COUNTER_COUNTER (" + std::wstring(hex) + L", rate per second of a 32-bit count)";
    case PERF_COUNTER_BULK_COUNT:
        return L"PERF_COUNTER_BULK_COUNT (" + std::wstring(hex) + L", rate per second of a 64-bit count)";
    default:
        return hex;
    }
}

std::wstring FormatList(const Sample &sample)
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    std::wstring text = L"Object \"" + std::wstring(TarnObjectName) + L"\"\n  " +
                        schema.GetObjects().front()->GetHelp() + L"\n\nCounters (" +
                        std::to_wstring(sample.counters.size()) + L"):\n";
    for (const Counter &counter : sample.counters)
    {
        text += L"  " + counter.name + L"\n    type " + CounterTypeName(counter.counterType) + L", default scale 10^" +
                std::to_wstring(counter.defaultScale) + L"\n    " + counter.help + L"\n";
    }
    text += L"\nInstances (" + std::to_wstring(sample.instances.size()) + L")" +
            (sample.instances.empty() ? L": none, the TARN server is not running\n" : L":\n");
    for (const Instance &instance : sample.instances)
    {
        text += L"  \"" + instance.name + L"\"\n";
    }
    return text;
}

std::wstring MachineName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return ::GetComputerNameW(name, &size) ? std::wstring(name, size) : std::wstring(L"localhost");
}

// The zone in effect now, as typeperf names it in its header.
CsvTimeZone CurrentTimeZone()
{
    TIME_ZONE_INFORMATION zone;
    const DWORD id = ::GetTimeZoneInformation(&zone);
    if (id == TIME_ZONE_ID_INVALID)
    {
        throw Win32::CWin32Exception(L"CurrentTimeZone() - GetTimeZoneInformation", ::GetLastError());
    }
    if (id == TIME_ZONE_ID_DAYLIGHT)
    {
        return {zone.DaylightName, zone.Bias + zone.DaylightBias};
    }
    return {zone.StandardName, zone.Bias + zone.StandardBias};
}

void Pause(unsigned seconds)
{
    ::Sleep(seconds * 1000);
}

// Takes one sample and keeps the selected counter and instance; serverUp tells whether the object
// had instances before the selection.
int TakeSample(ISampler &sampler, const Options &options, bool direct, std::optional<Sample> &sample,
               bool &serverUp)
{
    sample = sampler.Take();
    if (!sample)
    {
        return Fail(ExitNoData,
                    direct ? L"the provider module \"" + options.direct +
                                 L"\" gave no TARN data; its debug line (see dbmon) says why"
                           : std::wstring(L"the performance library returned no TARN data: the provider failed to load "
                                          L"or to collect; its debug line (see dbmon) says why"));
    }
    serverUp = !sample->instances.empty();
    return Select(*sample, options);
}

int RequireInstances(const Sample &sample, const Options &options)
{
    if (sample.instances.empty())
    {
        return Fail(ExitNotRunning, options.instance.empty()
                                        ? std::wstring(L"the TARN server is not running: the TARN object has no instances")
                                        : L"the TARN server has no instance \"" + options.instance + L"\"");
    }
    return ExitOk;
}

// A scrape always gets a valid exposition: without data from the provider it holds tarn_up 0 alone,
// so a file left from a running server never goes on claiming the server is up.
int RunExposition(ISampler &sampler, const Options &options, bool direct, COutput &output)
{
    const ExpositionFormat format =
        options.format == L"openmetrics" ? ExpositionFormat::OpenMetrics : ExpositionFormat::Prometheus;
    if (options.output.empty())
    {
        // The exposition formats separate lines with a bare line feed.
        std::fflush(stdout);
        _setmode(_fileno(stdout), _O_BINARY);
    }
    int result = ExitOk;
    for (unsigned number = 1; options.samples == 0 || number <= options.samples; ++number)
    {
        if (number > 1)
        {
            Pause(options.interval);
        }
        std::optional<Sample> sample;
        bool serverUp = false;
        result = TakeSample(sampler, options, direct, sample, serverUp);
        if (result == ExitFailed)
        {
            return result;
        }
        output.Replace(FormatExposition(sample ? *sample : Sample{}, serverUp, format));
    }
    return result;
}

int Run(const Options &options)
{
    const PerfMon::CPerformanceCounterInstaller installer;
    const bool installed = installer.IsInstalled(TarnProductName);
    const bool direct = !options.direct.empty();
    if (!installed && !direct)
    {
        return Fail(ExitNotInstalled, L"the TARN counters are not installed (no \"First Counter\" under "
                                      L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\TARN\\Performance); install them "
                                      L"with: tarnctr install <path to TARNCounters.dll>");
    }
    const DWORD firstCounter = installed ? installer.FirstCounterIndex(TarnProductName) : 0;
    std::unique_ptr<ISampler> sampler;
    if (direct)
    {
        sampler = std::make_unique<CDirectSampler>(options.direct, firstCounter);
    }
    else
    {
        sampler = std::make_unique<CLibrarySampler>(firstCounter);
    }
    COutput output(options.output);
    if (options.IsExposition() && !options.list)
    {
        return RunExposition(*sampler, options, direct, output);
    }

    std::optional<Sample> previous;
    bool serverUp = false;
    int result = TakeSample(*sampler, options, direct, previous, serverUp);
    if (result != ExitOk)
    {
        if (result == ExitNoData && direct && !installed)
        {
            Fail(ExitNoData, L"the TARN counters are not installed, so the provider has no first counter index");
        }
        return result;
    }
    if (options.list)
    {
        output.Replace(FormatList(*previous));
        return ExitOk;
    }
    result = RequireInstances(*previous, options);
    if (result != ExitOk)
    {
        return result;
    }

    // The columns stay those of the first sample; an instance that went away shows empty cells.
    std::vector<std::wstring> columnInstances;
    std::vector<Column> columns;
    for (const Instance &instance : previous->instances)
    {
        columnInstances.push_back(instance.name);
        for (const Counter &counter : previous->counters)
        {
            columns.push_back({instance.name, counter.name});
        }
    }
    const bool csv = options.format == L"csv";
    if (csv)
    {
        output.BeginLog(CsvHeader(MachineName(), TarnObjectName, CurrentTimeZone(), columns) + L"\n");
    }
    for (unsigned number = 1; options.samples == 0 || number <= options.samples; ++number)
    {
        Pause(options.interval);
        std::optional<Sample> sample;
        result = TakeSample(*sampler, options, direct, sample, serverUp);
        if (result == ExitOk)
        {
            result = RequireInstances(*sample, options);
        }
        if (result != ExitOk)
        {
            return result;
        }
        if (csv)
        {
            std::vector<std::optional<double>> row;
            for (const std::wstring &name : columnInstances)
            {
                const Instance *instance = sample->FindInstance(name);
                const std::vector<std::optional<double>> values =
                    instance != nullptr ? CookInstance(&*previous, *sample, *instance)
                                        : std::vector<std::optional<double>>(sample->counters.size());
                row.insert(row.end(), values.begin(), values.end());
            }
            output.Append(CsvRow(sample->localTime, row) + L"\n");
        }
        else
        {
            output.Replace(FormatText(&*previous, *sample, number, options.samples));
        }
        previous = std::move(sample);
    }
    return ExitOk;
}

} // namespace

int main()
{
    try
    {
        return Run(ParseOptions(Tools::GetCommandLineArguments()));
    }
    catch (const CUsageError &e)
    {
        // --help asks for the usage text alone, and is no failure.
        const int result = Tools::ReportUsageError(L"tarnmon", e, kUsage);
        return e.GetMessage().empty() ? ExitOk : result;
    }
    catch (const Win32::CException &e)
    {
        return Tools::ReportFailure(L"tarnmon", e, ExitFailed);
    }
}
