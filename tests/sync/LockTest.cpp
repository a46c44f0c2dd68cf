#include "OptexState.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/Expect.h"
#include "tests/support/Watchdog.h"
#include "win32/CriticalSection.h"
#include "win32/Event.h"
#include "win32/Optex.h"
#include "win32/SingleWriterMultipleReaderLock.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>

using namespace Halyard::Win32;
using namespace Halyard::Testing;
using SyncTest::ReadOptexState;

namespace {

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

} // namespace

TEST(Optex, OwnerReentersAndMustLeaveAsOftenAsItEntered)
{
    const std::wstring name = UniqueName(L"SyncRecursive");
    COptex optex(CUnqualifiedName(name), nullptr, 0);
    optex.Enter();
    ASSERT_TRUE(optex.TryEnter());
    optex.Enter();
    EXPECT_EQ(3, ReadOptexState(name).lockCount);
    EXPECT_EQ(3, ReadOptexState(name).recursion);
    EXPECT_EQ(::GetCurrentThreadId(), ReadOptexState(name).ownerThreadId);

    optex.Leave();
    optex.Leave();
    EXPECT_FALSE(TryEnterFromOtherThread(optex));
    optex.Leave();
    EXPECT_EQ(0, ReadOptexState(name).lockCount);
    EXPECT_EQ(0u, ReadOptexState(name).ownerThreadId);
    EXPECT_TRUE(TryEnterFromOtherThread(optex));
}

// A block that finds its lock's objects already open hands their handles to the optex, which creates
// only what it was not given; every way of building it reaches the one shared lock.
TEST(Optex, HandlesOpenedBeforehandServeTheNamedLock)
{
    struct Case
    {
        const char *given;
        bool event;
        bool mapping;
    };
    const Case cases[] = {{"event and mapping", true, true}, {"event", true, false}, {"mapping", false, true}};
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.given);
        const std::wstring name = UniqueName(L"SyncAdopted");
        COptex first(CUnqualifiedName(name), nullptr, 0);
        CSmartHandle event(c.event ? ::OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name.c_str()) : nullptr);
        CSmartHandle mapping(
            c.mapping ? ::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, (name + L"_Optext_MMF").c_str())
                      : nullptr);
        ASSERT_EQ(c.event, event.IsValid());
        ASSERT_EQ(c.mapping, mapping.IsValid());
        COptex second(CUnqualifiedName(name), std::move(event), std::move(mapping), nullptr, 0);

        first.Enter();
        EXPECT_FALSE(TryEnterFromOtherThread(second));
        EXPECT_EQ(1, ReadOptexState(name).lockCount);

        // A waiter on the second object sleeps on the shared event until the first one leaves.
        const CWatchdog watchdog(20000);
        std::thread waiter([&] {
            second.Enter();
            second.Leave();
        });
        while (ReadOptexState(name).lockCount < 2)
        {
            ::Sleep(1);
        }
        first.Leave();
        waiter.join();
        EXPECT_EQ(0, ReadOptexState(name).lockCount);
    }
}

TEST(LockHolders, PotentialOwnerEntersOnceAndLeavesWhatItEntered)
{
    CCriticalSection lock(0);
    {
        ICriticalSection::PotentialOwner potential(lock);
        potential.Enter();
        ExpectException([&] { potential.Enter(); }, L"ICriticalSection::PotentialOwner::Enter()", L"Already locked");
        ExpectException([&] { potential.TryEnter(); }, L"ICriticalSection::PotentialOwner::TryEnter()",
                        L"Already locked");
        EXPECT_FALSE(TryEnterFromOtherThread(lock));
    }
    EXPECT_TRUE(TryEnterFromOtherThread(lock));
    {
        ICriticalSection::PotentialOwner idle(lock);
    }
    EXPECT_TRUE(TryEnterFromOtherThread(lock)) << "a holder that never entered leaves nothing";
}

namespace {

// A thread that takes the reader/writer lock and records when it holds it.
class LockClient
{
public:
    LockClient(ISingleWriterMultipleReaderLock &lock, bool write)
        : m_entered(nullptr, CEvent::ManualReset, CEvent::NotSignalled),
          m_release(nullptr, CEvent::ManualReset, CEvent::NotSignalled), m_thread([this, &lock, write] {
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
    // While a reader holds the lock, a read attempt fails only once a writer waits.
    for (int i = 0; i < 1000 && lock.TryEnterToRead(); ++i)
    {
        lock.Leave();
        ::Sleep(5);
    }
    LockClient lateReader(lock, false);
    EXPECT_FALSE(writer.HasEntered(100));
    EXPECT_FALSE(lateReader.HasEntered(100)) << "a reader came in before the waiting writer";

    lock.Leave();
    EXPECT_TRUE(writer.HasEntered(10000));
    EXPECT_FALSE(lateReader.HasEntered(100));
    writer.Release();
    EXPECT_TRUE(lateReader.HasEntered(10000));

    lateReader.Release();
    ISingleWriterMultipleReaderLock::PotentialReader holder(lock);
    holder.EnterToWrite();
    ExpectException([&] { holder.EnterToRead(); }, L"ISingleWriterMultipleReaderLock::PotentialReader::EnterToRead()",
                    L"Already locked");
}
