// The shared optex with threads stopped at chosen steps on its shared state while others run: a
// release that stalls before its wake-up, forged wake-ups, owners killed at each step, owner ids
// reused by live threads, and waiters racing to take over one dead owner. Each case ends with at
// most one owner at any moment and the lock usable within its deadline.
#include "OptexState.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/Watchdog.h"
#include "win32/Exception.h"
#include "win32/Optex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

using namespace Halyard::Win32;
using namespace Halyard::Testing;
using namespace SyncTest;

namespace {

using Step = COptex::Step;

const DWORD kGateWait = 10000;

// Stops the thread that reaches a chosen step until the test lets it go, and can present owner
// threads as unreachable.
class CStepGate : public COptex::IHooks
{
public:
    explicit CStepGate(Step step = Step::Counted, bool stops = false)
        : m_step(step), m_stops(stops), m_arrived(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          m_proceed(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
    }
    ~CStepGate()
    {
        ::CloseHandle(m_arrived);
        ::CloseHandle(m_proceed);
    }
    CStepGate(const CStepGate &) = delete;
    CStepGate &operator=(const CStepGate &) = delete;

    void OnStep(Step step) override
    {
        if (step != m_step)
        {
            return;
        }
        ::SetEvent(m_arrived);
        if (m_stops)
        {
            ::WaitForSingleObject(m_proceed, kGateWait);
        }
    }

    HANDLE OpenOwnerThread(DWORD access, DWORD threadId) override
    {
        if (m_openError != ERROR_SUCCESS)
        {
            ::SetLastError(m_openError);
            return nullptr;
        }
        return ::OpenThread(access, FALSE, threadId);
    }

    bool WaitArrived(DWORD milliseconds = kGateWait) const
    {
        return ::WaitForSingleObject(m_arrived, milliseconds) == WAIT_OBJECT_0;
    }
    void Proceed() { ::SetEvent(m_proceed); }
    void FailOpenWith(DWORD error) { m_openError = error; }

private:
    const Step m_step;
    const bool m_stops;
    HANDLE m_arrived;
    HANDLE m_proceed;
    DWORD m_openError = ERROR_SUCCESS;
};

// A thread of its own, which a test may kill wherever it stands.
class CTestThread
{
public:
    explicit CTestThread(std::function<void()> body) : m_body(std::move(body))
    {
        m_handle = ::CreateThread(nullptr, 0, &CTestThread::Run, this, 0, &m_id);
    }
    ~CTestThread()
    {
        Join();
        ::CloseHandle(m_handle);
    }
    CTestThread(const CTestThread &) = delete;
    CTestThread &operator=(const CTestThread &) = delete;

    DWORD Id() const { return m_id; }
    void Join() { ::WaitForSingleObject(m_handle, kGateWait * 3); }
    void Kill()
    {
        ::TerminateThread(m_handle, 9);
        ::WaitForSingleObject(m_handle, kGateWait);
    }

private:
    static DWORD WINAPI Run(void *self)
    {
        static_cast<CTestThread *>(self)->m_body();
        return 0;
    }

    std::function<void()> m_body;
    HANDLE m_handle;
    DWORD m_id = 0;
};

// A thread that lives, doing nothing, until the object goes.
class CLiveThread
{
public:
    CLiveThread()
        : m_stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          m_thread([this] { ::WaitForSingleObject(m_stop, INFINITE); })
    {
    }
    ~CLiveThread()
    {
        ::SetEvent(m_stop);
        m_thread.Join();
        ::CloseHandle(m_stop);
    }
    CLiveThread(const CLiveThread &) = delete;
    CLiveThread &operator=(const CLiveThread &) = delete;

    DWORD Id() const { return m_thread.Id(); }

private:
    HANDLE m_stop;
    CTestThread m_thread;
};

// Counts the threads inside the lock and remembers the most there ever were at once.
class CInside
{
public:
    void Enter()
    {
        const long now = ++m_inside;
        long most = m_most.load();
        while (now > most && !m_most.compare_exchange_weak(most, now))
        {
        }
    }
    void Leave() { --m_inside; }
    long Most() const { return m_most.load(); }

private:
    std::atomic<long> m_inside{0};
    std::atomic<long> m_most{0};
};

class OptexInterleaving : public ::testing::Test
{
protected:
    OptexInterleaving() : m_name(UniqueName(L"SyncInterleaved")), m_keeper(Make()) {}

    std::unique_ptr<COptex> Make(DWORD timeout = INFINITE, COptex::IHooks *hooks = nullptr)
    {
        std::unique_ptr<COptex> optex(new COptex(CUnqualifiedName(m_name), nullptr, 0));
        optex->SetTimeout(timeout);
        optex->SetHooks(hooks);
        return optex;
    }

    // True when Enter took the lock; a time-out is the only failure expected.
    static bool Enters(COptex &optex)
    {
        try
        {
            optex.Enter();
            return true;
        }
        catch (const CException &e)
        {
            EXPECT_EQ(0u, e.GetMessage().find(L"Timed out after ")) << e.GetMessage();
            return false;
        }
    }

    void ExpectUsable()
    {
        const std::unique_ptr<COptex> optex = Make(1000);
        ASSERT_TRUE(Enters(*optex)) << "the lock is no longer usable";
        EXPECT_EQ(::GetCurrentThreadId(), ReadOptexState(m_name).ownerThreadId);
        optex->Leave();
        EXPECT_EQ(0u, ReadOptexState(m_name).ownerThreadId);
    }

    void WriteState(const OptexState &state) { Write(L"_Optext_MMF", &state, sizeof(state)); }

    void WriteOwnerRecord(DWORD threadId, DWORD processId, DWORD creationStamp)
    {
        const DWORD record[4] = {threadId, processId, creationStamp, 0};
        Write(L"_Optex_Owner", record, sizeof(record));
    }

    static DWORD CreationStampOf(DWORD threadId)
    {
        const HANDLE thread = ::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId);
        FILETIME creation, exit, kernel, user;
        const BOOL ok = ::GetThreadTimes(thread, &creation, &exit, &kernel, &user);
        ::CloseHandle(thread);
        return ok ? (creation.dwLowDateTime | 1) : 0;
    }

    const std::wstring m_name;
    CInside m_inside;

private:
    void Write(const wchar_t *suffix, const void *data, size_t size)
    {
        const HANDLE mapping = ::OpenFileMappingW(FILE_MAP_WRITE, FALSE, (m_name + suffix).c_str());
        ASSERT_NE(nullptr, mapping);
        void *view = ::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
        ASSERT_NE(nullptr, view);
        std::memcpy(view, data, size);
        ::UnmapViewOfFile(view);
        ::CloseHandle(mapping);
    }

    // Keeps the shared state alive between the threads' own optexes.
    const std::unique_ptr<COptex> m_keeper;
};

// A waiter whose deadline passes while the owner has released but not yet set the event takes the
// lock; the late event then wakes a second waiter, which must not enter beside it.
TEST_F(OptexInterleaving, ReleaseStalledBeforeItsEventWhileAWaiterGivesUpAdmitsOneOwner)
{
    CWatchdog watchdog(60000);
    CStepGate ownerGate(Step::Released, true);
    CStepGate firstCounted;
    HANDLE firstInside = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE firstMayLeave = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);

    HANDLE ownerInside = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE ownerMayLeave = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CTestThread owner([&] {
        const std::unique_ptr<COptex> optex = Make(INFINITE, &ownerGate);
        optex->Enter();
        m_inside.Enter();
        ::SetEvent(ownerInside);
        ::WaitForSingleObject(ownerMayLeave, kGateWait);
        m_inside.Leave();
        optex->Leave();
    });
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(ownerInside, kGateWait));
    CTestThread first([&] {
        const std::unique_ptr<COptex> optex = Make(50, &firstCounted);
        if (Enters(*optex))
        {
            m_inside.Enter();
            ::SetEvent(firstInside);
            ::WaitForSingleObject(firstMayLeave, kGateWait);
            m_inside.Leave();
            optex->Leave();
        }
    });
    ASSERT_TRUE(firstCounted.WaitArrived());
    ::SetEvent(ownerMayLeave);
    ASSERT_TRUE(ownerGate.WaitArrived());

    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(firstInside, kGateWait)) << "the waiter lost the released lock";
    ownerGate.Proceed();
    owner.Join();

    bool secondEntered = true;
    CTestThread second([&] {
        const std::unique_ptr<COptex> optex = Make(100);
        secondEntered = Enters(*optex);
        if (secondEntered)
        {
            m_inside.Enter();
            m_inside.Leave();
            optex->Leave();
        }
    });
    second.Join();
    EXPECT_FALSE(secondEntered) << "the late event let a second thread in";
    ::SetEvent(firstMayLeave);
    first.Join();
    EXPECT_EQ(1, m_inside.Most());
    ExpectUsable();
    ::CloseHandle(firstInside);
    ::CloseHandle(firstMayLeave);
    ::CloseHandle(ownerInside);
    ::CloseHandle(ownerMayLeave);
}

// Anyone may open the event: a wake-up is a reason to look again, never a grant.
TEST_F(OptexInterleaving, ForgedEventsWhileTheLockIsHeldAdmitNobody)
{
    CWatchdog watchdog(60000);
    const std::unique_ptr<COptex> holder = Make();
    holder->Enter();
    std::atomic<bool> stop(false);
    std::thread forger([&] {
        const HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, m_name.c_str());
        while (!stop)
        {
            ::SetEvent(event);
            ::Sleep(0);
        }
        ::CloseHandle(event);
    });
    int entered = 0;
    for (int i = 0; i < 10; ++i)
    {
        std::thread waiter([&] {
            const std::unique_ptr<COptex> optex = Make(30);
            if (Enters(*optex))
            {
                ++entered;
                optex->Leave();
            }
        });
        waiter.join();
    }
    stop = true;
    forger.join();
    EXPECT_EQ(0, entered);
    EXPECT_EQ(1, ReadOptexState(m_name).lockCount) << "a waiter that gave up kept its count";
    holder->Leave();
    ExpectUsable();
}

// A thread killed at each step of taking or leaving the lock, with a waiter counted: the waiter
// gets the lock within its deadline, and so does everyone after it.
TEST_F(OptexInterleaving, OwnerKilledAtEachStepLeavesTheLockUsable)
{
    const struct
    {
        const char *what;
        Step step;
        bool whileEntering;
    } cases[] = {
        {"owner field set, record not written", Step::Claimed, true},
        {"owner field cleared, count not given back", Step::OwnerCleared, false},
        {"count given back, event not set", Step::Released, false},
    };
    for (const auto &c : cases)
    {
        CWatchdog watchdog(60000);
        CStepGate killerGate(c.step, true);
        CStepGate waiterCounted;
        HANDLE entered = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE leave = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        CTestThread killer([&] {
            const std::unique_ptr<COptex> optex = Make(INFINITE, &killerGate);
            optex->Enter();
            ::SetEvent(entered);
            ::WaitForSingleObject(leave, kGateWait);
            optex->Leave();
        });
        if (c.whileEntering)
        {
            ASSERT_TRUE(killerGate.WaitArrived()) << c.what;
        }
        else
        {
            ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(entered, kGateWait)) << c.what;
        }

        bool waiterEntered = false;
        ULONGLONG waited = 0;
        CTestThread waiter([&] {
            const std::unique_ptr<COptex> optex = Make(2000, &waiterCounted);
            const ULONGLONG start = ::GetTickCount64();
            waiterEntered = Enters(*optex);
            waited = ::GetTickCount64() - start;
            if (waiterEntered)
            {
                optex->Leave();
            }
        });
        ASSERT_TRUE(waiterCounted.WaitArrived()) << c.what;
        if (!c.whileEntering)
        {
            ::SetEvent(leave);
            ASSERT_TRUE(killerGate.WaitArrived()) << c.what;
        }
        killer.Kill();
        waiter.Join();
        EXPECT_TRUE(waiterEntered) << c.what;
        EXPECT_LT(waited, 1000u) << c.what;
        ExpectUsable();
        ::CloseHandle(entered);
        ::CloseHandle(leave);
    }
}

// A waiter killed while counted leaves a count that nobody holds: later threads still get the lock.
TEST_F(OptexInterleaving, WaiterKilledWhileCountedLeavesTheLockUsable)
{
    CWatchdog watchdog(60000);
    const std::unique_ptr<COptex> holder = Make();
    holder->Enter();
    CStepGate counted(Step::Counted, true);
    CTestThread waiter([&] {
        const std::unique_ptr<COptex> optex = Make(INFINITE, &counted);
        optex->Enter();
    });
    ASSERT_TRUE(counted.WaitArrived());
    waiter.Kill();
    holder->Leave();
    for (int i = 0; i < 3; ++i)
    {
        ExpectUsable();
    }
}

// The owner recorded a process and a creation time; a live thread that now has its id is told
// apart by them, and only a thread that cannot be found out at all is given the benefit of doubt.
TEST_F(OptexInterleaving, OwnerIsJudgedByWhatItRecordedNotByItsIdAlone)
{
    const CLiveThread liveThread;
    const DWORD live = liveThread.Id();
    const DWORD stamp = CreationStampOf(live);
    ASSERT_NE(0u, stamp);
    DWORD gone = 0;
    std::thread([&] { gone = ::GetCurrentThreadId(); }).join();

    const struct
    {
        const char *what;
        DWORD owner;
        DWORD recordProcess;
        DWORD recordStamp;
        DWORD openError;
        bool enters;
    } cases[] = {
        {"the recorded owner, alive", live, ::GetCurrentProcessId(), stamp, ERROR_SUCCESS, false},
        {"its id reused by a thread created later", live, ::GetCurrentProcessId(), stamp ^ 2, ERROR_SUCCESS, true},
        {"its id reused in another process", live, ::GetCurrentProcessId() + 4, stamp, ERROR_SUCCESS, true},
        {"an owner without a record, alive", live, 0, 0, ERROR_SUCCESS, false},
        {"an owner that ended", gone, ::GetCurrentProcessId(), stamp, ERROR_SUCCESS, true},
        {"an owner that cannot be opened", live, ::GetCurrentProcessId(), stamp ^ 2, ERROR_ACCESS_DENIED, false},
        {"an owner the system does not know", live, ::GetCurrentProcessId(), stamp, ERROR_INVALID_PARAMETER, true},
    };
    for (const auto &c : cases)
    {
        CWatchdog watchdog(60000);
        WriteState({0, 1, c.owner, 1});
        WriteOwnerRecord(c.recordProcess == 0 ? 0 : c.owner, c.recordProcess, c.recordStamp);
        CStepGate hooks;
        hooks.FailOpenWith(c.openError);
        const std::unique_ptr<COptex> optex = Make(200, &hooks);
        const ULONGLONG start = ::GetTickCount64();
        const bool entered = Enters(*optex);
        EXPECT_EQ(c.enters, entered) << c.what;
        EXPECT_LT(::GetTickCount64() - start, 1000u) << c.what;
        if (entered)
        {
            EXPECT_EQ(1, ReadOptexState(m_name).lockCount) << c.what;
            optex->Leave();
        }
        else
        {
            EXPECT_EQ(c.owner, ReadOptexState(m_name).ownerThreadId) << c.what;
            EXPECT_EQ(1, ReadOptexState(m_name).lockCount) << c.what;
        }
        WriteState({0, 0, 0, 0});
    }
}

// Between judging the owner dead and taking the lock over, the id may pass to a new live owner:
// the takeover finds the record rewritten and gives the lock back.
TEST_F(OptexInterleaving, TakeoverGivesBackAnOwnerIdThatANewOwnerTookMeanwhile)
{
    CWatchdog watchdog(60000);
    const CLiveThread liveThread;
    const DWORD live = liveThread.Id();
    WriteState({0, 1, live, 1});
    WriteOwnerRecord(live, ::GetCurrentProcessId(), CreationStampOf(live) ^ 2);

    CStepGate gate(Step::OwnerDead, true);
    bool entered = true;
    CTestThread waiter([&] {
        const std::unique_ptr<COptex> optex = Make(300, &gate);
        entered = Enters(*optex);
        if (entered)
        {
            optex->Leave();
        }
    });
    ASSERT_TRUE(gate.WaitArrived());
    // The live thread becomes the owner under the same id, as a reused id would.
    WriteOwnerRecord(live, ::GetCurrentProcessId(), CreationStampOf(live));
    gate.Proceed();
    waiter.Join();
    EXPECT_FALSE(entered) << "the lock was taken from a live owner";
    EXPECT_EQ(live, ReadOptexState(m_name).ownerThreadId);
    EXPECT_EQ(1, ReadOptexState(m_name).lockCount);
}

// Two waiters judge one dead owner at once: one takes it over, the other waits its turn.
TEST_F(OptexInterleaving, TwoWaitersTakingOverOneDeadOwnerAdmitOneAtATime)
{
    CWatchdog watchdog(60000);
    DWORD gone = 0;
    std::thread([&] { gone = ::GetCurrentThreadId(); }).join();
    WriteState({0, 1, gone, 1});
    WriteOwnerRecord(0, 0, 0);

    CStepGate firstGate(Step::OwnerDead, true);
    CStepGate secondGate(Step::OwnerDead, true);
    std::atomic<int> entered(0);
    auto body = [&](CStepGate &gate) {
        const std::unique_ptr<COptex> optex = Make(3000, &gate);
        if (Enters(*optex))
        {
            m_inside.Enter();
            ::Sleep(20);
            ++entered;
            m_inside.Leave();
            optex->Leave();
        }
    };
    CTestThread first([&] { body(firstGate); });
    CTestThread second([&] { body(secondGate); });
    ASSERT_TRUE(firstGate.WaitArrived());
    ASSERT_TRUE(secondGate.WaitArrived());
    firstGate.Proceed();
    secondGate.Proceed();
    first.Join();
    second.Join();
    EXPECT_EQ(2, entered.load());
    EXPECT_EQ(1, m_inside.Most());
    EXPECT_EQ(0, ReadOptexState(m_name).lockCount);
    ExpectUsable();
}

} // namespace
