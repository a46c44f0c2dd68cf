#include "win32/Exception.h"

#include <gtest/gtest.h>

using namespace Halyard::Win32;

TEST(CWin32Exception, MessageIsTheSystemTextWithoutLineEnd)
{
    const CWin32Exception e(L"Where()", L"Opening", ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(L"Where()", e.GetWhere());
    EXPECT_EQ(L"Opening - " + GetLastErrorMessage(ERROR_FILE_NOT_FOUND, true), e.GetMessage());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), e.GetError());
    const std::wstring message = e.GetMessage();
    ASSERT_FALSE(message.empty());
    EXPECT_NE(L'\n', message.back());
}

TEST(CWin32Exception, MessageOnlyFormReportsErrorZero)
{
    const CWin32Exception e(L"Where()", L"Broken");
    EXPECT_EQ(L"Broken", e.GetMessage());
    EXPECT_EQ(0u, e.GetError());
}

TEST(CException, CallStackIsNotCollected)
{
    EXPECT_EQ(L"Callstack collection not enabled", CException(L"w", L"m").GetCallStack());
}
