#include "TestUtilities.h"

#include "win32/Event.h"
#include "win32/Exception.h"
#include "win32/Semaphore.h"
#include "win32/SmartHandle.h"

#include <gtest/gtest.h>

#include <utility>

using namespace Halyard::Win32;
using SyncTest::Thrown;
using SyncTest::UniqueName;

namespace {

HANDLE NewEvent()
{
    return ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

} // namespace

TEST(SmartHandle, EmptyHandleIsInvalidAndCannotBeWaitedOn)
{
    CSmartHandle empty;
    EXPECT_FALSE(empty.IsValid());
    EXPECT_EQ(INVALID_HANDLE_VALUE, empty.GetHandle());
    EXPECT_NO_THROW(empty.Close());
    {
        const CException e = Thrown<CException>([&] { empty.Wait(0); });
        EXPECT_EQ(L"IWaitable::Wait()", e.GetWhere());
        EXPECT_EQ(L"Handle is invalid", e.GetMessage());
    }
    EXPECT_FALSE(CSmartHandle(nullptr).IsValid());
}

TEST(SmartHandle, CopyDuplicatesSoEachOwnsItsOwnHandle)
{
    CSmartHandle original(NewEvent());
    ASSERT_TRUE(original.IsValid());
    CSmartHandle copy(original);
    ASSERT_TRUE(copy.IsValid());
    EXPECT_NE(original.GetHandle(), copy.GetHandle());

    original.Close();
    EXPECT_FALSE(original.IsValid());
    ASSERT_TRUE(::SetEvent(copy.GetHandle()));
    EXPECT_TRUE(copy.IsSignalled());

    CSmartHandle assigned;
    assigned = copy;
    EXPECT_NE(copy.GetHandle(), assigned.GetHandle());
    EXPECT_TRUE(assigned.Wait(0));
}

TEST(SmartHandle, MoveAndReleaseHandOwnershipOver)
{
    CSmartHandle first(NewEvent());
    const HANDLE raw = first.GetHandle();
    CSmartHandle second(std::move(first));
    EXPECT_FALSE(first.IsValid());
    EXPECT_EQ(raw, second.GetHandle());

    second = raw; // the same handle: kept, not closed
    EXPECT_TRUE(::SetEvent(raw));

    const HANDLE released = second.Release();
    EXPECT_FALSE(second.IsValid());
    EXPECT_TRUE(::CloseHandle(released));
}

TEST(SmartHandle, DestructorKeepsTheLastError)
{
    {
        CSmartHandle handle(NewEvent());
        ::SetLastError(ERROR_BAD_LENGTH);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_LENGTH), ::GetLastError());
}

TEST(Event, WaitReportsSignalledStateWithoutBlocking)
{
    CAutoResetEvent autoReset;
    EXPECT_FALSE(autoReset.Wait(0));
    EXPECT_FALSE(autoReset.IsSignalled());
    autoReset.Set();
    EXPECT_TRUE(autoReset.IsSignalled());
    EXPECT_FALSE(autoReset.IsSignalled()) << "an auto-reset event releases one wait per Set";

    CEvent manual(nullptr, CEvent::ManualReset, CEvent::Signalled);
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
    manual.Reset();
    EXPECT_FALSE(manual.IsSignalled());
}

TEST(Event, NamedCreationModes)
{
    const CUnqualifiedName name(UniqueName(L"Event"));
    CEvent created(nullptr, CEvent::ManualReset, CEvent::NotSignalled, name, CreateNew);

    {
        const CWin32Exception e = Thrown<CWin32Exception>([&] {
            CEvent again(nullptr, CEvent::ManualReset, CEvent::NotSignalled, name, CreateNew);
        });
        EXPECT_EQ(L"CEvent::Create()", e.GetWhere());
        EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), e.GetError());
    }

    CEvent opened(nullptr, name);
    opened.Set();
    EXPECT_TRUE(created.IsSignalled()) << "the opened event is the same object";

    CAutoResetEvent createOrOpen(name);
    EXPECT_TRUE(createOrOpen.IsSignalled());

    {
        const CWin32Exception e = Thrown<CWin32Exception>([&] {
            CEvent missing(nullptr, CUnqualifiedName(UniqueName(L"MissingEvent")));
        });
        EXPECT_EQ(L"CEvent::Create()", e.GetWhere());
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), e.GetError());
    }
}

TEST(Semaphore, IncrementReturnsThePreviousCount)
{
    CSemaphore semaphore(1, 10);
    EXPECT_EQ(1, semaphore.Increment(2));
    EXPECT_TRUE(semaphore.Wait(0));
    EXPECT_TRUE(semaphore.Wait(0));
    EXPECT_TRUE(semaphore.Wait(0));
    EXPECT_FALSE(semaphore.Wait(0));
    EXPECT_THROW(semaphore.Increment(11), CWin32Exception);
}

TEST(Semaphore, OpenOnlyCreationOfAMissingSemaphoreLeavesNothingBehind)
{
    const CUnqualifiedName name(UniqueName(L"Semaphore"));
    {
        const CWin32Exception e = Thrown<CWin32Exception>([&] {
            CSemaphore missing(nullptr, 0, 1, name, OpenExisting);
        });
        EXPECT_EQ(L"CSemaphore::Create()", e.GetWhere());
        EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), e.GetError());
    }
    EXPECT_EQ(nullptr, ::OpenSemaphoreW(SYNCHRONIZE, FALSE, name.GetName().c_str()));
    EXPECT_THROW(CSemaphore(name, CSemaphore::SynchronizeAccess), CWin32Exception);

    CSemaphore created(nullptr, 0, 5, name, CreateNew);
    CSemaphore openedByCreate(nullptr, 0, 5, name, OpenExisting);
    CSemaphore opened(name, CSemaphore::AllAccess);
    opened.Increment(1);
    EXPECT_TRUE(created.Wait(0));
    EXPECT_THROW(CSemaphore(nullptr, 0, 5, name, CreateNew), CWin32Exception);
}
