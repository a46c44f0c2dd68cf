#include "crashdiag/FaultDiagnostics.h"

#include "crashdiag/CallStack.h"
#include "crashdiag/CrashDump.h"
#include "win32/FaultHooks.h"

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

} // namespace

void InstallFaultDiagnostics()
{
    SetFaultHooks({CallStackOfFault, DumpFault, WriteCapturedCrashDumps});
}

} // namespace Win32
} // namespace Halyard
