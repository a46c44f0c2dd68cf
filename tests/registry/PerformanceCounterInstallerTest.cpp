#include "perfmon/PerformanceCounterInstaller.h"

#include "win32/RegistryKey.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace Halyard::PerfMon;
using namespace Halyard::Win32;

namespace {

const wchar_t kServices[] = L"SYSTEM\\CurrentControlSet\\Services\\";

// An application name of the test's own under the services key, removed when the test ends.
class InstalledCounterSetTest : public ::testing::Test
{
protected:
    InstalledCounterSetTest()
    {
        const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_application = L"HalyardTest_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                        std::wstring(info->name(), info->name() + std::strlen(info->name()));
    }

    ~InstalledCounterSetTest() override
    {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kServices + m_application).c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kServices + m_application).c_str());
    }

    void CreatePerformanceKey()
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, PerformancePath().c_str(), 0, nullptr, 0,
                                                   KEY_ALL_ACCESS, nullptr, &key, nullptr));
        ::RegCloseKey(key);
    }

    void SetRaw(const std::wstring &name, DWORD type, const void *data, DWORD size)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, PerformancePath().c_str(), 0, nullptr, 0,
                                                   KEY_ALL_ACCESS, nullptr, &key, nullptr));
        EXPECT_EQ(ERROR_SUCCESS,
                  ::RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE *>(data), size));
        ::RegCloseKey(key);
    }

    std::wstring PerformancePath() const
    {
        return kServices + m_application + L"\\Performance";
    }

    bool KeyExists(const std::wstring &subKey) const
    {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kServices + m_application + subKey).c_str(), 0, KEY_READ, &key) !=
            ERROR_SUCCESS)
        {
            return false;
        }
        ::RegCloseKey(key);
        return true;
    }

    // The stored bytes of a value, or "<missing>".
    std::string Stored(const std::wstring &subKey, const std::wstring &name, DWORD expectedType) const
    {
        BYTE buffer[512];
        DWORD size = sizeof(buffer);
        DWORD type = 0;
        if (::RegGetValueW(HKEY_LOCAL_MACHINE, (kServices + m_application + subKey).c_str(), name.c_str(),
                           RRF_RT_ANY | RRF_NOEXPAND, &type, buffer, &size) != ERROR_SUCCESS)
        {
            return "<missing>";
        }
        EXPECT_EQ(expectedType, type) << "type of " << std::string(name.begin(), name.end());
        return std::string(reinterpret_cast<const char *>(buffer), size);
    }

    // The bytes of a text stored with its terminating null.
    static std::string Text(const std::wstring &text)
    {
        return std::string(reinterpret_cast<const char *>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
    }

    void RegisterDefaults(DWORD openTimeout, DWORD collectTimeout, const std::wstring &linkage,
                          const std::wstring &checksum)
    {
        m_installer.RegisterCounterSet(m_application, L"C:\\path\\Provider.dll", L"C:\\nowhere\\counters.ini",
                                       L"PerfData_Open", L"PerfData_Collect", L"PerfData_Close", linkage, openTimeout,
                                       collectTimeout, checksum);
    }

    void ExpectFirstCounterNotFound()
    {
        try
        {
            m_installer.FirstCounterIndex(m_application);
            ADD_FAILURE() << "no exception";
        }
        catch (const CWin32Exception &)
        {
            ADD_FAILURE() << "a registry failure instead of a missing value";
        }
        catch (const CException &e)
        {
            EXPECT_EQ(L"CPerformanceCounterInstaller::FirstCounterIndex()", e.GetWhere());
            EXPECT_EQ(L"FirstCounter not found", e.GetMessage());
        }
        EXPECT_FALSE(m_installer.IsInstalled(m_application));
    }

    void ExpectChecksumNotFound()
    {
        try
        {
            m_installer.InstalledSchemaChecksum(m_application);
            ADD_FAILURE() << "no exception";
        }
        catch (const CWin32Exception &)
        {
            ADD_FAILURE() << "a registry failure instead of a missing value";
        }
        catch (const CException &e)
        {
            EXPECT_EQ(L"CPerformanceCounterInstaller::InstalledSchemaChecksum()", e.GetWhere());
            EXPECT_EQ(L"SchemaChecksum not found", e.GetMessage());
        }
    }

    std::wstring m_application;
    CPerformanceCounterInstaller m_installer;
};

} // namespace

TEST_F(InstalledCounterSetTest, MissingPerformanceKeyThrowsTheOpenFailure)
{
    for (int i = 0; i < 2; ++i)
    {
        try
        {
            if (i == 0)
            {
                m_installer.FirstCounterIndex(m_application);
            }
            else
            {
                m_installer.InstalledSchemaChecksum(m_application);
            }
            ADD_FAILURE() << "no exception";
        }
        catch (const CRegistryKey::Exception &e)
        {
            EXPECT_EQ(L"CRegistryKey::CRegistryKey(HKEY hKey ...)", e.GetWhere());
            EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), e.GetError());
        }
    }
    EXPECT_FALSE(m_installer.IsInstalled(m_application));
}

TEST_F(InstalledCounterSetTest, FirstCounterIsReadBack)
{
    const DWORD first = 1846;
    SetRaw(L"First Counter", REG_DWORD, &first, sizeof(first));
    EXPECT_EQ(first, m_installer.FirstCounterIndex(m_application));
    EXPECT_TRUE(m_installer.IsInstalled(m_application));

    const IInstallPerformanceMonitorCounters &installer = m_installer;
    SetRaw(L"First Counter", REG_DWORD_BIG_ENDIAN, &first, sizeof(first));
    EXPECT_EQ(first, installer.FirstCounterIndex(m_application));
}

TEST_F(InstalledCounterSetTest, FirstCounterOfAnotherTypeOrSizeIsNotFound)
{
    CreatePerformanceKey();
    ExpectFirstCounterNotFound();

    SetRaw(L"First Counter", REG_SZ, L"1846", 10);
    ExpectFirstCounterNotFound();

    const ULONGLONG wide = 1846;
    SetRaw(L"First Counter", REG_QWORD, &wide, sizeof(wide));
    ExpectFirstCounterNotFound();

    SetRaw(L"First Counter", REG_DWORD, &wide, 2);
    ExpectFirstCounterNotFound();
}

TEST_F(InstalledCounterSetTest, ChecksumIsReadUpToItsEnd)
{
    SetRaw(L"SchemaChecksum", REG_SZ, L"0123abcd", 18);
    EXPECT_EQ(L"0123abcd", m_installer.InstalledSchemaChecksum(m_application));

    SetRaw(L"SchemaChecksum", REG_SZ, L"0123abcd", 16);
    EXPECT_EQ(L"0123abcd", m_installer.InstalledSchemaChecksum(m_application));

    SetRaw(L"SchemaChecksum", REG_EXPAND_SZ, L"01\0" L"23", 12);
    EXPECT_EQ(L"01", m_installer.InstalledSchemaChecksum(m_application));
}

TEST_F(InstalledCounterSetTest, ChecksumOfAnotherTypeIsNotFound)
{
    CreatePerformanceKey();
    ExpectChecksumNotFound();

    SetRaw(L"SchemaChecksum", REG_BINARY, L"0123", 10);
    ExpectChecksumNotFound();
}

TEST(CPerformanceCounterInstaller, CanInstallAnswersWithoutThrowing)
{
    // Wine runs every program with administrator rights.
    EXPECT_TRUE(CPerformanceCounterInstaller().CanInstall());
}

TEST_F(InstalledCounterSetTest, RegistrationWritesTheModuleAndItsEntryPoints)
{
    RegisterDefaults(10000, 10000, L"", L"");

    EXPECT_EQ(Text(L"C:\\path\\Provider.dll"), Stored(L"\\Performance", L"Library", REG_SZ));
    EXPECT_EQ(Text(L"PerfData_Open"), Stored(L"\\Performance", L"Open", REG_SZ));
    EXPECT_EQ(Text(L"PerfData_Collect"), Stored(L"\\Performance", L"Collect", REG_SZ));
    EXPECT_EQ(Text(L"PerfData_Close"), Stored(L"\\Performance", L"Close", REG_SZ));
    EXPECT_EQ("<missing>", Stored(L"\\Performance", L"Open Timeout", REG_DWORD));
    EXPECT_EQ("<missing>", Stored(L"\\Performance", L"Collect Timeout", REG_DWORD));
    EXPECT_EQ("<missing>", Stored(L"\\Performance", L"SchemaChecksum", REG_SZ));
    EXPECT_FALSE(KeyExists(L"\\Linkage"));
    ExpectChecksumNotFound();
}

TEST_F(InstalledCounterSetTest, RegistrationWritesOnlyTheValuesThatDiffer)
{
    RegisterDefaults(9999, 10001, L"TARNExport", L"c0ffee");

    const DWORD open = 9999;
    const DWORD collect = 10001;
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&open), 4),
              Stored(L"\\Performance", L"Open Timeout", REG_DWORD));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&collect), 4),
              Stored(L"\\Performance", L"Collect Timeout", REG_DWORD));
    EXPECT_EQ(L"c0ffee", m_installer.InstalledSchemaChecksum(m_application));
    EXPECT_EQ(Text(std::wstring(L"TARNExport\0", 11)), Stored(L"\\Linkage", L"Export", REG_MULTI_SZ));
}

TEST_F(InstalledCounterSetTest, InstallRefusesAnInstalledApplicationBeforeWriting)
{
    const DWORD first = 2000;
    SetRaw(L"First Counter", REG_DWORD, &first, sizeof(first));
    try
    {
        m_installer.Install(m_application, L"C:\\path\\Provider.dll", true, L"counters.ini", L"", 10000, 10000,
                            L"sum");
        FAIL() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"CPerformanceCounterInstaller::ValidateParameters()", e.GetWhere());
        EXPECT_EQ(L"Performance counters for application: \"" + m_application + L"\" are already installed",
                  e.GetMessage());
    }
    EXPECT_EQ("<missing>", Stored(L"\\Performance", L"Library", REG_SZ));
    EXPECT_THROW(m_installer.InstallToSystemDirectories(m_application, L"a.dll", L"b.dll", L"c.dll", L"i.ini", L"",
                                                        10000, 10000, L""),
                 CException);
}

TEST_F(InstalledCounterSetTest, InstallWithoutModulesRegistersNothing)
{
    const std::wstring missing = L"C:\\HalyardNoSuchDirectory\\Provider.dll";
    EXPECT_EQ(0u, m_installer.InstallToSystemDirectories(m_application, missing, missing, L"Provider.dll",
                                                         L"counters.ini", L"", 10000, 10000, L"sum"));
    EXPECT_FALSE(KeyExists(L""));
}

TEST_F(InstalledCounterSetTest, UninstallRefusesWhatIsNotInstalled)
{
    RegisterDefaults(10000, 10000, L"", L"sum");
    try
    {
        m_installer.Uninstall(m_application);
        FAIL() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"CPerformanceCounterInstaller::Uninstall()", e.GetWhere());
        EXPECT_EQ(L"Performance counters for application: \"" + m_application + L"\" are not currently installed",
                  e.GetMessage());
    }
    EXPECT_TRUE(KeyExists(L"\\Performance"));
}

TEST_F(InstalledCounterSetTest, UninstallRemovesTheRegistration)
{
    RegisterDefaults(10000, 10000, L"TARNExport", L"sum");
    // What the counter-text loader records when it takes the names.
    const DWORD first = 2000;
    SetRaw(L"First Counter", REG_DWORD, &first, sizeof(first));
    ASSERT_TRUE(m_installer.IsInstalled(m_application));

    m_installer.Uninstall(m_application);
    EXPECT_FALSE(KeyExists(L""));
    EXPECT_THROW(m_installer.FirstCounterIndex(m_application), CRegistryKey::Exception);
}

TEST_F(InstalledCounterSetTest, RemovingKeysKeepsAnApplicationKeyWithOtherSubkeys)
{
    RegisterDefaults(10000, 10000, L"TARNExport", L"");
    HKEY other = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kServices + m_application + L"\\Parameters").c_str(),
                                               0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &other, nullptr));
    ::RegCloseKey(other);

    m_installer.RemoveRegistryKeys(m_application);
    EXPECT_FALSE(KeyExists(L"\\Performance"));
    EXPECT_FALSE(KeyExists(L"\\Linkage"));
    EXPECT_TRUE(KeyExists(L"\\Parameters"));

    CPerformanceCounterInstaller().RemoveRegistryKeys(m_application + L"_Missing");
}
