#include "win32/Event.h"

#include "win32/Exception.h"

#include <utility>

namespace Halyard {
namespace Win32 {

CEvent::CEvent(SECURITY_ATTRIBUTES *sa, ResetType resetType, InitialState initialState)
    : m_handle(Create(sa, resetType == ManualReset, initialState == Signalled, CreateOrOpen, nullptr))
{
}

CEvent::CEvent(SECURITY_ATTRIBUTES *sa, ResetType resetType, InitialState initialState,
               const IKernelObjectName &name, CreationMode mode)
    : m_handle(Create(sa, resetType == ManualReset, initialState == Signalled, mode, name.GetName().c_str()))
{
}

CEvent::CEvent(SECURITY_ATTRIBUTES *sa, const IKernelObjectName &name)
    : m_handle(Create(sa, false, false, OpenExisting, name.GetName().c_str()))
{
}

CEvent::CEvent(CSmartHandle handle)
    : m_handle(std::move(handle))
{
}

HANDLE CEvent::Create(SECURITY_ATTRIBUTES *sa, bool manualReset, bool initiallySignalled, CreationMode mode,
                      const wchar_t *name)
{
    ::SetLastError(ERROR_SUCCESS);
    if (mode == OpenExisting)
    {
        const HANDLE handle = ::OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name);
        ThrowLastErrorIf(handle == nullptr, L"CEvent::Create()");
        return handle;
    }
    CSmartHandle handle(::CreateEventW(sa, manualReset ? TRUE : FALSE, initiallySignalled ? TRUE : FALSE, name));
    const DWORD lastError = ::GetLastError();
    if (!handle.IsValid())
    {
        throw CWin32Exception(L"CEvent::Create()", lastError);
    }
    if (mode == CreateNew && lastError == ERROR_ALREADY_EXISTS)
    {
        throw CWin32Exception(L"CEvent::Create()", ERROR_ALREADY_EXISTS);
    }
    return handle.Release();
}

void CEvent::Set()
{
    ThrowLastErrorIf(!::SetEvent(m_handle.GetHandle()), L"CEvent::Set()");
}

void CEvent::Reset()
{
    ThrowLastErrorIf(!::ResetEvent(m_handle.GetHandle()), L"CEvent::Reset()");
}

void CEvent::Pulse()
{
    ThrowLastErrorIf(!::PulseEvent(m_handle.GetHandle()), L"CEvent::Pulse()");
}

HANDLE CEvent::GetWaitHandle() const
{
    return m_handle.GetHandle();
}

bool CEvent::Wait(DWORD timeout) const
{
    return WaitOnHandle(m_handle.GetHandle(), timeout);
}

void CEvent::Wait() const
{
    WaitOnHandle(m_handle.GetHandle());
}

CAutoResetEvent::CAutoResetEvent(CEvent::InitialState initialState, SECURITY_ATTRIBUTES *sa)
    : m_event(sa, CEvent::AutoReset, initialState)
{
}

CAutoResetEvent::CAutoResetEvent(const IKernelObjectName &name, SECURITY_ATTRIBUTES *sa,
                                 CEvent::InitialState initialState)
    : m_event(sa, CEvent::AutoReset, initialState, name, CreateOrOpen)
{
}

CAutoResetEvent::CAutoResetEvent(const IKernelObjectName &name, CreationMode mode, SECURITY_ATTRIBUTES *sa,
                                 CEvent::InitialState initialState)
    : m_event(sa, CEvent::AutoReset, initialState, name, mode)
{
}

CAutoResetEvent::CAutoResetEvent(CSmartHandle handle)
    : m_event(std::move(handle))
{
}

void CAutoResetEvent::Set()
{
    m_event.Set();
}

void CAutoResetEvent::Pulse()
{
    m_event.Pulse();
}

HANDLE CAutoResetEvent::GetWaitHandle() const
{
    return m_event.GetWaitHandle();
}

bool CAutoResetEvent::IsSignalled() const
{
    return m_event.IsSignalled();
}

bool CAutoResetEvent::Wait(DWORD timeout) const
{
    return m_event.Wait(timeout);
}

void CAutoResetEvent::Wait() const
{
    m_event.Wait();
}

} // namespace Win32
} // namespace Halyard
