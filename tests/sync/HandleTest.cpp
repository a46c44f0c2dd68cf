#include "tests/support/Expect.h"
#include "win32/SmartHandle.h"

#include <gtest/gtest.h>

#include <utility>

using namespace Halyard::Win32;
using Halyard::Testing::ExpectException;

TEST(SmartHandle, CopiesDuplicateMovesAndReleasesHandOver)
{
    CSmartHandle original(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CSmartHandle copy(original);
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
    ExpectException([&] { moved.Wait(0); }, L"IWaitable::Wait()", L"Handle is invalid");

    {
        CSmartHandle handle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ::SetLastError(ERROR_BAD_LENGTH);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_LENGTH), ::GetLastError()) << "the destructor keeps the last error";
}
