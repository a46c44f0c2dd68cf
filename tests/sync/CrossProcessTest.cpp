// Behaviour that only shows with a second real process: sync_helper.exe, started beside this program.
#include "TestUtilities.h"

#include "win32/CriticalSection.h"
#include "win32/Event.h"
#include "win32/Exception.h"
#include "win32/Optex.h"
#include "win32/Semaphore.h"
#include "win32/SharedMemory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace Halyard::Win32;
using Halyard::Testing::CChildProcess;
using SyncTest::OptexState;
using SyncTest::ReadOptexState;
using SyncTest::UniqueName;

namespace {

const DWORD kSpinCount = 4000;

CEvent NewEvent(const std::wstring &name)
{
    return CEvent(nullptr, CEvent::ManualReset, CEvent::NotSignalled, CUnqualifiedName(name), CreateNew);
}

} // namespace

TEST(CrossProcess, OptexHeldInOneProcessBlocksTheOther)
{
    const std::wstring name = UniqueName(L"SyncOptex");
    const std::wstring readyName = UniqueName(L"SyncReady");
    const std::wstring releaseName = UniqueName(L"SyncRelease");
    COptex optex(CUnqualifiedName(name), nullptr, kSpinCount);
    CEvent ready = NewEvent(readyName);
    CEvent release = NewEvent(releaseName);

    CChildProcess helper(L"sync_helper.exe", L"optex-hold " + name + L" " + readyName + L" " + releaseName);
    ASSERT_TRUE(ready.Wait(60000)) << "the helper did not take the lock";

    // The helper's entry is visible in the shared state, byte for byte.
    const OptexState held = ReadOptexState(name);
    EXPECT_EQ(1, held.lockCount);
    EXPECT_EQ(1, held.recursion);
    EXPECT_NE(0u, held.ownerThreadId);
    EXPECT_NE(::GetCurrentThreadId(), held.ownerThreadId);
    EXPECT_FALSE(optex.TryEnter());

    std::atomic<bool> entered(false);
    std::thread waiter([&] {
        ICriticalSection::Owner owner(optex);
        entered = true;
    });
    ::Sleep(300);
    EXPECT_FALSE(entered.load()) << "Enter returned while the other process held the lock";

    release.Set();
    EXPECT_EQ(0u, helper.Wait(120000));
    waiter.join();
    EXPECT_TRUE(entered.load());
    const OptexState after = ReadOptexState(name);
    EXPECT_EQ(0, after.lockCount);
    EXPECT_EQ(0u, after.ownerThreadId);
}

TEST(CrossProcess, CounterGuardedByASharedOptexIsExactAcrossProcesses)
{
    const unsigned long rounds = 100000;
    const std::wstring name = UniqueName(L"SyncCountLock");
    const std::wstring memoryName = UniqueName(L"SyncCountMemory");
    const std::wstring readyName = UniqueName(L"SyncCountReady");
    const std::wstring startName = UniqueName(L"SyncCountStart");
    COptex optex(CUnqualifiedName(name), nullptr, kSpinCount);
    CSharedMemory memory(CUnqualifiedName(memoryName), sizeof(LONG), CSharedMemory::ReadWrite, false, nullptr);
    CSemaphore ready(nullptr, 0, 2, CUnqualifiedName(readyName), CreateNew);
    CEvent start = NewEvent(startName);

    const std::wstring arguments = L"optex-count " + name + L" " + memoryName + L" " + std::to_wstring(rounds) +
                                   L" " + readyName + L" " + startName;
    CChildProcess first(L"sync_helper.exe", arguments);
    CChildProcess second(L"sync_helper.exe", arguments);

    // All three processes start counting together, so that they contend for the lock.
    ASSERT_TRUE(ready.Wait(60000) && ready.Wait(60000)) << "the helpers did not get ready";
    volatile LONG *counter = static_cast<volatile LONG *>(memory.GetMemory());
    start.Set();
    for (unsigned long i = 0; i < rounds; ++i)
    {
        ICriticalSection::Owner owner(optex);
        SyncTest::IncrementUnsafely(counter);
    }
    EXPECT_EQ(0u, first.Wait(120000));
    EXPECT_EQ(0u, second.Wait(120000));

    EXPECT_EQ(static_cast<LONG>(3 * rounds), *counter);
    const OptexState state = ReadOptexState(name);
    EXPECT_EQ(0, state.lockCount);
    EXPECT_EQ(0u, state.ownerThreadId);
}

TEST(CrossProcess, OpenerWithAnotherSizeFailsAndLeavesTheSectionAlone)
{
    const std::wstring name = UniqueName(L"SyncSized");
    CSharedMemory memory(CUnqualifiedName(name), 64, CSharedMemory::ReadWrite, false, nullptr);
    std::memcpy(memory.GetMemory(), "block layout", 13);

    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_LENGTH), CChildProcess(L"sync_helper.exe", L"shm-open " + name + L" 32").Wait());
    EXPECT_EQ(0u, CChildProcess(L"sync_helper.exe", L"shm-open " + name + L" 64").Wait());

    EXPECT_EQ(64u, *(static_cast<const DWORD *>(memory.GetMemory()) - 1));
    EXPECT_STREQ("block layout", static_cast<const char *>(memory.GetMemory()));
    const CSharedMemory reopened(CUnqualifiedName(name), CSharedMemory::ReadOnly);
    EXPECT_EQ(64u, reopened.GetSize());
}
