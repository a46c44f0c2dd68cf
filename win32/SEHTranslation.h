#pragma once

// The machinery behind CSEHException::Translator, shared by the files that make it up: the
// process-wide handler and each thread's state (SEHTranslation.cpp), and, per architecture, how
// the faulting thread is sent on to the thrower (SEHUnwindX64.cpp, SEHUnwindX86.cpp).

#include "win32/SEHException.h"

#include <windows.h>

#include <cstddef>

#if !defined(__x86_64__) && !defined(__i386__)
#error "Structured exception translation supports x86 and x64 only"
#endif

namespace Halyard {
namespace Win32 {
namespace SEHTranslation {

const DWORD kStackOverflow = 0xC00000FD;

// What one thread needs while it translates: the innermost active scope, and copies of the
// fault's records that outlive the dispatch, so the exception pointers stay usable in a catch.
struct CThreadState
{
    const CSEHException::Translator *current = nullptr;
    EXCEPTION_RECORD record = {};
    CONTEXT context = {};
    EXCEPTION_POINTERS pointers = {&record, &context};
    // Exception objects of this thread's translated faults still alive: the thrown ones and their
    // copies. Only this thread changes it.
    LONG faultObjects = 0;
    // Scratch space for walking frames inside the handler, which may run on a nearly full stack.
    CONTEXT walk = {};
    bool stackGuardLost = false;
    // The faulting frames' stack as it was at the fault: by the time a catch asks for the call
    // stack, its own calls have written over them.
    DWORD64 stackCopyAddress = 0;
    size_t stackCopySize = 0;
    BYTE stackCopy[64 * 1024];
};

using ResetStackOverflowFunction = int(__cdecl *)();

// The process-wide part: the vectored handler, the per-thread slot and the module's own image.
// Removed when the module is unloaded, so no handler is left pointing into freed code.
class CTranslation
{
public:
    CTranslation();
    ~CTranslation();

    CTranslation(const CTranslation &) = delete;
    CTranslation &operator=(const CTranslation &) = delete;

    // Does not touch the thread's last-error value: the handler runs in the middle of other code.
    CThreadState *PeekThreadState() const;
    CThreadState &ThreadState() const;

    HMODULE Image() const { return m_image; }

    // Sets a new guard page once the thread is far enough from the end of its stack that doing
    // so cannot itself overflow; until then the request waits for the next scope boundary.
    void RestoreStackGuard(CThreadState &state) const;

private:
    DWORD m_slot = FLS_OUT_OF_INDEXES;
    HMODULE m_image = nullptr;
    ResetStackOverflowFunction m_resetStackOverflow = nullptr;
    void *m_handler = nullptr;
};

// Made on first use.
const CTranslation &Translation();

// The calling thread's state when the exception object belongs to that thread's latest translated
// fault; null for any other object, one built by hand included. Never makes the translation.
CThreadState *FaultStateOf(const EXCEPTION_POINTERS *pointers);

// Per architecture. The thread's NT_TIB StackBase, read directly: the handler may run on a nearly
// full stack.
ULONG_PTR StackBase();
ULONG_PTR StackPointer(const CONTEXT &context);

// Decides whether the fault is translated and, if so, changes the context so that the thread
// continues in the thrower, which throws the CSEHException from the faulting frame. Keeps the
// fault's context in the state before changing it.
bool RedirectToThrower(const CTranslation &translation, CThreadState &state, CONTEXT &context);

} // namespace SEHTranslation
} // namespace Win32
} // namespace Halyard
