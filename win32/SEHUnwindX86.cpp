// x86: how a translated fault is sent on to the thrower. Structured handlers are registration
// records on the stack, and the frames are unwound from the call frame information that this
// module's unwinder holds: its own code's, and no other module's.
#if defined(__i386__)

#include "win32/SEHTranslation.h"

namespace Halyard {
namespace Win32 {
namespace SEHTranslation {

extern "C" void HalyardTranslatedExceptionThrower();

// The unwinder's own lookup of a code address's call frame information; bases receives three
// pointers that are not needed here.
extern "C" const void *_Unwind_Find_FDE(void *pc, void *bases);

// The thrower. Entered with the faulting frame's registers and a return address into the faulting
// code, as if the faulting instruction had called it; realigns the stack before the call.
asm(R"(
    .text
    .p2align 4
    .globl _HalyardTranslatedExceptionThrower
    .def _HalyardTranslatedExceptionThrower; .scl 2; .type 32; .endef
_HalyardTranslatedExceptionThrower:
    .cfi_startproc
    pushl %ebp
    .cfi_def_cfa_offset 8
    .cfi_offset %ebp, -8
    movl %esp, %ebp
    .cfi_def_cfa_register %ebp
    andl $-16, %esp
    call _HalyardThrowTranslatedException
    int3
    .cfi_endproc
)");

ULONG_PTR StackBase()
{
    ULONG_PTR stackBase = 0;
    asm("movl %%fs:0x04, %0" : "=r"(stackBase));
    return stackBase;
}

ULONG_PTR StackPointer(const CONTEXT &context)
{
    return context.Esp;
}

namespace {

bool HasCallFrameInformation(DWORD address)
{
    void *bases[3] = {};
    return _Unwind_Find_FDE(reinterpret_cast<void *>(address), bases) != nullptr;
}

} // namespace

// A registration record newer than the innermost scope belongs to code the fault passes before it
// reaches this module, which then gets its exception as it expects it. A fault in code that the
// unwinder knows nothing of (a system module's, RaiseException's included) is passed on too: the
// unwinder could not leave its frames, and the throw would end the process. Nor can a walk by frame
// pointers stand in: the registers that such code saved are not known.
bool RedirectToThrower(const CTranslation &, CThreadState &state, CONTEXT &context)
{
    // The thread's NT_TIB ExceptionList, the newest registration record.
    const void *newestRecord = nullptr;
    asm("movl %%fs:0, %0" : "=r"(newestRecord));
    if (newestRecord < static_cast<const void *>(state.current))
    {
        return false;
    }
    // After a call through a null pointer the caller's return address is on top of the stack.
    const DWORD faultingCode =
        context.Eip != 0 ? context.Eip : *reinterpret_cast<const DWORD *>(context.Esp) - 1;
    if (!HasCallFrameInformation(faultingCode))
    {
        return false;
    }
    // The copy kept for the catch is taken before the context changes.
    state.context = context;
    if (context.Eip != 0)
    {
        // The unwinder looks for the faulting frame's rules at (return address - 1): the faulting
        // instruction itself. After a call through a null pointer the caller's return address
        // is already on top of the stack.
        context.Esp -= sizeof(DWORD);
        *reinterpret_cast<DWORD *>(context.Esp) = context.Eip + 1;
    }
    context.Eip = reinterpret_cast<DWORD>(&HalyardTranslatedExceptionThrower);
    return true;
}

} // namespace SEHTranslation
} // namespace Win32
} // namespace Halyard

#endif
