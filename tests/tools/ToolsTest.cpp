// The tools as a user runs them: real processes, their exit codes and what they print.
#include "provider/TarnCounterSet.h"
#include "provider/TarnServerCounters.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempFiles.h"
#include "tools/perfclient/ProviderRegistration.h"
#include "win32/FileUtils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using namespace Halyard;
using namespace Halyard::Testing;

namespace {

const DWORD kFirstCounter = 7000;

bool Contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// Text and CSV end their lines as the platform does.
std::string WithoutCarriageReturns(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::vector<std::string> LinesOf(const std::wstring &path)
{
    const std::string text = Win32::LoadFileAsString(path);
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();)
    {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

} // namespace

// What tarnmon says when there is nothing to show, with the provider registered as the case needs.
TEST(TarnMon, SaysWhyThereIsNoData)
{
    const struct
    {
        const wchar_t *provider;
        std::wstring arguments;
        DWORD exitCode;
        const char *says;
    } cases[] = {
        {nullptr, L"", 2, "the TARN counters are not installed"},
        {L"missing\\TARN.dll", L"", 3, "the performance library returned no TARN data"},
        {L"TARNCounters.dll", L"", 4, "the TARN server is not running"},
        // An uninstalled provider loaded directly gives no data.
        {nullptr, L"--direct \"" + Beside(L"TARNCounters.dll") + L"\"", 3, "gave no TARN data"},
    };
    for (const auto &c : cases)
    {
        std::unique_ptr<PerfClient::CProviderRegistration> registration;
        if (c.provider != nullptr)
        {
            registration.reset(
                new PerfClient::CProviderRegistration(TarnProductName, Beside(c.provider), kFirstCounter));
        }
        const ProgramRun run = RunProgram(L"tarnmon.exe", c.arguments);
        EXPECT_EQ(c.exitCode, run.exitCode) << c.says;
        EXPECT_TRUE(Contains(run.output, c.says)) << run.output;
    }
}

// A server's values end to end: through the system performance library, and through the module's
// exports, in every output format.
TEST(TarnMon, ShowsTheServersValuesInEveryFormat)
{
    PerfClient::CProviderRegistration registration(TarnProductName, Beside(L"TARNCounters.dll"), kFirstCounter);
    CTarnServerCounters server;
    CTarnInstance instance = server.TakeInstance(L"gw1");
    instance.Set(TarnCounter::BytesIn, 31337);
    instance.Set(TarnCounter::BytesInPerSec, 5000000000LL);
    instance.Set(TarnCounter::ConnectionsActive, 12);

    const ProgramRun prometheus = RunProgram(L"tarnmon.exe", L"--format prometheus");
    EXPECT_EQ(0u, prometheus.exitCode) << prometheus.output;
    EXPECT_FALSE(Contains(prometheus.output, "\r")) << "lines end in a bare line feed";
    // The running total and its rate are one metric; the total comes first.
    EXPECT_TRUE(Contains(prometheus.output, "tarn_received_bytes_total{server=\"gw1\"} 31337\n"));
    EXPECT_FALSE(Contains(prometheus.output, "5000000000"));
    EXPECT_TRUE(Contains(prometheus.output, "tarn_connections_active{server=\"gw1\"} 12\n"));

    const ProgramRun direct = RunProgram(L"tarnmon.exe", L"--direct \"" + Beside(L"TARNCounters.dll") +
                                                       L"\" --format openmetrics --counter \"Bytes In/sec\"");
    EXPECT_EQ(0u, direct.exitCode) << direct.output;
    EXPECT_TRUE(Contains(direct.output, "tarn_received_bytes_total{server=\"gw1\"} 5000000000\n# EOF\n"))
        << direct.output;
    EXPECT_FALSE(Contains(direct.output, "tarn_connections_active")) << "only the selected counter";

    // Nothing changes between the samples: the rate is 0, the raw count as it is.
    ProgramRun csv = RunProgram(L"tarnmon.exe", L"--format csv --samples 2 --interval 1 --instance gw1 "
                                                L"--counter \"Bytes In/sec\"");
    EXPECT_EQ(0u, csv.exitCode) << csv.output;
    csv.output = WithoutCarriageReturns(csv.output);
    EXPECT_TRUE(Contains(csv.output, "\"(PDH-CSV 4.0) (")) << csv.output;
    EXPECT_TRUE(Contains(csv.output, "\\www.brindle.example:TARN(gw1)\\Bytes In/sec\"\n")) << csv.output;
    EXPECT_TRUE(Contains(csv.output, "\",\"0.000000\"\n")) << csv.output;

    const ProgramRun text = RunProgram(L"tarnmon.exe", L"--interval 1 --counter \"Connections Active\"");
    EXPECT_EQ(0u, text.exitCode) << text.output;
    EXPECT_TRUE(Contains(text.output, "Instance \"gw1\"")) << text.output;
    EXPECT_TRUE(Contains(text.output, "Connections Active")) << text.output;

    const ProgramRun unknownInstance = RunProgram(L"tarnmon.exe", L"--instance nobody");
    EXPECT_EQ(4u, unknownInstance.exitCode);
    EXPECT_TRUE(Contains(unknownInstance.output, "has no instance \"nobody\"")) << unknownInstance.output;
}

// Counts that are not positive whole numbers are refused before anything runs: "0.5" once ran for ever.
TEST(TarnMon, RefusesCountsThatAreNotPositiveWholeNumbers)
{
    for (const wchar_t *option : {L"--samples", L"--interval"})
    {
        for (const wchar_t *value : {L"0.5", L"0", L"-1", L"x", L"+2", L"1e1", L""})
        {
            const ProgramRun run = RunProgram(L"tarnmon.exe", std::wstring(option) + L" \"" + value + L"\"");
            EXPECT_EQ(1u, run.exitCode) << run.output;
            EXPECT_TRUE(Contains(run.output, "takes a whole number from 1 to")) << run.output;
            EXPECT_TRUE(Contains(run.output, "usage: tarnmon")) << run.output;
        }
    }
}

// CSV into a file is a log: a second run adds its rows under the first run's, and the header once.
TEST(TarnMon, AppendsCsvRowsToAnExistingFile)
{
    PerfClient::CProviderRegistration registration(TarnProductName, Beside(L"TARNCounters.dll"), kFirstCounter);
    CTarnServerCounters server;
    CTarnInstance instance = server.TakeInstance(L"gw1");
    instance.Set(TarnCounter::ConnectionsActive, 3);
    const CTempFolder folder(L"tarnmon_csv");
    const std::wstring path = folder / L"tarn.csv";
    const std::wstring arguments = L"--format csv --counter \"Connections Active\" --interval 1 --output \"" + path +
                                   L"\" --samples ";

    const ProgramRun first = RunProgram(L"tarnmon.exe", arguments + L"4");
    ASSERT_EQ(0u, first.exitCode) << first.output;
    const std::vector<std::string> firstLines = LinesOf(path);
    ASSERT_EQ(5u, firstLines.size());
    instance.Set(TarnCounter::ConnectionsActive, 4);
    const ProgramRun second = RunProgram(L"tarnmon.exe", arguments + L"3");
    ASSERT_EQ(0u, second.exitCode) << second.output;

    const std::vector<std::string> lines = LinesOf(path);
    ASSERT_EQ(8u, lines.size());
    EXPECT_TRUE(std::equal(firstLines.begin(), firstLines.end(), lines.begin())) << "the first run's lines stay";
    EXPECT_TRUE(Contains(lines[0], "\"(PDH-CSV 4.0) (")) << lines[0];
    for (size_t i = 1; i < lines.size(); ++i)
    {
        EXPECT_FALSE(Contains(lines[i], "PDH-CSV")) << i;
        EXPECT_TRUE(Contains(lines[i], i < 5 ? "\"3.000000\"" : "\"4.000000\"")) << i << ": " << lines[i];
    }
    EXPECT_EQ(std::vector<std::wstring>{path}, FilesMatching(folder / L"*")) << "nothing else is left beside it";
}
