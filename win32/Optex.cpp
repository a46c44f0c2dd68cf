#include "win32/Optex.h"

#include "win32/Exception.h"
#include "win32/ToString.h"

#include <winternl.h>

#include <algorithm>
#include <utility>

namespace Halyard {
namespace Win32 {

namespace {

const wchar_t kStateMappingSuffix[] = L"_Optext_MMF";
const wchar_t kOwnerRecordSuffix[] = L"_Optex_Owner";

// How long a leaving owner waits for a takeover that found its id reused to give the owner field
// back, which it does a few instructions after taking it; a field that stays foreign longer was
// scribbled.
const ULONGLONG kGiveBackWait = 200;

// Outside the 32-bit range of a lock count: the lock has not been seen free.
const LONGLONG kNotSeenFree = -(1LL << 40);

bool IsSingleProcessor()
{
    static const bool singleProcessor = [] {
        SYSTEM_INFO info = {};
        ::GetSystemInfo(&info);
        return info.dwNumberOfProcessors == 1;
    }();
    return singleProcessor;
}

// The low half of a thread's creation time, with the lowest bit set so that 0 stays "unknown".
DWORD CreationStamp(HANDLE thread)
{
    FILETIME creation, exit, kernel, user;
    if (!::GetThreadTimes(thread, &creation, &exit, &kernel, &user))
    {
        return 0;
    }
    return creation.dwLowDateTime | 1;
}

// GCC 12 takes the segment reads of the thread's environment block for accesses to an empty array.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"

// Each thread's creation stamp, read from the system once and kept in a thread-local slot. The
// slot is read straight from the thread's environment block, since TlsGetValue clears the thread's
// last-error value and Enter must not. The slot number is kept plus one, so that the zeroed object
// that a lock used before static construction sees means "no slot", never slot 0.
class CThreadStampSlot
{
public:
    CThreadStampSlot()
    {
        const DWORD index = ::TlsAlloc();
        if (index < kTebSlots)
        {
            m_slotPlusOne = index + 1;
        }
        else if (index != TLS_OUT_OF_INDEXES)
        {
            ::TlsFree(index);
        }
    }
    ~CThreadStampSlot()
    {
        if (m_slotPlusOne != 0)
        {
            ::TlsFree(m_slotPlusOne - 1);
        }
    }
    CThreadStampSlot(const CThreadStampSlot &) = delete;
    CThreadStampSlot &operator=(const CThreadStampSlot &) = delete;

    DWORD Get() const
    {
        if (m_slotPlusOne == 0)
        {
            return CreationStamp(::GetCurrentThread());
        }
        void *&slot = NtCurrentTeb()->TlsSlots[m_slotPlusOne - 1];
        DWORD stamp = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(slot));
        if (stamp == 0)
        {
            stamp = CreationStamp(::GetCurrentThread());
            slot = reinterpret_cast<void *>(static_cast<UINT_PTR>(stamp));
        }
        return stamp;
    }

private:
    static const DWORD kTebSlots = 64;
    DWORD m_slotPlusOne = 0;
};

// The calling thread's id, read from its environment block as GetCurrentThreadId does, without the
// call. Only Leave reads it so: the call at the start of Enter leaves a thread that leaves and enters
// again in a loop a gap in which a spinning thread gets in (without it, hand-offs took 15-40% longer).
DWORD CurrentThreadId()
{
#if defined(_WIN64)
    return static_cast<DWORD>(__readgsqword(0x48));
#else
    return static_cast<DWORD>(__readfsdword(0x24));
#endif
}

#pragma GCC diagnostic pop

// Made when the module or program starts and freed when it unloads, so that a host that loads and
// unloads the module keeps no slot.
const CThreadStampSlot g_threadStamps;

} // namespace

COptex::COptex(DWORD spinCount)
    : m_event(CEvent::NotSignalled, nullptr),
      m_localState(new LocalState()),
      m_state(&m_localState->state),
      m_record(&m_localState->record),
      m_name(L"(local)"),
      m_processId(::GetCurrentProcessId()),
      m_spinCount(0),
      m_timeout(INFINITE),
      m_hooks(nullptr),
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
      m_record(nullptr),
      m_name(name.GetName()),
      m_processId(::GetCurrentProcessId()),
      m_spinCount(0),
      m_timeout(INFINITE),
      m_hooks(nullptr),
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
    MapOwnerRecord(name.GetName(), sa);
    SetSpinCount(spinCount);
}

COptex::~COptex() = default;

// The record is optional: peers built before it existed neither write nor read it, and a lock
// without it still works, knowing owners by thread id alone.
void COptex::MapOwnerRecord(const std::wstring &name, SECURITY_ATTRIBUTES *sa)
{
    const DWORD error = ::GetLastError();
    m_recordMapping = CSmartHandle(::CreateFileMappingW(INVALID_HANDLE_VALUE, sa, PAGE_READWRITE, 0,
                                                        sizeof(OwnerRecord), (name + kOwnerRecordSuffix).c_str()));
    if (m_recordMapping.IsValid())
    {
        m_recordView = CMappedView(::MapViewOfFile(m_recordMapping.GetHandle(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0,
                                                   sizeof(OwnerRecord)));
        m_record = static_cast<OwnerRecord *>(m_recordView.Get());
    }
    ::SetLastError(error);
}

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

void COptex::SetHooks(IHooks *hooks)
{
    m_hooks = hooks;
}

void COptex::Hook(Step step)
{
    if (m_hooks != nullptr)
    {
        m_hooks->OnStep(step);
    }
}

namespace {

// The lock count and the owner id as one 8-byte value: free is both 0, owned at once is a count of
// 1 and the owner. Taking and leaving an uncontended lock are then one interlocked step each, and
// the owner is never a moment unnamed.
volatile LONGLONG *CountAndOwner(volatile LONG *lockCount)
{
    return reinterpret_cast<volatile LONGLONG *>(lockCount);
}

LONGLONG OwnedOnce(DWORD threadId)
{
    return static_cast<LONGLONG>((static_cast<ULONGLONG>(threadId) << 32) | 1u);
}

} // namespace

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
    const DWORD threadId = CurrentThreadId();
    if (m_owner.load(std::memory_order_relaxed) != threadId)
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
    if (m_record != nullptr && m_record->threadId == threadId)
    {
        m_record->threadId = 0;
    }
    m_state->recursion = 0;
    const LONGLONG ownedOnce = OwnedOnce(threadId);
    if (::InterlockedCompareExchange64(CountAndOwner(&m_state->lockCount), 0, ownedOnce) != ownedOnce)
    {
        ReleaseOwner(threadId);
    }
}

// Leaving with others counted: the owner field is cleared before the count is given back, so that a
// waiter woken by the event finds the lock free.
void COptex::ReleaseOwner(DWORD threadId)
{
    volatile LONG *owner = reinterpret_cast<volatile LONG *>(&m_state->ownerThreadId);
    const ULONGLONG start = ::GetTickCount64();
    while (::InterlockedCompareExchange(owner, 0, static_cast<LONG>(threadId)) != static_cast<LONG>(threadId) &&
           ::GetTickCount64() - start < kGiveBackWait)
    {
        ::Sleep(0);
    }
    Hook(Step::OwnerCleared);
    const LONG remaining = ::InterlockedDecrement(&m_state->lockCount);
    Hook(Step::Released);
    if (remaining > 0)
    {
        // Someone waits: the auto-reset event wakes one of them to look again.
        m_event.Set();
    }
    else if (remaining < 0)
    {
        // A count below zero was scribbled: with it the lock could never be taken at once again.
        ::InterlockedCompareExchange(&m_state->lockCount, 0, remaining);
    }
}

bool COptex::TryAcquire(DWORD threadId)
{
    const LONGLONG ownedOnce = OwnedOnce(threadId);
    for (DWORD spins = m_spinCount;; --spins)
    {
        if (::InterlockedCompareExchange64(CountAndOwner(&m_state->lockCount), ownedOnce, 0) == 0)
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

// A thread that is already counted in the lock count becomes the owner.
bool COptex::ClaimOwner(DWORD threadId)
{
    if (::InterlockedCompareExchange(reinterpret_cast<volatile LONG *>(&m_state->ownerThreadId),
                                     static_cast<LONG>(threadId), 0) != 0)
    {
        return false;
    }
    Own(threadId);
    return true;
}

void COptex::Own(DWORD threadId)
{
    Hook(Step::Claimed);
    m_owner.store(threadId, std::memory_order_relaxed);
    m_recursion = 1;
    m_state->recursion = 1;
    if (m_record != nullptr)
    {
        // The id last, so that a reader that sees it sees the rest.
        m_record->processId = m_processId;
        m_record->creationStamp = g_threadStamps.Get();
        m_record->threadId = threadId;
    }
}

void COptex::Reenter()
{
    ::InterlockedIncrement(&m_state->lockCount);
    m_state->recursion = ++m_recursion;
}

// Counted as a waiter, the thread sleeps until the event or a time slice ends, then looks at the
// owner field: a free lock is claimed, a dead owner is taken over, anything else means sleeping
// again, until the deadline. Being woken grants nothing.
void COptex::Wait(DWORD threadId)
{
    // Nobody else counted (or a count scribbled below zero): the lock is free unless a dead owner
    // left its id behind.
    if (::InterlockedIncrement(&m_state->lockCount) <= 1 && ClaimOwner(threadId))
    {
        return;
    }
    Hook(Step::Counted);
    const ULONGLONG start = ::GetTickCount64();
    // The lock count when the lock was last seen free at the end of a time slice, or none.
    LONGLONG freeAtCount = kNotSeenFree;
    for (;;)
    {
        const ULONGLONG waited = ::GetTickCount64() - start;
        DWORD slice = kOwnerCheckInterval;
        if (m_timeout != INFINITE && m_timeout < waited + slice)
        {
            slice = waited >= m_timeout ? 0 : static_cast<DWORD>(m_timeout - waited);
        }
        const bool signalled = m_event.Wait(slice);
        Hook(Step::Woken);
        const DWORD owner = m_state->ownerThreadId;
        const LONG count = m_state->lockCount;
        if (owner == 0)
        {
            // A release sets the event. A free lock with the same count at two time slices in a row,
            // and no event between, is a release whose owner died before setting it, or a count that
            // nobody holds; a lock being handed from waiter to waiter changes its count meanwhile.
            if ((signalled || freeAtCount == count) && ClaimOwner(threadId))
            {
                return;
            }
            freeAtCount = signalled ? kNotSeenFree : count;
        }
        else
        {
            freeAtCount = kNotSeenFree;
            if (!signalled && TakeOverFromDeadOwner(threadId, owner))
            {
                return;
            }
        }
        if (m_timeout != INFINITE && ::GetTickCount64() - start >= m_timeout)
        {
            Hook(Step::Withdrawing);
            // A release racing the deadline has freed the lock for this waiter.
            if (m_state->ownerThreadId == 0 && ClaimOwner(threadId))
            {
                return;
            }
            ::InterlockedDecrement(&m_state->lockCount);
            const unsigned long long waitedInAll = ::GetTickCount64() - start;
            throw CException(L"COptex::Enter()",
                             L"Timed out after " + ToString(waitedInAll) + L" ms waiting for \"" + m_name +
                                 L"\", held by thread " +
                                 ToString(static_cast<unsigned long>(m_state->ownerThreadId)));
        }
    }
}

COptex::OwnerRecord COptex::ReadOwnerRecord(DWORD owner) const
{
    OwnerRecord record = {};
    if (m_record == nullptr)
    {
        return record;
    }
    record.threadId = m_record->threadId;
    record.processId = m_record->processId;
    record.creationStamp = m_record->creationStamp;
    // Read around the rest: an owner that changed meanwhile leaves a record that names nobody.
    if (record.threadId != owner || m_record->threadId != owner)
    {
        record.threadId = 0;
    }
    return record;
}

// An owner id that names no thread, or a thread that has ended, belongs to a dead owner; so does a
// live thread of another process or creation time than the owner recorded, which reuses the id.
// Whatever cannot be found out (access denied to another account's thread) counts as alive:
// taking over a live owner's lock would let two threads in.
bool COptex::IsOwnerAlive(DWORD owner, const OwnerRecord &record)
{
    const DWORD access = SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION;
    const CSmartHandle thread(m_hooks != nullptr ? m_hooks->OpenOwnerThread(access, owner)
                                                 : ::OpenThread(access, FALSE, owner));
    if (!thread.IsValid())
    {
        return ::GetLastError() != ERROR_INVALID_PARAMETER;
    }
    if (::WaitForSingleObject(thread.GetHandle(), 0) == WAIT_OBJECT_0)
    {
        return false;
    }
    if (record.threadId != owner)
    {
        return true;
    }
    const DWORD processId = ::GetProcessIdOfThread(thread.GetHandle());
    const DWORD stamp = CreationStamp(thread.GetHandle());
    if (processId != 0 && processId != record.processId)
    {
        return false;
    }
    return stamp == 0 || record.creationStamp == 0 || stamp == record.creationStamp;
}

// The dead owner's entries are its recursion count, at least one (it may have died inside Leave),
// taken from the lock count as far as the count holds them beside this waiter.
bool COptex::TakeOverFromDeadOwner(DWORD threadId, DWORD owner)
{
    if (owner == threadId)
    {
        return false;
    }
    const OwnerRecord record = ReadOwnerRecord(owner);
    if (IsOwnerAlive(owner, record))
    {
        return false;
    }
    const LONGLONG entries = std::max<LONGLONG>(1, m_state->recursion);
    Hook(Step::OwnerDead);
    volatile LONG *ownerField = reinterpret_cast<volatile LONG *>(&m_state->ownerThreadId);
    if (::InterlockedCompareExchange(ownerField, static_cast<LONG>(threadId), static_cast<LONG>(owner)) !=
        static_cast<LONG>(owner))
    {
        // Another waiter took it over first, or the owner left.
        return false;
    }
    Hook(Step::TookOver);
    // Between the check and the exchange the id may have been reused by a new owner: it would have
    // rewritten the record, or its thread would now be alive. Then the field goes back to it.
    const OwnerRecord now = ReadOwnerRecord(owner);
    if (now.threadId != record.threadId || now.processId != record.processId ||
        now.creationStamp != record.creationStamp || IsOwnerAlive(owner, record))
    {
        ::InterlockedCompareExchange(ownerField, static_cast<LONG>(owner), static_cast<LONG>(threadId));
        return false;
    }
    const LONGLONG others = static_cast<LONGLONG>(m_state->lockCount) - 1;
    const LONGLONG taken = std::min(entries, std::max<LONGLONG>(others, 0));
    ::InterlockedExchangeAdd(&m_state->lockCount, static_cast<LONG>(-taken));
    Own(threadId);
    return true;
}

} // namespace Win32
} // namespace Halyard
