#pragma once

#include <windows.h>

#include <memory>

namespace Halyard {
namespace Win32 {

// An absolute-format security descriptor whose address can be handed to the platform directly.
class CSecurityDescriptor : public SECURITY_DESCRIPTOR
{
public:
    explicit CSecurityDescriptor(DWORD revision = SECURITY_DESCRIPTOR_REVISION);

    CSecurityDescriptor(const CSecurityDescriptor &) = delete;
    CSecurityDescriptor &operator=(const CSecurityDescriptor &) = delete;
};

// Grants every account all access; names no owner, group or system ACL. The descriptor points at
// the access list it owns, so it can be neither copied nor moved.
class CSecurityDescriptorAllowAll : public CSecurityDescriptor
{
public:
    CSecurityDescriptorAllowAll();

private:
    std::unique_ptr<BYTE[]> m_acl;
};

// A SECURITY_ATTRIBUTES record over a descriptor (or none) and an inherit flag.
class CSecurityAttributes : public SECURITY_ATTRIBUTES
{
public:
    explicit CSecurityAttributes(bool inherit);
    CSecurityAttributes(CSecurityDescriptor &sd, bool inherit);

    CSecurityAttributes(const CSecurityAttributes &) = delete;
    CSecurityAttributes &operator=(const CSecurityAttributes &) = delete;
};

} // namespace Win32
} // namespace Halyard
