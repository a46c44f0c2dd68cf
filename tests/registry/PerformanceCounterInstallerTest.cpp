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
