#include "perfmon/PerformanceCounterInstaller.h"
#include "tests/install/ImageTestSupport.h"
#include "win32/SEHException.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

using namespace Halyard;
using namespace Halyard::Testing;
using Halyard::PerfMon::CPerformanceCounterInstaller;
using Halyard::Win32::CException;

namespace {

std::wstring Beside(const std::wstring &name)
{
    return ExecutableDirectory() + L"\\" + name;
}

// The message of the check's failure, or "" when the module passes.
std::wstring Validate(const std::wstring &path, bool is64Bit, const std::wstring &open = L"PerfData_Open",
                      const std::wstring &collect = L"PerfData_Collect", const std::wstring &close = L"PerfData_Close")
{
    try
    {
        CPerformanceCounterInstaller().ValidateDLL(path, is64Bit, open, collect, close);
        return L"";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"CPerformanceCounterInstaller::ValidateDLL()", e.GetWhere());
        return e.GetMessage();
    }
}

std::wstring Prefix(const std::wstring &path)
{
    return L"PerformanceCounterDll: \"" + path + L"\"";
}

} // namespace

TEST(ValidateDLL, AcceptsTheProviderModuleAndNamesWhatIsWrong)
{
    const std::wstring provider = Beside(L"TARNCounters.dll");
    EXPECT_EQ(L"", Validate(provider, true));
    EXPECT_EQ(Prefix(provider) + L" is not a Win32 dll.", Validate(provider, false));

    const std::wstring missing = Beside(L"NoSuchModule.dll");
    EXPECT_EQ(Prefix(missing) + L" does not exist.", Validate(missing, true));

    const std::wstring executable = Beside(L"install_image_tests.exe");
    EXPECT_EQ(Prefix(executable) + L" is not a valid dll image file.", Validate(executable, true));

    // No entry point at all: only the first, open, is reported.
    const std::wstring noEntry = Beside(L"Fixture_noentry.dll");
    EXPECT_EQ(Prefix(noEntry) + L" does not export open function: \"PerfData_Open\"", Validate(noEntry, true));

    // Collect and close are both missing: collect is reported.
    const std::wstring partial = Beside(L"Fixture_partial.dll");
    EXPECT_EQ(Prefix(partial) + L" does not export collect function: \"PerfData_Collect\"", Validate(partial, true));

    // Exported by ordinal only, the name does not count.
    const std::wstring ordinal = Beside(L"Fixture_ordinal.dll");
    EXPECT_EQ(Prefix(ordinal) + L" does not export open function: \"PerfData_Open\"", Validate(ordinal, true));

    // Names compare case-sensitively; the module's own spelling is found.
    const std::wstring lowercase = Beside(L"Fixture_lowercase.dll");
    EXPECT_EQ(Prefix(lowercase) + L" does not export open function: \"PerfData_Open\"", Validate(lowercase, true));
    EXPECT_EQ(L"", Validate(lowercase, true, L"perfdata_open"));
    EXPECT_EQ(Prefix(lowercase) + L" does not export close function: \"PerfData_close\"",
              Validate(lowercase, true, L"perfdata_open", L"PerfData_Collect", L"PerfData_close"));
}

TEST(ValidateDLL, ChecksTheWordSizeOfBuiltImages)
{
    ImageSpec spec;
    spec.machine = IMAGE_FILE_MACHINE_I386;
    spec.exports = {"PerfData_Close", "PerfData_Collect", "PerfData_Open"};
    const CTestFile x86(L"HalyardX86", BuildImage(spec).bytes);
    EXPECT_EQ(L"", Validate(x86.Path(), false));
    EXPECT_EQ(Prefix(x86.Path()) + L" is not an x64 dll.", Validate(x86.Path(), true));

    spec.exportDirectory = false;
    const CTestFile bare(L"HalyardBare", BuildImage(spec).bytes);
    EXPECT_EQ(Prefix(bare.Path()) + L" does not export open function: \"PerfData_Open\"", Validate(bare.Path(), false));

    spec.exportDirectory = true;
    spec.characteristics = IMAGE_FILE_EXECUTABLE_IMAGE;
    const CTestFile executable(L"HalyardExe", BuildImage(spec).bytes);
    EXPECT_EQ(Prefix(executable.Path()) + L" is not a valid dll image file.", Validate(executable.Path(), false));

    // A file that cannot be mapped fails in the mapping, with its own exception.
    const CTestFile empty(L"HalyardEmpty", {});
    EXPECT_THROW(CPerformanceCounterInstaller().ValidateDLL(empty.Path(), true, L"a", L"b", L"c"),
                 Win32::CWin32Exception);
}

// Damaged copies of the real module: the check ends with success or one of its own messages.
TEST(ValidateDLL, DamagedModulesGetOnlyTheCheckMessages)
{
    const std::vector<BYTE> original = ReadWholeFile(Beside(L"TARNCounters.dll"));
    const ImageLayout layout = ReadLayout(original);
    // Cut at a page boundary after the export data, so that a read past the file faults.
    size_t end = 0;
    for (const auto &name : layout.nameEnds)
    {
        end = std::max(end, name.second);
    }
    end = std::max(end, layout.exportTablesEnd);
    const size_t length = std::min(original.size(), (end + 4095) / 4096 * 4096);
    const std::vector<BYTE> page(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(length));
    const CTestFile file(L"HalyardDamagedModule", page);
    ASSERT_EQ(L"", Validate(file.Path(), true));

    const std::wstring prefix = Prefix(file.Path());
    const std::set<std::wstring> allowed = {
        L"",
        prefix + L" is not a valid dll image file.",
        prefix + L" is not an x64 dll.",
        prefix + L" does not export open function: \"PerfData_Open\"",
        prefix + L" does not export collect function: \"PerfData_Collect\"",
        prefix + L" does not export close function: \"PerfData_Close\""};
    const size_t exportStart = layout.exportTablesEnd > 4096 ? layout.exportTablesEnd - 4096 : 0;
    std::mt19937 random(7919u);
    const Win32::CSEHException::Translator translator;
    std::set<std::wstring> seen;
    for (int round = 0; round < 2000; ++round)
    {
        std::vector<std::pair<size_t, DWORD>> saved;
        const int damages = 1 + static_cast<int>(random() % 4);
        for (int d = 0; d < damages; ++d)
        {
            const bool header = random() % 3 == 0;
            const size_t offset = header ? random() % (layout.headersEnd - 3)
                                         : exportStart + random() % (end - exportStart - 3);
            const DWORD values[] = {static_cast<DWORD>(random()), 0, 0xFFFFFFFF, 0x80000000,
                                    static_cast<DWORD>(random() % 0x100000)};
            const DWORD value = values[random() % 5];
            saved.emplace_back(offset, Get<DWORD>(page, offset));
            file.Patch(offset, &value, random() % 2 == 0 ? 1 : 4);
        }
        try
        {
            const std::wstring message = Validate(file.Path(), true);
            EXPECT_EQ(1u, allowed.count(message)) << "round " << round << ": " << std::string(message.begin(), message.end());
            seen.insert(message);
        }
        catch (const Win32::CSEHException &)
        {
            FAIL() << "fault checking damaged module, round " << round;
        }
        for (auto it = saved.rbegin(); it != saved.rend(); ++it)
        {
            file.Patch(it->first, &it->second, 4);
        }
    }
    // The damage reached both the headers and the exports.
    EXPECT_EQ(1u, seen.count(prefix + L" is not a valid dll image file."));
    EXPECT_GE(seen.size(), 3u);
}
