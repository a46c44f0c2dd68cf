#include "tests/support/Expect.h"
#include "win32/ProcessToken.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Halyard::Win32;
using Halyard::Testing::ExpectWin32Exception;

namespace {

// The name of a privilege the token lists with (or without) the enabled bit, read without the class
// under test; empty when there is none.
std::wstring FindPrivilege(HANDLE token, bool enabled)
{
    DWORD length = 0;
    ::GetTokenInformation(token, TokenPrivileges, nullptr, 0, &length);
    std::vector<BYTE> buffer(length);
    if (!::GetTokenInformation(token, TokenPrivileges, buffer.data(), length, &length))
    {
        return std::wstring();
    }
    const TOKEN_PRIVILEGES *privileges = reinterpret_cast<const TOKEN_PRIVILEGES *>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
    {
        LUID luid = privileges->Privileges[i].Luid;
        wchar_t name[128] = {};
        DWORD nameLength = 128;
        if (((privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0) == enabled &&
            ::LookupPrivilegeNameW(nullptr, &luid, name, &nameLength))
        {
            return name;
        }
    }
    return std::wstring();
}

} // namespace

TEST(ProcessToken, EnableAndDisableChangeTheToken)
{
    // A private copy of the process token, so that its privileges can be changed freely.
    HANDLE process = nullptr;
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process));
    ::DuplicateTokenEx(process, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &duplicate);
    ::CloseHandle(process);
    CProcessToken token(duplicate);
    ASSERT_TRUE(token.IsValid());
    const std::wstring disabled = FindPrivilege(token.GetHandle(), false);
    const std::wstring enabled = FindPrivilege(token.GetHandle(), true);
    ASSERT_FALSE(disabled.empty() || enabled.empty()) << "the token needs an enabled and a disabled privilege";
    EXPECT_TRUE(token.HasPrivilege(disabled));
    EXPECT_TRUE(token.IsPrivilegeEnabled(enabled));
    EXPECT_FALSE(token.IsPrivilegeEnabled(disabled));

    // A token opened for query only cannot be adjusted, so a true answer for an enabled privilege shows
    // that no adjustment was attempted, and a disabled one cannot be enabled through it.
    HANDLE queryOnly = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), token.GetHandle(), ::GetCurrentProcess(), &queryOnly,
                                  TOKEN_QUERY, FALSE, 0));
    CProcessToken queryToken(queryOnly);
    EXPECT_TRUE(queryToken.TryEnablePrivilege(enabled));
    EXPECT_FALSE(queryToken.TryEnablePrivilege(disabled));
    EXPECT_FALSE(queryToken.IsPrivilegeEnabled(disabled));

    EXPECT_TRUE(token.TryEnablePrivilege(disabled));
    EXPECT_TRUE(token.IsPrivilegeEnabled(disabled));
    token.DisablePrivilege(disabled);
    EXPECT_TRUE(token.HasPrivilege(disabled));
    EXPECT_FALSE(token.IsPrivilegeEnabled(disabled));

    ExpectWin32Exception([&] { token.HasPrivilege(L"SeNoSuchPrivilege"); },
                         L"CSecurityPrivilege::GetPrivilegeValue()", ERROR_NO_SUCH_PRIVILEGE);
}
