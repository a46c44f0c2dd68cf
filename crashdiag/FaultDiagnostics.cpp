#include "crashdiag/FaultDiagnostics.h"

#include "crashdiag/CallStack.h"
#include "crashdiag/CrashDump.h"
#include "win32/FaultHooks.h"

#include <cstdlib>
#include <exception>

namespace Halyard {
namespace Win32 {

namespace {

std::wstring CallStackOfFault(const CONTEXT &context, const CStackCopy &stack)
{
    return GetCallStackText(context, stack);
}

void DumpFault(EXCEPTION_POINTERS *pointers)
{
    CaptureCrashDump(pointers, true);
}

std::terminate_handler g_previousTerminate = nullptr;

// A translated fault that nothing catches ends the process without being unwound, so its dump is
// written on the way out; the locks it interrupted are lost with the process anyway.
[[noreturn]] void WriteCapturedDumpsAndTerminate()
{
    WriteCapturedCrashDumps();
    if (g_previousTerminate != nullptr)
    {
        g_previousTerminate();
    }
    std::abort();
}

} // namespace

void InstallFaultDiagnostics()
{
    SetFaultHooks({CallStackOfFault, DumpFault, WriteCapturedCrashDumps});
    const std::terminate_handler previous = std::set_terminate(WriteCapturedDumpsAndTerminate);
    if (previous != WriteCapturedDumpsAndTerminate)
    {
        g_previousTerminate = previous;
    }
}

} // namespace Win32
} // namespace Halyard
