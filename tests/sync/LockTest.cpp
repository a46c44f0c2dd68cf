#include "TestUtilities.h"

#include "win32/CriticalSection.h"
#include "win32/Event.h"
#include "win32/Exception.h"
#include "win32/Optex.h"
#include "win32/SingleWriterMultipleReaderLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

using namespace Halyard::Win32;
using SyncTest::OptexState;
using SyncTest::ReadOptexState;
using SyncTest::Thrown;
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

bool WaitFor(const std::function<bool()> &condition)
{
    for (int i = 0; i < 1000; ++i)
    {
        if (condition())
        {
            return true;
        }
        ::Sleep(5);
    }
    return false;
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
    bool TryEnter() override { return m_available && ++m_depth > 0; }
    void Enter() override { ++m_depth; }
    void Leave() override { --m_depth; }

    bool m_available = true;
    int m_depth = 0;
};

} // namespace

TEST(Optex, OwnerReentersAndMustLeaveAsOftenAsItEntered)
{
    const std::wstring name = UniqueName(L"SyncRecursive");
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
    const std::wstring name = UniqueName(L"SyncHandover");
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
    EXPECT_TRUE(WaitFor([&] { return ReadOptexState(name).lockCount == 2; }));
    ::Sleep(100);
    EXPECT_EQ(0u, enteredBy.load());

    optex.Leave();
    EXPECT_TRUE(WaitFor([&] { return enteredBy.load() != 0; }));
    EXPECT_EQ(enteredBy.load(), ReadOptexState(name).ownerThreadId);
    EXPECT_EQ(1, ReadOptexState(name).lockCount);
    leave.Set();
    waiter.join();

    const OptexState s = ReadOptexState(name);
    EXPECT_EQ(0, s.lockCount);
    EXPECT_EQ(0u, s.ownerThreadId);

    // A second constructor of the same name shares the state; its spin count wins.
    COptex second(CUnqualifiedName(name), nullptr, 10);
    optex.Enter();
    EXPECT_FALSE(TryEnterFromOtherThread(second));
    optex.Leave();
    EXPECT_TRUE(TryEnterFromOtherThread(second));
    EXPECT_EQ(IsMultiProcessor() ? 10u : 0u, ReadOptexState(name).spinCount);
}

TEST(LockStress, CounterGuardedByEachLockIsExact)
{
    const int threads = 4;
    const int rounds = 20000;
    const LONG expected = threads * rounds;

    COptex local(kSpinCount);
    EXPECT_EQ(expected, CountUnderLock(local, threads, rounds)) << "process-local optex";
    EXPECT_TRUE(TryEnterFromOtherThread(local));

    const std::wstring name = UniqueName(L"SyncStress");
    COptex shared(CUnqualifiedName(name), nullptr, kSpinCount);
    EXPECT_EQ(expected, CountUnderLock(shared, threads, rounds)) << "shared optex";
    EXPECT_EQ(0, ReadOptexState(name).lockCount);

    // Without spinning every contended entry sleeps on the event.
    COptex sleeper(0);
    EXPECT_EQ(threads * 5000, CountUnderLock(sleeper, threads, 5000)) << "optex that never spins";

    CCriticalSection section(kSpinCount);
    EXPECT_EQ(expected, CountUnderLock(section, threads, rounds)) << "critical section";
}

TEST(CriticalSectionHolders, HoldersLeaveWhatTheyEnteredAndNothingMore)
{
    RecordingLock lock;
    {
        ICriticalSection::Owner owner(lock);
        EXPECT_EQ(1, lock.m_depth);
    }
    EXPECT_EQ(0, lock.m_depth);
    {
        ICriticalSection::ConditionalOwner skipped(lock, false);
        skipped.Leave();
        ICriticalSection::ConditionalOwner taken(lock, true);
        EXPECT_EQ(1, lock.m_depth);
        taken.Leave();
        taken.Leave();
        EXPECT_EQ(0, lock.m_depth);
    }
    EXPECT_EQ(0, lock.m_depth);
    {
        ICriticalSection::PotentialOwner potential(lock);
        potential.Enter();
        const CException e = Thrown<CException>([&] { potential.Enter(); });
        EXPECT_EQ(L"ICriticalSection::PotentialOwner::Enter()", e.GetWhere());
        EXPECT_EQ(L"Already locked", e.GetMessage());
        EXPECT_EQ(L"ICriticalSection::PotentialOwner::TryEnter()",
                  Thrown<CException>([&] { potential.TryEnter(); }).GetWhere());
        EXPECT_EQ(1, lock.m_depth);
    }
    EXPECT_EQ(0, lock.m_depth);

    lock.m_available = false;
    {
        ICriticalSection::PotentialOwner potential(lock);
        EXPECT_FALSE(potential.TryEnter());
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
              write ? holder.EnterToWrite() : holder.EnterToRead();
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

} // namespace

TEST(SingleWriterMultipleReaderLock, WaitingWriterGoesBeforeLaterReaders)
{
    CSingleWriterMultipleReaderLock lock;
    lock.EnterToRead();
    EXPECT_TRUE(lock.TryEnterToRead()) << "readers share the lock";
    lock.Leave();
    EXPECT_FALSE(lock.TryEnterToWrite());

    LockClient writer(lock, true);
    // While a reader holds the lock, a read attempt fails only when a writer waits.
    EXPECT_TRUE(WaitFor([&] { return !lock.TryEnterToRead() || (lock.Leave(), false); }));
    LockClient lateReader(lock, false);
    EXPECT_FALSE(writer.HasEntered(100));
    EXPECT_FALSE(lateReader.HasEntered(0));

    lock.Leave();
    EXPECT_TRUE(writer.HasEntered(10000));
    EXPECT_FALSE(lateReader.HasEntered(100));

    writer.Release();
    EXPECT_TRUE(lateReader.HasEntered(10000));
}

TEST(SingleWriterMultipleReaderLock, ConvertingWriterLetsWaitingReadersInAndHoldersLeave)
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
    EXPECT_TRUE(WaitFor([&] { return lock.TryEnterToWrite(); }));
    lock.Leave();

    {
        ISingleWriterMultipleReaderLock::PotentialReader holder(lock);
        ASSERT_TRUE(holder.TryEnterToWrite());
        EXPECT_EQ(L"Already locked", Thrown<CException>([&] { holder.EnterToRead(); }).GetMessage());
    }
    EXPECT_TRUE(lock.TryEnterToWrite()) << "the holder left the lock when it went";
    lock.Leave();
}
