#pragma once

#include "win32/CriticalSection.h"
#include "win32/Event.h"
#include "win32/KernelObjectName.h"
#include "win32/MappedView.h"
#include "win32/SmartHandle.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

namespace Halyard {
namespace Win32 {

// A recursive lock that spins before it sleeps on an event. A named optex keeps its state in a
// 16-byte shared mapping, so that every process constructing the same name uses one lock.
//
// The shared state and the event can be written by any process that opens the name, and an owner
// can die while holding the lock. So the lock is owned only through the owner field of the shared
// state, taken with a compare-exchange; the event is a hint to look again, never a grant. The lock
// count only decides who is woken. Owners describe themselves (process id and thread creation time)
// in an optional record beside the state, so that a waiter can tell a dead owner from a live thread
// that reuses its id. The spin count and the recursion of this process's owner are kept locally,
// and a wait can be given a deadline.
class COptex : public ICriticalSection
{
public:
    // The points at which a thread reads or writes the shared state between its other steps.
    enum class Step
    {
        Counted,       // a waiter has added itself to the lock count and will sleep
        Woken,         // a waiter's sleep ended (event or time slice) and it will look at the owner
        Claimed,       // the owner field names this thread; its record is not written yet
        OwnerDead,     // a waiter judged the owner dead and will take the lock over
        TookOver,      // the takeover's compare-exchange named this thread the owner
        OwnerCleared,  // a leaving owner cleared the owner field and has not yet given back its count
        Released,      // a leaving owner gave back its count and has not yet set the event
        Withdrawing,   // a waiter's deadline passed; it will take its count back
    };

    // What tests replace to stop a thread at each step and to present owner threads as the
    // system would.
    class IHooks
    {
    public:
        virtual void OnStep(Step step) = 0;
        // As OpenThread: null, with the last error set, when the thread cannot be opened.
        virtual HANDLE OpenOwnerThread(DWORD access, DWORD threadId) = 0;

    protected:
        ~IHooks() = default;
    };

    // Process-local.
    explicit COptex(DWORD spinCount);
    // Shared: the event is named name.GetName(), the state mapping name.GetName() + "_Optext_MMF",
    // the owner record name.GetName() + "_Optex_Owner".
    COptex(const IKernelObjectName &name, SECURITY_ATTRIBUTES *sa, DWORD spinCount);
    // Shared, taking the event and the state mapping that the caller already opened under those
    // names; each one not given (an invalid handle) is created or opened here.
    COptex(const IKernelObjectName &name, CSmartHandle event, CSmartHandle stateMapping, SECURITY_ATTRIBUTES *sa,
           DWORD spinCount);
    ~COptex() override;

    COptex(const COptex &) = delete;
    COptex &operator=(const COptex &) = delete;

    // Attempts before sleeping; ignored on a single-processor machine, where spinning cannot help.
    void SetSpinCount(DWORD spinCount);

    // How long Enter waits before it throws; INFINITE (the default) waits for as long as the
    // owner lives.
    void SetTimeout(DWORD milliseconds);
    DWORD GetTimeout() const;

    // Null restores the system's behaviour. Not owned.
    void SetHooks(IHooks *hooks);

    bool TryEnter() override;
    // Throws CException("COptex::Enter()") when the timeout passes first.
    void Enter() override;
    // Does nothing unless the calling thread owns the lock through this object.
    void Leave() override;

    // How often a waiter looks at the owner when nothing wakes it, in milliseconds.
    static const DWORD kOwnerCheckInterval = 10;

private:
    // The state shared by every user of the lock; for a named optex its layout is a format between
    // processes and must not change. The lock count and the owner id lie side by side inside one
    // cache line of a page-aligned mapping, which x86 and x64 compare-exchange as one 8-byte value.
    struct State
    {
        volatile DWORD spinCount;
        // Entries not yet left plus waiters; changed only by interlocked operations.
        volatile LONG lockCount;
        volatile DWORD ownerThreadId;
        volatile LONG recursion;
    };
    static_assert(sizeof(State) == 16, "the shared optex state is 16 bytes");

    // Who the owner is beyond its thread id, which the system reuses once the thread has ended.
    struct OwnerRecord
    {
        volatile DWORD threadId;
        volatile DWORD processId;
        // The low half of the owner thread's creation time, with the lowest bit set.
        volatile DWORD creationStamp;
        volatile DWORD reserved;
    };
    static_assert(sizeof(OwnerRecord) == 16, "the owner record is 16 bytes");

    struct alignas(64) LocalState
    {
        State state;
        OwnerRecord record;
    };

    void MapOwnerRecord(const std::wstring &name, SECURITY_ATTRIBUTES *sa);
    void Hook(Step step);
    bool TryAcquire(DWORD threadId);
    bool ClaimOwner(DWORD threadId);
    void Own(DWORD threadId);
    void Reenter();
    void Wait(DWORD threadId);
    bool TakeOverFromDeadOwner(DWORD threadId, DWORD owner);
    bool IsOwnerAlive(DWORD owner, const OwnerRecord &record);
    OwnerRecord ReadOwnerRecord(DWORD owner) const;
    void ReleaseOwner(DWORD threadId);

    CAutoResetEvent m_event;
    CSmartHandle m_mapping;
    CMappedView m_view;
    CSmartHandle m_recordMapping;
    CMappedView m_recordView;
    std::unique_ptr<LocalState> m_localState;
    State *m_state;
    // Null when the record could not be opened: owners are then known by thread id alone.
    OwnerRecord *m_record;
    std::wstring m_name;
    DWORD m_processId;
    DWORD m_spinCount;
    DWORD m_timeout;
    IHooks *m_hooks;
    // Which thread of this process owns the lock through this object, and how often; never read
    // from the shared state, so that a scribbled owner id cannot let a second thread in.
    std::atomic<DWORD> m_owner;
    LONG m_recursion;
};

} // namespace Win32
} // namespace Halyard
