// The tools as a user runs them: real processes, their exit codes and what they print.
#include "provider/TarnCounterSet.h"
#include "provider/TarnServerCounters.h"
#include "tests/support/ChildProcess.h"
#include "tools/perfclient/ProviderRegistration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

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
    ProgramRun csv = RunProgram(L"tarnmon.exe", L"--format csv --samples 2 --interval 0.2 --instance gw1 "
                                                L"--counter \"Bytes In/sec\"");
    EXPECT_EQ(0u, csv.exitCode) << csv.output;
    csv.output = WithoutCarriageReturns(csv.output);
    EXPECT_TRUE(Contains(csv.output, "\"(PDH-CSV 4.0) (")) << csv.output;
    EXPECT_TRUE(Contains(csv.output, "\\www.brindle.example:TARN(gw1)\\Bytes In/sec\"\n")) << csv.output;
    EXPECT_TRUE(Contains(csv.output, "\",\"0.000000\"\n")) << csv.output;

    const ProgramRun text = RunProgram(L"tarnmon.exe", L"--interval 0.2 --counter \"Connections Active\"");
    EXPECT_EQ(0u, text.exitCode) << text.output;
    EXPECT_TRUE(Contains(text.output, "Instance \"gw1\"")) << text.output;
    EXPECT_TRUE(Contains(text.output, "Connections Active")) << text.output;

    const ProgramRun unknownInstance = RunProgram(L"tarnmon.exe", L"--instance nobody");
    EXPECT_EQ(4u, unknownInstance.exitCode);
    EXPECT_TRUE(Contains(unknownInstance.output, "has no instance \"nobody\"")) << unknownInstance.output;
}
