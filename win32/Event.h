#pragma once

#include "win32/KernelObjectName.h"
#include "win32/SmartHandle.h"

#include <windows.h>

namespace Halyard {
namespace Win32 {

// A kernel event. Movable, not copyable.
class CEvent : public IWaitable
{
public:
    enum ResetType
    {
        ManualReset = 0,
        AutoReset = 1
    };

    enum InitialState
    {
        Signalled = 0,
        NotSignalled = 1
    };

    // Unnamed.
    CEvent(SECURITY_ATTRIBUTES *sa, ResetType resetType, InitialState initialState);
    // Named, obtained as the creation mode says.
    CEvent(SECURITY_ATTRIBUTES *sa, ResetType resetType, InitialState initialState, const IKernelObjectName &name,
           CreationMode mode);
    // Opens an existing named event.
    CEvent(SECURITY_ATTRIBUTES *sa, const IKernelObjectName &name);
    // Takes an event handle the caller already holds.
    explicit CEvent(CSmartHandle handle);

    CEvent(CEvent &&) = default;
    CEvent &operator=(CEvent &&) = default;
    ~CEvent() = default;

    void Set();
    void Reset();
    void Pulse();

    HANDLE GetWaitHandle() const override;
    bool Wait(DWORD timeout) const override;
    void Wait() const override;

private:
    static HANDLE Create(SECURITY_ATTRIBUTES *sa, bool manualReset, bool initiallySignalled, CreationMode mode,
                         const wchar_t *name);

    CSmartHandle m_handle;
};

// An event that releases exactly one waiter per Set.
class CAutoResetEvent : public IWaitable
{
public:
    explicit CAutoResetEvent(CEvent::InitialState initialState = CEvent::NotSignalled,
                             SECURITY_ATTRIBUTES *sa = nullptr);
    // Named, created or opened.
    explicit CAutoResetEvent(const IKernelObjectName &name, SECURITY_ATTRIBUTES *sa = nullptr,
                             CEvent::InitialState initialState = CEvent::NotSignalled);
    CAutoResetEvent(const IKernelObjectName &name, CreationMode mode, SECURITY_ATTRIBUTES *sa = nullptr,
                    CEvent::InitialState initialState = CEvent::NotSignalled);
    // Takes the handle of an auto-reset event the caller already holds.
    explicit CAutoResetEvent(CSmartHandle handle);

    CAutoResetEvent(CAutoResetEvent &&) = default;
    CAutoResetEvent &operator=(CAutoResetEvent &&) = default;
    ~CAutoResetEvent() = default;

    void Set();
    void Pulse();

    HANDLE GetWaitHandle() const override;
    bool IsSignalled() const override;
    bool Wait(DWORD timeout) const override;
    void Wait() const override;

private:
    CEvent m_event;
};

} // namespace Win32
} // namespace Halyard
