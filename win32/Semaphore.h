#pragma once

#include "win32/KernelObjectName.h"
#include "win32/SmartHandle.h"

#include <windows.h>

namespace Halyard {
namespace Win32 {

// A kernel semaphore. Movable, not copyable.
class CSemaphore : public IWaitable
{
public:
    // Access asked for when opening an existing semaphore.
    enum AccessMode
    {
        AllAccess = 0,
        SynchronizeAccess = 1,
        ModifyStateAccess = 2
    };

    static constexpr LONG MaximumCount = 0x7FFFFFFF;

    // Unnamed, initial count 0, maximum 0x7FFFFFFF.
    CSemaphore();
    CSemaphore(LONG initialCount, LONG maximumCount);
    CSemaphore(SECURITY_ATTRIBUTES *sa, LONG initialCount, LONG maximumCount);
    CSemaphore(SECURITY_ATTRIBUTES *sa, LONG initialCount, LONG maximumCount, const IKernelObjectName &name,
               CreationMode mode);
    // Opens an existing named semaphore.
    CSemaphore(const IKernelObjectName &name, AccessMode access);

    CSemaphore(CSemaphore &&) = default;
    CSemaphore &operator=(CSemaphore &&) = default;
    ~CSemaphore() = default;

    // Releases count waiters; returns the count before the release.
    LONG Increment(LONG count = 1);

    HANDLE GetWaitHandle() const override;
    bool Wait(DWORD timeout) const override;
    void Wait() const override;

private:
    static HANDLE Create(SECURITY_ATTRIBUTES *sa, LONG initialCount, LONG maximumCount, const wchar_t *name,
                         CreationMode mode);
    static HANDLE Open(DWORD access, const std::wstring &name);

    CSmartHandle m_handle;
};

} // namespace Win32
} // namespace Halyard
