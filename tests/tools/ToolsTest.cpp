// The tools as a user runs them: real processes, their exit codes and what they print.
#include "provider/TarnCounterSet.h"
#include "provider/TarnServerCounters.h"
#include "tests/support/ChildProcess.h"
#include "tools/perfclient/DebugChannelListener.h"
#include "tools/perfclient/ProviderRegistration.h"
#include "win32/SmartHandle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace Halyard;
using namespace Halyard::Testing;

namespace {

const DWORD kFirstCounter = 7000;

struct Outcome
{
    DWORD exitCode;
    std::string output; // stdout and stderr together
};

// Runs a program found beside the test with stdout and stderr in one temporary file, not a pipe: a
// Wine service that the program happens to start inherits its handles and would hold a pipe open
// long after the program ended.
Outcome RunTool(const std::wstring &program, const std::wstring &arguments)
{
    wchar_t folder[MAX_PATH];
    wchar_t path[MAX_PATH];
    if (::GetTempPathW(MAX_PATH, folder) == 0 || ::GetTempFileNameW(folder, L"out", 0, path) == 0)
    {
        throw Win32::CWin32Exception(L"RunTool() - GetTempFileNameW", ::GetLastError());
    }
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    Win32::CSmartHandle output(::CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                             nullptr));
    if (!output.IsValid())
    {
        throw Win32::CWin32Exception(L"RunTool() - CreateFileW", ::GetLastError());
    }
    std::wstring commandLine = L"\"" + ExecutableDirectory() + L"\\" + program + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = output.GetHandle();
    startup.hStdError = output.GetHandle();
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
    {
        throw Win32::CWin32Exception(L"RunTool() - CreateProcessW", ::GetLastError());
    }
    const Win32::CSmartHandle process(info.hProcess);
    const Win32::CSmartHandle thread(info.hThread);
    Outcome outcome{STILL_ACTIVE, {}};
    if (::WaitForSingleObject(process.GetHandle(), 60000) == WAIT_OBJECT_0)
    {
        ::GetExitCodeProcess(process.GetHandle(), &outcome.exitCode);
    }
    ::SetFilePointer(output.GetHandle(), 0, nullptr, FILE_BEGIN);
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(output.GetHandle(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
    {
        outcome.output.append(buffer, read);
    }
    return outcome;
}

std::wstring ProviderPath()
{
    return ExecutableDirectory() + L"\\TARNCounters.dll";
}

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

TEST(TarnSim, RefusesATooLongNameAndAFourthInstance)
{
    const Outcome tooLong = RunTool(L"tarnsim.exe", L"--seconds 1 " + std::wstring(26, L'x'));
    EXPECT_EQ(1u, tooLong.exitCode);
    EXPECT_TRUE(Contains(tooLong.output, "is too long: 26 characters, at most 25 are allowed")) << tooLong.output;

    const Outcome four = RunTool(L"tarnsim.exe", L"--seconds 1 a b c d");
    EXPECT_EQ(1u, four.exitCode);
    EXPECT_TRUE(Contains(four.output, "too many instances: 4 given, the TARN object has 3 instance slots"))
        << four.output;
}

// With another server holding all three slots, tarnsim reports the block's own refusal.
TEST(TarnSim, ReportsAFullInstanceTable)
{
    CTarnServerCounters server;
    CTarnInstance a = server.TakeInstance(L"a");
    CTarnInstance b = server.TakeInstance(L"b");
    CTarnInstance c = server.TakeInstance(L"c");
    const Outcome full = RunTool(L"tarnsim.exe", L"--seconds 1 d");
    EXPECT_EQ(1u, full.exitCode);
    EXPECT_TRUE(Contains(full.output, "All 3 instances in use")) << full.output;
}

TEST(TarnMon, SaysWhenTheCountersAreNotInstalled)
{
    const Outcome outcome = RunTool(L"tarnmon.exe", L"");
    EXPECT_EQ(2u, outcome.exitCode);
    EXPECT_TRUE(Contains(outcome.output, "the TARN counters are not installed")) << outcome.output;
}

TEST(TarnMon, SaysWhenTheProviderGivesNoData)
{
    PerfClient::CProviderRegistration registration(TarnProductName, ExecutableDirectory() + L"\\missing\\TARN.dll",
                                                   kFirstCounter);
    const Outcome outcome = RunTool(L"tarnmon.exe", L"");
    EXPECT_EQ(3u, outcome.exitCode);
    EXPECT_TRUE(Contains(outcome.output, "the performance library returned no TARN data")) << outcome.output;
}

TEST(TarnMon, SaysWhenTheServerIsNotRunning)
{
    PerfClient::CProviderRegistration registration(TarnProductName, ProviderPath(), kFirstCounter);
    const Outcome outcome = RunTool(L"tarnmon.exe", L"");
    EXPECT_EQ(4u, outcome.exitCode);
    EXPECT_TRUE(Contains(outcome.output, "the TARN server is not running")) << outcome.output;
}

// An uninstalled provider loaded directly gives no data, and says why on the debug channel.
TEST(TarnMon, DirectModeWithAnUninstalledProviderGivesNoDataAndADebugLine)
{
    PerfClient::CDebugChannelListener listener(10000);
    const Outcome outcome = RunTool(L"tarnmon.exe", L"--direct \"" + ProviderPath() + L"\"");
    EXPECT_EQ(3u, outcome.exitCode);
    EXPECT_TRUE(Contains(outcome.output, "gave no TARN data")) << outcome.output;
    EXPECT_TRUE(listener.WaitForLine(L"CreatePerformanceDataCollector() -  Exception: ", 5000));
}

// A server's values end to end: through the system performance library, and through the module's
// exports, in every output format.
TEST(TarnMon, ShowsTheServersValuesInEveryFormat)
{
    PerfClient::CProviderRegistration registration(TarnProductName, ProviderPath(), kFirstCounter);
    CTarnServerCounters server;
    CTarnInstance instance = server.TakeInstance(L"gw1");
    instance.Set(TarnCounter::BytesIn, 31337);
    instance.Set(TarnCounter::BytesInPerSec, 5000000000LL);
    instance.Set(TarnCounter::ConnectionsActive, 12);

    const Outcome prometheus = RunTool(L"tarnmon.exe", L"--format prometheus");
    EXPECT_EQ(0u, prometheus.exitCode) << prometheus.output;
    EXPECT_TRUE(Contains(prometheus.output, "# TYPE tarn_received_bytes_total counter\n")) << prometheus.output;
    EXPECT_FALSE(Contains(prometheus.output, "\r")) << "lines end in a bare line feed";
    EXPECT_TRUE(Contains(prometheus.output, "tarn_up 1\n"));
    // The running total and its rate are one metric; the total comes first.
    EXPECT_TRUE(Contains(prometheus.output, "tarn_received_bytes_total{server=\"gw1\"} 31337\n"));
    EXPECT_FALSE(Contains(prometheus.output, "5000000000"));
    EXPECT_TRUE(Contains(prometheus.output, "tarn_connections_active{server=\"gw1\"} 12\n"));

    const Outcome direct = RunTool(L"tarnmon.exe", L"--direct \"" + ProviderPath() +
                                                       L"\" --format openmetrics --counter \"Bytes In/sec\"");
    EXPECT_EQ(0u, direct.exitCode) << direct.output;
    EXPECT_TRUE(Contains(direct.output, "tarn_received_bytes_total{server=\"gw1\"} 5000000000\n# EOF\n"))
        << direct.output;
    EXPECT_FALSE(Contains(direct.output, "tarn_connections_active")) << "only the selected counter";

    // Nothing changes between the samples: the rate is 0, the raw count as it is.
    Outcome csv = RunTool(L"tarnmon.exe", L"--format csv --samples 2 --interval 0.2 --instance gw1 "
                                                L"--counter \"Bytes In/sec\"");
    EXPECT_EQ(0u, csv.exitCode) << csv.output;
    csv.output = WithoutCarriageReturns(csv.output);
    EXPECT_TRUE(Contains(csv.output, "\"(PDH-CSV 4.0) (")) << csv.output;
    EXPECT_TRUE(Contains(csv.output, "\\www.brindle.example:TARN(gw1)\\Bytes In/sec\"\n")) << csv.output;
    EXPECT_TRUE(Contains(csv.output, "\",\"0.000000\"\n")) << csv.output;

    const Outcome text = RunTool(L"tarnmon.exe", L"--interval 0.2 --counter \"Connections Active\"");
    EXPECT_EQ(0u, text.exitCode) << text.output;
    EXPECT_TRUE(Contains(text.output, "Instance \"gw1\"")) << text.output;
    EXPECT_TRUE(Contains(text.output, "Connections Active")) << text.output;

    const Outcome unknownInstance = RunTool(L"tarnmon.exe", L"--instance nobody");
    EXPECT_EQ(4u, unknownInstance.exitCode);
    EXPECT_TRUE(Contains(unknownInstance.output, "has no instance \"nobody\"")) << unknownInstance.output;
}
