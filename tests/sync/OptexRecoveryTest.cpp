// The shared optex against peers that hold it for ever, die holding it, or scribble over its state:
// every Enter ends within its deadline and never lets a second thread in.
#include "TestUtilities.h"

#include "win32/CriticalSection.h"
#include "win32/Event.h"
#include "win32/Exception.h"
#include "win32/Optex.h"

#include "tests/support/Watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

using namespace Halyard::Win32;
using Halyard::Testing::CChildProcess;
using Halyard::Testing::CWatchdog;
using SyncTest::OptexState;
using SyncTest::ReadOptexState;
using SyncTest::UniqueName;

namespace {

const DWORD kSpinCount = 4000;

// Writes a named optex's state as a hostile or crashed peer would have left it.
void WriteOptexState(const std::wstring &name, const OptexState &state)
{
    const CSmartHandle mapping(::OpenFileMappingW(FILE_MAP_WRITE, FALSE, (name + L"_Optext_MMF").c_str()));
    const CMappedView view(::MapViewOfFile(mapping.GetHandle(), FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_TRUE(view.IsValid());
    std::memcpy(view.Get(), &state, sizeof(state));
}

// The id of a thread that has ended: it names no running thread.
DWORD DeadThreadId()
{
    DWORD id = 0;
    std::thread([&] { id = ::GetCurrentThreadId(); }).join();
    return id;
}

CEvent NewEvent(const std::wstring &name)
{
    return CEvent(nullptr, CEvent::ManualReset, CEvent::NotSignalled, CUnqualifiedName(name), CreateNew);
}

// Milliseconds that Enter took, and the exception it threw if any.
struct EnterOutcome
{
    bool entered;
    DWORD milliseconds;
    std::wstring where;
    std::wstring message;
};

EnterOutcome TimedEnter(COptex &optex)
{
    EnterOutcome outcome = {false, 0, L"", L""};
    const ULONGLONG start = ::GetTickCount64();
    try
    {
        optex.Enter();
        outcome.entered = true;
    }
    catch (const CException &e)
    {
        outcome.where = e.GetWhere();
        outcome.message = e.GetMessage();
    }
    outcome.milliseconds = static_cast<DWORD>(::GetTickCount64() - start);
    return outcome;
}

} // namespace

TEST(OptexRecovery, LiveHolderMakesEnterTimeOutAndLeavesItsEntryAlone)
{
    const std::wstring name = UniqueName(L"SyncHeld");
    const std::wstring readyName = UniqueName(L"SyncReady");
    const std::wstring releaseName = UniqueName(L"SyncRelease");
    COptex optex(CUnqualifiedName(name), nullptr, kSpinCount);
    optex.SetTimeout(100);
    CEvent ready = NewEvent(readyName);
    CEvent release = NewEvent(releaseName);
    CChildProcess helper(L"sync_helper.exe", L"optex-hold " + name + L" " + readyName + L" " + releaseName);
    ASSERT_TRUE(ready.Wait(60000));

    CWatchdog watchdog(20000);
    const EnterOutcome outcome = TimedEnter(optex);
    EXPECT_FALSE(outcome.entered);
    EXPECT_EQ(L"COptex::Enter()", outcome.where);
    EXPECT_EQ(0u, outcome.message.find(L"Timed out after ")) << outcome.message.c_str();
    EXPECT_NE(std::wstring::npos, outcome.message.find(L"\"" + name + L"\"")) << outcome.message.c_str();
    EXPECT_GE(outcome.milliseconds, 90u);
    EXPECT_LT(outcome.milliseconds, 2000u);
    std::printf("gave up on a live holder after %lu ms\n", static_cast<unsigned long>(outcome.milliseconds));
    EXPECT_FALSE(optex.TryEnter());
    EXPECT_EQ(1, ReadOptexState(name).lockCount) << "the waiter withdrew its count";

    release.Set();
    EXPECT_EQ(0u, helper.Wait(60000));
    ICriticalSection::Owner owner(optex);
    EXPECT_EQ(1, ReadOptexState(name).lockCount);
}

TEST(OptexRecovery, HolderKilledWhileHoldingIsTakenOver)
{
    const std::wstring name = UniqueName(L"SyncDead");
    const std::wstring readyName = UniqueName(L"SyncReady");
    const std::wstring releaseName = UniqueName(L"SyncRelease");
    COptex optex(CUnqualifiedName(name), nullptr, kSpinCount);
    optex.SetTimeout(5000);
    CEvent ready = NewEvent(readyName);
    CEvent release = NewEvent(releaseName);
    {
        CChildProcess helper(L"sync_helper.exe", L"optex-hold " + name + L" " + readyName + L" " + releaseName);
        ASSERT_TRUE(ready.Wait(60000));
        ::TerminateProcess(helper.Handle(), 9);
        ASSERT_EQ(9u, helper.Wait(10000));
    }

    CWatchdog watchdog(20000);
    const EnterOutcome outcome = TimedEnter(optex);
    ASSERT_TRUE(outcome.entered) << outcome.message.c_str();
    std::printf("took over from a dead holder after %lu ms\n", static_cast<unsigned long>(outcome.milliseconds));
    EXPECT_LT(outcome.milliseconds, 1000u);
    const OptexState held = ReadOptexState(name);
    EXPECT_EQ(1, held.lockCount);
    EXPECT_EQ(::GetCurrentThreadId(), held.ownerThreadId);
    optex.Leave();
    const OptexState after = ReadOptexState(name);
    EXPECT_EQ(0, after.lockCount);
    EXPECT_EQ(0u, after.ownerThreadId);
    // A hand-over signal left behind would wake a later waiter beside the next owner.
    const CSmartHandle event(::OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(event.GetHandle(), 0));
}

// Scribbled states: each either lets Enter take a lock that nobody can hold, or ends it at the
// deadline; none hangs it, spins it for long, or lets it in beside a live owner.
TEST(OptexRecovery, ScribbledStateEndsInBoundedTime)
{
    std::atomic<bool> stop(false);
    DWORD liveThread = 0;
    std::thread live([&] {
        liveThread = ::GetCurrentThreadId();
        while (!stop)
        {
            ::Sleep(5);
        }
    });
    while (liveThread == 0)
    {
        ::Sleep(1);
    }
    const DWORD dead = DeadThreadId();
    const DWORD self = ::GetCurrentThreadId();

    struct Case
    {
        const char *what;
        OptexState state;
        bool enters;
    };
    const Case cases[] = {
        {"a count held by nobody", {kSpinCount, 3, 0, 0}, false},
        {"a dead owner", {kSpinCount, 1, dead, 1}, true},
        {"a dead owner inside its last Leave", {kSpinCount, 1, dead, 0}, true},
        {"a dead owner with an impossible recursion", {kSpinCount, 1, dead, 0x7FFFFFFF}, false},
        {"a live owner and a huge spin count", {0xFFFFFFFF, 1, liveThread, 1}, false},
        {"this thread's id written as the owner", {kSpinCount, 1, self, 1}, false},
        {"a negative count", {kSpinCount, -5, liveThread, 1}, false},
    };

    for (const Case &c : cases)
    {
        const std::wstring name = UniqueName(L"SyncScribbled");
        COptex optex(CUnqualifiedName(name), nullptr, kSpinCount);
        optex.SetTimeout(100);
        WriteOptexState(name, c.state);

        CWatchdog watchdog(20000);
        const ULONGLONG start = ::GetTickCount64();
        EXPECT_EQ(c.enters, optex.TryEnter() || TimedEnter(optex).entered) << c.what;
        EXPECT_LT(::GetTickCount64() - start, 2000u) << c.what;
        if (c.enters)
        {
            optex.Leave();
            EXPECT_EQ(0, ReadOptexState(name).lockCount) << c.what;
        }
        else
        {
            EXPECT_EQ(c.state.lockCount, ReadOptexState(name).lockCount) << c.what << ": the waiter withdrew";
        }
    }
    stop = true;
    live.join();
}

// Waiters that give up while the lock is being handed over must neither lose the hand-over nor
// take the lock beside its owner.
TEST(OptexRecovery, ShortDeadlinesUnderContentionNeverLetTwoThreadsIn)
{
    const std::wstring name = UniqueName(L"SyncContended");
    volatile LONG counter = 0;
    std::atomic<long> entries(0);
    std::atomic<long> timeouts(0);
    std::vector<std::thread> threads;
    // Keeps the shared state alive after the threads' own optexes are gone.
    const COptex keeper(CUnqualifiedName(name), nullptr, 0);
    CWatchdog watchdog(120000);
    for (int t = 0; t < 4; ++t)
    {
        threads.emplace_back([&] {
            COptex optex(CUnqualifiedName(name), nullptr, 0);
            optex.SetTimeout(1);
            for (int i = 0; i < 8000; ++i)
            {
                try
                {
                    ICriticalSection::Owner owner(optex);
                    SyncTest::IncrementUnsafely(&counter);
                    ::SwitchToThread();
                    ++entries;
                }
                catch (const CException &)
                {
                    ++timeouts;
                }
            }
        });
    }
    for (std::thread &thread : threads)
    {
        thread.join();
    }
    std::printf("%ld entries, %ld time-outs\n", entries.load(), timeouts.load());
    EXPECT_EQ(entries.load(), counter);
    EXPECT_GT(timeouts.load(), 0) << "the deadline was never reached: the race was not exercised";
    const OptexState after = ReadOptexState(name);
    EXPECT_EQ(0, after.lockCount);
    EXPECT_EQ(0u, after.ownerThreadId);
    // A hand-over signal left behind would wake a later waiter beside the next owner.
    const CSmartHandle event(::OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(event.GetHandle(), 0));
}
