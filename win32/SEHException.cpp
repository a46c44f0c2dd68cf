#include "win32/SEHException.h"

#include "win32/Exception.h"
#include "win32/FaultHooks.h"
#include "win32/ToString.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace Halyard {
namespace Win32 {

namespace {

const DWORD kStackOverflow = 0xC00000FD;

// Read by any faulting thread at any time, so each hook is one atomic word.
std::atomic<std::wstring (*)(const CONTEXT &, const CStackCopy &)> g_getCallStack{nullptr};
std::atomic<void (*)(EXCEPTION_POINTERS *)> g_requestDump{nullptr};
std::atomic<void (*)()> g_writeRequestedDumps{nullptr};

struct CCodeName
{
    DWORD code;
    const wchar_t *name;
};

const CCodeName kCodeNames[] = {
    {0xC0000005, L"ACCESS_VIOLATION"},
    {0x80000002, L"DATATYPE_MISALIGNMENT"},
    {0x80000003, L"BREAKPOINT"},
    {0x80000004, L"SINGLE_STEP"},
    {0xC000008C, L"ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, L"FLT_DENORMAL_OPERAND"},
    {0xC000008E, L"FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, L"FLT_INEXACT_RESULT"},
    {0xC0000090, L"FLT_INVALID_OPERATION"},
    {0xC0000091, L"FLT_OVERFLOW"},
    {0xC0000092, L"FLT_STACK_CHECK"},
    {0xC0000093, L"FLT_UNDERFLOW"},
    {0xC0000094, L"INT_DIVIDE_BY_ZERO"},
    {0xC0000095, L"INT_OVERFLOW"},
    {0xC0000096, L"PRIV_INSTRUCTION"},
    {0xC0000006, L"IN_PAGE_ERROR"},
    {0xC000001D, L"ILLEGAL_INSTRUCTION"},
    {0xC0000025, L"NONCONTINUABLE_EXCEPTION"},
    {kStackOverflow, L"STACK_OVERFLOW"},
    {0xC0000026, L"INVALID_DISPOSITION"},
    {0x80000001, L"GUARD_PAGE"},
    {0xC0000008, L"INVALID_HANDLE"},
};

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

void WINAPI FreeThreadState(void *state)
{
    delete static_cast<CThreadState *>(state);
}

// A stack overflow leaves the thread without its guard page; the C runtime can set a new one
// once the stack has unwound. Older runtimes lack the call, so it is looked up by name.
using ResetStackOverflowFunction = int(__cdecl *)();

ResetStackOverflowFunction FindResetStackOverflow()
{
    for (const wchar_t *runtime : {L"ucrtbase.dll", L"msvcrt.dll"})
    {
        if (const HMODULE module = ::GetModuleHandleW(runtime))
        {
            if (const FARPROC function = ::GetProcAddress(module, "_resetstkoflw"))
            {
                return reinterpret_cast<ResetStackOverflowFunction>(reinterpret_cast<void (*)()>(function));
            }
        }
    }
    return nullptr;
}

LONG CALLBACK TranslateStructuredException(EXCEPTION_POINTERS *pointers);

// The process-wide part: the vectored handler, the per-thread slot and the module's own image.
// Removed when the module is unloaded, so no handler is left pointing into freed code.
class CTranslation
{
public:
    CTranslation()
    {
        m_slot = ::FlsAlloc(FreeThreadState);
        if (m_slot == FLS_OUT_OF_INDEXES)
        {
            throw CWin32Exception(L"CSEHException::Translator::Translator() - FlsAlloc", ::GetLastError());
        }
        HMODULE module = nullptr;
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             reinterpret_cast<LPCWSTR>(&TranslateStructuredException), &module);
        m_image = module;
        m_resetStackOverflow = FindResetStackOverflow();
        m_handler = ::AddVectoredExceptionHandler(1, TranslateStructuredException);
        if (m_handler == nullptr)
        {
            const DWORD error = ::GetLastError();
            ::FlsFree(m_slot);
            throw CWin32Exception(L"CSEHException::Translator::Translator() - AddVectoredExceptionHandler", error);
        }
    }

    ~CTranslation()
    {
        ::RemoveVectoredExceptionHandler(m_handler);
        ::FlsFree(m_slot);
    }

    CTranslation(const CTranslation &) = delete;
    CTranslation &operator=(const CTranslation &) = delete;

    // Does not touch the thread's last-error value: the handler runs in the middle of other code.
    CThreadState *PeekThreadState() const
    {
        const CLastErrorKeeper keeper;
        return static_cast<CThreadState *>(::FlsGetValue(m_slot));
    }

    CThreadState &ThreadState() const
    {
        if (CThreadState *state = PeekThreadState())
        {
            return *state;
        }
        CThreadState *state = new CThreadState;
        if (!::FlsSetValue(m_slot, state))
        {
            const DWORD error = ::GetLastError();
            delete state;
            throw CWin32Exception(L"CSEHException::Translator::Translator() - FlsSetValue", error);
        }
        return *state;
    }

    HMODULE Image() const { return m_image; }

    // Sets a new guard page once the thread is far enough from the end of its stack that doing
    // so cannot itself overflow; until then the request waits for the next scope boundary.
    void RestoreStackGuard(CThreadState &state) const
    {
        const SIZE_T kClearance = 64 * 1024;
        MEMORY_BASIC_INFORMATION stack = {};
        if (m_resetStackOverflow == nullptr || ::VirtualQuery(&stack, &stack, sizeof(stack)) == 0 ||
            reinterpret_cast<const BYTE *>(&stack) - static_cast<const BYTE *>(stack.AllocationBase) <
                static_cast<ptrdiff_t>(kClearance))
        {
            return;
        }
        if (m_resetStackOverflow() != 0)
        {
            state.stackGuardLost = false;
        }
    }

private:
    DWORD m_slot = FLS_OUT_OF_INDEXES;
    HMODULE m_image = nullptr;
    ResetStackOverflowFunction m_resetStackOverflow = nullptr;
    void *m_handler = nullptr;
};

// Set once the translation exists, so that code that only looks never makes it.
std::atomic<const CTranslation *> g_translation{nullptr};

const CTranslation &Translation()
{
    static const CTranslation translation;
    g_translation = &translation;
    return translation;
}

// The calling thread's state when the exception object belongs to that thread's latest translated
// fault; null for any other object, one built by hand included.
CThreadState *FaultStateOf(const EXCEPTION_POINTERS *pointers)
{
    const CTranslation *translation = g_translation.load();
    CThreadState *state = translation != nullptr ? translation->PeekThreadState() : nullptr;
    return state != nullptr && pointers == &state->pointers ? state : nullptr;
}

void CountFaultObject(const EXCEPTION_POINTERS *pointers)
{
    if (CThreadState *state = FaultStateOf(pointers))
    {
        ++state->faultObjects;
    }
}

void WriteRequestedDumps()
{
    if (const auto write = g_writeRequestedDumps.load())
    {
        write();
    }
}

// The last object gone means every handler of the thread's faults has ended, and with them the
// frames whose locks the faults interrupted.
void UncountFaultObject(const EXCEPTION_POINTERS *pointers)
{
    CThreadState *state = FaultStateOf(pointers);
    if (state != nullptr && --state->faultObjects == 0)
    {
        WriteRequestedDumps();
    }
}

// Exceptions that belong to someone else: C++ throws (ours and the other runtime's), debugger
// output, and the debugger's own breakpoints and single steps. Informational and success codes
// are notifications, never failures.
bool IsTranslatable(const EXCEPTION_RECORD &record)
{
    const DWORD code = record.ExceptionCode;
    const DWORD kCppException = 0xE06D7363;
    const DWORD kGccThrow = 0x20474343;
    const DWORD kDebugPrint = 0x40010006;
    const DWORD kDebugPrintWide = 0x4001000A;
    const DWORD kBreakpoint = 0x80000003;
    const DWORD kSingleStep = 0x80000004;
    const DWORD kSeverityMask = 0x80000000;
    if (code == kCppException || code == kGccThrow || code == kDebugPrint || code == kDebugPrintWide ||
        code == kBreakpoint || code == kSingleStep || (code & kSeverityMask) == 0)
    {
        return false;
    }
    // Execution cannot resume anywhere after these, not even in the thrower.
    return (record.ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0;
}

extern "C" [[noreturn]] void HalyardThrowTranslatedException();
extern "C" void HalyardTranslatedExceptionThrower();

#if defined(__x86_64__)

// Entered with the faulting frame's registers and a return address into the faulting code, as if
// the faulting instruction had called it. The frame pointer lets it realign the stack (a fault in
// a leaf function leaves it misaligned) while the unwinder still finds the faulting frame.
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

// Decides whether the fault is translated and, if so, where the thrower starts. Frames without a
// handler have nothing to run on the way out, so the walk passes them: the thrower starts in the
// innermost frame that has one. That frame must be this module's: other code with a structured
// handler (a system call probing a pointer, debugger output) gets its exception as it expects it.
// Passing the frames also leaves the thrower the stack that a deep recursion had used up.
bool RedirectToThrower(const CTranslation &translation, CThreadState &state, CONTEXT &context)
{
    // The thread's NT_TIB StackBase, read directly: the handler may run on a nearly full stack.
    DWORD64 stackBase = 0;
    asm("movq %%gs:0x08, %0" : "=r"(stackBase));
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

#elif defined(__i386__)

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

// On this architecture structured handlers are registration records on the stack: one newer
// than the innermost scope belongs to code the fault passes before it reaches this module, which
// then gets its exception as it expects it.
bool RedirectToThrower(const CTranslation &, CThreadState &state, CONTEXT &context)
{
    // The thread's NT_TIB ExceptionList, the newest registration record.
    const void *newestRecord = nullptr;
    asm("movl %%fs:0, %0" : "=r"(newestRecord));
    if (newestRecord < static_cast<const void *>(state.current))
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

#else
#error "Structured exception translation supports x86 and x64 only"
#endif

void CopyStack(CThreadState &state, const CONTEXT &context)
{
#if defined(__x86_64__)
    const DWORD64 stackPointer = context.Rsp;
#else
    const DWORD64 stackPointer = context.Esp;
#endif
    // The thread's NT_TIB StackBase.
#if defined(__x86_64__)
    DWORD64 stackBase = 0;
    asm("movq %%gs:0x08, %0" : "=r"(stackBase));
#else
    DWORD stackBase32 = 0;
    asm("movl %%fs:0x04, %0" : "=r"(stackBase32));
    const DWORD64 stackBase = stackBase32;
#endif
    state.stackCopyAddress = stackPointer;
    state.stackCopySize = 0;
    if (stackPointer < stackBase)
    {
        state.stackCopySize = static_cast<size_t>(std::min<DWORD64>(stackBase - stackPointer, sizeof(state.stackCopy)));
        std::memcpy(state.stackCopy, reinterpret_cast<const void *>(stackPointer), state.stackCopySize);
    }
}

LONG CALLBACK TranslateStructuredException(EXCEPTION_POINTERS *pointers)
{
    if (!IsTranslatable(*pointers->ExceptionRecord))
    {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const CTranslation &translation = Translation();
    CThreadState *state = translation.PeekThreadState();
    if (state == nullptr || state->current == nullptr)
    {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (pointers->ExceptionRecord->ExceptionCode != kStackOverflow)
    {
        CopyStack(*state, *pointers->ContextRecord);
    }
    if (!RedirectToThrower(translation, *state, *pointers->ContextRecord))
    {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    state->record = *pointers->ExceptionRecord;
    // A chained record lives in the dispatcher's frames, which are about to be left.
    state->record.ExceptionRecord = nullptr;
    if (state->record.ExceptionCode == kStackOverflow)
    {
        state->stackGuardLost = true;
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

extern "C" [[noreturn]] void HalyardThrowTranslatedException()
{
    CThreadState &state = Translation().ThreadState();
    throw CSEHException(state.record.ExceptionCode, &state.pointers);
}

} // namespace

void SetFaultHooks(const CFaultHooks &hooks)
{
    g_getCallStack = hooks.getCallStack;
    g_requestDump = hooks.requestDump;
    g_writeRequestedDumps = hooks.writeRequestedDumps;
}

CSEHException::CSEHException(unsigned int code, EXCEPTION_POINTERS *pointers)
    : m_code(code), m_pointers(pointers)
{
    if (const auto requestDump = g_requestDump.load())
    {
        requestDump(pointers);
    }
    // A translated fault is dumped once it has been unwound; an exception built by hand has nothing
    // to unwind.
    if (CThreadState *state = FaultStateOf(pointers))
    {
        ++state->faultObjects;
    }
    else
    {
        WriteRequestedDumps();
    }
}

CSEHException::CSEHException(const CSEHException &other) : m_code(other.m_code), m_pointers(other.m_pointers)
{
    CountFaultObject(m_pointers);
}

CSEHException &CSEHException::operator=(const CSEHException &other)
{
    CountFaultObject(other.m_pointers);
    UncountFaultObject(m_pointers);
    m_code = other.m_code;
    m_pointers = other.m_pointers;
    return *this;
}

CSEHException::~CSEHException()
{
    UncountFaultObject(m_pointers);
}

unsigned int CSEHException::GetCode() const
{
    return m_code;
}

EXCEPTION_POINTERS *CSEHException::GetExceptionPointers() const
{
    return m_pointers;
}

std::wstring CSEHException::GetWhere() const
{
    // Eight digits whatever the pointer's width: the address's low 32 bits on 64-bit builds.
    const UINT_PTR address = reinterpret_cast<UINT_PTR>(m_pointers->ExceptionRecord->ExceptionAddress);
    return ToString(static_cast<unsigned int>(address), HexPrefix | HexFullWidth);
}

std::wstring CSEHException::GetMessage() const
{
    for (const CCodeName &entry : kCodeNames)
    {
        if (entry.code == m_code)
        {
            return entry.name;
        }
    }
    return L"Unknown exception";
}

std::wstring CSEHException::GetCallStack() const
{
    if (m_code == kStackOverflow)
    {
        return L"No callstack possible from EXCEPTION_STACK_OVERFLOW";
    }
    const auto getCallStack = g_getCallStack.load();
    if (getCallStack == nullptr)
    {
        return std::wstring();
    }
    CStackCopy stack = {0, nullptr, 0};
    // The copy belongs to this thread's latest translated fault, and to nothing else.
    const CThreadState *state = Translation().PeekThreadState();
    if (state != nullptr && m_pointers == &state->pointers)
    {
        stack = {state->stackCopyAddress, state->stackCopy, state->stackCopySize};
    }
    return getCallStack(*m_pointers->ContextRecord, stack);
}

CONTEXT *CSEHException::GetContext() const
{
    return m_pointers->ContextRecord;
}

CSEHException::Translator::Translator() : m_previous(nullptr)
{
    const CTranslation &translation = Translation();
    CThreadState &state = translation.ThreadState();
    if (state.stackGuardLost)
    {
        translation.RestoreStackGuard(state);
    }
    m_previous = state.current;
    state.current = this;
}

CSEHException::Translator::~Translator()
{
    const CLastErrorKeeper keeper;
    const CTranslation &translation = Translation();
    CThreadState &state = *translation.PeekThreadState();
    // Restoring "none" too: a translation left behind on a thread of the host process would turn
    // the host's own faults into exceptions it cannot catch, and outlive this module.
    state.current = m_previous;
    if (state.stackGuardLost)
    {
        translation.RestoreStackGuard(state);
    }
    WriteRequestedDumps();
}

} // namespace Win32
} // namespace Halyard
