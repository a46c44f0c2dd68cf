#pragma once

#include "win32/CriticalSection.h"
#include "win32/Event.h"
#include "win32/KernelObjectName.h"
#include "win32/MappedView.h"
#include "win32/SmartHandle.h"

#include <windows.h>

#include <memory>

namespace Halyard {
namespace Win32 {

// A recursive lock that spins before it sleeps on an event. A named optex keeps its state in a
// 16-byte shared mapping, so that every process constructing the same name uses one lock.
class COptex : public ICriticalSection
{
public:
    // Process-local.
    explicit COptex(DWORD spinCount);
    // Shared: the event is named name.GetName(), the state mapping name.GetName() + "_Optext_MMF".
    COptex(const IKernelObjectName &name, SECURITY_ATTRIBUTES *sa, DWORD spinCount);
    ~COptex() override;

    COptex(const COptex &) = delete;
    COptex &operator=(const COptex &) = delete;

    // Attempts before sleeping; ignored on a single-processor machine, where spinning cannot help.
    void SetSpinCount(DWORD spinCount);

    bool TryEnter() override;
    void Enter() override;
    // The caller must be the owner.
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

    bool TryEnterAs(DWORD threadId);

    CAutoResetEvent m_event;
    CSmartHandle m_mapping;
    CMappedView m_view;
    std::unique_ptr<State> m_localState;
    State *m_state;
};

} // namespace Win32
} // namespace Halyard
