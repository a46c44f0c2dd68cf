#include "TestUtilities.h"

#include "win32/Exception.h"
#include "win32/KernelObjectName.h"
#include "win32/SecurityDescriptor.h"

#include <gtest/gtest.h>

#include <vector>

using namespace Halyard::Win32;
using SyncTest::Thrown;

namespace {

// The only entry of a security descriptor's DACL, after checking that it allows Everyone.
const ACCESS_ALLOWED_ACE *EveryoneAce(PSECURITY_DESCRIPTOR sd, BOOL &defaulted)
{
    BOOL present = FALSE;
    ACL *dacl = nullptr;
    void *ace = nullptr;
    BYTE everyone[SECURITY_MAX_SID_SIZE] = {};
    DWORD everyoneSize = sizeof(everyone);
    if (!::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || dacl == nullptr ||
        dacl->AceCount != 1 || !::GetAce(dacl, 0, &ace) ||
        !::CreateWellKnownSid(WinWorldSid, nullptr, everyone, &everyoneSize))
    {
        return nullptr;
    }
    const ACCESS_ALLOWED_ACE *allowed = static_cast<const ACCESS_ALLOWED_ACE *>(ace);
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, allowed->Header.AceType);
    EXPECT_TRUE(::EqualSid(const_cast<DWORD *>(&allowed->SidStart), everyone));
    return allowed;
}

} // namespace

TEST(KernelObjectName, GlobalNameAcceptsFullNamesUpTo260Characters)
{
    const std::wstring name253(253, L'a');
    EXPECT_EQ(L"Global\\" + name253, CGlobalName(name253).GetName());

    const std::wstring name254(254, L'b');
    const CException e = Thrown<CException>([&] { const CGlobalName rejected(name254); });
    EXPECT_EQ(L"CKernelObjectNameImpl::CKernelObjectNameImpl()", e.GetWhere());
    EXPECT_EQ(L"Name is too long: 261 max is: 260 - \"Global\\" + name254 + L"\"", e.GetMessage());
    EXPECT_THROW(CUnqualifiedName(std::wstring(261, L'c')), CException);
}

TEST(KernelObjectName, NamespaceIsReadFromTheTextCaseSensitively)
{
    const struct
    {
        const wchar_t *text;
        bool global;
        bool local;
    } cases[] = {
        {L"Global\\TARN", true, false}, {L"global\\TARN", false, false}, {L"GlobalTARN", false, false},
        {L"Global", false, false},      {L"Local\\TARN", false, true},   {L"LOCAL\\TARN", false, false},
        {L"", false, false},
    };
    for (const auto &c : cases)
    {
        // An unqualified name keeps the text as given, so the tests see exactly that text.
        const CUnqualifiedName name(c.text);
        EXPECT_EQ(c.global, name.IsGlobalName()) << name.GetName();
        EXPECT_EQ(c.local, name.IsLocalName()) << name.GetName();
        EXPECT_EQ(!c.global && !c.local, name.IsUnqualifiedName()) << name.GetName();
    }
}

TEST(SecurityDescriptor, AllowAllOpensObjectsToEveryoneAndNamesNoOwner)
{
    CSecurityDescriptorAllowAll sd;
    ASSERT_TRUE(::IsValidSecurityDescriptor(&sd));
    BOOL defaulted = TRUE;
    const ACCESS_ALLOWED_ACE *ace = EveryoneAce(&sd, defaulted);
    ASSERT_NE(nullptr, ace);
    EXPECT_FALSE(defaulted);
    EXPECT_EQ(static_cast<ACCESS_MASK>(GENERIC_ALL), ace->Mask);
    PSID owner = &sd;
    BOOL ownerDefaulted = FALSE;
    ASSERT_TRUE(::GetSecurityDescriptorOwner(&sd, &owner, &ownerDefaulted));
    EXPECT_EQ(nullptr, owner);

    CSecurityAttributes sa(sd, false);
    const CSmartHandle event(::CreateEventW(&sa, FALSE, FALSE, nullptr));
    ASSERT_TRUE(event.IsValid());
    DWORD needed = 0;
    ::GetKernelObjectSecurity(event.GetHandle(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    ASSERT_TRUE(::GetKernelObjectSecurity(event.GetHandle(), DACL_SECURITY_INFORMATION, buffer.data(), needed, &needed));
    EXPECT_NE(nullptr, EveryoneAce(buffer.data(), defaulted));
}
