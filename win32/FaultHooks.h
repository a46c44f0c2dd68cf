#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace Halyard {
namespace Win32 {

// A copy of a faulting thread's stack from its stack pointer up, taken before the handler's own
// calls overwrite the frames that were left.
struct CStackCopy
{
    DWORD64 address;
    const BYTE *bytes;
    size_t size;
};

// What a translated structured exception asks of the crash diagnostics. They sit above this
// library, so they plug themselves in: a program that wants call stacks and dumps of its faults
// registers them once, before its first translator scope. Either hook may be null.
struct CFaultHooks
{
    // The call stack of the fault's context, one frame a line, innermost first.
    std::wstring (*getCallStack)(const CONTEXT &context, const CStackCopy &stack);
    // Asks for a dump of the fault; must not throw and must keep the last-error value.
    void (*requestDump)(EXCEPTION_POINTERS *pointers);
};

// Replaces the process's hooks; a fault already being translated may still see the former ones.
void SetFaultHooks(const CFaultHooks &hooks);

} // namespace Win32
} // namespace Halyard
