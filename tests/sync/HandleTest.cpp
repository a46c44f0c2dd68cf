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

TEST(SmartHandle, CopiesDuplicateMovesAndReleasesHandOver)
{
    CSmartHandle original(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CSmartHandle copy(original);
    ASSERT_TRUE(copy.IsValid());
    EXPECT_NE(original.GetHandle(), copy.GetHandle());
    original.Close();
    ASSERT_TRUE(::SetEvent(copy.GetHandle())) << "the copy owns its own handle";
    CSmartHandle assigned;
    assigned = copy;
    EXPECT_NE(copy.GetHandle(), assigned.GetHandle());
    EXPECT_TRUE(assigned.Wait(0));

    const HANDLE raw = assigned.GetHandle();
    CSmartHandle moved(std::move(assigned));
    EXPECT_FALSE(assigned.IsValid());
    moved = raw; // the same handle: kept, not closed
    EXPECT_TRUE(::SetEvent(raw));
    EXPECT_TRUE(::CloseHandle(moved.Release()));
    EXPECT_FALSE(moved.IsValid());

    const CException e = Thrown<CException>([&] { moved.Wait(0); });
    EXPECT_EQ(L"IWaitable::Wait()", e.GetWhere());
    EXPECT_EQ(L"Handle is invalid", e.GetMessage());
    {
        CSmartHandle handle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ::SetLastError(ERROR_BAD_LENGTH);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_LENGTH), ::GetLastError()) << "the destructor keeps the last error";
}

TEST(Event, NamedCreationModes)
{
    const CUnqualifiedName name(UniqueName(L"SyncEvent"));
    CEvent created(nullptr, CEvent::ManualReset, CEvent::NotSignalled, name, CreateNew);
    const CWin32Exception exists = Thrown<CWin32Exception>(
        [&] { CEvent again(nullptr, CEvent::ManualReset, CEvent::NotSignalled, name, CreateNew); });
    EXPECT_EQ(L"CEvent::Create()", exists.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), exists.GetError());

    CEvent(nullptr, name).Set();
    EXPECT_TRUE(created.IsSignalled()) << "the opened event is the same object";
    EXPECT_TRUE(CAutoResetEvent(name).IsSignalled());

    const CWin32Exception missing = Thrown<CWin32Exception>(
        [&] { CEvent opened(nullptr, CUnqualifiedName(UniqueName(L"SyncMissingEvent"))); });
    EXPECT_EQ(L"CEvent::Create()", missing.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), missing.GetError());
}

TEST(Semaphore, OpenOnlyCreationOfAMissingSemaphoreLeavesNothingBehind)
{
    const CUnqualifiedName name(UniqueName(L"SyncSemaphore"));
    const CWin32Exception e = Thrown<CWin32Exception>([&] { CSemaphore missing(nullptr, 0, 1, name, OpenExisting); });
    EXPECT_EQ(L"CSemaphore::Create()", e.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), e.GetError());
    EXPECT_EQ(nullptr, ::OpenSemaphoreW(SYNCHRONIZE, FALSE, name.GetName().c_str()));
    EXPECT_THROW(CSemaphore(name, CSemaphore::SynchronizeAccess), CWin32Exception);

    CSemaphore created(nullptr, 1, 5, name, CreateNew);
    CSemaphore(nullptr, 0, 5, name, OpenExisting).Increment(1);
    EXPECT_EQ(2, CSemaphore(name, CSemaphore::AllAccess).Increment(2)) << "Increment returns the previous count";
    EXPECT_THROW(created.Increment(2), CWin32Exception);
    EXPECT_THROW(CSemaphore(nullptr, 0, 5, name, CreateNew), CWin32Exception);
}
