#include "win32/AccessRule.h"

#include "win32/Exception.h"
#include "win32/FileUtils.h"
#include "win32/LocalMemory.h"
#include "win32/SmartHandle.h"
#include "win32/ToString.h"

#include <aclapi.h>
#include <sddl.h>

namespace Halyard {
namespace Win32 {

namespace {

const wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

bool IsSid(PSID sid, WELL_KNOWN_SID_TYPE type)
{
    BYTE wellKnown[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(wellKnown);
    return ::CreateWellKnownSid(type, nullptr, wellKnown, &size) && ::EqualSid(sid, wellKnown);
}

bool IsTrusted(PSID sid, PSID alsoTrusted)
{
    if (IsSid(sid, WinLocalSystemSid) || IsSid(sid, WinBuiltinAdministratorsSid) ||
        (alsoTrusted != nullptr && ::EqualSid(sid, alsoTrusted)))
    {
        return true;
    }
    TLocalMemory<void> trustedInstaller;
    return ::ConvertStringSidToSidW(kTrustedInstaller, trustedInstaller.Receive()) &&
           ::EqualSid(sid, trustedInstaller.Get());
}

std::wstring SidText(PSID sid)
{
    TLocalMemory<wchar_t> text;
    return ::ConvertSidToStringSidW(sid, text.Receive()) ? std::wstring(text.Get()) : std::wstring(L"(unreadable SID)");
}

// The SID of an entry that grants access, or null for any other entry or one whose SID does not
// fit inside it.
PSID GrantedSid(const ACE_HEADER *header)
{
    const BYTE *start = reinterpret_cast<const BYTE *>(header);
    const BYTE *sid = nullptr;
    switch (header->AceType)
    {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
        sid = reinterpret_cast<const BYTE *>(&reinterpret_cast<const ACCESS_ALLOWED_ACE *>(header)->SidStart);
        break;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
    {
        const ACCESS_ALLOWED_OBJECT_ACE *object = reinterpret_cast<const ACCESS_ALLOWED_OBJECT_ACE *>(header);
        sid = reinterpret_cast<const BYTE *>(&object->ObjectType);
        sid += (object->Flags & ACE_OBJECT_TYPE_PRESENT) != 0 ? sizeof(GUID) : 0;
        sid += (object->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) != 0 ? sizeof(GUID) : 0;
        break;
    }
    default:
        return nullptr;
    }
    const size_t room = header->AceSize - static_cast<size_t>(sid - start);
    if (static_cast<size_t>(sid - start) + 8 > header->AceSize || 8 + 4 * size_t{sid[1]} > room)
    {
        return nullptr;
    }
    return const_cast<BYTE *>(sid);
}

ACCESS_MASK ChangingRights(TPathPart part)
{
    ACCESS_MASK rights = DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    if (part != TPathPart::FolderAbove)
    {
        rights |= FILE_WRITE_DATA | FILE_APPEND_DATA;
    }
    if (part != TPathPart::File)
    {
        rights |= FILE_DELETE_CHILD;
    }
    return rights;
}

TUntrustedAccess Untrusted(const std::wstring &sid, const std::wstring &reason)
{
    return TUntrustedAccess{std::wstring(), sid, reason};
}

// "C:\" or "\\server\share\": the part of a full path that names its volume.
size_t RootLength(const std::wstring &path)
{
    if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\')
    {
        return 3;
    }
    if (path.compare(0, 2, L"\\\\") == 0)
    {
        const size_t server = path.find(L'\\', 2);
        const size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
        return share == std::wstring::npos ? path.size() : share + 1;
    }
    return 0;
}

// Without "\\?\", so that the path's parts can be named, and without trailing backslashes.
std::wstring PlainPath(std::wstring path)
{
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0)
    {
        path = L"\\\\" + path.substr(8);
    }
    else if (path.compare(0, 4, L"\\\\?\\") == 0)
    {
        path = path.substr(4);
    }
    while (path.size() > RootLength(path) && !path.empty() && path.back() == L'\\')
    {
        path.pop_back();
    }
    return path;
}

// One file or folder of the path, opened as itself: a reparse point is not followed.
TUntrustedAccess CheckOne(const std::wstring &path, bool isRoot, bool &isFolder, TPathPart part, PSID alsoTrusted)
{
    CSmartHandle handle(::CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!handle.IsValid() || !::GetFileInformationByHandle(handle.GetHandle(), &information))
    {
        return Untrusted(L"", L"could not be opened to check who may change it: " +
                                  GetLastErrorMessage(::GetLastError(), true));
    }
    isFolder = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // Wine opens the target of a Unix link even when asked not to; its attributes by name still show
    // the link. A volume root is where the path starts, whatever the drive letter is mapped to.
    const DWORD byName = ::GetFileAttributesW(path.c_str());
    if (!isRoot && ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
                    (byName != INVALID_FILE_ATTRIBUTES && (byName & FILE_ATTRIBUTE_REPARSE_POINT) != 0)))
    {
        return Untrusted(L"", L"is a reparse point (a junction or link), so where it leads can change");
    }
    TLocalMemory<void> descriptor;
    const DWORD result = ::GetSecurityInfo(handle.GetHandle(), SE_FILE_OBJECT,
                                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                           nullptr, nullptr, descriptor.Receive());
    if (result != ERROR_SUCCESS)
    {
        return Untrusted(L"", L"has permissions that could not be read: " + GetLastErrorMessage(result, true));
    }
    return FindUntrustedAccess(descriptor.Get(), isFolder && part == TPathPart::File ? TPathPart::Folder : part,
                               alsoTrusted);
}

TUntrustedAccess CheckPath(const std::wstring &fullPath, PSID alsoTrusted)
{
    std::wstring current = PlainPath(fullPath);
    const size_t rootLength = RootLength(current);
    if (rootLength == 0)
    {
        return TUntrustedAccess{fullPath, L"", L"is not a full path"};
    }
    bool objectIsFolder = false;
    for (size_t level = 0;; ++level)
    {
        const bool isRoot = current.size() <= rootLength;
        bool isFolder = false;
        const TPathPart part = level == 0                       ? TPathPart::File
                               : level == 1 && !objectIsFolder ? TPathPart::Folder
                                                                : TPathPart::FolderAbove;
        TUntrustedAccess found = CheckOne(current, isRoot, isFolder, part, alsoTrusted);
        if (found.Found())
        {
            found.path = current;
            return found;
        }
        objectIsFolder = level == 0 ? isFolder : objectIsFolder;
        if (isRoot)
        {
            return found;
        }
        const size_t cut = current.rfind(L'\\');
        current = cut < rootLength ? current.substr(0, rootLength) : current.substr(0, cut);
    }
}

std::wstring FinalPath(const std::wstring &path)
{
    CSmartHandle handle(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle.IsValid())
    {
        return std::wstring();
    }
    const DWORD needed = ::GetFinalPathNameByHandleW(handle.GetHandle(), nullptr, 0, VOLUME_NAME_DOS);
    if (needed == 0)
    {
        return std::wstring();
    }
    std::wstring final(needed, L'\0');
    const DWORD length = ::GetFinalPathNameByHandleW(handle.GetHandle(), &final[0], needed, VOLUME_NAME_DOS);
    final.resize(length < needed ? length : 0);
    return PlainPath(final);
}

} // namespace

std::wstring TUntrustedAccess::Describe() const
{
    return Quoted(path) + L" " + reason + (sid.empty() ? std::wstring() : L" (SID " + sid + L")");
}

TUntrustedAccess FindUntrustedAccess(PSECURITY_DESCRIPTOR descriptor, TPathPart part, PSID alsoTrusted)
{
    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted) || owner == nullptr)
    {
        return Untrusted(L"", L"has no owner that could be read");
    }
    if (!IsTrusted(owner, alsoTrusted))
    {
        return Untrusted(SidText(owner), L"is owned by an account other than the administrators'");
    }
    BOOL present = FALSE;
    BOOL daclDefaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &daclDefaulted) || !present || dacl == nullptr)
    {
        return Untrusted(L"S-1-1-0", L"has no access list, so everyone may change it");
    }
    const ACCESS_MASK changing = ChangingRights(part);
    for (DWORD i = 0; i < dacl->AceCount; ++i)
    {
        void *entry = nullptr;
        if (!::GetAce(dacl, i, &entry))
        {
            return Untrusted(L"", L"has an access list that could not be read");
        }
        const ACE_HEADER *header = static_cast<const ACE_HEADER *>(entry);
        const bool inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
        const PSID sid = GrantedSid(header);
        if (sid == nullptr || (inheritOnly && part == TPathPart::FolderAbove))
        {
            continue;
        }
        // Every granting entry has its mask right after the header.
        const ACCESS_MASK mask = reinterpret_cast<const ACCESS_ALLOWED_ACE *>(header)->Mask;
        if ((mask & changing) == 0 || IsTrusted(sid, alsoTrusted) || (inheritOnly && IsSid(sid, WinCreatorOwnerSid)))
        {
            continue;
        }
        return Untrusted(SidText(sid), L"may be changed by an account other than the administrators' (rights " +
                                           ToString(static_cast<unsigned long>(mask), HexPrefix) + L")");
    }
    return TUntrustedAccess();
}

const std::vector<BYTE> &GetSystemFolderOwner()
{
    static const std::vector<BYTE> owner = [] {
        PSID sid = nullptr;
        TLocalMemory<void> descriptor;
        wchar_t folder[MAX_PATH + 1] = {};
        const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
        if (length == 0 || length > MAX_PATH ||
            ::GetNamedSecurityInfoW(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid, nullptr,
                                    nullptr, nullptr, descriptor.Receive()) != ERROR_SUCCESS ||
            sid == nullptr || !::IsValidSid(sid))
        {
            return std::vector<BYTE>();
        }
        const BYTE *bytes = static_cast<const BYTE *>(sid);
        return std::vector<BYTE>(bytes, bytes + ::GetLengthSid(sid));
    }();
    return owner;
}

TUntrustedAccess FindUntrustedAccessOnPath(const std::wstring &path)
{
    const std::vector<BYTE> &owner = GetSystemFolderOwner();
    const PSID alsoTrusted = owner.empty() ? nullptr : const_cast<BYTE *>(owner.data());
    TUntrustedAccess found = CheckPath(path, alsoTrusted);
    if (found.Found())
    {
        return found;
    }
    const std::wstring final = FinalPath(path);
    if (final.empty())
    {
        return TUntrustedAccess{path, L"", L"has no final path that could be read"};
    }
    const std::wstring plain = PlainPath(path);
    if (::CompareStringOrdinal(final.c_str(), -1, plain.c_str(), -1, TRUE) == CSTR_EQUAL)
    {
        return found;
    }
    return CheckPath(final, alsoTrusted);
}

} // namespace Win32
} // namespace Halyard
