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
// The shared state can be written by any process that opens the name, and its owner can die while
// holding it. So the spin count and the recursion of this process's owner are kept locally, a wait
// can be given a deadline, and a waiter that finds the lock owned by a thread that no longer exists
// takes it over.
class COptex : public ICriticalSection
{
public:
    // Process-local.
    explicit COptex(DWORD spinCount);
    // Shared: the event is named name.GetName(), the state mapping name.GetName() + "_Optext_MMF".
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

    bool TryEnter() override;
    // Throws CException("COptex::Enter()") when the timeout passes first.
    void Enter() override;
    // Does nothing unless the calling thread owns the lock through this object.
    void Leave() override;

private:
    // The state shared by every user of the lock; for a named optex its layout is a format between
    // processes and must not change.
    struct State
    {
        volatile DWORD spinCount;
        // Entries not yet left plus waiters; changed only by interlocked operations.
        volatile LONG lockCount;
        volatile DWORD ownerThreadId;
        volatile LONG recursion;
    };
    static_assert(sizeof(State) == 16, "the shared optex state is 16 bytes");

    bool TryAcquire(DWORD threadId);
    void Wait(DWORD threadId);
    void Own(DWORD threadId);
    void Reenter();
    bool TakeOverFromDeadOwner(DWORD threadId);
    bool Withdraw();

    CAutoResetEvent m_event;
    CSmartHandle m_mapping;
    CMappedView m_view;
    std::unique_ptr<State> m_localState;
    State *m_state;
    std::wstring m_name;
    DWORD m_spinCount;
    DWORD m_timeout;
    // Which thread of this process owns the lock through this object, and how often; never read
    // from the shared state, so that a scribbled owner id cannot let a second thread in.
    std::atomic<DWORD> m_owner;
    LONG m_recursion;
};

} // namespace Win32
} // namespace Halyard
