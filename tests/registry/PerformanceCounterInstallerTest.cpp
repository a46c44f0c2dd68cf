#include "perfmon/installer/PerformanceCounterInstaller.h"

#include "win32/RegistryKey.h"

#include "tests/support/Expect.h"
#include "tests/support/RawRegistry.h"

#include <functional>

using namespace Halyard::PerfMon;
using namespace Halyard::Win32;
using namespace Halyard::Testing;

namespace {

// An application of the test's own under the services key, removed when the test ends.
class InstalledCounterSetTest : public ::testing::Test
{
protected:
    InstalledCounterSetTest()
        : m_test(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\"),
          m_application(m_test.Path().substr(m_test.Path().rfind(L'\\') + 1))
    {
    }

    void SetRaw(const wchar_t *name, DWORD type, const void *data, DWORD size) const
    {
        RawSet(HKEY_LOCAL_MACHINE, m_test.Path() + L"\\Performance", name, type,
               std::string(static_cast<const char *>(data), size));
    }
    std::string Stored(const std::wstring &subKey, const std::wstring &name, DWORD expectedType) const
    {
        return RawGet(HKEY_LOCAL_MACHINE, m_test.Path() + subKey, name, expectedType);
    }
    bool KeyExists(const std::wstring &subKey) const
    {
        return RawKeyExists(HKEY_LOCAL_MACHINE, m_test.Path() + subKey);
    }

    // The registration's values, without the counter-text loader.
    void Register(const std::wstring &linkage, const std::wstring &checksum)
    {
        m_installer.WriteRegistryValues(m_application, L"C:\\path\\Provider.dll", L"PerfData_Open",
                                        L"PerfData_Collect", L"PerfData_Close", linkage, 10000, 10000, checksum);
    }

    CTestKey m_test;
    const std::wstring m_application;
    CPerformanceCounterInstaller m_installer;
};

} // namespace

TEST_F(InstalledCounterSetTest, MissingPerformanceKeyThrowsTheOpenFailure)
{
    const wchar_t *const where = L"CRegistryKey::CRegistryKey(HKEY hKey ...)";
    ExpectWin32Exception([&] { m_installer.FirstCounterIndex(m_application); }, where, ERROR_FILE_NOT_FOUND);
    ExpectWin32Exception([&] { m_installer.InstalledSchemaChecksum(m_application); }, where, ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(m_installer.IsInstalled(m_application));
}

TEST_F(InstalledCounterSetTest, FirstCounterMustBeAFourByteNumber)
{
    RawSet(HKEY_LOCAL_MACHINE, m_test.Path() + L"\\Performance");
    const ULONGLONG wide = 1846;
    // None, text, 8 bytes, 2 bytes; read in memory order, a big-endian number would be another index.
    const std::pair<DWORD, DWORD> refused[] = {{REG_NONE, 0}, {REG_SZ, 10}, {REG_QWORD, 8}, {REG_DWORD, 2},
                                               {REG_DWORD_BIG_ENDIAN, 4}};
    for (const auto &value : refused)
    {
        if (value.first != REG_NONE)
        {
            SetRaw(L"First Counter", value.first, value.first == REG_SZ ? static_cast<const void *>(L"1846") : &wide,
                   value.second);
        }
        ExpectException([&] { m_installer.FirstCounterIndex(m_application); },
                        L"CPerformanceCounterInstaller::FirstCounterIndex()", L"FirstCounter not found");
        EXPECT_FALSE(m_installer.IsInstalled(m_application)) << value.first;
    }
    SetRaw(L"First Counter", REG_DWORD, &wide, 4);
    EXPECT_EQ(1846u, m_installer.FirstCounterIndex(m_application));
    EXPECT_TRUE(m_installer.IsInstalled(m_application));
}

// Read as text by the registry key's own text read; a value that is missing or not text is none.
TEST_F(InstalledCounterSetTest, ChecksumMustBeStoredAsText)
{
    RawSet(HKEY_LOCAL_MACHINE, m_test.Path() + L"\\Performance");
    for (int stored = 0; stored < 2; ++stored)
    {
        ExpectException([&] { m_installer.InstalledSchemaChecksum(m_application); },
                        L"CPerformanceCounterInstaller::InstalledSchemaChecksum()", L"SchemaChecksum not found");
        SetRaw(L"SchemaChecksum", REG_BINARY, L"0123", 10);
    }
}

// The tool's own tests check the values every registration has; these two only some have.
TEST_F(InstalledCounterSetTest, RegistrationWritesTheLinkageAndTheChecksumOnlyWhenGiven)
{
    Register(L"", L"");
    EXPECT_EQ("<missing>", Stored(L"\\Performance", L"SchemaChecksum", REG_SZ));
    EXPECT_FALSE(KeyExists(L"\\Linkage"));
    Register(L"TARNExport", L"c0ffee");
    EXPECT_EQ(L"c0ffee", m_installer.InstalledSchemaChecksum(m_application));
    EXPECT_EQ(TextBytes(std::wstring(L"TARNExport\0", 11)), Stored(L"\\Linkage", L"Export", REG_MULTI_SZ));
}

// 0 is no time-out and INFINITE would let one provider stall every monitor: both are refused
// before anything is copied or written.
TEST_F(InstalledCounterSetTest, TimeoutsOutsideTheAcceptedRangeAreRefused)
{
    const DWORD maximum = CPerformanceCounterInstaller::MaximumTimeout;
    const struct
    {
        DWORD open, collect;
        const wchar_t *message;
    } cases[] = {{0, 10000, L"Open Timeout 0 is outside 1 to 600000 milliseconds"},
                 {10000, maximum + 1, L"Collect Timeout 600001 is outside 1 to 600000 milliseconds"},
                 {INFINITE, 10000, L"Open Timeout 4294967295 is outside 1 to 600000 milliseconds"}};
    for (const auto &c : cases)
    {
        const wchar_t *const where = L"CPerformanceCounterInstaller::ValidateParameters()";
        ExpectException([&] { m_installer.Install(m_application, L"C:\\path\\Provider.dll", true, L"counters.ini",
                                                  L"", c.open, c.collect, L"sum"); }, where, c.message);
        ExpectException([&] { m_installer.InstallToSystemDirectories(m_application, L"x86.dll", L"x64.dll", L"P.dll",
                                                                     L"counters.ini", L"", c.open, c.collect,
                                                                     L"sum"); }, where, c.message);
    }
    for (const DWORD lockTimeout : {DWORD(0), maximum + 1})
    {
        ExpectException([&] { CPerformanceCounterInstaller installer(lockTimeout); },
                        L"CPerformanceCounterInstaller::ValidateParameters()",
                        L"Lock Timeout " + std::to_wstring(lockTimeout) + L" is outside 1 to 600000 milliseconds");
    }
    EXPECT_FALSE(KeyExists(L""));
}

TEST_F(InstalledCounterSetTest, InstallRefusesAnInstalledApplicationBeforeWriting)
{
    const DWORD first = 2000;
    SetRaw(L"First Counter", REG_DWORD, &first, sizeof(first));
    ExpectException([&] { m_installer.Install(m_application, L"C:\\path\\Provider.dll", true, L"counters.ini", L"",
                                              10000, 10000, L"sum"); },
                    L"CPerformanceCounterInstaller::ValidateParameters()",
                    L"Performance counters for application: \"" + m_application + L"\" are already installed");
    EXPECT_EQ("<missing>", Stored(L"\\Performance", L"Library", REG_SZ));
}

TEST_F(InstalledCounterSetTest, InstallWithoutModulesRegistersNothing)
{
    const std::wstring missing = L"C:\\HalyardNoSuchDirectory\\Provider.dll";
    EXPECT_EQ(0u, m_installer.InstallToSystemDirectories(m_application, missing, missing, L"Provider.dll",
                                                         L"counters.ini", L"", 10000, 10000, L"sum"));
    EXPECT_FALSE(KeyExists(L""));
}

TEST_F(InstalledCounterSetTest, UninstallRemovesOnlyWhatIsInstalled)
{
    Register(L"TARNExport", L"sum");
    ExpectException([&] { m_installer.Uninstall(m_application); }, L"CPerformanceCounterInstaller::Uninstall()",
                    L"Performance counters for application: \"" + m_application + L"\" are not currently installed");
    EXPECT_TRUE(KeyExists(L"\\Performance"));

    // What the counter-text loader records when it takes the names.
    const DWORD first = 2000;
    SetRaw(L"First Counter", REG_DWORD, &first, sizeof(first));
    m_installer.Uninstall(m_application);
    EXPECT_FALSE(KeyExists(L""));
}

// The application's key may be a service's registration: its values, its other keys and the
// other linkage values are not the counters' and survive.
TEST_F(InstalledCounterSetTest, RemovingKeysKeepsWhatIsNotTheRegistration)
{
    const struct
    {
        const wchar_t *subKey;
        const wchar_t *name;
        bool keyStays;
    } foreign[] = {{L"", L"ImagePath", true}, {L"\\Parameters", nullptr, true}, {L"\\Linkage", L"Bind", true},
                   {L"", nullptr, false}};
    for (const auto &f : foreign)
    {
        Register(L"TARNExport", L"sum");
        RawSet(HKEY_LOCAL_MACHINE, m_test.Path() + f.subKey, f.name, REG_SZ, TextBytes(L"C:\\TARN\\tarn.exe"));
        m_installer.RemoveRegistryKeys(m_application);
        EXPECT_FALSE(KeyExists(L"\\Performance"));
        EXPECT_EQ("<missing>", Stored(L"\\Linkage", L"Export", REG_MULTI_SZ));
        EXPECT_EQ(f.keyStays, KeyExists(f.subKey));
        if (f.name != nullptr)
        {
            EXPECT_EQ(TextBytes(L"C:\\TARN\\tarn.exe"), Stored(f.subKey, f.name, REG_SZ));
        }
        RawDeleteTree(HKEY_LOCAL_MACHINE, m_test.Path());
    }
    CPerformanceCounterInstaller().RemoveRegistryKeys(m_application + L"_Missing");
}
