#include "win32/Semaphore.h"

#include "win32/Exception.h"

namespace Halyard {
namespace Win32 {

namespace {

DWORD ToDesiredAccess(CSemaphore::AccessMode access)
{
    switch (access)
    {
    case CSemaphore::AllAccess:
        return SEMAPHORE_ALL_ACCESS;
    case CSemaphore::SynchronizeAccess:
        return SYNCHRONIZE;
    default:
        return SEMAPHORE_MODIFY_STATE;
    }
}

} // namespace

CSemaphore::CSemaphore()
    : m_handle(Create(nullptr, 0, MaximumCount, nullptr, CreateOrOpen))
{
}

CSemaphore::CSemaphore(LONG initialCount, LONG maximumCount)
    : m_handle(Create(nullptr, initialCount, maximumCount, nullptr, CreateOrOpen))
{
}

CSemaphore::CSemaphore(SECURITY_ATTRIBUTES *sa, LONG initialCount, LONG maximumCount)
    : m_handle(Create(sa, initialCount, maximumCount, nullptr, CreateOrOpen))
{
}

CSemaphore::CSemaphore(SECURITY_ATTRIBUTES *sa, LONG initialCount, LONG maximumCount, const IKernelObjectName &name,
                       CreationMode mode)
    : m_handle(Create(sa, initialCount, maximumCount, name.GetName().c_str(), mode))
{
}

CSemaphore::CSemaphore(const IKernelObjectName &name, AccessMode access)
    : m_handle(Open(ToDesiredAccess(access), name.GetName()))
{
}

HANDLE CSemaphore::Create(SECURITY_ATTRIBUTES *sa, LONG initialCount, LONG maximumCount, const wchar_t *name,
                          CreationMode mode)
{
    ::SetLastError(ERROR_SUCCESS);
    CSmartHandle handle(::CreateSemaphoreW(sa, initialCount, maximumCount, name));
    const DWORD lastError = ::GetLastError();
    if (!handle.IsValid())
    {
        throw CWin32Exception(L"CSemaphore::Create()", lastError);
    }
    if (mode == CreateNew && lastError == ERROR_ALREADY_EXISTS)
    {
        throw CWin32Exception(L"CSemaphore::Create()", ERROR_ALREADY_EXISTS);
    }
    // The platform has no open-only create: the semaphore just made is closed again with the handle.
    if (mode == OpenExisting && lastError != ERROR_ALREADY_EXISTS)
    {
        throw CWin32Exception(L"CSemaphore::Create()", ERROR_NOT_FOUND);
    }
    return handle.Release();
}

HANDLE CSemaphore::Open(DWORD access, const std::wstring &name)
{
    const HANDLE handle = ::OpenSemaphoreW(access, FALSE, name.c_str());
    ThrowLastErrorIf(handle == nullptr, L"CSemaphore::Open()");
    return handle;
}

LONG CSemaphore::Increment(LONG count)
{
    LONG previous = 0;
    ThrowLastErrorIf(!::ReleaseSemaphore(m_handle.GetHandle(), count, &previous), L"CSemaphore::Increment()");
    return previous;
}

HANDLE CSemaphore::GetWaitHandle() const
{
    return m_handle.GetHandle();
}

bool CSemaphore::Wait(DWORD timeout) const
{
    return WaitOnHandle(m_handle.GetHandle(), timeout);
}

void CSemaphore::Wait() const
{
    WaitOnHandle(m_handle.GetHandle());
}

} // namespace Win32
} // namespace Halyard
