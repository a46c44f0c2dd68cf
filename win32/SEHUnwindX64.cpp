// x64: how a translated fault is sent on to the thrower, found by walking the frames' unwind data.
#if defined(__x86_64__)

#include "win32/SEHTranslation.h"

namespace Halyard {
namespace Win32 {
namespace SEHTranslation {

extern "C" void HalyardTranslatedExceptionThrower();

// The thrower. Entered with the faulting frame's registers and a return address into the faulting
// code, as if the faulting instruction had called it. The frame pointer lets it realign the stack
// (a fault in a leaf function leaves it misaligned) while the unwinder still finds the faulting frame.
asm(R"(
    .text
    .p2align 4
    .globl HalyardTranslatedExceptionThrower
    .def HalyardTranslatedExceptionThrower; .scl 2; .type 32; .endef
    .seh_proc HalyardTranslatedExceptionThrower
HalyardTranslatedExceptionThrower:
    pushq %rbp
    .seh_pushreg %rbp
    movq %rsp, %rbp
    .seh_setframe %rbp, 0
    .seh_endprologue
    andq $-16, %rsp
    subq $32, %rsp
    call HalyardThrowTranslatedException
    int3
    .seh_endproc
)");

namespace {

bool HasHandler(DWORD64 imageBase, const RUNTIME_FUNCTION &function)
{
    // The first byte of the unwind information holds its flags above the version. A chained
    // entry is a fragment of a function whose handler is recorded elsewhere: counted as one.
    const BYTE kHandlerOrChained = UNW_FLAG_EHANDLER | UNW_FLAG_UHANDLER | UNW_FLAG_CHAININFO;
    const BYTE *unwindInfo = reinterpret_cast<const BYTE *>(imageBase + function.UnwindData);
    return ((unwindInfo[0] >> 3) & kHandlerOrChained) != 0;
}

bool IsInPrologue(DWORD64 imageBase, const RUNTIME_FUNCTION &function, DWORD64 address)
{
    // The second byte of the unwind information is the prologue's size.
    const BYTE *unwindInfo = reinterpret_cast<const BYTE *>(imageBase + function.UnwindData);
    return address - (imageBase + function.BeginAddress) < unwindInfo[1];
}

// Makes the thread continue in the thrower as if the faulting instruction had called it.
void EnterThrowerAtFault(CThreadState &state, CONTEXT &context, DWORD64 imageBase, const RUNTIME_FUNCTION &function)
{
    // The personality routine looks for the handler of (return address - 1): the faulting
    // instruction itself.
    DWORD64 returnAddress = context.Rip + 1;
    if (IsInPrologue(imageBase, function, context.Rip))
    {
        // Nothing of a frame whose prologue faulted exists yet, and the unwinder would misread it
        // from an address past the faulting instruction: continue from the caller's call instead.
        CONTEXT &caller = state.walk;
        caller = context;
        void *handlerData = nullptr;
        DWORD64 establisherFrame = 0;
        ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, const_cast<PRUNTIME_FUNCTION>(&function),
                           &caller, &handlerData, &establisherFrame, nullptr);
        context = caller;
        returnAddress = caller.Rip;
    }
    context.Rsp -= sizeof(DWORD64);
    *reinterpret_cast<DWORD64 *>(context.Rsp) = returnAddress;
    context.Rip = reinterpret_cast<DWORD64>(&HalyardTranslatedExceptionThrower);
}

} // namespace

ULONG_PTR StackBase()
{
    ULONG_PTR stackBase = 0;
    asm("movq %%gs:0x08, %0" : "=r"(stackBase));
    return stackBase;
}

ULONG_PTR StackPointer(const CONTEXT &context)
{
    return context.Rsp;
}

// Frames without a handler have nothing to run on the way out, so the walk passes them: the thrower
// starts in the innermost frame that has one. That frame must be this module's: other code with a
// structured handler (a system call probing a pointer, debugger output) gets its exception as it
// expects it. Passing the frames also leaves the thrower the stack that a deep recursion had used up.
bool RedirectToThrower(const CTranslation &translation, CThreadState &state, CONTEXT &context)
{
    const DWORD64 stackBase = StackBase();
    CONTEXT &walk = state.walk;
    walk = context;
    for (bool atFault = true; walk.Rsp < stackBase; atFault = false)
    {
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = ::RtlLookupFunctionEntry(walk.Rip, &imageBase, nullptr);
        if (function == nullptr)
        {
            // No unwind data (a leaf function, or a call through a bad pointer): the return
            // address is on top of the stack.
            walk.Rip = *reinterpret_cast<const DWORD64 *>(walk.Rsp);
            walk.Rsp += sizeof(DWORD64);
            continue;
        }
        if (HasHandler(imageBase, *function))
        {
            if (reinterpret_cast<HMODULE>(imageBase) != translation.Image())
            {
                return false;
            }
            // The copy kept for the catch is taken before the context changes.
            state.context = context;
            if (atFault)
            {
                EnterThrowerAtFault(state, context, imageBase, *function);
            }
            else
            {
                // As if the frame's pending call had called the thrower.
                context = walk;
                context.Rsp -= sizeof(DWORD64);
                *reinterpret_cast<DWORD64 *>(context.Rsp) = walk.Rip;
                context.Rip = reinterpret_cast<DWORD64>(&HalyardTranslatedExceptionThrower);
            }
            return true;
        }
        const DWORD64 previousStack = walk.Rsp;
        void *handlerData = nullptr;
        DWORD64 establisherFrame = 0;
        ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, walk.Rip, function, &walk, &handlerData, &establisherFrame,
                           nullptr);
        if (walk.Rsp <= previousStack)
        {
            return false;
        }
    }
    return false;
}

} // namespace SEHTranslation
} // namespace Win32
} // namespace Halyard

#endif
