#include "SyncTestSupport.h"
#include "TestUtilities.h"

#include "win32/CriticalSection.h"
#include "win32/Event.h"
#include "win32/Exception.h"
#include "win32/Optex.h"
#include "win32/SingleWriterMultipleReaderLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace Halyard::Win32;
using SyncTest::Thrown;
using SyncTest::OptexState;
using SyncTest::ReadOptexState;
using SyncTest::UniqueName;

namespace {

const DWORD kSpinCount = 4000;

bool IsMultiProcessor()
{
    SYSTEM_INFO info = {};
    ::GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 1;
}

bool TryEnterFromOtherThread(ICriticalSection &lock)
{
    bool entered = false;
    std::thread([&] {
        entered = lock.TryEnter();
        if (entered)
        {
            lock.Leave();
        }
    }).join();
    return entered;
}

// Many threads increment one counter without atomics, each increment under the lock.
LONG CountUnderLock(ICriticalSection &lock, int threads, int rounds)
{
    volatile LONG counter = 0;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
    {
        workers.emplace_back([&] {
            for (int i = 0; i < rounds; ++i)
            {
                ICriticalSection::Owner owner(lock);
                SyncTest::IncrementUnsafely(&counter);
            }
        });
    }
    for (std::thread &worker : workers)
    {
        worker.join();
    }
    return counter;
}

// Records what the holders do to a lock.
class RecordingLock : public ICriticalSection
{
public:
    bool TryEnter() override
    {
        if (!m_available)
        {
            return false;
        }
        ++m_depth;
        return true;
    }
    void Enter() override { ++m_depth; }
    void Leave() override { --m_depth; }

    bool m_available = true;
    int m_depth = 0;
};

} // namespace

TEST(Optex, OwnerReentersAndMustLeaveAsOftenAsItEntered)
{
    const std::wstring name = UniqueName(L"Recursive");
    COptex optex(CUnqualifiedName(name), nullptr, 0);

    optex.Enter();
    ASSERT_TRUE(optex.TryEnter());
    optex.Enter();
    OptexState s = ReadOptexState(name);
    EXPECT_EQ(3, s.lockCount);
    EXPECT_EQ(3, s.recursion);
    EXPECT_EQ(::GetCurrentThreadId(), s.ownerThreadId);

    optex.Leave();
    optex.Leave();
    EXPECT_FALSE(TryEnterFromOtherThread(optex));
    optex.Leave();
    s = ReadOptexState(name);
    EXPECT_EQ(0, s.lockCount);
    EXPECT_EQ(0u, s.ownerThreadId);
    EXPECT_TRUE(TryEnterFromOtherThread(optex));
}

TEST(Optex, WaiterSleepsUntilTheHolderLeavesThenTakesOver)
{
    const std::wstring name = UniqueName(L"Handover");
    COptex optex(CUnqualifiedName(name), nullptr, 100);
    EXPECT_EQ(IsMultiProcessor() ? 100u : 0u, ReadOptexState(name).spinCount);

    optex.Enter();
    std::atomic<DWORD> enteredBy(0);
    CEvent leave(nullptr, CEvent::ManualReset, CEvent::NotSignalled);
    std::thread waiter([&] {
        ICriticalSection::Owner owner(optex);
        enteredBy = ::GetCurrentThreadId();
        leave.Wait(30000);
    });

    // The waiter has counted itself in and sleeps on the event.
    for (int i = 0; i < 1000 && ReadOptexState(name).lockCount != 2; ++i)
    {
        ::Sleep(5);
    }
    EXPECT_EQ(2, ReadOptexState(name).lockCount);
    ::Sleep(100);
    EXPECT_EQ(0u, enteredBy.load());

    optex.Leave();
    for (int i = 0; i < 1000 && enteredBy.load() == 0; ++i)
    {
        ::Sleep(5);
    }
    EXPECT_NE(0u, enteredBy.load());
    EXPECT_EQ(enteredBy.load(), ReadOptexState(name).ownerThreadId);
    EXPECT_EQ(1, ReadOptexState(name).lockCount);
    leave.Set();
    waiter.join();

    const OptexState s = ReadOptexState(name);
    EXPECT_EQ(0, s.lockCount);
    EXPECT_EQ(0u, s.ownerThreadId);
}

TEST(Optex, ConstructorsSharingANameShareOneState)
{
    const std::wstring name = UniqueName(L"Shared");
    COptex first(CUnqualifiedName(name), nullptr, kSpinCount);
    COptex second(CUnqualifiedName(name), nullptr, 10);
    first.Enter();
    EXPECT_FALSE(TryEnterFromOtherThread(second));
    first.Leave();
    EXPECT_TRUE(TryEnterFromOtherThread(second));
    if (IsMultiProcessor())
    {
        EXPECT_EQ(10u, ReadOptexState(name).spinCount) << "the last constructor's spin count wins";
    }
}

TEST(LockStress, CounterGuardedByEachLockIsExact)
{
    const int threads = 4;
    const int rounds = 20000;
    const LONG expected = threads * rounds;

    COptex local(kSpinCount);
    EXPECT_EQ(expected, CountUnderLock(local, threads, rounds)) << "process-local optex";
    EXPECT_TRUE(TryEnterFromOtherThread(local));

    const std::wstring name = UniqueName(L"Stress");
    COptex shared(CUnqualifiedName(name), nullptr, kSpinCount);
    EXPECT_EQ(expected, CountUnderLock(shared, threads, rounds)) << "shared optex";
    EXPECT_EQ(0, ReadOptexState(name).lockCount);

    // Without spinning every contended entry sleeps on the event.
    COptex sleeper(0);
    EXPECT_EQ(threads * 5000, CountUnderLock(sleeper, threads, 5000)) << "optex that never spins";

    CCriticalSection section(kSpinCount);
    EXPECT_EQ(expected, CountUnderLock(section, threads, rounds)) << "critical section";
}

TEST(CriticalSectionHolders, OwnersEnterAndLeaveAsTheyAreTold)
{
    RecordingLock lock;
    {
        ICriticalSection::Owner owner(lock);
        EXPECT_EQ(1, lock.m_depth);
    }
    EXPECT_EQ(0, lock.m_depth);

    {
        ICriticalSection::ConditionalOwner skipped(lock, false);
        EXPECT_EQ(0, lock.m_depth);
        skipped.Leave();
        EXPECT_EQ(0, lock.m_depth);
    }
    {
        ICriticalSection::ConditionalOwner taken(lock, true);
        EXPECT_EQ(1, lock.m_depth);
        taken.Leave();
        taken.Leave();
        EXPECT_EQ(0, lock.m_depth);
    }
    EXPECT_EQ(0, lock.m_depth);

    lock.m_available = false;
    {
        ICriticalSection::PotentialOwner potential(lock);
        EXPECT_FALSE(potential.TryEnter());
        EXPECT_EQ(0, lock.m_depth);
    }
    EXPECT_EQ(0, lock.m_depth);
}

TEST(CriticalSectionHolders, PotentialOwnerRefusesASecondEntry)
{
    RecordingLock lock;
    {
        ICriticalSection::PotentialOwner potential(lock);
        potential.Enter();
        {
            const CException e = Thrown<CException>([&] { potential.Enter(); });
            EXPECT_EQ(L"ICriticalSection::PotentialOwner::Enter()", e.GetWhere());
            EXPECT_EQ(L"Already locked", e.GetMessage());
        }
        EXPECT_EQ(1, lock.m_depth);
        {
            const CException e = Thrown<CException>([&] { potential.TryEnter(); });
            EXPECT_EQ(L"ICriticalSection::PotentialOwner::TryEnter()", e.GetWhere());
        }
        EXPECT_EQ(1, lock.m_depth);
    }
    EXPECT_EQ(0, lock.m_depth);
}

namespace {

// A thread that takes the reader/writer lock and records when it holds it.
class LockClient
{
public:
    LockClient(ISingleWriterMultipleReaderLock &lock, bool write)
        : m_entered(nullptr, CEvent::ManualReset, CEvent::NotSignalled),
          m_release(nullptr, CEvent::ManualReset, CEvent::NotSignalled),
          m_thread([this, &lock, write] {
              ISingleWriterMultipleReaderLock::PotentialReader holder(lock);
              if (write)
              {
                  holder.EnterToWrite();
              }
              else
              {
                  holder.EnterToRead();
              }
              m_entered.Set();
              m_release.Wait(30000);
          })
    {
    }

    ~LockClient()
    {
        m_release.Set();
        m_thread.join();
    }

    bool HasEntered(DWORD milliseconds) const { return m_entered.Wait(milliseconds); }
    void Release() { m_release.Set(); }

private:
    CEvent m_entered;
    CEvent m_release;
    std::thread m_thread;
};

// While a reader holds the lock, a read attempt fails only when a writer waits.
void WaitUntilWriterQueues(CSingleWriterMultipleReaderLock &lock)
{
    for (int i = 0; i < 1000 && lock.TryEnterToRead(); ++i)
    {
        lock.Leave();
        ::Sleep(5);
    }
}

} // namespace

TEST(SingleWriterMultipleReaderLock, WaitingWriterGoesBeforeLaterReaders)
{
    CSingleWriterMultipleReaderLock lock;
    lock.EnterToRead();
    EXPECT_TRUE(lock.TryEnterToRead()) << "readers share the lock";
    lock.Leave();
    EXPECT_FALSE(lock.TryEnterToWrite());

    LockClient writer(lock, true);
    WaitUntilWriterQueues(lock);
    EXPECT_FALSE(lock.TryEnterToRead());
    LockClient lateReader(lock, false);
    EXPECT_FALSE(writer.HasEntered(100));
    EXPECT_FALSE(lateReader.HasEntered(0));

    lock.Leave();
    EXPECT_TRUE(writer.HasEntered(10000));
    EXPECT_FALSE(lateReader.HasEntered(100));

    writer.Release();
    EXPECT_TRUE(lateReader.HasEntered(10000));
    lateReader.Release();
}

TEST(SingleWriterMultipleReaderLock, ConvertingWriterLetsWaitingReadersIn)
{
    CSingleWriterMultipleReaderLock lock;
    lock.EnterToWrite();
    LockClient reader(lock, false);
    EXPECT_FALSE(reader.HasEntered(200));

    lock.ConvertFromWriteToRead();
    EXPECT_TRUE(reader.HasEntered(10000));
    EXPECT_FALSE(lock.TryEnterToWrite());
    lock.Leave();
    reader.Release();
    for (int i = 0; i < 1000 && !lock.TryEnterToWrite(); ++i)
    {
        ::Sleep(5);
    }
    lock.Leave();
}

TEST(SingleWriterMultipleReaderLock, MisuseIsReported)
{
    CSingleWriterMultipleReaderLock lock;
    {
        const CException e = Thrown<CException>([&] { lock.Leave(); });
        EXPECT_EQ(L"CSingleWriterMultipleReaderLock::Leave()", e.GetWhere());
        EXPECT_EQ(L"Lock is not currently locked!", e.GetMessage());
    }

    lock.EnterToRead();
    {
        const CException e = Thrown<CException>([&] { lock.ConvertFromWriteToRead(); });
        EXPECT_EQ(L"CSingleWriterMultipleReaderLock::ConvertFromWriteToRead()", e.GetWhere());
        EXPECT_EQ(L"Unexpected, readers already have control", e.GetMessage());
    }
    lock.Leave();

    {
        ISingleWriterMultipleReaderLock::PotentialReader holder(lock);
        ASSERT_TRUE(holder.TryEnterToWrite());
        {
            const CException e = Thrown<CException>([&] { holder.EnterToRead(); });
            EXPECT_EQ(L"ISingleWriterMultipleReaderLock::PotentialReader::EnterToRead()", e.GetWhere());
            EXPECT_EQ(L"Already locked", e.GetMessage());
        }
    }
    EXPECT_TRUE(lock.TryEnterToWrite()) << "the holder left the lock when it went";
    lock.Leave();
}
