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

TEST(GetLastErrorMessage, StripsOnlyWhenAsked)
{
    const std::wstring kept = GetLastErrorMessage(ERROR_ACCESS_DENIED, false);
    const std::wstring stripped = GetLastErrorMessage(ERROR_ACCESS_DENIED, true);
    ASSERT_GE(kept.size(), 2u);
    EXPECT_EQ(L"\r\n", kept.substr(kept.size() - 2));
    EXPECT_EQ(kept.substr(0, kept.size() - 2), stripped);
    EXPECT_EQ(std::string(stripped.begin(), stripped.end()), GetLastErrorMessageA(ERROR_ACCESS_DENIED, true));
}

TEST(GetLastErrorMessage, UnknownCodeGivesTheTextOfTheLookupFailure)
{
    const DWORD unknown = 0x2FFFFFF0;
    const std::wstring text = GetLastErrorMessage(unknown, true);
    ASSERT_FALSE(text.empty());
    // The system reports its own failure with a different error, whose text is returned.
    EXPECT_EQ(GetLastErrorMessage(ERROR_MR_MID_NOT_FOUND, true), text);
}

TEST(CWin32Exception, ErrorOnlyFormCarriesTheSystemText)
{
    const CWin32Exception e(L"CThing::Open()", ERROR_ACCESS_DENIED);
    EXPECT_EQ(L"CThing::Open()", e.GetWhere());
    EXPECT_EQ(GetLastErrorMessage(ERROR_ACCESS_DENIED, true), e.GetMessage());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), e.GetError());
    EXPECT_EQ(L"Callstack collection not enabled", e.GetCallStack());
}
