#include "win32/ThreadLocalStorage.h"

#include "win32/Exception.h"

namespace Halyard {
namespace Win32 {

CThreadLocalStorage::CThreadLocalStorage()
    : m_index(::TlsAlloc()), m_allocated(m_index != TLS_OUT_OF_INDEXES)
{
    ThrowLastErrorIf(!m_allocated, L"CThreadLocalStorage::CThreadLocalStorage()");
}

CThreadLocalStorage::~CThreadLocalStorage()
{
    if (m_allocated)
    {
        const CLastErrorKeeper lastError;
        ::TlsFree(m_index);
    }
}

void *CThreadLocalStorage::GetValue() const
{
    // A null value is only an error when the call says so: TlsGetValue clears the last error on success.
    void *value = ::TlsGetValue(m_index);
    if (value == nullptr)
    {
        const DWORD error = ::GetLastError();
        if (error != ERROR_SUCCESS)
        {
            throw CWin32Exception(L"CThreadLocalStorage::GetValue()", error);
        }
    }
    return value;
}

void CThreadLocalStorage::SetValue(void *value)
{
    ThrowLastErrorIf(!::TlsSetValue(m_index, value), L"CThreadLocalStorage::SetValue()");
}

} // namespace Win32
} // namespace Halyard
