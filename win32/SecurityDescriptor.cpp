#include "win32/SecurityDescriptor.h"

#include "win32/Exception.h"

namespace Halyard {
namespace Win32 {

namespace {

// Frees the Everyone SID however the constructor leaves.
struct SidDeleter
{
    void operator()(void *sid) const
    {
        const CLastErrorKeeper lastError;
        ::FreeSid(sid);
    }
};

using SidPtr = std::unique_ptr<void, SidDeleter>;

// The ACL header and the fixed part of one access-allowed entry, ahead of the SID.
const DWORD kAclOverhead = 16;

} // namespace

CSecurityDescriptor::CSecurityDescriptor(DWORD revision)
    : SECURITY_DESCRIPTOR()
{
    if (!::InitializeSecurityDescriptor(static_cast<SECURITY_DESCRIPTOR *>(this), revision))
    {
        throw CWin32Exception(L"CSecurityDescriptor::CSecurityDescriptor() - InitializeSecurityDescriptor",
                              ::GetLastError());
    }
}

CSecurityDescriptorAllowAll::CSecurityDescriptorAllowAll()
    : CSecurityDescriptor(SECURITY_DESCRIPTOR_REVISION)
{
    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    PSID rawSid = nullptr;
    if (!::AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &rawSid))
    {
        throw CWin32Exception(L"CSecurityDescriptorAllowAll::CSecurityDescriptorAllowAll() - AllocateAndInitializeSid",
                              ::GetLastError());
    }
    const SidPtr sid(rawSid);

    const DWORD aclSize = ::GetLengthSid(sid.get()) + kAclOverhead;
    m_acl.reset(new BYTE[aclSize]());
    ACL *acl = reinterpret_cast<ACL *>(m_acl.get());
    if (!::InitializeAcl(acl, aclSize, ACL_REVISION))
    {
        throw CWin32Exception(L"CSecurityDescriptorAllowAll::CSecurityDescriptorAllowAll() - InitializeAcl",
                              ::GetLastError());
    }
    if (!::SetSecurityDescriptorDacl(static_cast<SECURITY_DESCRIPTOR *>(this), TRUE, acl, FALSE))
    {
        throw CWin32Exception(L"CSecurityDescriptorAllowAll::CSecurityDescriptorAllowAll() - SetSecurityDescriptorDacl",
                              ::GetLastError());
    }
    if (!::AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid.get()))
    {
        throw CWin32Exception(L"CSecurityDescriptorAllowAll::CSecurityDescriptorAllowAll() - AddAccessAllowedAce",
                              ::GetLastError());
    }
}

CSecurityAttributes::CSecurityAttributes(bool inherit)
    : SECURITY_ATTRIBUTES()
{
    nLength = sizeof(SECURITY_ATTRIBUTES);
    lpSecurityDescriptor = nullptr;
    bInheritHandle = inherit ? TRUE : FALSE;
}

CSecurityAttributes::CSecurityAttributes(CSecurityDescriptor &sd, bool inherit)
    : SECURITY_ATTRIBUTES()
{
    nLength = sizeof(SECURITY_ATTRIBUTES);
    lpSecurityDescriptor = static_cast<SECURITY_DESCRIPTOR *>(&sd);
    bInheritHandle = inherit ? TRUE : FALSE;
}

} // namespace Win32
} // namespace Halyard
