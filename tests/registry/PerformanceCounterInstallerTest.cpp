#include "perfmon/PerformanceCounterInstaller.h"

#include "win32/RegistryKey.h"

#include "RawRegistry.h"

#include <functional>

using namespace Halyard::PerfMon;
using namespace Halyard::Win32;

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
        RawSet(HKEY_LOCAL_MACHINE, m_test.Path() + L"\\Performance", name, type, data, size);
    }
    std::string Stored(const std::wstring &subKey, const std::wstring &name, DWORD expectedType) const
    {
        DWORD type = 0;
        const std::string bytes = RawGet(HKEY_LOCAL_MACHINE, m_test.Path() + subKey, name, &type);
        if (bytes != "<missing>")
        {
            EXPECT_EQ(expectedType, type) << "type of " << std::string(name.begin(), name.end());
        }
        return bytes;
    }
    bool KeyExists(const std::wstring &subKey) const
    {
        return RawKeyExists(HKEY_LOCAL_MACHINE, m_test.Path() + subKey);
    }

    // The bytes of a text stored with its terminating null.
    static std::string Text(const std::wstring &text)
    {
        return std::string(reinterpret_cast<const char *>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
    }

    void Register(DWORD openTimeout, DWORD collectTimeout, const std::wstring &linkage, const std::wstring &checksum)
    {
        m_installer.RegisterCounterSet(m_application, L"C:\\path\\Provider.dll", L"C:\\nowhere\\counters.ini",
                                       L"PerfData_Open", L"PerfData_Collect", L"PerfData_Close", linkage, openTimeout,
                                       collectTimeout, checksum);
    }

    static void ExpectRule(const std::function<void()> &call, const std::wstring &where, const std::wstring &message)
    {
        try
        {
            call();
            ADD_FAILURE() << "no exception";
        }
        catch (const CException &e)
        {
            EXPECT_EQ(where, e.GetWhere());
            EXPECT_EQ(message, e.GetMessage());
        }
    }

    void ExpectFirstCounterNotFound()
    {
        ExpectRule([&] { m_installer.FirstCounterIndex(m_application); },
                   L"CPerformanceCounterInstaller::FirstCounterIndex()", L"FirstCounter not found");
        EXPECT_FALSE(m_installer.IsInstalled(m_application));
    }

    void ExpectChecksumNotFound()
    {
        ExpectRule([&] { m_installer.InstalledSchemaChecksum(m_application); },
                   L"CPerformanceCounterInstaller::InstalledSchemaChecksum()", L"SchemaChecksum not found");
    }

    CTestKey m_test;
    const std::wstring m_application;
    CPerformanceCounterInstaller m_installer;
};

} // namespace

TEST_F(InstalledCounterSetTest, MissingPerformanceKeyThrowsTheOpenFailure)
{
    const wchar_t *const where = L"CRegistryKey::CRegistryKey(HKEY hKey ...)";
    ExpectError<CRegistryKey::Exception>([&] { m_installer.FirstCounterIndex(m_application); }, where,
                                         ERROR_FILE_NOT_FOUND);
    ExpectError<CRegistryKey::Exception>([&] { m_installer.InstalledSchemaChecksum(m_application); }, where,
                                         ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(m_installer.IsInstalled(m_application));
}

TEST_F(InstalledCounterSetTest, FirstCounterMustBeAFourByteNumber)
{
    RawSet(HKEY_LOCAL_MACHINE, m_test.Path() + L"\\Performance");
    ExpectFirstCounterNotFound();
    const ULONGLONG wide = 1846;
    SetRaw(L"First Counter", REG_SZ, L"1846", 10);
    ExpectFirstCounterNotFound();
    SetRaw(L"First Counter", REG_QWORD, &wide, sizeof(wide));
    ExpectFirstCounterNotFound();
    SetRaw(L"First Counter", REG_DWORD, &wide, 2);
    ExpectFirstCounterNotFound();

    SetRaw(L"First Counter", REG_DWORD, &wide, 4);
    EXPECT_EQ(1846u, m_installer.FirstCounterIndex(m_application));
    EXPECT_TRUE(m_installer.IsInstalled(m_application));
}

TEST_F(InstalledCounterSetTest, ChecksumIsTextReadUpToItsEnd)
{
    RawSet(HKEY_LOCAL_MACHINE, m_test.Path() + L"\\Performance");
    ExpectChecksumNotFound();
    SetRaw(L"SchemaChecksum", REG_BINARY, L"0123", 10);
    ExpectChecksumNotFound();

    SetRaw(L"SchemaChecksum", REG_SZ, L"0123abcd", 18);
    EXPECT_EQ(L"0123abcd", m_installer.InstalledSchemaChecksum(m_application));
    SetRaw(L"SchemaChecksum", REG_SZ, L"0123abcd", 16);
    EXPECT_EQ(L"0123abcd", m_installer.InstalledSchemaChecksum(m_application));
    SetRaw(L"SchemaChecksum", REG_EXPAND_SZ, L"01\0" L"23", 12);
    EXPECT_EQ(L"01", m_installer.InstalledSchemaChecksum(m_application));
}

TEST_F(InstalledCounterSetTest, RegistrationWritesOnlyTheValuesThatDifferFromTheDefaults)
{
    Register(10000, 10000, L"", L"");
    EXPECT_EQ(Text(L"C:\\path\\Provider.dll"), Stored(L"\\Performance", L"Library", REG_SZ));
    EXPECT_EQ(Text(L"PerfData_Open"), Stored(L"\\Performance", L"Open", REG_SZ));
    EXPECT_EQ(Text(L"PerfData_Collect"), Stored(L"\\Performance", L"Collect", REG_SZ));
    EXPECT_EQ(Text(L"PerfData_Close"), Stored(L"\\Performance", L"Close", REG_SZ));
    for (const wchar_t *name : {L"Open Timeout", L"Collect Timeout", L"SchemaChecksum"})
    {
        EXPECT_EQ("<missing>", Stored(L"\\Performance", name, REG_DWORD));
    }
    EXPECT_FALSE(KeyExists(L"\\Linkage"));

    const DWORD timeouts[] = {9999, 10001};
    Register(timeouts[0], timeouts[1], L"TARNExport", L"c0ffee");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&timeouts[0]), 4),
              Stored(L"\\Performance", L"Open Timeout", REG_DWORD));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&timeouts[1]), 4),
              Stored(L"\\Performance", L"Collect Timeout", REG_DWORD));
    EXPECT_EQ(L"c0ffee", m_installer.InstalledSchemaChecksum(m_application));
    EXPECT_EQ(Text(std::wstring(L"TARNExport\0", 11)), Stored(L"\\Linkage", L"Export", REG_MULTI_SZ));
}

TEST_F(InstalledCounterSetTest, InstallRefusesAnInstalledApplicationBeforeWriting)
{
    const DWORD first = 2000;
    SetRaw(L"First Counter", REG_DWORD, &first, sizeof(first));
    ExpectRule([&] { m_installer.Install(m_application, L"C:\\path\\Provider.dll", true, L"counters.ini", L"",
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
    Register(10000, 10000, L"TARNExport", L"sum");
    ExpectRule([&] { m_installer.Uninstall(m_application); }, L"CPerformanceCounterInstaller::Uninstall()",
               L"Performance counters for application: \"" + m_application + L"\" are not currently installed");
    EXPECT_TRUE(KeyExists(L"\\Performance"));

    // What the counter-text loader records when it takes the names.
    const DWORD first = 2000;
    SetRaw(L"First Counter", REG_DWORD, &first, sizeof(first));
    m_installer.Uninstall(m_application);
    EXPECT_FALSE(KeyExists(L""));
}

TEST_F(InstalledCounterSetTest, RemovingKeysKeepsAnApplicationKeyWithOtherSubkeys)
{
    Register(10000, 10000, L"TARNExport", L"");
    RawSet(HKEY_LOCAL_MACHINE, m_test.Path() + L"\\Parameters");
    m_installer.RemoveRegistryKeys(m_application);
    EXPECT_FALSE(KeyExists(L"\\Performance"));
    EXPECT_FALSE(KeyExists(L"\\Linkage"));
    EXPECT_TRUE(KeyExists(L"\\Parameters"));
    CPerformanceCounterInstaller().RemoveRegistryKeys(m_application + L"_Missing");
}
