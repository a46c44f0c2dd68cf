#include "tests/support/TempFiles.h"
#include "tests/support/UnixFiles.h"
#include "win32/AccessRule.h"
#include "win32/FileUtils.h"
#include "win32/LocalMemory.h"
#include "win32/StringConverter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sddl.h>

using namespace Halyard;
using namespace Halyard::Testing;
using ::testing::HasSubstr;
using Win32::TPathPart;

namespace {

const wchar_t kUser[] = L"S-1-5-21-1-2-3-1001";

std::string Narrow(const std::wstring &text)
{
    return Win32::CStringConverter::WtoA(text);
}

} // namespace

// The one rule over descriptors: who owns the object, and who besides SYSTEM, Administrators,
// TrustedInstaller and the trusted user is granted a right that changes it.
TEST(AccessRule, FindsTheFirstAccountOtherThanTheAdministratorsThatCanChangeTheObject)
{
    const std::wstring trustedInstaller = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    const struct
    {
        const wchar_t *what;
        std::wstring sddl;
        TPathPart part;
        std::wstring expectedSid;
    } cases[] = {
        {L"administrators only", L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)", TPathPart::File, L""},
        {L"a named user with write", L"O:BAD:(A;;FA;;;SY)(A;;0x2;;;" + std::wstring(kUser) + L")", TPathPart::Folder,
         kUser},
        {L"a user as owner", L"O:" + std::wstring(kUser) + L"D:P(A;;FA;;;SY)", TPathPart::File, kUser},
        {L"Authenticated Users with modify", L"O:SYD:(A;OICI;0x1301bf;;;AU)", TPathPart::Folder, L"S-1-5-11"},
        {L"an inherit-only CREATOR OWNER", L"O:SYD:(A;OICIIO;FA;;;CO)(A;;FA;;;BA)", TPathPart::Folder, L""},
        {L"an allow entry after a deny entry", L"O:BAD:(D;;FA;;;WD)(A;;FA;;;BU)", TPathPart::File, L"S-1-5-32-545"},
        {L"TrustedInstaller's file", L"O:" + trustedInstaller + L"D:(A;;FA;;;" + trustedInstaller + L")",
         TPathPart::File, L""},
        {L"no access list", L"O:BA", TPathPart::File, L"S-1-1-0"},
        {L"the trusted user", L"O:S-1-5-21-9-9-9-500D:(A;;FA;;;S-1-5-21-9-9-9-500)", TPathPart::Folder, L""},
        {L"delete-child on a folder", L"O:BAD:(A;;0x40;;;WD)", TPathPart::Folder, L"S-1-1-0"},
        {L"delete-child means nothing on a file", L"O:BAD:(A;;0x40;;;WD)", TPathPart::File, L""},
        {L"generic write to be inherited", L"O:BAD:(A;OICIIO;GW;;;BU)", TPathPart::Folder, L"S-1-5-32-545"},
        {L"WRITE_DAC alone", L"O:BAD:(A;;WD;;;IU)", TPathPart::File, L"S-1-5-4"},
        // A volume root lets users add folders and passes modify on to what they create; neither
        // changes the path through it.
        {L"adding names above", L"O:SYD:(A;;0x4;;;AU)(A;OICIIO;SDGWGR;;;AU)", TPathPart::FolderAbove, L""},
        {L"adding names to the module's folder", L"O:SYD:(A;;0x4;;;AU)", TPathPart::Folder, L"S-1-5-11"},
        {L"deleting above", L"O:SYD:(A;;SD;;;AU)", TPathPart::FolderAbove, L"S-1-5-11"},
    };
    Win32::TLocalMemory<void> trusted;
    ASSERT_TRUE(::ConvertStringSidToSidW(L"S-1-5-21-9-9-9-500", trusted.Receive()));
    for (const auto &c : cases)
    {
        Win32::TLocalMemory<void> descriptor;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl.c_str(), SDDL_REVISION_1,
                                                                           descriptor.Receive(), nullptr))
            << Narrow(c.what);
        const Win32::TUntrustedAccess found = Win32::FindUntrustedAccess(descriptor.Get(), c.part, trusted.Get());
        EXPECT_EQ(!c.expectedSid.empty(), found.Found()) << Narrow(c.what) << ": " << Narrow(found.reason);
        EXPECT_EQ(c.expectedSid, found.sid) << Narrow(c.what);
    }
}

// The same rule over a real path: the file, its folder, and every folder above; a link anywhere on
// the way is refused whatever it leads to. Under Wine the permissions are the Unix mode bits.
TEST(AccessRule, APathIsCheckedUpToItsRootAndThroughNoLink)
{
    if (!CUnixFiles::Available())
    {
        GTEST_SKIP() << "the Unix tools that make open folders and links are not reachable";
    }
    const CTempFolder root(L"AccessRule");
    const std::wstring grandparent = root / L"open";
    const std::wstring folder = grandparent + L"\\modules";
    Win32::CreateDirectory(grandparent);
    Win32::CreateDirectory(folder);
    const std::wstring module = folder + L"\\TARNCounters.dll";
    ASSERT_TRUE(::CopyFileW((ExecutableDirectory() + L"\\TARNCounters.dll").c_str(), module.c_str(), FALSE));

    const Win32::TUntrustedAccess safe = Win32::FindUntrustedAccessOnPath(module);
    EXPECT_FALSE(safe.Found()) << Narrow(safe.Describe());

    ASSERT_TRUE(CUnixFiles::Link(folder, root / L"link"));
    const Win32::TUntrustedAccess linked = Win32::FindUntrustedAccessOnPath(root / L"link\\TARNCounters.dll");
    EXPECT_EQ(root / L"link", linked.path);
    EXPECT_THAT(Narrow(linked.reason), HasSubstr("reparse point"));

    ASSERT_TRUE(CUnixFiles::OpenToEveryone(grandparent));
    const Win32::TUntrustedAccess open = Win32::FindUntrustedAccessOnPath(module);
    EXPECT_EQ(grandparent, open.path);
    EXPECT_EQ(L"S-1-1-0", open.sid);
    EXPECT_THAT(Narrow(open.Describe()), HasSubstr(Narrow(grandparent)));
    EXPECT_EQ(open.path, Win32::FindUntrustedAccessOnPath(folder).path);
    EXPECT_TRUE(CUnixFiles::Remove(root / L"link"));
}
