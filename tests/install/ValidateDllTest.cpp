#include "perfmon/installer/PerformanceCounterInstaller.h"
#include "perfmon/installer/RawImage.h"
#include "tests/install/ImageTestSupport.h"
#include "win32/SEHException.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

using namespace Halyard;
using namespace Halyard::Testing;

namespace {

// What the check's failure says after the module's name, or "" when the module passes.
std::wstring Validate(const std::wstring &path, bool is64Bit, const std::wstring &open = L"PerfData_Open",
                      const std::wstring &close = L"PerfData_Close")
{
    try
    {
        PerfMon::CPerformanceCounterInstaller().ValidateDLL(path, is64Bit, open, L"PerfData_Collect", close);
        return L"";
    }
    catch (const Win32::CException &e)
    {
        EXPECT_EQ(L"CPerformanceCounterInstaller::ValidateDLL()", e.GetWhere());
        const std::wstring prefix = L"PerformanceCounterDll: \"" + path + L"\"";
        EXPECT_EQ(prefix, e.GetMessage().substr(0, prefix.size()));
        return e.GetMessage().substr(prefix.size());
    }
}

const wchar_t kNoOpen[] = L" does not export open function: \"PerfData_Open\"";

} // namespace

// The checks come in order: existence, image, word size, then open, collect and close.
TEST(ValidateDLL, AcceptsTheProviderModuleAndNamesTheFirstThingWrong)
{
    const CTempFile x86(L"HalyardX86", L".dll");
    WriteBytes(x86, BuildImage(IMAGE_FILE_MACHINE_I386).bytes);
    const std::wstring provider = Beside(L"TARNCounters.dll");
    const std::wstring lowercase = Beside(L"Fixture_lowercase.dll");
    const struct
    {
        std::wstring path;
        bool is64Bit;
        std::wstring problem;
        const wchar_t *open = L"PerfData_Open";
        const wchar_t *close = L"PerfData_Close";
    } cases[] = {
        {provider, true, L""},
        {provider, false, L" is not a Win32 dll."},
        {x86.Path(), false, L""},
        {x86.Path(), true, L" is not an x64 dll."},
        {Beside(L"NoSuchModule.dll"), true, L" does not exist."},
        {Beside(L"install_image_tests.exe"), false, L" is not a valid dll image file."},
        // No entry point, or one exported by ordinal only: open is reported.
        {Beside(L"Fixture_noentry.dll"), true, kNoOpen},
        {Beside(L"Fixture_ordinal.dll"), true, kNoOpen},
        // Collect and close are both missing: collect is reported.
        {Beside(L"Fixture_partial.dll"), true, L" does not export collect function: \"PerfData_Collect\""},
        // Names compare case-sensitively; the module's own spelling is found.
        {lowercase, true, kNoOpen},
        {lowercase, true, L"", L"perfdata_open"},
        {lowercase, true, L" does not export close function: \"PerfData_close\"", L"perfdata_open", L"PerfData_close"}};
    for (const auto &test : cases)
    {
        EXPECT_EQ(test.problem, Validate(test.path, test.is64Bit, test.open, test.close))
            << std::string(test.path.begin(), test.path.end());
    }
}

// Thousands of copies of built images, each one page long so that a read past it faults, with
// random bytes in their headers and export data (seeded, so a failure can be replayed): neither the
// reader nor the check ever faults, the check ends with success or one of its own messages, and a
// found export is one the file really names.
TEST(ValidateDLL, DamagedImagesGetOnlyTheCheckMessages)
{
    const CTempFile file(L"HalyardDamaged", L".dll");
    const Win32::CSEHException::Translator translator;
    const std::set<std::wstring> allowed = {L"", L" is not a valid dll image file.", L" is not an x64 dll.",
                                            L" is not a Win32 dll.", kNoOpen,
                                            L" does not export collect function: \"PerfData_Collect\"",
                                            L" does not export close function: \"PerfData_Close\""};
    std::set<std::wstring> seen;
    std::mt19937 random(20240601u);
    for (const WORD machine : {IMAGE_FILE_MACHINE_I386, IMAGE_FILE_MACHINE_AMD64})
    {
        const BuiltImage good = BuildImage(machine);
        for (int round = 0; round < 1500; ++round)
        {
            BuiltImage built = good;
            const int damages = 1 + static_cast<int>(random() % 6);
            for (int d = 0; d < damages; ++d)
            {
                // Headers or export data, a byte or a whole field, with values near the edges.
                const bool header = random() % 2 == 0;
                const size_t span = header ? good.sectionTable + sizeof(IMAGE_SECTION_HEADER)
                                           : kBuiltImageSize - good.sectionData;
                const size_t offset = (header ? 0 : good.sectionData) + random() % (span - 3);
                const DWORD values[] = {static_cast<DWORD>(random()), 0, 0xFFFFFFFF, 0x7FFFFFFF,
                                        static_cast<DWORD>(kBuiltImageSize), kBuiltSectionRva + 0xFF0};
                const DWORD value = values[random() % 6];
                std::memcpy(&built.bytes[offset], &value, random() % 2 == 0 ? 1 : 4);
            }
            WriteBytes(file, built.bytes);
            try
            {
                const std::wstring message = Validate(file.Path(), machine == IMAGE_FILE_MACHINE_AMD64);
                EXPECT_EQ(1u, allowed.count(message)) << "round " << round << ": " << message;
                seen.insert(message);
                const PerfMon::CRawImage image(file.Path(), false);
                if (image.IsValid())
                {
                    EXPECT_TRUE(Get<WORD>(built.bytes, 0) == IMAGE_DOS_SIGNATURE && (image.IsX86() || image.IsX64()));
                }
                for (const char *name : {"PerfData_Open", "PerfData_Collect", "PerfData_Close"})
                {
                    // Found only through a name table entry whose text is the whole name.
                    const std::string text(name);
                    const auto end = built.bytes.end();
                    EXPECT_TRUE(image.GetExportRVA(std::wstring(text.begin(), text.end())) == 0 ||
                                std::search(built.bytes.begin(), end, name, name + text.size() + 1) != end)
                        << "round " << round;
                }
            }
            catch (const Win32::CSEHException &)
            {
                FAIL() << "fault reading damaged image, machine " << machine << " round " << round;
            }
        }
    }
    // The damage reached both the headers and the exports.
    EXPECT_EQ(1u, seen.count(L" is not a valid dll image file."));
    EXPECT_GE(seen.size(), 3u);
}
