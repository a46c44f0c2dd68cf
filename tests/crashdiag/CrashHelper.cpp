// Faults inside a translator scope as a test asks, so that the process-wide dump policy writes its
// dumps beside this program, wherever the test has copied it. The commands run in order:
//   limit L keep|search   sets the limit, keeping it or lowering it by the existing dumps
//   disable               switches dumps off
//   uncounted U           asks U times for a dump of the present state, not counted
//   fault N               N access violations
// The exit code is the number of faults that arrived as CSEHException; a broken command line
// gives 255.

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

int Number(const wchar_t *text)
{
    return static_cast<int>(std::wcstol(text, nullptr, 10));
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    int translated = 0;
    for (int i = 1; i < argc; ++i)
    {
        const int remaining = argc - i - 1;
        if (std::wcscmp(argv[i], L"limit") == 0 && remaining >= 2)
        {
            SetDumpCreatorAndLimit(nullptr, Number(argv[i + 1]), std::wcscmp(argv[i + 2], L"keep") == 0);
            i += 2;
        }
        else if (std::wcscmp(argv[i], L"disable") == 0)
        {
            DisableCrashDumps();
        }
        else if (std::wcscmp(argv[i], L"uncounted") == 0 && remaining >= 1)
        {
            for (int n = Number(argv[++i]); n > 0; --n)
            {
                RequestCrashDump(false);
            }
        }
        else if (std::wcscmp(argv[i], L"fault") == 0 && remaining >= 1)
        {
            translated += Fault(Number(argv[++i]));
        }
        else
        {
            return 255;
        }
    }
    return translated;
}
