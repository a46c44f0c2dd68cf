#include "win32/SEHTranslation.h"

#include "win32/Exception.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace Halyard {
namespace Win32 {
namespace SEHTranslation {

namespace {

void WINAPI FreeThreadState(void *state)
{
    delete static_cast<CThreadState *>(state);
}

// A stack overflow leaves the thread without its guard page; the C runtime can set a new one
// once the stack has unwound. Older runtimes lack the call, so it is looked up by name.
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

// Set once the translation exists, so that code that only looks never makes it.
std::atomic<const CTranslation *> g_translation{nullptr};

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

void CopyStack(CThreadState &state, const CONTEXT &context)
{
    const ULONG_PTR stackPointer = StackPointer(context);
    const ULONG_PTR stackBase = StackBase();
    state.stackCopyAddress = stackPointer;
    state.stackCopySize = 0;
    if (stackPointer < stackBase)
    {
        state.stackCopySize = std::min<size_t>(stackBase - stackPointer, sizeof(state.stackCopy));
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

} // namespace

CTranslation::CTranslation()
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

CTranslation::~CTranslation()
{
    ::RemoveVectoredExceptionHandler(m_handler);
    ::FlsFree(m_slot);
}

CThreadState *CTranslation::PeekThreadState() const
{
    const CLastErrorKeeper keeper;
    return static_cast<CThreadState *>(::FlsGetValue(m_slot));
}

CThreadState &CTranslation::ThreadState() const
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

void CTranslation::RestoreStackGuard(CThreadState &state) const
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

const CTranslation &Translation()
{
    static const CTranslation translation;
    g_translation = &translation;
    return translation;
}

CThreadState *FaultStateOf(const EXCEPTION_POINTERS *pointers)
{
    const CTranslation *translation = g_translation.load();
    CThreadState *state = translation != nullptr ? translation->PeekThreadState() : nullptr;
    return state != nullptr && pointers == &state->pointers ? state : nullptr;
}

} // namespace SEHTranslation
} // namespace Win32
} // namespace Halyard

// Where the thrower of each architecture goes once it has the faulting frame's registers.
extern "C" [[noreturn]] void HalyardThrowTranslatedException()
{
    using namespace Halyard::Win32;
    SEHTranslation::CThreadState &state = SEHTranslation::Translation().ThreadState();
    throw CSEHException(state.record.ExceptionCode, &state.pointers);
}
