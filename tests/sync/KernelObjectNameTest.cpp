#include "TestUtilities.h"

#include "win32/Exception.h"
#include "win32/KernelObjectName.h"
#include "win32/SecurityDescriptor.h"

#include <gtest/gtest.h>

#include <vector>

using namespace Halyard::Win32;
using SyncTest::Thrown;

TEST(KernelObjectName, GlobalNameAcceptsFullNamesUpTo260Characters)
{
    const std::wstring name253(253, L'a');
    const CGlobalName accepted(name253);
    EXPECT_EQ(L"Global\\" + name253, accepted.GetName());

    const std::wstring name254(254, L'b');
    {
        const CException e = Thrown<CException>([&] { const CGlobalName rejected(name254); });
        EXPECT_EQ(L"CKernelObjectNameImpl::CKernelObjectNameImpl()", e.GetWhere());
        EXPECT_EQ(L"Name is too long: 261 max is: 260 - \"Global\\" + name254 + L"\"", e.GetMessage());
    }
    EXPECT_THROW(CUnqualifiedName(std::wstring(261, L'c')), CException);
}

TEST(KernelObjectName, NamespaceIsReadFromTheTextCaseSensitively)
{
    struct Case
    {
        const wchar_t *text;
        bool global;
        bool local;
    };
    const Case cases[] = {
        {L"Global\\TARN", true, false}, {L"global\\TARN", false, false}, {L"GlobalTARN", false, false},
        {L"Global", false, false},      {L"Local\\TARN", false, true},   {L"LOCAL\\TARN", false, false},
        {L"", false, false},
    };
    for (const Case &c : cases)
    {
        // An unqualified name keeps the text as given, so the tests see exactly that text.
        const CUnqualifiedName name(c.text);
        EXPECT_EQ(c.global, name.IsGlobalName()) << name.GetName();
        EXPECT_EQ(c.local, name.IsLocalName()) << name.GetName();
        EXPECT_EQ(!c.global && !c.local, name.IsUnqualifiedName()) << name.GetName();
    }
    EXPECT_TRUE(CGlobalName(L"TARN").IsGlobalName());
}

TEST(KernelObjectName, CopiesKeepTheTextWithoutLengthTest)
{
    class LongName : public IKernelObjectName
    {
    public:
        std::wstring GetName() const override { return std::wstring(300, L'x'); }
        bool IsGlobalName() const override { return false; }
        bool IsLocalName() const override { return false; }
        bool IsUnqualifiedName() const override { return true; }
    };
    const LongName longName;
    const CKernelObjectNameImpl copy(longName);
    EXPECT_EQ(300u, copy.GetName().size());

    CKernelObjectNameImpl assigned(L"first");
    assigned = static_cast<const IKernelObjectName &>(CGlobalName(L"second"));
    EXPECT_EQ(L"Global\\second", assigned.GetName());
    EXPECT_TRUE(assigned.IsGlobalName());
}

TEST(SecurityDescriptor, AllowAllGrantsEveryoneAllAccessAndNamesNoOwner)
{
    CSecurityDescriptorAllowAll sd;
    ASSERT_TRUE(::IsValidSecurityDescriptor(&sd));

    BOOL present = FALSE;
    BOOL defaulted = TRUE;
    ACL *dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_FALSE(defaulted);
    ASSERT_NE(nullptr, dacl);
    ASSERT_EQ(1, dacl->AceCount);

    void *ace = nullptr;
    ASSERT_TRUE(::GetAce(dacl, 0, &ace));
    const ACCESS_ALLOWED_ACE *allowed = static_cast<const ACCESS_ALLOWED_ACE *>(ace);
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, allowed->Header.AceType);
    EXPECT_EQ(static_cast<ACCESS_MASK>(GENERIC_ALL), allowed->Mask);
    BYTE everyone[SECURITY_MAX_SID_SIZE] = {};
    DWORD everyoneSize = sizeof(everyone);
    ASSERT_TRUE(::CreateWellKnownSid(WinWorldSid, nullptr, everyone, &everyoneSize));
    EXPECT_TRUE(::EqualSid(const_cast<DWORD *>(&allowed->SidStart), everyone));

    PSID owner = &sd;
    BOOL ownerDefaulted = FALSE;
    ASSERT_TRUE(::GetSecurityDescriptorOwner(&sd, &owner, &ownerDefaulted));
    EXPECT_EQ(nullptr, owner);
}

TEST(SecurityDescriptor, ObjectsCreatedWithTheAttributesAreOpenToEveryone)
{
    CSecurityDescriptorAllowAll sd;
    CSecurityAttributes sa(sd, false);
    const HANDLE event = ::CreateEventW(&sa, FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);

    DWORD needed = 0;
    ::GetKernelObjectSecurity(event, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    ASSERT_TRUE(::GetKernelObjectSecurity(event, DACL_SECURITY_INFORMATION, buffer.data(), needed, &needed));
    ::CloseHandle(event);

    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    ACL *dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(buffer.data(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(nullptr, dacl);
    ASSERT_EQ(1, dacl->AceCount);
    void *ace = nullptr;
    ASSERT_TRUE(::GetAce(dacl, 0, &ace));
    BYTE everyone[SECURITY_MAX_SID_SIZE] = {};
    DWORD everyoneSize = sizeof(everyone);
    ASSERT_TRUE(::CreateWellKnownSid(WinWorldSid, nullptr, everyone, &everyoneSize));
    EXPECT_TRUE(::EqualSid(&static_cast<ACCESS_ALLOWED_ACE *>(ace)->SidStart, everyone));
}
