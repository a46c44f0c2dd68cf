// Faults inside a translator scope as a test asks, so that the process-wide dump policy writes its
// dumps beside this program, wherever the test has copied it. The exit code is the number of
// faults that arrived as CSEHException; a broken command line gives 255.

#include "crashdiag/CrashDump.h"
#include "win32/SEHException.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

using namespace Halyard::Win32;

namespace {

volatile int *volatile g_nullPointer = nullptr;

__attribute__((noinline)) void WriteThroughNull()
{
    *g_nullPointer = 1;
}

volatile unsigned g_recursionLimit = 0xFFFFFFFF;

__attribute__((noinline)) unsigned Recurse(unsigned depth)
{
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (depth == g_recursionLimit)
    {
        return 0;
    }
    return Recurse(depth + 1) + frame[0];
}

int Fault(int times)
{
    int translated = 0;
    for (int i = 0; i < times; ++i)
    {
        try
        {
            CSEHException::Translator translator;
            WriteThroughNull();
        }
        catch (const CSEHException &e)
        {
            translated += e.GetCode() == EXCEPTION_ACCESS_VIOLATION ? 1 : 0;
        }
    }
    return translated;
}

DWORD WINAPI Overflow(void *)
{
    try
    {
        CSEHException::Translator translator;
        Recurse(0);
    }
    catch (const CSEHException &e)
    {
        return e.GetCode() == EXCEPTION_STACK_OVERFLOW ? 1 : 0;
    }
    return 0;
}

int OverflowOnSmallStack()
{
    HANDLE thread = ::CreateThread(nullptr, 256 * 1024, Overflow, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr)
    {
        return 255;
    }
    ::WaitForSingleObject(thread, INFINITE);
    DWORD code = 255;
    ::GetExitCodeThread(thread, &code);
    ::CloseHandle(thread);
    return static_cast<int>(code);
}

int Number(const wchar_t *text)
{
    return static_cast<int>(std::wcstol(text, nullptr, 10));
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 3 && std::wcscmp(argv[1], L"fault") == 0)
    {
        return Fault(Number(argv[2]));
    }
    if (argc == 4 && std::wcscmp(argv[1], L"limit") == 0)
    {
        SetDumpCreatorAndLimit(nullptr, Number(argv[2]), false);
        return Fault(Number(argv[3]));
    }
    if (argc == 3 && std::wcscmp(argv[1], L"disabled") == 0)
    {
        DisableCrashDumps();
        return Fault(Number(argv[2]));
    }
    if (argc == 4 && std::wcscmp(argv[1], L"uncounted") == 0)
    {
        for (int i = Number(argv[2]); i > 0; --i)
        {
            RequestCrashDump(false);
        }
        return Fault(Number(argv[3]));
    }
    if (argc == 2 && std::wcscmp(argv[1], L"overflow") == 0)
    {
        return OverflowOnSmallStack();
    }
    return 255;
}
