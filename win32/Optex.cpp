#include "win32/Optex.h"

#include "win32/Exception.h"

namespace Halyard {
namespace Win32 {

namespace {

const wchar_t kStateMappingSuffix[] = L"_Optext_MMF";

bool IsSingleProcessor()
{
    static const bool singleProcessor = [] {
        SYSTEM_INFO info = {};
        ::GetSystemInfo(&info);
        return info.dwNumberOfProcessors == 1;
    }();
    return singleProcessor;
}

} // namespace

COptex::COptex(DWORD spinCount)
    : m_event(CEvent::NotSignalled, nullptr), m_localState(new State()), m_state(m_localState.get())
{
    SetSpinCount(spinCount);
}

COptex::COptex(const IKernelObjectName &name, SECURITY_ATTRIBUTES *sa, DWORD spinCount)
    : m_event(name, CreateOrOpen, sa, CEvent::NotSignalled), m_state(nullptr)
{
    // An existing mapping of this name is opened with its state as it is: another process may hold the lock.
    m_mapping = CSmartHandle(::CreateFileMappingW(INVALID_HANDLE_VALUE, sa, PAGE_READWRITE, 0, sizeof(State),
                                                  (name.GetName() + kStateMappingSuffix).c_str()));
    if (!m_mapping.IsValid())
    {
        throw CWin32Exception(L"COptex::COptex() - Unable to create file mapping", ::GetLastError());
    }
    m_view = CMappedView(::MapViewOfFile(m_mapping.GetHandle(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    if (!m_view.IsValid())
    {
        throw CWin32Exception(L"COptex::COptex() - Unable to map view of file", ::GetLastError());
    }
    m_state = static_cast<State *>(m_view.Get());
    SetSpinCount(spinCount);
}

COptex::~COptex() = default;

void COptex::SetSpinCount(DWORD spinCount)
{
    if (IsSingleProcessor())
    {
        return;
    }
    ::InterlockedExchange(reinterpret_cast<volatile LONG *>(&m_state->spinCount), static_cast<LONG>(spinCount));
}

bool COptex::TryEnter()
{
    return TryEnterAs(::GetCurrentThreadId());
}

bool COptex::TryEnterAs(DWORD threadId)
{
    DWORD spins = m_state->spinCount;
    for (;;)
    {
        if (::InterlockedCompareExchange(&m_state->lockCount, 1, 0) == 0)
        {
            m_state->ownerThreadId = threadId;
            m_state->recursion = 1;
            return true;
        }
        if (m_state->ownerThreadId == threadId)
        {
            ::InterlockedIncrement(&m_state->lockCount);
            m_state->recursion = m_state->recursion + 1;
            return true;
        }
        if (spins == 0)
        {
            return false;
        }
        --spins;
        YieldProcessor();
    }
}

void COptex::Enter()
{
    const DWORD threadId = ::GetCurrentThreadId();
    if (TryEnterAs(threadId))
    {
        return;
    }
    // Count ourselves as a waiter; a result of 1 means the owner left meanwhile and the lock is ours.
    if (::InterlockedIncrement(&m_state->lockCount) != 1)
    {
        m_event.Wait();
    }
    m_state->ownerThreadId = threadId;
    m_state->recursion = 1;
}

void COptex::Leave()
{
    const LONG recursion = m_state->recursion - 1;
    m_state->recursion = recursion;
    if (recursion > 0)
    {
        ::InterlockedDecrement(&m_state->lockCount);
        return;
    }
    m_state->ownerThreadId = 0;
    if (::InterlockedDecrement(&m_state->lockCount) > 0)
    {
        // Someone waits: the auto-reset event wakes exactly one of them.
        m_event.Set();
    }
}

} // namespace Win32
} // namespace Halyard
