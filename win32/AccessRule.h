#pragma once

// Who may change what privileged processes load or write: one rule over a security descriptor, and
// the same rule over every folder of a path.

#include <windows.h>

#include <string>
#include <vector>

namespace Halyard {
namespace Win32 {

// Where a file or folder stands on a path that privileged processes trust.
enum class TPathPart
{
    // The file itself.
    File,
    // The folder itself, or the folder holding the file: whatever is added to it is found there
    // (a planted library beside a module, a planted file beside dumps).
    Folder,
    // A folder further up: adding names leaves the path as it is, but whoever may delete, rename or
    // re-permission it may put another folder in its place. Inherit-only entries reach only what is
    // created later, and what lies on the path is checked itself.
    FolderAbove
};

// Someone other than the system's administrators who could change a file or folder, or another
// reason not to trust it; no reason when there is none.
struct TUntrustedAccess
{
    std::wstring path;
    // The SID in text form; empty when the reason concerns no SID.
    std::wstring sid;
    std::wstring reason;

    bool Found() const { return !reason.empty(); }
    // "\"<path>\" <reason>", with the SID when there is one.
    std::wstring Describe() const;
};

// The rule: the owner is SYSTEM, Administrators, TrustedInstaller or alsoTrusted (who may always
// rewrite the access list), and no other SID is granted a right that changes the object: write or
// append data, delete, delete-child on a folder, WRITE_DAC, WRITE_OWNER, generic write or all. An
// inherit-only CREATOR OWNER entry stands for the creator of something new, so it is allowed. Deny
// entries make no grant safe: group membership, which the descriptor does not show, decides whom
// each one reaches. A missing access list lets everyone in. alsoTrusted may be null.
TUntrustedAccess FindUntrustedAccess(PSECURITY_DESCRIPTOR descriptor, TPathPart part, PSID alsoTrusted);

// The owner of the system folder, empty when it cannot be read. Where the platform gives the
// administrators' files to one user (Wine gives every file to the user running it), that user is
// trusted as administrators are; on Windows it is TrustedInstaller, trusted anyway.
const std::vector<BYTE> &GetSystemFolderOwner();

// The rule over an existing file or folder, the folder holding it, and every folder above up to the
// volume root, each opened without following a reparse point and read through its handle. A
// reparse point (a junction, a link) anywhere on the way is refused: whoever controls it chooses
// where the path leads. The path as given is checked, and its final form too when that differs
// (another drive letter mapped to the same place). The system folder's owner is trusted beside the
// administrators. A file or folder that cannot be opened or read is a reason too, never an
// exception.
TUntrustedAccess FindUntrustedAccessOnPath(const std::wstring &path);

} // namespace Win32
} // namespace Halyard
