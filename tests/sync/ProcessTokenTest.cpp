#include "TestUtilities.h"

#include "win32/Exception.h"
#include "win32/ProcessToken.h"

#include <gtest/gtest.h>

using namespace Halyard::Win32;
using SyncTest::Thrown;

namespace {

// A private copy of the process token, so that tests can change its privileges freely.
HANDLE DuplicateProcessToken()
{
    HANDLE process = nullptr;
    HANDLE duplicate = nullptr;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process))
    {
        ::DuplicateTokenEx(process, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &duplicate);
        ::CloseHandle(process);
    }
    return duplicate;
}

struct ListedPrivilege
{
    std::wstring name;
    DWORD attributes;
};

// The token's privileges as the platform lists them, read without the class under test.
std::vector<ListedPrivilege> ListPrivileges(HANDLE token)
{
    DWORD length = 0;
    ::GetTokenInformation(token, TokenPrivileges, nullptr, 0, &length);
    std::vector<BYTE> buffer(length);
    std::vector<ListedPrivilege> listed;
    if (!::GetTokenInformation(token, TokenPrivileges, buffer.data(), length, &length))
    {
        return listed;
    }
    const TOKEN_PRIVILEGES *privileges = reinterpret_cast<const TOKEN_PRIVILEGES *>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
    {
        LUID luid = privileges->Privileges[i].Luid;
        wchar_t name[128] = {};
        DWORD nameLength = 128;
        if (::LookupPrivilegeNameW(nullptr, &luid, name, &nameLength))
        {
            listed.push_back({name, privileges->Privileges[i].Attributes});
        }
    }
    return listed;
}

// The name of a privilege the token lists with (or without) the enabled bit, or an empty name.
std::wstring FindPrivilege(HANDLE token, bool enabled)
{
    for (const ListedPrivilege &privilege : ListPrivileges(token))
    {
        if (((privilege.attributes & SE_PRIVILEGE_ENABLED) != 0) == enabled)
        {
            return privilege.name;
        }
    }
    return std::wstring();
}

} // namespace

TEST(ProcessToken, PrivilegeListFollowsTheToken)
{
    CProcessToken token;
    const std::vector<ListedPrivilege> listed = ListPrivileges(token.GetHandle());
    ASSERT_FALSE(listed.empty());
    for (const ListedPrivilege &privilege : listed)
    {
        EXPECT_TRUE(token.HasPrivilege(privilege.name)) << privilege.name;
        EXPECT_EQ((privilege.attributes & SE_PRIVILEGE_ENABLED) != 0, token.IsPrivilegeEnabled(privilege.name));
    }
    const CWin32Exception unknown = Thrown<CWin32Exception>([&] { token.HasPrivilege(L"SeNoSuchPrivilege"); });
    EXPECT_EQ(L"CSecurityPrivilege::GetPrivilegeValue()", unknown.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE), unknown.GetError());
}

TEST(ProcessToken, EnableAndDisableChangeTheToken)
{
    CProcessToken token(DuplicateProcessToken());
    ASSERT_TRUE(token.IsValid());
    const std::wstring name = FindPrivilege(token.GetHandle(), false);
    ASSERT_FALSE(name.empty()) << "the token has no disabled privilege to work with";
    const std::wstring enabled = FindPrivilege(token.GetHandle(), true);
    ASSERT_FALSE(enabled.empty());

    // A token opened for query only cannot be adjusted, so a true answer for an enabled privilege shows
    // that no adjustment was attempted, and a disabled one cannot be enabled through it.
    HANDLE queryOnly = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), token.GetHandle(), ::GetCurrentProcess(), &queryOnly,
                                  TOKEN_QUERY, FALSE, 0));
    CProcessToken queryToken(queryOnly);
    EXPECT_TRUE(queryToken.TryEnablePrivilege(enabled));
    EXPECT_FALSE(queryToken.TryEnablePrivilege(name));
    EXPECT_FALSE(queryToken.IsPrivilegeEnabled(name));

    EXPECT_TRUE(token.TryEnablePrivilege(name));
    EXPECT_TRUE(token.IsPrivilegeEnabled(name));
    token.DisablePrivilege(name);
    EXPECT_TRUE(token.HasPrivilege(name));
    EXPECT_FALSE(token.IsPrivilegeEnabled(name));
}
