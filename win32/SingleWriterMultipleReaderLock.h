#pragma once

#include "win32/CriticalSection.h"
#include "win32/Semaphore.h"

#include <windows.h>

namespace Halyard {
namespace Win32 {

// A reader/writer lock.
class ISingleWriterMultipleReaderLock
{
public:
    virtual void EnterToRead() = 0;
    virtual bool TryEnterToRead() = 0;
    virtual void EnterToWrite() = 0;
    virtual bool TryEnterToWrite() = 0;
    // The writer becomes a reader and lets the waiting readers in with it.
    virtual void ConvertFromWriteToRead() = 0;
    virtual void Leave() = 0;

    class PotentialReader;

protected:
    ~ISingleWriterMultipleReaderLock() = default;
};

// Holds the lock, for reading or writing, once one of its operations has taken it; leaves it when destroyed.
class ISingleWriterMultipleReaderLock::PotentialReader
{
public:
    explicit PotentialReader(ISingleWriterMultipleReaderLock &lock);
    ~PotentialReader();

    PotentialReader(const PotentialReader &) = delete;
    PotentialReader &operator=(const PotentialReader &) = delete;

    void EnterToRead();
    bool TryEnterToRead();
    void EnterToWrite();
    bool TryEnterToWrite();
    void Leave();

private:
    ISingleWriterMultipleReaderLock &m_lock;
    bool m_held;
};

// Many readers or one writer; writers are preferred: a reader that arrives while a writer waits
// queues behind it, and a leaving holder wakes a waiting writer before any waiting reader.
class CSingleWriterMultipleReaderLock : public ISingleWriterMultipleReaderLock
{
public:
    CSingleWriterMultipleReaderLock();
    ~CSingleWriterMultipleReaderLock() = default;

    CSingleWriterMultipleReaderLock(const CSingleWriterMultipleReaderLock &) = delete;
    CSingleWriterMultipleReaderLock &operator=(const CSingleWriterMultipleReaderLock &) = delete;

    void EnterToRead() override;
    bool TryEnterToRead() override;
    void EnterToWrite() override;
    bool TryEnterToWrite() override;
    void ConvertFromWriteToRead() override;
    void Leave() override;

private:
    CCriticalSection m_section;
    CSemaphore m_readers;
    CSemaphore m_writers;
    DWORD m_waitingReaders;
    DWORD m_waitingWriters;
    // n > 0: n readers hold the lock; -1: a writer holds it; 0: free.
    LONG m_active;
};

} // namespace Win32
} // namespace Halyard
