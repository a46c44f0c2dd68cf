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
    // Asks for a dump of the fault. Called where the fault is translated, while the code that faulted
    // may still hold its locks: it takes what the dump needs and writes nothing. Must not throw and
    // must keep the last-error value.
    void (*requestDump)(EXCEPTION_POINTERS *pointers);
    // Writes the dumps that the calling thread's faults asked for. Called once those faults have been
    // unwound: when a translator scope ends, or when the last exception object of the thread's faults
    // is destroyed after its handler. Must not throw and must keep the last-error value.
    void (*writeRequestedDumps)();
};

// Replaces the process's hooks; a fault already being translated may still see the former ones.
void SetFaultHooks(const CFaultHooks &hooks);

} // namespace Win32
} // namespace Halyard
