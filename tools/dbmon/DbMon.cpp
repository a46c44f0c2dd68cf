// dbmon: prints the debugger-channel lines of every process in the session, with the writer's
// process id, until its time is up or Ctrl+C. The provider reports every failure there.
#include "tools/perfclient/DebugChannelListener.h"
#include "win32/Exception.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD)
{
    ::SetEvent(g_stop);
    return TRUE;
}

int Usage(const wchar_t *message)
{
    std::fwprintf(stderr, L"dbmon: %ls\nusage: dbmon [--seconds <n>]\n", message);
    return 1;
}

int Run(ULONGLONG milliseconds)
{
    Halyard::PerfClient::CDebugChannelListener listener;
    std::printf("dbmon: listening to the debug channel%s\n", milliseconds == ~0ULL ? "; Ctrl+C stops" : "");
    std::fflush(stdout);
    const ULONGLONG deadline = milliseconds == ~0ULL ? ~0ULL : ::GetTickCount64() + milliseconds;
    while (::GetTickCount64() < deadline && ::WaitForSingleObject(g_stop, 0) == WAIT_TIMEOUT)
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
    int argc = 0;
    wchar_t **argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    ULONGLONG milliseconds = ~0ULL;
    int result = 1;
    if (argc == 3 && std::wstring(argv[1]) == L"--seconds")
    {
        wchar_t *end = nullptr;
        const double seconds = std::wcstod(argv[2], &end);
        if (*end != L'\0' || !(seconds > 0 && seconds <= 86400))
        {
            ::LocalFree(argv);
            return Usage(L"--seconds takes a number of seconds from 1 to 86400");
        }
        milliseconds = static_cast<ULONGLONG>(seconds * 1000);
    }
    else if (argc != 1)
    {
        ::LocalFree(argv);
        return Usage(L"unexpected arguments");
    }
    ::LocalFree(argv);

    g_stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    try
    {
        result = Run(milliseconds);
    }
    catch (const Halyard::Win32::CException &e)
    {
        std::fwprintf(stderr, L"dbmon: %ls - %ls\n", e.GetWhere().c_str(), e.GetMessage().c_str());
    }
    ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    ::CloseHandle(g_stop);
    return result;
}
