#include "perfmon/installer/PerformanceCounterInstaller.h"
#include "tests/install/ImageTestSupport.h"

#include <gtest/gtest.h>

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
    // Headers that lead out of the file make no valid image for the check either.
    BuiltImage damaged = BuildImage();
    Put<LONG>(damaged.bytes, offsetof(IMAGE_DOS_HEADER, e_lfanew), 0x7FFFFFF0);
    const CTempFile outside(L"HalyardOutside", L".dll");
    WriteBytes(outside, damaged.bytes);
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
        {outside.Path(), true, L" is not a valid dll image file."},
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
