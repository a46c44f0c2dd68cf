#include "win32/Exception.h"

#include <gtest/gtest.h>

using namespace Halyard::Win32;

TEST(CWin32Exception, MessageIsTheSystemTextWithoutLineEnd)
{
    const CWin32Exception both(L"Where()", L"Opening", ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(L"Where()", both.GetWhere());
    EXPECT_EQ(L"Opening - " + GetLastErrorMessage(ERROR_FILE_NOT_FOUND, true), both.GetMessage());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), both.GetError());

    const CWin32Exception errorOnly(L"CThing::Open()", ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetLastErrorMessage(ERROR_ACCESS_DENIED, true), errorOnly.GetMessage());

    const CWin32Exception messageOnly(L"Where()", L"Broken");
    EXPECT_EQ(L"Broken", messageOnly.GetMessage());
    EXPECT_EQ(0u, messageOnly.GetError());
}

TEST(GetLastErrorMessage, StripsOnlyWhenAsked)
{
    const std::wstring kept = GetLastErrorMessage(ERROR_ACCESS_DENIED, false);
    const std::wstring stripped = GetLastErrorMessage(ERROR_ACCESS_DENIED, true);
    ASSERT_GE(kept.size(), 2u);
    EXPECT_EQ(L"\r\n", kept.substr(kept.size() - 2));
    EXPECT_EQ(kept.substr(0, kept.size() - 2), stripped);
    EXPECT_EQ(std::string(stripped.begin(), stripped.end()), GetLastErrorMessageA(ERROR_ACCESS_DENIED, true));
    // The system reports its own failure to find a text with a different error, whose text is returned.
    EXPECT_EQ(GetLastErrorMessage(ERROR_MR_MID_NOT_FOUND, true), GetLastErrorMessage(0x2FFFFFF0, true));
}
