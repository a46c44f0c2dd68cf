#include "win32/Optex.h"

#include "win32/Exception.h"
#include "win32/ToString.h"

#include <utility>

namespace Halyard {
namespace Win32 {

namespace {

const wchar_t kStateMappingSuffix[] = L"_Optext_MMF";

// How often a waiter looks whether the owner still lives.
const DWORD kOwnerCheckInterval = 10;

bool IsSingleProcessor()
{
    static const bool singleProcessor = [] {
        SYSTEM_INFO info = {};
        ::GetSystemInfo(&info);
        return info.dwNumberOfProcessors == 1;
    }();
    return singleProcessor;
}

// A thread id that names no thread, or names one that has ended, belongs to a dead owner. Any
// other failure (access denied to another account's thread) counts as alive: taking over a live
// owner's lock would let two threads in.
bool IsThreadAlive(DWORD threadId)
{
    const CSmartHandle thread(::OpenThread(SYNCHRONIZE, FALSE, threadId));
    if (!thread.IsValid())
    {
        return ::GetLastError() != ERROR_INVALID_PARAMETER;
    }
    return ::WaitForSingleObject(thread.GetHandle(), 0) == WAIT_TIMEOUT;
}

} // namespace

COptex::COptex(DWORD spinCount)
    : m_event(CEvent::NotSignalled, nullptr),
      m_localState(new State()),
      m_state(m_localState.get()),
      m_name(L"(local)"),
      m_spinCount(0),
      m_timeout(INFINITE),
      m_owner(0),
      m_recursion(0)
{
    SetSpinCount(spinCount);
}

COptex::COptex(const IKernelObjectName &name, SECURITY_ATTRIBUTES *sa, DWORD spinCount)
    : COptex(name, CSmartHandle(), CSmartHandle(), sa, spinCount)
{
}

COptex::COptex(const IKernelObjectName &name, CSmartHandle event, CSmartHandle stateMapping, SECURITY_ATTRIBUTES *sa,
               DWORD spinCount)
    : m_event(event.IsValid() ? CAutoResetEvent(std::move(event))
                              : CAutoResetEvent(name, CreateOrOpen, sa, CEvent::NotSignalled)),
      m_mapping(std::move(stateMapping)),
      m_state(nullptr),
      m_name(name.GetName()),
      m_spinCount(0),
      m_timeout(INFINITE),
      m_owner(0),
      m_recursion(0)
{
    if (!m_mapping.IsValid())
    {
        // An existing mapping of this name is opened with its state as it is: another process may hold the lock.
        m_mapping = CSmartHandle(::CreateFileMappingW(INVALID_HANDLE_VALUE, sa, PAGE_READWRITE, 0, sizeof(State),
                                                      (name.GetName() + kStateMappingSuffix).c_str()));
        ThrowLastErrorIf(!m_mapping.IsValid(), L"COptex::COptex() - Unable to create file mapping");
    }
    m_view = CMappedView(::MapViewOfFile(m_mapping.GetHandle(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    ThrowLastErrorIf(!m_view.IsValid(), L"COptex::COptex() - Unable to map view of file");
    m_state = static_cast<State *>(m_view.Get());
    SetSpinCount(spinCount);
}

COptex::~COptex() = default;

// The shared field is still written for peers that read it; this process spins by its own count,
// so a scribbled count cannot make it spin for minutes.
void COptex::SetSpinCount(DWORD spinCount)
{
    if (IsSingleProcessor())
    {
        return;
    }
    m_spinCount = spinCount;
    ::InterlockedExchange(reinterpret_cast<volatile LONG *>(&m_state->spinCount), static_cast<LONG>(spinCount));
}

void COptex::SetTimeout(DWORD milliseconds)
{
    m_timeout = milliseconds;
}

DWORD COptex::GetTimeout() const
{
    return m_timeout;
}

bool COptex::TryEnter()
{
    const DWORD threadId = ::GetCurrentThreadId();
    if (m_owner.load(std::memory_order_relaxed) == threadId)
    {
        Reenter();
        return true;
    }
    return TryAcquire(threadId);
}

void COptex::Enter()
{
    const DWORD threadId = ::GetCurrentThreadId();
    if (m_owner.load(std::memory_order_relaxed) == threadId)
    {
        Reenter();
        return;
    }
    if (!TryAcquire(threadId))
    {
        Wait(threadId);
    }
}

void COptex::Leave()
{
    if (m_owner.load(std::memory_order_relaxed) != ::GetCurrentThreadId())
    {
        return;
    }
    if (--m_recursion > 0)
    {
        m_state->recursion = m_recursion;
        ::InterlockedDecrement(&m_state->lockCount);
        return;
    }
    m_owner.store(0, std::memory_order_relaxed);
    m_state->ownerThreadId = 0;
    m_state->recursion = 0;
    if (::InterlockedDecrement(&m_state->lockCount) > 0)
    {
        // Someone waits: the auto-reset event wakes exactly one of them.
        m_event.Set();
    }
}

bool COptex::TryAcquire(DWORD threadId)
{
    for (DWORD spins = m_spinCount;; --spins)
    {
        if (::InterlockedCompareExchange(&m_state->lockCount, 1, 0) == 0)
        {
            Own(threadId);
            return true;
        }
        if (spins == 0)
        {
            return false;
        }
        YieldProcessor();
    }
}

void COptex::Own(DWORD threadId)
{
    m_owner.store(threadId, std::memory_order_relaxed);
    m_recursion = 1;
    m_state->ownerThreadId = threadId;
    m_state->recursion = 1;
}

void COptex::Reenter()
{
    ::InterlockedIncrement(&m_state->lockCount);
    m_state->recursion = ++m_recursion;
}

// Counted as a waiter, the thread sleeps until a leaving owner hands the lock over through the
// event, the owner turns out to be dead, or the deadline passes.
void COptex::Wait(DWORD threadId)
{
    if (::InterlockedIncrement(&m_state->lockCount) == 1)
    {
        // The owner left meanwhile: the lock is ours.
        Own(threadId);
        return;
    }
    const ULONGLONG start = ::GetTickCount64();
    for (;;)
    {
        const ULONGLONG waited = ::GetTickCount64() - start;
        DWORD slice = kOwnerCheckInterval;
        if (m_timeout != INFINITE && m_timeout < waited + slice)
        {
            slice = waited >= m_timeout ? 0 : static_cast<DWORD>(m_timeout - waited);
        }
        if (m_event.Wait(slice) || TakeOverFromDeadOwner(threadId))
        {
            Own(threadId);
            return;
        }
        if (m_timeout != INFINITE && ::GetTickCount64() - start >= m_timeout)
        {
            if (!Withdraw())
            {
                Own(threadId);
                return;
            }
            const unsigned long long waitedInAll = ::GetTickCount64() - start;
            throw CException(L"COptex::Enter()",
                             L"Timed out after " + ToString(waitedInAll) + L" ms waiting for \"" + m_name +
                                 L"\", held by thread " +
                                 ToString(static_cast<unsigned long>(m_state->ownerThreadId)));
        }
    }
}

// The dead owner's entries are its recursion count, at least one (it may have died inside Leave);
// a count it cannot have is left to the deadline rather than believed.
bool COptex::TakeOverFromDeadOwner(DWORD threadId)
{
    const DWORD owner = m_state->ownerThreadId;
    if (owner == 0 || owner == threadId || IsThreadAlive(owner))
    {
        return false;
    }
    const LONG recursion = m_state->recursion;
    const LONG entries = recursion < 1 ? 1 : recursion;
    if (entries > m_state->lockCount - 1)
    {
        return false;
    }
    if (::InterlockedCompareExchange(reinterpret_cast<volatile LONG *>(&m_state->ownerThreadId),
                                     static_cast<LONG>(threadId), static_cast<LONG>(owner)) != static_cast<LONG>(owner))
    {
        // Another waiter took it over first.
        return false;
    }
    ::InterlockedExchangeAdd(&m_state->lockCount, -entries);
    return true;
}

// Stops counting this thread as a waiter. When it is the only one left counted and nobody owns the
// lock, a leaving owner is handing the lock to it right now: it takes the lock (and the event's
// signal, which must not wake a later waiter) instead, and false is returned.
bool COptex::Withdraw()
{
    for (;;)
    {
        const LONG count = m_state->lockCount;
        if (count == 1 && m_state->ownerThreadId == 0)
        {
            m_event.Wait(kOwnerCheckInterval);
            return false;
        }
        if (::InterlockedCompareExchange(&m_state->lockCount, count - 1, count) == count)
        {
            return true;
        }
    }
}

} // namespace Win32
} // namespace Halyard
