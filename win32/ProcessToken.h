#pragma once

#include "win32/SmartHandle.h"

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace Halyard {
namespace Win32 {

// The platform's privilege look-ups; system is a computer name, empty for the local system.
class CSecurityPrivilege
{
public:
    CSecurityPrivilege() = delete;

    static LUID GetPrivilegeValue(const std::wstring &system, const std::wstring &name);
    static std::wstring GetPrivilegeName(const std::wstring &system, const LUID &luid);
    static std::wstring GetPrivilegeDisplayName(const std::wstring &system, const std::wstring &name,
                                                DWORD &languageId);
    // The language of privilege display names on this system.
    static DWORD GetDisplayNameLanguageId();
};

// Privilege names, identifiers and display names, each looked up once.
class CSecurityPrivileges
{
public:
    explicit CSecurityPrivileges(const std::wstring &system = std::wstring());

    LUID GetPrivilege(const std::wstring &name);
    std::wstring GetPrivilegeName(const LUID &luid);
    std::wstring GetPrivilegeDisplayName(const std::wstring &name);

private:
    static ULONGLONG ToKey(const LUID &luid);

    std::map<std::wstring, LUID> m_luids;
    std::map<ULONGLONG, std::wstring> m_names;
    std::map<std::wstring, std::wstring> m_displayNames;
    std::wstring m_system;
    DWORD m_languageId;
};

// An access token: does it hold a privilege, is it enabled, can it be enabled.
class CProcessToken : public CSmartHandle
{
public:
    // One entry of the token's privilege list.
    struct Privilege
    {
        LUID luid;
        std::wstring name;
        std::wstring displayName;
        bool enabled;
        bool enabledByDefault;
    };

    // The current process's token, for query.
    CProcessToken();
    // The current process's token with the given access.
    explicit CProcessToken(DWORD desiredAccess);
    // Takes ownership of the token handle.
    explicit CProcessToken(HANDLE token);
    // Duplicates the handle.
    explicit CProcessToken(const CSmartHandle &token);

    // Listed and not removed.
    bool HasPrivilege(const std::wstring &name);
    // Listed, not removed and enabled.
    bool IsPrivilegeEnabled(const std::wstring &name);
    // False when the token lacks the privilege; true when it is enabled, now or before.
    bool TryEnablePrivilege(const std::wstring &name);

    void EnablePrivilege(const std::wstring &name);
    void DisablePrivilege(const std::wstring &name);
    void RemovePrivilege(const std::wstring &name);

    // The whole list, in the token's order.
    std::vector<Privilege> GetPrivileges();

private:
    static std::vector<BYTE> GetTokenPrivileges(HANDLE token);
    static HANDLE OpenToken(DWORD desiredAccess);

    // The token's entry for the privilege, or false when it is not listed.
    bool FindPrivilege(const std::wstring &name, DWORD &attributes);
    bool AdjustPrivilege(const std::wstring &name, DWORD attributes);

    CSecurityPrivileges m_privileges;
};

// Whether the current user is a member of the Administrators group.
bool IsUserAnAdmin();

} // namespace Win32
} // namespace Halyard
