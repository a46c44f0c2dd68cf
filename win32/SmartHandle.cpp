#include "win32/SmartHandle.h"

#include "win32/Exception.h"

#include <utility>

namespace Halyard {
namespace Win32 {

namespace {

bool IsValidHandle(HANDLE handle)
{
    return handle != INVALID_HANDLE_VALUE && handle != nullptr;
}

} // namespace

bool IWaitable::IsSignalled() const
{
    return Wait(0);
}

bool IWaitable::WaitOnHandle(HANDLE handle, DWORD timeout)
{
    if (handle == INVALID_HANDLE_VALUE)
    {
        throw CException(L"IWaitable::Wait()", L"Handle is invalid");
    }
    const DWORD result = ::WaitForSingleObject(handle, timeout);
    if (result == WAIT_OBJECT_0)
    {
        return true;
    }
    if (result == WAIT_TIMEOUT)
    {
        return false;
    }
    // An abandoned mutex sets no last error; name the condition instead of a stale code.
    const DWORD error = result == WAIT_ABANDONED ? static_cast<DWORD>(ERROR_ABANDONED_WAIT_0) : ::GetLastError();
    throw CWin32Exception(L"IWaitable::Wait() - WaitForSingleObject", error);
}

void IWaitable::WaitOnHandle(HANDLE handle)
{
    if (!WaitOnHandle(handle, INFINITE))
    {
        throw CException(L"IWaitable::Wait()", L"Unexpected timeout on infinite wait");
    }
}

CSmartHandle::CSmartHandle()
    : m_handle(INVALID_HANDLE_VALUE)
{
}

CSmartHandle::CSmartHandle(HANDLE handle)
    : m_handle(handle)
{
}

CSmartHandle::CSmartHandle(const CSmartHandle &rhs)
    : IWaitable(), m_handle(rhs.IsValid() ? DuplicateHandle(rhs.m_handle) : INVALID_HANDLE_VALUE)
{
}

CSmartHandle::CSmartHandle(CSmartHandle &&rhs) noexcept
    : IWaitable(), m_handle(std::exchange(rhs.m_handle, INVALID_HANDLE_VALUE))
{
}

CSmartHandle &CSmartHandle::operator=(const CSmartHandle &rhs)
{
    if (this != &rhs)
    {
        // Duplicate first: a failure leaves this object as it was.
        CSmartHandle copy(rhs);
        *this = std::move(copy);
    }
    return *this;
}

CSmartHandle &CSmartHandle::operator=(CSmartHandle &&rhs) noexcept
{
    if (this != &rhs)
    {
        CloseNoThrow();
        m_handle = std::exchange(rhs.m_handle, INVALID_HANDLE_VALUE);
    }
    return *this;
}

CSmartHandle &CSmartHandle::operator=(HANDLE handle)
{
    if (handle != m_handle)
    {
        Close();
        m_handle = handle;
    }
    return *this;
}

CSmartHandle::~CSmartHandle()
{
    CloseNoThrow();
}

void CSmartHandle::Close()
{
    // Emptied first: a handle that failed to close is not tried again.
    const HANDLE handle = std::exchange(m_handle, INVALID_HANDLE_VALUE);
    ThrowLastErrorIf(IsValidHandle(handle) && !::CloseHandle(handle), L"CSmartHandle::Close()");
}

void CSmartHandle::CloseNoThrow() noexcept
{
    if (IsValid())
    {
        const CLastErrorKeeper lastError;
        ::CloseHandle(m_handle);
    }
    m_handle = INVALID_HANDLE_VALUE;
}

HANDLE CSmartHandle::Release()
{
    return std::exchange(m_handle, INVALID_HANDLE_VALUE);
}

HANDLE CSmartHandle::GetHandle() const
{
    return m_handle;
}

bool CSmartHandle::IsValid() const
{
    return IsValidHandle(m_handle);
}

HANDLE CSmartHandle::GetWaitHandle() const
{
    return m_handle;
}

bool CSmartHandle::Wait(DWORD timeout) const
{
    return WaitOnHandle(m_handle, timeout);
}

void CSmartHandle::Wait() const
{
    WaitOnHandle(m_handle);
}

HANDLE CSmartHandle::DuplicateHandle(HANDLE handle)
{
    HANDLE duplicate = nullptr;
    const HANDLE process = ::GetCurrentProcess();
    if (!::DuplicateHandle(process, handle, process, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS))
    {
        throw CWin32Exception(L"CSmartHandle::DuplicateHandle()", ::GetLastError());
    }
    return duplicate;
}

} // namespace Win32
} // namespace Halyard
