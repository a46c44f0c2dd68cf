// The shared optex against peers in other processes that hold it, die holding it, or scribble over its
// state: every Enter ends within its deadline and never lets a second thread in.
#include "OptexState.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/Watchdog.h"
#include "win32/CriticalSection.h"
#include "win32/Exception.h"
#include "win32/Optex.h"
#include "win32/Semaphore.h"
#include "win32/SharedMemory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace Halyard::Win32;
using namespace Halyard::Testing;
using namespace SyncTest;

namespace {

const DWORD kSpinCount = 4000;

void WriteOptexState(const std::wstring &name, const OptexState &state)
{
    const CSmartHandle mapping(::OpenFileMappingW(FILE_MAP_WRITE, FALSE, (name + L"_Optext_MMF").c_str()));
    const CMappedView view(::MapViewOfFile(mapping.GetHandle(), FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_TRUE(view.IsValid());
    std::memcpy(view.Get(), &state, sizeof(state));
}

void ExpectFree(const std::wstring &name)
{
    EXPECT_EQ(0, ReadOptexState(name).lockCount);
    EXPECT_EQ(0u, ReadOptexState(name).ownerThreadId);
}

// Enter, timed: what it threw, empty when it entered.
std::wstring TimedEnter(COptex &optex, ULONGLONG &milliseconds)
{
    const ULONGLONG start = ::GetTickCount64();
    std::wstring thrown;
    try
    {
        optex.Enter();
    }
    catch (const CException &e)
    {
        thrown = e.GetWhere() + L" - " + e.GetMessage();
    }
    milliseconds = ::GetTickCount64() - start;
    return thrown;
}

} // namespace

TEST(OptexRecovery, LiveHolderInAnotherProcessMakesEnterTimeOutUntilItLeaves)
{
    const std::wstring name = UniqueName(L"SyncHeld");
    COptex optex(CUnqualifiedName(name), nullptr, kSpinCount);
    optex.SetTimeout(100);
    CHelperHolding holder(L"optex-hold " + name);
    const OptexState held = ReadOptexState(name);
    EXPECT_EQ(1, held.lockCount);
    EXPECT_NE(0u, held.ownerThreadId);
    EXPECT_NE(::GetCurrentThreadId(), held.ownerThreadId);
    EXPECT_FALSE(optex.TryEnter());

    CWatchdog watchdog(20000);
    ULONGLONG waited = 0;
    const std::wstring thrown = TimedEnter(optex, waited);
    EXPECT_EQ(0u, thrown.find(L"COptex::Enter() - Timed out after ")) << thrown;
    EXPECT_NE(std::wstring::npos, thrown.find(L"\"" + name + L"\"")) << thrown;
    EXPECT_GE(waited, 90u);
    EXPECT_LT(waited, 2000u);
    EXPECT_EQ(1, ReadOptexState(name).lockCount) << "the waiter withdrew its count";

    EXPECT_EQ(0u, holder.Release());
    {
        ICriticalSection::Owner owner(optex);
        EXPECT_EQ(1, ReadOptexState(name).lockCount);
    }
    ExpectFree(name);
}

TEST(OptexRecovery, HolderKilledWhileHoldingIsTakenOver)
{
    const std::wstring name = UniqueName(L"SyncDead");
    COptex optex(CUnqualifiedName(name), nullptr, kSpinCount);
    optex.SetTimeout(5000);
    {
        CHelperHolding holder(L"optex-hold " + name);
        holder.Process().Kill(9);
        ASSERT_EQ(9u, holder.Release());
    }

    CWatchdog watchdog(20000);
    ULONGLONG waited = 0;
    ASSERT_EQ(L"", TimedEnter(optex, waited));
    EXPECT_LT(waited, 1000u);
    EXPECT_EQ(1, ReadOptexState(name).lockCount);
    EXPECT_EQ(::GetCurrentThreadId(), ReadOptexState(name).ownerThreadId);
    optex.Leave();
    ExpectFree(name);
}

// Scribbled states: each either lets Enter take a lock that nobody can hold, or ends it at the
// deadline; none hangs it, spins it for long, or lets it in beside a live owner. A count that nobody
// holds stays behind: it costs later entries a wake-up, never the lock.
TEST(OptexRecovery, ScribbledStateEndsInBoundedTime)
{
    std::atomic<bool> stop(false);
    std::atomic<DWORD> live(0);
    std::thread liveThread([&] {
        live = ::GetCurrentThreadId();
        while (!stop)
        {
            ::Sleep(5);
        }
    });
    while (live == 0)
    {
        ::Sleep(1);
    }
    DWORD dead = 0;
    std::thread([&] { dead = ::GetCurrentThreadId(); }).join();

    const struct
    {
        const char *what;
        OptexState state;
        bool enters;
        LONG countAfter;
    } cases[] = {
        {"a count held by nobody", {kSpinCount, 3, 0, 0}, true, 3},
        {"a dead owner", {kSpinCount, 1, dead, 1}, true, 0},
        {"a dead owner inside its last Leave", {kSpinCount, 1, dead, 0}, true, 0},
        {"a dead owner with an impossible recursion", {kSpinCount, 1, dead, 0x7FFFFFFF}, true, 0},
        {"a dead owner and no count", {kSpinCount, 0, dead, 1}, true, 0},
        {"a live owner and a huge spin count", {0xFFFFFFFF, 1, live, 1}, false, 1},
        {"this thread's id written as the owner", {kSpinCount, 1, ::GetCurrentThreadId(), 1}, false, 1},
        {"a negative count and a live owner", {kSpinCount, -5, live, 1}, false, -5},
        {"the lowest count and no owner", {kSpinCount, static_cast<LONG>(0x80000000), 0, 0}, true, 0},
        {"the lowest count and a dead owner", {kSpinCount, static_cast<LONG>(0x80000000), dead, 1}, true, 0},
    };
    for (const auto &c : cases)
    {
        const std::wstring name = UniqueName(L"SyncScribbled");
        COptex optex(CUnqualifiedName(name), nullptr, kSpinCount);
        optex.SetTimeout(100);
        WriteOptexState(name, c.state);

        CWatchdog watchdog(20000);
        ULONGLONG waited = 0;
        EXPECT_EQ(c.enters, optex.TryEnter() || TimedEnter(optex, waited).empty()) << c.what;
        EXPECT_LT(waited, 2000u) << c.what;
        if (c.enters)
        {
            optex.Leave();
        }
        EXPECT_EQ(c.countAfter, ReadOptexState(name).lockCount) << c.what;
    }
    stop = true;
    liveThread.join();
}

// Waiters that give up while the lock is being handed over must neither lose the hand-over nor
// take the lock beside its owner.
TEST(OptexRecovery, ShortDeadlinesUnderContentionNeverLetTwoThreadsIn)
{
    const std::wstring name = UniqueName(L"SyncContended");
    volatile LONG counter = 0;
    std::atomic<long> entries(0);
    std::atomic<long> timeouts(0);
    // Keeps the shared state alive after the threads' own optexes are gone.
    const COptex keeper(CUnqualifiedName(name), nullptr, 0);
    CWatchdog watchdog(120000);
    std::vector<std::thread> threads;
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
    EXPECT_EQ(entries.load(), counter);
    EXPECT_GT(timeouts.load(), 0) << "the deadline was never reached: the race was not exercised";
    ExpectFree(name);
}

// Helper processes that count in shared memory under the named lock, started together.
class CCountingRun
{
public:
    explicit CCountingRun(unsigned long rounds)
        : m_name(UniqueName(L"SyncCountLock")),
          m_memoryName(UniqueName(L"SyncCountMemory")),
          m_readyName(UniqueName(L"SyncCountReady")),
          m_rounds(rounds),
          m_optex(CUnqualifiedName(m_name), nullptr, kSpinCount),
          m_memory(CUnqualifiedName(m_memoryName), sizeof(LONG), CSharedMemory::ReadWrite, false, nullptr),
          m_ready(nullptr, 0, 2, CUnqualifiedName(m_readyName), CreateNew)
    {
    }

    const std::wstring &Name() const { return m_name; }
    volatile LONG *Counter() { return static_cast<volatile LONG *>(m_memory.GetMemory()); }

    // A helper counting in the given mode once the run starts: the one beside the test unless another
    // build's is named.
    std::unique_ptr<CChildProcess> Counter(const std::wstring &mode, const std::wstring &helper = L"test_helper.exe")
    {
        return std::unique_ptr<CChildProcess>(
            new CChildProcess(helper, mode + L" " + m_name + L" " + m_memoryName + L" " +
                                                      std::to_wstring(m_rounds) + L" " + m_readyName + L" " +
                                                      m_start.Name()));
    }

    // Two helpers must be ready; then all count together, so that they contend for the lock.
    bool Start()
    {
        if (!m_ready.Wait(60000) || !m_ready.Wait(60000))
        {
            return false;
        }
        m_start.Set();
        return true;
    }

    // This process counts its rounds too, as the helpers do.
    void CountHere()
    {
        for (unsigned long i = 0; i < m_rounds; ++i)
        {
            ICriticalSection::Owner owner(m_optex);
            SyncTest::IncrementUnsafely(Counter());
        }
    }

private:
    const std::wstring m_name;
    const std::wstring m_memoryName;
    const std::wstring m_readyName;
    const unsigned long m_rounds;
    COptex m_optex;
    CSharedMemory m_memory;
    CSemaphore m_ready;
    CNamedSignal m_start;
};

// Two processes count under the lock while a third sets its event without pause: every forged
// wake-up costs a look at the owner, never a second owner, so no increment is lost.
TEST(OptexRecovery, CounterGuardedByASharedOptexIsExactAcrossProcessesWhileItsEventIsForged)
{
    const unsigned long rounds = 1000000;
    CCountingRun run(rounds);
    CNamedSignal stopForging;
    CChildProcess forger(L"test_helper.exe", L"optex-forge " + run.Name() + L" " + stopForging.Name());
    const std::unique_ptr<CChildProcess> first = run.Counter(L"optex-count");
    const std::unique_ptr<CChildProcess> second = run.Counter(L"optex-count");

    ASSERT_TRUE(run.Start()) << "the helpers did not get ready";
    EXPECT_EQ(0u, first->Wait(300000));
    EXPECT_EQ(0u, second->Wait(300000));
    stopForging.Set();
    EXPECT_LT(0u, forger.Wait(60000)) << "the forger set the event no time";
    EXPECT_EQ(static_cast<LONG>(2 * rounds), *run.Counter());
    ExpectFree(run.Name());
}

// A process that still takes the lock as earlier builds did (a count taken from 0 or a wake-up is
// ownership) and one of this build exclude each other: no increment is lost.
TEST(OptexRecovery, EarlierBuildsAndThisOneExcludeEachOther)
{
    const unsigned long rounds = 200000;
    CCountingRun run(rounds);
    const std::unique_ptr<CChildProcess> earlier = run.Counter(L"optex-old-count");
    const std::unique_ptr<CChildProcess> current = run.Counter(L"optex-count");

    ASSERT_TRUE(run.Start()) << "the helpers did not get ready";
    run.CountHere();
    EXPECT_EQ(0u, earlier->Wait(300000));
    EXPECT_EQ(0u, current->Wait(300000));
    EXPECT_EQ(static_cast<LONG>(3 * rounds), *run.Counter());
    ExpectFree(run.Name());
}

#if defined(HALYARD_X64_BUILD)
// This 32-bit process and two 64-bit ones count under one lock: its shared state means the same to
// both word sizes, so it never has two owners and no increment is lost.
TEST(OptexRecovery, ThirtyTwoAndSixtyFourBitProcessesExcludeEachOther)
{
    // Enough for thousands of hand-offs each way; the 32-bit side may run under emulation.
    const unsigned long rounds = 20000;
    const std::wstring helper = L"" HALYARD_X64_BUILD L"/tests/helper/test_helper.exe";
    CCountingRun run(rounds);
    const std::unique_ptr<CChildProcess> first = run.Counter(L"optex-count", helper);
    const std::unique_ptr<CChildProcess> second = run.Counter(L"optex-count", helper);

    ASSERT_TRUE(run.Start()) << "the helpers did not get ready";
    run.CountHere();
    EXPECT_EQ(0u, first->Wait(300000));
    EXPECT_EQ(0u, second->Wait(300000));
    EXPECT_EQ(static_cast<LONG>(3 * rounds), *run.Counter());
    ExpectFree(run.Name());
}
#endif
