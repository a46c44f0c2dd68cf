#include "win32/CriticalSection.h"

#include "win32/Exception.h"

namespace Halyard {
namespace Win32 {

ICriticalSection::~ICriticalSection() = default;

ICriticalSection::Owner::Owner(ICriticalSection &lock)
    : m_lock(lock)
{
    m_lock.Enter();
}

ICriticalSection::Owner::~Owner()
{
    m_lock.Leave();
}

ICriticalSection::ConditionalOwner::ConditionalOwner(ICriticalSection &lock, bool enter)
    : m_lock(lock), m_held(false)
{
    if (enter)
    {
        m_lock.Enter();
    }
    m_held = enter;
}

ICriticalSection::ConditionalOwner::~ConditionalOwner()
{
    Leave();
}

void ICriticalSection::ConditionalOwner::Leave()
{
    if (m_held)
    {
        m_held = false;
        m_lock.Leave();
    }
}

ICriticalSection::PotentialOwner::PotentialOwner(ICriticalSection &lock)
    : m_lock(lock), m_held(false)
{
}

ICriticalSection::PotentialOwner::~PotentialOwner()
{
    Leave();
}

void ICriticalSection::PotentialOwner::Enter()
{
    if (m_held)
    {
        throw CException(L"ICriticalSection::PotentialOwner::Enter()", L"Already locked");
    }
    m_lock.Enter();
    m_held = true;
}

bool ICriticalSection::PotentialOwner::TryEnter()
{
    if (m_held)
    {
        throw CException(L"ICriticalSection::PotentialOwner::TryEnter()", L"Already locked");
    }
    m_held = m_lock.TryEnter();
    return m_held;
}

void ICriticalSection::PotentialOwner::Leave()
{
    if (m_held)
    {
        m_held = false;
        m_lock.Leave();
    }
}

CCriticalSection::CCriticalSection()
{
    ::InitializeCriticalSection(&m_section);
}

CCriticalSection::CCriticalSection(DWORD spinCount)
{
    if (!::InitializeCriticalSectionAndSpinCount(&m_section, spinCount))
    {
        throw CWin32Exception(L"CCriticalSection::CCriticalSection()", ::GetLastError());
    }
}

CCriticalSection::~CCriticalSection()
{
    ::DeleteCriticalSection(&m_section);
}

DWORD CCriticalSection::SetSpinCount(DWORD spinCount)
{
    return ::SetCriticalSectionSpinCount(&m_section, spinCount);
}

bool CCriticalSection::TryEnter()
{
    return ::TryEnterCriticalSection(&m_section) != FALSE;
}

void CCriticalSection::Enter()
{
    ::EnterCriticalSection(&m_section);
}

void CCriticalSection::Leave()
{
    ::LeaveCriticalSection(&m_section);
}

} // namespace Win32
} // namespace Halyard
