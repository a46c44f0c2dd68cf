#include "tests/support/Expect.h"
#include "win32/KernelObjectName.h"
#include "win32/SecurityDescriptor.h"

#include <gtest/gtest.h>

using namespace Halyard::Win32;
using Halyard::Testing::ExpectException;

namespace {

// True when the descriptor's DACL has exactly one entry, allowing Everyone the access.
bool AllowsEveryoneOnly(PSECURITY_DESCRIPTOR sd, ACCESS_MASK access)
{
    BOOL present = FALSE;
    BOOL defaulted = TRUE;
    ACL *dacl = nullptr;
    void *ace = nullptr;
    BYTE everyone[SECURITY_MAX_SID_SIZE] = {};
    DWORD everyoneSize = sizeof(everyone);
    if (!::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || dacl == nullptr ||
        dacl->AceCount != 1 || !::GetAce(dacl, 0, &ace) ||
        !::CreateWellKnownSid(WinWorldSid, nullptr, everyone, &everyoneSize))
    {
        return false;
    }
    ACCESS_ALLOWED_ACE *allowed = static_cast<ACCESS_ALLOWED_ACE *>(ace);
    return allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && ::EqualSid(&allowed->SidStart, everyone) &&
           (allowed->Mask & access) == access;
}

} // namespace

TEST(KernelObjectName, GlobalNamesAreFullNamesOfAtMost260Characters)
{
    const std::wstring name253(253, L'a');
    EXPECT_EQ(L"Global\\" + name253, CGlobalName(name253).GetName());
    const std::wstring name254(254, L'b');
    ExpectException([&] { const CGlobalName rejected(name254); }, L"CKernelObjectNameImpl::CKernelObjectNameImpl()",
                    L"Name is too long: 261 max is: 260 - \"Global\\" + name254 + L"\"");
    EXPECT_THROW(CUnqualifiedName(std::wstring(261, L'c')), CException);

    // The namespace is read from the text, case-sensitively.
    for (const wchar_t *text : {L"global\\TARN", L"GlobalTARN", L"Global", L"Local\\TARN", L""})
    {
        EXPECT_FALSE(CUnqualifiedName(text).IsGlobalName()) << text;
    }
    EXPECT_TRUE(CUnqualifiedName(L"Global\\TARN").IsGlobalName());
}

TEST(SecurityDescriptor, AllowAllOpensObjectsToEveryoneAndNamesNoOwner)
{
    CSecurityDescriptorAllowAll sd;
    ASSERT_TRUE(::IsValidSecurityDescriptor(&sd));
    EXPECT_TRUE(AllowsEveryoneOnly(&sd, GENERIC_ALL));
    PSID owner = &sd;
    BOOL ownerDefaulted = FALSE;
    ASSERT_TRUE(::GetSecurityDescriptorOwner(&sd, &owner, &ownerDefaulted));
    EXPECT_EQ(nullptr, owner);

}
