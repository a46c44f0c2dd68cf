#include "win32/SingleWriterMultipleReaderLock.h"

#include "win32/Exception.h"

namespace Halyard {
namespace Win32 {

namespace {

const DWORD kSpinCount = 4000;

CException AlreadyLocked(const wchar_t *operation)
{
    return CException(std::wstring(L"ISingleWriterMultipleReaderLock::PotentialReader::") + operation,
                      L"Already locked");
}

} // namespace

ISingleWriterMultipleReaderLock::PotentialReader::PotentialReader(ISingleWriterMultipleReaderLock &lock)
    : m_lock(lock), m_held(false)
{
}

ISingleWriterMultipleReaderLock::PotentialReader::~PotentialReader()
{
    Leave();
}

void ISingleWriterMultipleReaderLock::PotentialReader::EnterToRead()
{
    if (m_held)
    {
        throw AlreadyLocked(L"EnterToRead()");
    }
    m_lock.EnterToRead();
    m_held = true;
}

bool ISingleWriterMultipleReaderLock::PotentialReader::TryEnterToRead()
{
    if (m_held)
    {
        throw AlreadyLocked(L"TryEnterToRead()");
    }
    m_held = m_lock.TryEnterToRead();
    return m_held;
}

void ISingleWriterMultipleReaderLock::PotentialReader::EnterToWrite()
{
    if (m_held)
    {
        throw AlreadyLocked(L"EnterToWrite()");
    }
    m_lock.EnterToWrite();
    m_held = true;
}

bool ISingleWriterMultipleReaderLock::PotentialReader::TryEnterToWrite()
{
    if (m_held)
    {
        throw AlreadyLocked(L"TryEnterToWrite()");
    }
    m_held = m_lock.TryEnterToWrite();
    return m_held;
}

void ISingleWriterMultipleReaderLock::PotentialReader::Leave()
{
    if (m_held)
    {
        m_held = false;
        m_lock.Leave();
    }
}

CSingleWriterMultipleReaderLock::CSingleWriterMultipleReaderLock()
    : m_section(kSpinCount), m_readers(0, CSemaphore::MaximumCount), m_writers(0, CSemaphore::MaximumCount),
      m_waitingReaders(0), m_waitingWriters(0), m_active(0)
{
}

void CSingleWriterMultipleReaderLock::EnterToRead()
{
    bool wait = false;
    {
        ICriticalSection::Owner owner(m_section);
        wait = m_waitingWriters > 0 || m_active < 0;
        if (wait)
        {
            ++m_waitingReaders;
        }
        else
        {
            ++m_active;
        }
    }
    if (wait)
    {
        m_readers.Wait();
    }
}

bool CSingleWriterMultipleReaderLock::TryEnterToRead()
{
    ICriticalSection::PotentialOwner owner(m_section);
    if (!owner.TryEnter() || m_waitingWriters > 0 || m_active < 0)
    {
        return false;
    }
    ++m_active;
    return true;
}

void CSingleWriterMultipleReaderLock::EnterToWrite()
{
    bool wait = false;
    {
        ICriticalSection::Owner owner(m_section);
        wait = m_active != 0;
        if (wait)
        {
            ++m_waitingWriters;
        }
        else
        {
            m_active = -1;
        }
    }
    if (wait)
    {
        m_writers.Wait();
    }
}

bool CSingleWriterMultipleReaderLock::TryEnterToWrite()
{
    ICriticalSection::PotentialOwner owner(m_section);
    if (!owner.TryEnter() || m_active != 0)
    {
        return false;
    }
    m_active = -1;
    return true;
}

void CSingleWriterMultipleReaderLock::ConvertFromWriteToRead()
{
    LONG wake = 0;
    {
        ICriticalSection::Owner owner(m_section);
        if (m_active != -1)
        {
            throw CException(L"CSingleWriterMultipleReaderLock::ConvertFromWriteToRead()",
                             L"Unexpected, readers already have control");
        }
        wake = static_cast<LONG>(m_waitingReaders);
        m_active = wake + 1;
        m_waitingReaders = 0;
    }
    if (wake > 0)
    {
        m_readers.Increment(wake);
    }
}

void CSingleWriterMultipleReaderLock::Leave()
{
    CSemaphore *wake = nullptr;
    LONG count = 0;
    {
        ICriticalSection::Owner owner(m_section);
        if (m_active > 0)
        {
            --m_active;
        }
        else if (m_active < 0)
        {
            ++m_active;
        }
        else
        {
            throw CException(L"CSingleWriterMultipleReaderLock::Leave()", L"Lock is not currently locked!");
        }
        if (m_active == 0)
        {
            if (m_waitingWriters > 0)
            {
                --m_waitingWriters;
                m_active = -1;
                wake = &m_writers;
                count = 1;
            }
            else if (m_waitingReaders > 0)
            {
                m_active = static_cast<LONG>(m_waitingReaders);
                m_waitingReaders = 0;
                wake = &m_readers;
                count = m_active;
            }
        }
    }
    // Released outside the critical section, so that a woken thread never blocks on it at once.
    if (wake != nullptr)
    {
        wake->Increment(count);
    }
}

} // namespace Win32
} // namespace Halyard
