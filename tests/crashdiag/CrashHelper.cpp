// Faults inside a translator scope as a test asks, so that the process-wide dump policy writes its
// dumps and its trace where the test looks. The commands run in order:
//   folder F              sets the crash dump folder
//   limit L keep|search   sets the limit, keeping it or lowering it by the existing dumps
//   disable               switches dumps off
//   suppress              holds a dump suppression scope from here on
//   uncounted U           asks U times for a dump of the present state, not counted
//   fault N               N access violations
//   overflow N            N stack overflows
// The exit code is the number of faults that arrived as CSEHException; a broken command line
// gives 255.

#include "crashdiag/CrashDump.h"
#include "crashdiag/FaultDiagnostics.h"
#include "win32/SEHException.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <memory>

using namespace Halyard::Win32;

namespace {

volatile int *volatile g_nullPointer = nullptr;

__attribute__((noinline)) void WriteThroughNull()
{
    *g_nullPointer = 1;
}

// Recurses until the limit, which is far beyond any stack. The compiler takes an access to a
// function's own frame for one that cannot fault, and a function with nothing else in it for one
// that cannot throw: a call into it would then have no entry in the caller's exception tables, and
// the stack overflow translated inside it would end in terminate (or not, as the caller's code
// happens to be laid out). Writing the frame through a pointer it cannot see through keeps the
// call able to throw, as any real code that overflows the stack is.
volatile unsigned g_recursionLimit = 0xFFFFFFFF;

__attribute__((noinline)) unsigned Recurse(unsigned depth)
{
    volatile char frame[512];
    volatile char *volatile opaque = frame;
    opaque[0] = static_cast<char>(depth);
    if (depth == g_recursionLimit)
    {
        return 0;
    }
    return Recurse(depth + 1) + frame[0];
}

void Overflow()
{
    Recurse(0);
}

int Fault(int times, void (*fault)(), DWORD code)
{
    int translated = 0;
    for (int i = 0; i < times; ++i)
    {
        try
        {
            CSEHException::Translator translator;
            fault();
        }
        catch (const CSEHException &e)
        {
            translated += e.GetCode() == code ? 1 : 0;
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
    InstallFaultDiagnostics();
    int translated = 0;
    std::unique_ptr<CCrashDumpSuppression> suppression;
    for (int i = 1; i < argc; ++i)
    {
        const int remaining = argc - i - 1;
        if (std::wcscmp(argv[i], L"folder") == 0 && remaining >= 1)
        {
            SetCrashDumpFolder(argv[++i]);
        }
        else if (std::wcscmp(argv[i], L"limit") == 0 && remaining >= 2)
        {
            SetDumpCreatorAndLimit(nullptr, Number(argv[i + 1]), std::wcscmp(argv[i + 2], L"keep") == 0);
            i += 2;
        }
        else if (std::wcscmp(argv[i], L"disable") == 0)
        {
            DisableCrashDumps();
        }
        else if (std::wcscmp(argv[i], L"suppress") == 0)
        {
            suppression.reset(new CCrashDumpSuppression);
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
            translated += Fault(Number(argv[++i]), WriteThroughNull, EXCEPTION_ACCESS_VIOLATION);
        }
        else if (std::wcscmp(argv[i], L"overflow") == 0 && remaining >= 1)
        {
            translated += Fault(Number(argv[++i]), Overflow, EXCEPTION_STACK_OVERFLOW);
        }
        else
        {
            return 255;
        }
    }
    return translated;
}
