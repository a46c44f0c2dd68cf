#include "TestUtilities.h"

#include "win32/Exception.h"
#include "win32/ProcessToken.h"

#include <gtest/gtest.h>

#include <algorithm>

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

bool PlatformHasDisplayNames()
{
    wchar_t text[256] = {};
    DWORD length = 256;
    DWORD languageId = 0;
    return ::LookupPrivilegeDisplayNameW(nullptr, L"SeShutdownPrivilege", text, &length, &languageId) != FALSE;
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

    if (!PlatformHasDisplayNames())
    {
        // Without display names the list is reported as a failure, not filled with invented text.
        EXPECT_THROW(token.GetPrivileges(), CWin32Exception);
        return;
    }
    const std::vector<CProcessToken::Privilege> privileges = token.GetPrivileges();
    ASSERT_EQ(listed.size(), privileges.size());
    for (size_t i = 0; i < listed.size(); ++i)
    {
        EXPECT_EQ(listed[i].name, privileges[i].name);
        EXPECT_EQ((listed[i].attributes & SE_PRIVILEGE_ENABLED) != 0, privileges[i].enabled);
        EXPECT_EQ((listed[i].attributes & SE_PRIVILEGE_ENABLED_BY_DEFAULT) != 0, privileges[i].enabledByDefault);
        EXPECT_FALSE(privileges[i].displayName.empty());
    }
}

TEST(ProcessToken, EnableDisableAndRemoveChangeTheToken)
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
    const CWin32Exception e = Thrown<CWin32Exception>([&] { queryToken.EnablePrivilege(name); });
    EXPECT_EQ(L"CProcessToken::EnablePrivilege()", e.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), e.GetError());

    EXPECT_TRUE(token.TryEnablePrivilege(name));
    EXPECT_TRUE(token.IsPrivilegeEnabled(name));
    token.DisablePrivilege(name);
    EXPECT_TRUE(token.HasPrivilege(name));
    EXPECT_FALSE(token.IsPrivilegeEnabled(name));
    token.EnablePrivilege(name);
    EXPECT_TRUE(token.IsPrivilegeEnabled(name));

    token.RemovePrivilege(name);
    EXPECT_FALSE(token.HasPrivilege(name));
    EXPECT_FALSE(token.IsPrivilegeEnabled(name));
    EXPECT_FALSE(token.TryEnablePrivilege(name));
    const std::vector<ListedPrivilege> listed = ListPrivileges(token.GetHandle());
    EXPECT_TRUE(std::none_of(listed.begin(), listed.end(),
                             [&name](const ListedPrivilege &p) { return p.name == name; }));
}
