#include "win32/KernelObjectName.h"

#include "win32/Exception.h"
#include "win32/ToString.h"

namespace Halyard {
namespace Win32 {

namespace {

const wchar_t kGlobalPrefix[] = L"Global\\";
const wchar_t kLocalPrefix[] = L"Local\\";

bool StartsWith(const std::wstring &text, const wchar_t *prefix)
{
    const std::wstring::size_type length = std::char_traits<wchar_t>::length(prefix);
    return text.size() >= length && text.compare(0, length, prefix) == 0;
}

// Every system this library builds for (Windows 7 and later) has kernel object namespaces, so the
// prefix is always kept.
std::wstring CheckedName(const std::wstring &name)
{
    if (name.size() > CKernelObjectNameImpl::MaxNameLength)
    {
        throw CException(L"CKernelObjectNameImpl::CKernelObjectNameImpl()",
                         L"Name is too long: " + ToString(name.size()) + L" max is: " +
                             ToString(CKernelObjectNameImpl::MaxNameLength) + L" - \"" + name + L"\"");
    }
    return name;
}

} // namespace

CKernelObjectNameImpl::CKernelObjectNameImpl(const std::wstring &name)
    : m_name(CheckedName(name))
{
}

CKernelObjectNameImpl::CKernelObjectNameImpl(const std::wstring &prefix, const std::wstring &name)
    : m_name(CheckedName(prefix + name))
{
}

CKernelObjectNameImpl::CKernelObjectNameImpl(const IKernelObjectName &other)
    : m_name(other.GetName())
{
}

CKernelObjectNameImpl &CKernelObjectNameImpl::operator=(const IKernelObjectName &other)
{
    m_name = other.GetName();
    return *this;
}

std::wstring CKernelObjectNameImpl::GetName() const
{
    return m_name;
}

bool CKernelObjectNameImpl::IsGlobalName() const
{
    return StartsWith(m_name, kGlobalPrefix);
}

bool CKernelObjectNameImpl::IsLocalName() const
{
    return StartsWith(m_name, kLocalPrefix);
}

bool CKernelObjectNameImpl::IsUnqualifiedName() const
{
    return !IsGlobalName() && !IsLocalName();
}

CGlobalName::CGlobalName(const std::wstring &name)
    : CKernelObjectNameImpl(kGlobalPrefix, name)
{
}

CUnqualifiedName::CUnqualifiedName(const std::wstring &name)
    : CKernelObjectNameImpl(name)
{
}

} // namespace Win32
} // namespace Halyard
