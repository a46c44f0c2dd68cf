#include "win32/ProcessToken.h"

#include "win32/Exception.h"

namespace Halyard {
namespace Win32 {

namespace {

const wchar_t *SystemOrNull(const std::wstring &system)
{
    return system.empty() ? nullptr : system.c_str();
}

bool SameLuid(const LUID &a, const LUID &b)
{
    return a.LowPart == b.LowPart && a.HighPart == b.HighPart;
}

// A privilege's name in two calls: the first, without a buffer, must fail for want of room and
// give the length; the second fills the text.
template <typename Lookup>
std::wstring LookUpText(const wchar_t *where, Lookup lookup)
{
    DWORD length = 0;
    // Cleared first: a platform that fails without setting an error must not look like a size answer.
    ::SetLastError(ERROR_SUCCESS);
    if (lookup(nullptr, &length))
    {
        throw CException(where, L"Unexpected - first call to LookupPrivilegeName succeeded!");
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER)
    {
        throw CWin32Exception(where, error);
    }
    std::wstring text(length + 1, L'\0');
    length = static_cast<DWORD>(text.size());
    if (!lookup(&text[0], &length))
    {
        throw CWin32Exception(where, ::GetLastError());
    }
    text.resize(length);
    return text;
}

} // namespace

LUID CSecurityPrivilege::GetPrivilegeValue(const std::wstring &system, const std::wstring &name)
{
    LUID luid = {};
    if (!::LookupPrivilegeValueW(SystemOrNull(system), name.c_str(), &luid))
    {
        throw CWin32Exception(L"CSecurityPrivilege::GetPrivilegeValue()", ::GetLastError());
    }
    return luid;
}

std::wstring CSecurityPrivilege::GetPrivilegeName(const std::wstring &system, const LUID &luid)
{
    LUID value = luid;
    return LookUpText(L"CSecurityPrivilege::GetPrivilegeName()", [&](wchar_t *name, DWORD *length) {
        return ::LookupPrivilegeNameW(SystemOrNull(system), &value, name, length) != FALSE;
    });
}

std::wstring CSecurityPrivilege::GetPrivilegeDisplayName(const std::wstring &system, const std::wstring &name,
                                                         DWORD &languageId)
{
    return LookUpText(L"CSecurityPrivilege::GetPrivilegeDisplayName()", [&](wchar_t *displayName, DWORD *length) {
        return ::LookupPrivilegeDisplayNameW(SystemOrNull(system), name.c_str(), displayName, length, &languageId) !=
               FALSE;
    });
}

DWORD CSecurityPrivilege::GetDisplayNameLanguageId()
{
    DWORD length = 0;
    DWORD languageId = 0;
    ::SetLastError(ERROR_SUCCESS);
    if (::LookupPrivilegeDisplayNameW(nullptr, L"SeCreateTokenPrivilege", nullptr, &length, &languageId))
    {
        throw CException(L"CSecurityPrivilege::GetDisplayNameLanguageId()",
                         L"Unexpected - call to LookupPrivilegeName succeeded!");
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER)
    {
        throw CWin32Exception(L"CSecurityPrivilege::GetDisplayNameLanguageId()", error);
    }
    return languageId;
}

CSecurityPrivileges::CSecurityPrivileges(const std::wstring &system)
    : m_system(system), m_languageId(0)
{
}

LUID CSecurityPrivileges::GetPrivilege(const std::wstring &name)
{
    const auto found = m_luids.find(name);
    if (found != m_luids.end())
    {
        return found->second;
    }
    const LUID luid = CSecurityPrivilege::GetPrivilegeValue(m_system, name);
    m_luids[name] = luid;
    m_names[ToKey(luid)] = name;
    return luid;
}

std::wstring CSecurityPrivileges::GetPrivilegeName(const LUID &luid)
{
    const auto found = m_names.find(ToKey(luid));
    if (found != m_names.end())
    {
        return found->second;
    }
    const std::wstring name = CSecurityPrivilege::GetPrivilegeName(m_system, luid);
    m_names[ToKey(luid)] = name;
    m_luids[name] = luid;
    return name;
}

std::wstring CSecurityPrivileges::GetPrivilegeDisplayName(const std::wstring &name)
{
    const auto found = m_displayNames.find(name);
    if (found != m_displayNames.end())
    {
        return found->second;
    }
    DWORD languageId = 0;
    const std::wstring displayName = CSecurityPrivilege::GetPrivilegeDisplayName(m_system, name, languageId);
    if (m_languageId != 0 && languageId != m_languageId)
    {
        throw CException(L"CSecurityPrivileges::GetPrivilegeDisplayName()",
                         L"Unexpected - language id has changed since previous calls");
    }
    m_languageId = languageId;
    m_displayNames[name] = displayName;
    return displayName;
}

ULONGLONG CSecurityPrivileges::ToKey(const LUID &luid)
{
    return (static_cast<ULONGLONG>(static_cast<DWORD>(luid.HighPart)) << 32) | luid.LowPart;
}

CProcessToken::CProcessToken()
    : CSmartHandle(OpenToken(TOKEN_QUERY))
{
}

CProcessToken::CProcessToken(DWORD desiredAccess)
    : CSmartHandle(OpenToken(desiredAccess))
{
}

CProcessToken::CProcessToken(HANDLE token)
    : CSmartHandle(token)
{
}

CProcessToken::CProcessToken(const CSmartHandle &token)
    : CSmartHandle(token)
{
}

bool CProcessToken::HasPrivilege(const std::wstring &name)
{
    DWORD attributes = 0;
    return FindPrivilege(name, attributes);
}

bool CProcessToken::IsPrivilegeEnabled(const std::wstring &name)
{
    DWORD attributes = 0;
    return FindPrivilege(name, attributes) && (attributes & SE_PRIVILEGE_ENABLED) != 0;
}

bool CProcessToken::TryEnablePrivilege(const std::wstring &name)
{
    DWORD attributes = 0;
    if (!FindPrivilege(name, attributes))
    {
        return false;
    }
    if ((attributes & SE_PRIVILEGE_ENABLED) != 0)
    {
        return true;
    }
    return AdjustPrivilege(name, SE_PRIVILEGE_ENABLED);
}

void CProcessToken::EnablePrivilege(const std::wstring &name)
{
    ThrowLastErrorIf(!AdjustPrivilege(name, SE_PRIVILEGE_ENABLED), L"CProcessToken::EnablePrivilege()");
}

void CProcessToken::DisablePrivilege(const std::wstring &name)
{
    ThrowLastErrorIf(!AdjustPrivilege(name, 0), L"CProcessToken::DisablePrivilege()");
}

void CProcessToken::RemovePrivilege(const std::wstring &name)
{
    ThrowLastErrorIf(!AdjustPrivilege(name, SE_PRIVILEGE_REMOVED), L"CProcessToken::RemovePrivilege()");
}

std::vector<CProcessToken::Privilege> CProcessToken::GetPrivileges()
{
    const std::vector<BYTE> buffer = GetTokenPrivileges(GetHandle());
    const TOKEN_PRIVILEGES *list = reinterpret_cast<const TOKEN_PRIVILEGES *>(buffer.data());
    std::vector<Privilege> privileges;
    privileges.reserve(list->PrivilegeCount);
    for (DWORD i = 0; i < list->PrivilegeCount; ++i)
    {
        const LUID_AND_ATTRIBUTES &entry = list->Privileges[i];
        Privilege privilege;
        privilege.luid = entry.Luid;
        privilege.name = m_privileges.GetPrivilegeName(entry.Luid);
        privilege.displayName = m_privileges.GetPrivilegeDisplayName(privilege.name);
        privilege.enabled = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        privilege.enabledByDefault = (entry.Attributes & SE_PRIVILEGE_ENABLED_BY_DEFAULT) != 0;
        privileges.push_back(privilege);
    }
    return privileges;
}

std::vector<BYTE> CProcessToken::GetTokenPrivileges(HANDLE token)
{
    DWORD length = 0;
    std::vector<BYTE> buffer(sizeof(TOKEN_PRIVILEGES));
    if (::GetTokenInformation(token, TokenPrivileges, buffer.data(), static_cast<DWORD>(buffer.size()), &length))
    {
        return buffer;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER)
    {
        throw CWin32Exception(L"CProcessToken::GetTokenPrivileges()", error);
    }
    buffer.resize(length);
    if (!::GetTokenInformation(token, TokenPrivileges, buffer.data(), static_cast<DWORD>(buffer.size()), &length))
    {
        throw CWin32Exception(L"CProcessToken::GetTokenPrivileges()", ::GetLastError());
    }
    return buffer;
}

HANDLE CProcessToken::OpenToken(DWORD desiredAccess)
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), desiredAccess, &token))
    {
        throw CWin32Exception(L"CProcessToken::CProcessToken() - OpenToken", ::GetLastError());
    }
    return token;
}

bool CProcessToken::FindPrivilege(const std::wstring &name, DWORD &attributes)
{
    const LUID luid = m_privileges.GetPrivilege(name);
    const std::vector<BYTE> buffer = GetTokenPrivileges(GetHandle());
    const TOKEN_PRIVILEGES *list = reinterpret_cast<const TOKEN_PRIVILEGES *>(buffer.data());
    for (DWORD i = 0; i < list->PrivilegeCount; ++i)
    {
        if (SameLuid(list->Privileges[i].Luid, luid))
        {
            attributes = list->Privileges[i].Attributes;
            return (attributes & SE_PRIVILEGE_REMOVED) == 0;
        }
    }
    return false;
}

bool CProcessToken::AdjustPrivilege(const std::wstring &name, DWORD attributes)
{
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = m_privileges.GetPrivilege(name);
    privileges.Privileges[0].Attributes = attributes;
    // A call that succeeds without assigning the privilege (ERROR_NOT_ALL_ASSIGNED) still counts.
    return ::AdjustTokenPrivileges(GetHandle(), FALSE, &privileges, 0, nullptr, nullptr) != FALSE;
}

} // namespace Win32
} // namespace Halyard
