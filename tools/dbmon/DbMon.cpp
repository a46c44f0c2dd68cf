// dbmon: prints the debugger-channel lines of every process in the session, with the writer's
// process id, until its time is up or Ctrl+C. The provider reports every failure there.
#include "tools/common/CommandLine.h"
#include "tools/common/Console.h"
#include "tools/perfclient/DebugChannelListener.h"
#include "win32/Exception.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

using Halyard::Tools::CUsageError;

namespace {

ULONGLONG ParseMilliseconds(const std::vector<std::wstring> &arguments)
{
    if (arguments.size() == 3 && arguments[1] == L"--seconds")
    {
        size_t index = 1;
        return static_cast<ULONGLONG>(Halyard::Tools::ParseSeconds(arguments, index) * 1000);
    }
    if (arguments.size() != 1)
    {
        throw CUsageError(L"unexpected arguments");
    }
    return ~0ULL;
}

int Run(ULONGLONG milliseconds, const Halyard::Tools::CConsoleStop &stop)
{
    Halyard::PerfClient::CDebugChannelListener listener;
    std::printf("dbmon: listening to the debug channel%s\n", milliseconds == ~0ULL ? "; Ctrl+C stops" : "");
    std::fflush(stdout);
    const ULONGLONG deadline = milliseconds == ~0ULL ? ~0ULL : ::GetTickCount64() + milliseconds;
    while (::GetTickCount64() < deadline && !stop.IsRequested())
    {
        const auto line = listener.WaitForLine([](const Halyard::PerfClient::CDebugChannelListener::Line &) { return true; },
                                               100);
        if (line)
        {
            std::string text = line->text;
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            {
                text.pop_back();
            }
            std::printf("[%lu] %s\n", line->processId, text.c_str());
            std::fflush(stdout);
        }
    }
    return 0;
}

} // namespace

int main()
{
    ULONGLONG milliseconds = 0;
    try
    {
        milliseconds = ParseMilliseconds(Halyard::Tools::GetCommandLineArguments());
    }
    catch (const CUsageError &e)
    {
        return Halyard::Tools::ReportUsageError(L"dbmon", e, L"usage: dbmon [--seconds <n>]\n");
    }
    const Halyard::Tools::CConsoleStop stop;
    try
    {
        return Run(milliseconds, stop);
    }
    catch (const Halyard::Win32::CException &e)
    {
        return Halyard::Tools::ReportFailure(L"dbmon", e, 1);
    }
}
