#include "win32/SEHException.h"

#include "win32/Exception.h"
#include "win32/FaultHooks.h"
#include "win32/SEHTranslation.h"
#include "win32/ToString.h"

#include <atomic>

namespace Halyard {
namespace Win32 {

using SEHTranslation::CThreadState;
using SEHTranslation::FaultStateOf;
using SEHTranslation::Translation;

namespace {

// Read by any faulting thread at any time, so each hook is one atomic word.
std::atomic<std::wstring (*)(const CONTEXT &, const CStackCopy &)> g_getCallStack{nullptr};
std::atomic<void (*)(EXCEPTION_POINTERS *)> g_requestDump{nullptr};
std::atomic<void (*)()> g_writeRequestedDumps{nullptr};

void WriteRequestedDumps()
{
    if (const auto write = g_writeRequestedDumps.load())
    {
        write();
    }
}

void CountFaultObject(const EXCEPTION_POINTERS *pointers)
{
    if (CThreadState *state = FaultStateOf(pointers))
    {
        ++state->faultObjects;
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

std::wstring CSEHException::GetCallStack() const
{
    if (m_code == SEHTranslation::kStackOverflow)
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
    const SEHTranslation::CTranslation &translation = Translation();
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
    const SEHTranslation::CTranslation &translation = Translation();
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
