#include "perfmon/CounterTextFile.h"
#include "perfmon/PerformanceCounterInstaller.h"
#include "provider/TarnCounterSet.h"
#include "tests/support/ChildProcess.h"
#include "tools/perfclient/PerfData.h"

#include <gtest/gtest.h>
#include <winperf.h>

#include <algorithm>
#include <cwctype>
#include <vector>

using namespace Halyard;
using namespace Halyard::Testing;
using Halyard::PerfClient::CPerformanceData;
using Halyard::PerfMon::CCounterTextFile;
using Halyard::PerfMon::CPerformanceCounterInstaller;
using Halyard::PerfMon::CPerformanceDataSchema;

namespace {

const std::wstring kServices = L"SYSTEM\\CurrentControlSet\\Services\\";
const wchar_t kPerflib[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib";

std::wstring Beside(const std::wstring &name)
{
    return ExecutableDirectory() + L"\\" + name;
}

// A value's stored bytes, or "<missing>"; the type must be the one expected.
std::string Stored(const std::wstring &key, const std::wstring &name, DWORD expectedType)
{
    BYTE buffer[1024];
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type, buffer,
                       &size) != ERROR_SUCCESS)
    {
        return "<missing>";
    }
    EXPECT_EQ(expectedType, type) << std::string(name.begin(), name.end());
    return std::string(reinterpret_cast<const char *>(buffer), size);
}

std::string Text(const std::wstring &text)
{
    return std::string(reinterpret_cast<const char *>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
}

std::string Dword(DWORD value)
{
    return std::string(reinterpret_cast<const char *>(&value), sizeof(value));
}

DWORD ReadDword(const std::wstring &key, const std::wstring &name)
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    EXPECT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), RRF_RT_REG_DWORD, nullptr,
                                            &value, &size))
        << std::string(name.begin(), name.end());
    return value;
}

// The stored bytes of a value under the system's Perflib key, empty when it is absent.
std::vector<BYTE> SavePerflib(const wchar_t *name)
{
    BYTE buffer[64];
    DWORD size = sizeof(buffer);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kPerflib, name, RRF_RT_REG_DWORD, nullptr, buffer, &size) != ERROR_SUCCESS)
    {
        return {};
    }
    return std::vector<BYTE>(buffer, buffer + size);
}

void RestorePerflib(const wchar_t *name, const std::vector<BYTE> &saved)
{
    if (saved.empty())
    {
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kPerflib, name);
    }
    else
    {
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kPerflib, name, REG_DWORD, saved.data(), static_cast<DWORD>(saved.size()));
    }
}

bool KeyExists(const std::wstring &key)
{
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
    {
        return false;
    }
    ::RegCloseKey(opened);
    return true;
}

void SetPerflib(const wchar_t *name, DWORD value)
{
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kPerflib, name, REG_DWORD, &value, sizeof(value));
}

DWORD RunTarnctr(const std::wstring &arguments)
{
    return CChildProcess(L"tarnctr.exe", arguments).Wait(60000);
}

std::wstring Quoted(const std::wstring &text)
{
    return L"\"" + text + L"\"";
}

// The system's last title indexes are set to those of a fresh system for the test and restored
// when it ends, and the TARN registration is removed. TARN must not be registered when the test
// starts: a registration of its own is never touched.
class InstallTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(KeyExists(kServices + TarnProductName)) << "TARN is registered already; remove it first";
        m_savedLastCounter = SavePerflib(L"Last Counter");
        m_savedLastHelp = SavePerflib(L"Last Help");
        m_cleanUp = true;
        SetPerflib(L"Last Counter", m_lastCounter);
        SetPerflib(L"Last Help", m_lastHelp);
    }

    void TearDown() override
    {
        if (m_cleanUp)
        {
            ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kServices + TarnProductName).c_str());
            ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kServices + TarnProductName).c_str());
            RestorePerflib(L"Last Counter", m_savedLastCounter);
            RestorePerflib(L"Last Help", m_savedLastHelp);
        }
    }

    // Where the stand-in loader puts the next set: the even index after the system's last ones.
    DWORD NextFirstCounter() const
    {
        return m_lastCounter + 2;
    }

    void ExpectIndexesRestored()
    {
        EXPECT_EQ(m_lastCounter, ReadDword(kPerflib, L"Last Counter"));
        EXPECT_EQ(m_lastHelp, ReadDword(kPerflib, L"Last Help"));
    }

    const std::wstring m_performance = kServices + TarnProductName + L"\\Performance";
    const std::wstring m_provider = Beside(L"TARNCounters.dll");
    const DWORD m_lastCounter = 1846;
    const DWORD m_lastHelp = 1847;
    std::vector<BYTE> m_savedLastCounter;
    std::vector<BYTE> m_savedLastHelp;
    bool m_cleanUp = false;
};

} // namespace

// Wine prefers a loader module beside the program to its own, so the stand-in is the one called.
TEST(CounterTextLoader, TheStandInBesideTheProgramIsLoaded)
{
    const HMODULE loader = ::LoadLibraryW(L"loadperf.dll");
    ASSERT_NE(nullptr, loader);
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(loader, path, MAX_PATH);
    ::FreeLibrary(loader);
    std::wstring loaded(path, length);
    std::wstring expected = Beside(L"loadperf.dll");
    std::transform(loaded.begin(), loaded.end(), loaded.begin(), ::towlower);
    std::transform(expected.begin(), expected.end(), expected.begin(), ::towlower);
    EXPECT_EQ(expected, loaded);
}

// The whole life of an installation through the tool, and the counters read back through the
// system's performance library under the title indexes the installation recorded.
TEST_F(InstallTest, TarnctrInstallsReportsAndUninstalls)
{
    ASSERT_EQ(0u, RunTarnctr(L"install " + Quoted(m_provider)));

    const DWORD first = NextFirstCounter();
    const DWORD last = first + 2 * 26;
    EXPECT_EQ(first, ReadDword(m_performance, L"First Counter"));
    EXPECT_EQ(last, ReadDword(m_performance, L"Last Counter"));
    EXPECT_EQ(first + 1, ReadDword(m_performance, L"First Help"));
    EXPECT_EQ(last + 1, ReadDword(m_performance, L"Last Help"));
    EXPECT_EQ(last, ReadDword(kPerflib, L"Last Counter"));
    EXPECT_EQ(last + 1, ReadDword(kPerflib, L"Last Help"));
    EXPECT_EQ(Text(m_provider), Stored(m_performance, L"Library", REG_SZ));
    EXPECT_EQ(Text(L"PerfData_Open"), Stored(m_performance, L"Open", REG_SZ));
    EXPECT_EQ(Text(L"PerfData_Collect"), Stored(m_performance, L"Collect", REG_SZ));
    EXPECT_EQ(Text(L"PerfData_Close"), Stored(m_performance, L"Close", REG_SZ));
    EXPECT_EQ("<missing>", Stored(m_performance, L"Open Timeout", REG_DWORD));
    EXPECT_EQ("<missing>", Stored(m_performance, L"Collect Timeout", REG_DWORD));
    EXPECT_EQ(Text(CreateTarnCounterSet().GetChecksum()), Stored(m_performance, L"SchemaChecksum", REG_SZ));
    EXPECT_FALSE(KeyExists(kServices + TarnProductName + L"\\Linkage"));

    // The counter text files were only needed while the loader read them.
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((std::wstring(temp) + L"TARNCounters_*").c_str(), &found);
    EXPECT_EQ(INVALID_HANDLE_VALUE, search);
    if (search != INVALID_HANDLE_VALUE)
    {
        ::FindClose(search);
    }

    for (const std::wstring &query : {std::wstring(L"Global"), std::to_wstring(first)})
    {
        const CPerformanceData data = CPerformanceData::Parse(PerfClient::QueryPerformanceData(query));
        const CPerformanceData::Object *object = data.FindObject(first);
        ASSERT_NE(nullptr, object) << std::string(query.begin(), query.end());
        EXPECT_EQ(first + 1, object->header.ObjectHelpTitleIndex);
        ASSERT_EQ(26u, object->counters.size());
        for (DWORD i = 0; i < 26; ++i)
        {
            EXPECT_EQ(first + 2 + 2 * i, object->counters[i].CounterNameTitleIndex);
            EXPECT_EQ(first + 3 + 2 * i, object->counters[i].CounterHelpTitleIndex);
        }
        EXPECT_EQ(last, object->counters.back().CounterNameTitleIndex);
    }

    EXPECT_EQ(0u, RunTarnctr(L"status"));
    EXPECT_EQ(2u, RunTarnctr(L"install " + Quoted(m_provider)));
    EXPECT_EQ(first, ReadDword(m_performance, L"First Counter"));

    ASSERT_EQ(0u, RunTarnctr(L"uninstall"));
    EXPECT_FALSE(KeyExists(kServices + TarnProductName));
    ExpectIndexesRestored();
    EXPECT_EQ(3u, RunTarnctr(L"status"));
    EXPECT_EQ(3u, RunTarnctr(L"uninstall"));
}

TEST_F(InstallTest, TimeOutsAreRecordedUnlessTheyAreTheDefault)
{
    ASSERT_EQ(0u, RunTarnctr(L"install " + Quoted(m_provider) + L" --open-timeout 9999 --collect-timeout 10000"));
    EXPECT_EQ(Dword(9999), Stored(m_performance, L"Open Timeout", REG_DWORD));
    EXPECT_EQ("<missing>", Stored(m_performance, L"Collect Timeout", REG_DWORD));
    ASSERT_EQ(0u, RunTarnctr(L"uninstall"));

    ASSERT_EQ(0u, RunTarnctr(L"install " + Quoted(m_provider) + L" --collect-timeout 10001"));
    EXPECT_EQ("<missing>", Stored(m_performance, L"Open Timeout", REG_DWORD));
    EXPECT_EQ(Dword(10001), Stored(m_performance, L"Collect Timeout", REG_DWORD));
    ASSERT_EQ(0u, RunTarnctr(L"uninstall"));
    ExpectIndexesRestored();
}

TEST_F(InstallTest, CopyRegistersTheFileNameInTheSystemDirectory)
{
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring copy = std::wstring(system) + L"\\TARNCounters.dll";
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(copy.c_str())) << "a TARNCounters.dll is installed";

    EXPECT_EQ(0u, RunTarnctr(L"install " + Quoted(m_provider) + L" --copy"));
    EXPECT_EQ(Text(L"TARNCounters.dll"), Stored(m_performance, L"Library", REG_SZ));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(copy.c_str()));
    EXPECT_EQ(0u, RunTarnctr(L"status"));
    EXPECT_EQ(0u, RunTarnctr(L"uninstall"));
    ::DeleteFileW(copy.c_str());
}

TEST_F(InstallTest, StatusReportsAChecksumOrModuleThatDoesNotMatch)
{
    ASSERT_EQ(0u, RunTarnctr(L"install " + Quoted(m_provider)));
    const std::wstring checksum = L"0123";
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, m_performance.c_str(), L"SchemaChecksum", REG_SZ,
                                               checksum.c_str(), static_cast<DWORD>((checksum.size() + 1) * 2)));
    EXPECT_EQ(9u, RunTarnctr(L"status"));
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, m_performance.c_str(), L"SchemaChecksum");
    EXPECT_EQ(9u, RunTarnctr(L"status"));

    const std::wstring expected = CreateTarnCounterSet().GetChecksum();
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, m_performance.c_str(), L"SchemaChecksum", REG_SZ, expected.c_str(),
                      static_cast<DWORD>((expected.size() + 1) * 2));
    EXPECT_EQ(0u, RunTarnctr(L"status"));
    const std::wstring fixture = Beside(L"Fixture_noentry.dll");
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, m_performance.c_str(), L"Library", REG_SZ, fixture.c_str(),
                      static_cast<DWORD>((fixture.size() + 1) * 2));
    EXPECT_EQ(9u, RunTarnctr(L"status"));
    EXPECT_EQ(0u, RunTarnctr(L"uninstall"));
}

TEST_F(InstallTest, FailuresHaveTheirOwnExitCodes)
{
    EXPECT_EQ(0u, RunTarnctr(L"--help"));
    EXPECT_EQ(1u, RunTarnctr(L""));
    EXPECT_EQ(1u, RunTarnctr(L"frobnicate"));
    EXPECT_EQ(1u, RunTarnctr(L"install"));
    EXPECT_EQ(1u, RunTarnctr(L"install " + Quoted(m_provider) + L" --open-timeout 12ms"));
    EXPECT_EQ(1u, RunTarnctr(L"install " + Quoted(m_provider) + L" --collect-timeout"));
    EXPECT_EQ(1u, RunTarnctr(L"install " + Quoted(m_provider) + L" --open-timeout 4294967296"));
    EXPECT_EQ(1u, RunTarnctr(L"status now"));
    EXPECT_EQ(0u, RunTarnctr(L"validate " + Quoted(m_provider)));
    EXPECT_EQ(4u, RunTarnctr(L"validate " + Quoted(Beside(L"Fixture_noentry.dll"))));
    EXPECT_EQ(4u, RunTarnctr(L"install " + Quoted(Beside(L"Fixture_noentry.dll"))));
    EXPECT_EQ(4u, RunTarnctr(L"install " + Quoted(Beside(L"NoSuchModule.dll"))));
    EXPECT_FALSE(KeyExists(kServices + TarnProductName));
    EXPECT_EQ(3u, RunTarnctr(L"uninstall"));
    EXPECT_EQ(3u, RunTarnctr(L"status"));
    ExpectIndexesRestored();
}

// Through the library: a set of two objects in two languages with names outside ASCII, and a
// linkage export, which is a true multi-string.
class LibraryInstallTest : public InstallTest
{
protected:
    void SetUp() override
    {
        InstallTest::SetUp();
        m_application = L"HalyardInstall_" + std::to_wstring(::GetCurrentProcessId());
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        m_ini = std::wstring(temp) + m_application + L".ini";
        m_header = std::wstring(temp) + m_application + L".h";
    }

    void TearDown() override
    {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kServices + m_application).c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kServices + m_application).c_str());
        ::DeleteFileW(m_ini.c_str());
        ::DeleteFileW(m_header.c_str());
        InstallTest::TearDown();
    }

    std::wstring m_application;
    std::wstring m_ini;
    std::wstring m_header;
};

TEST_F(LibraryInstallTest, InstallsAnySchemaWithItsLinkage)
{
    CPerformanceDataSchema schema(L"009");
    schema.AddSupportedLanguage(L"007");
    CPerformanceDataSchema::Object &object = schema.AddObject(L"Queue", L"The queue", PERF_DETAIL_NOVICE);
    object.AddSupportedLanguage(L"007", L"Warteschlange", L"Die Warteschlange");
    object.AddCounter(L"Size", L"Entries waiting", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    object.AddCounterSupportedLanguage(L"007", L"Gr\u00f6\u00dfe", L"Wartende Eintr\u00e4ge");
    schema.AddObject(L"Other", L"Another", PERF_DETAIL_NOVICE)
        .AddCounter(L"Count", L"A count", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    CCounterTextFile(schema, m_application).Write(m_ini, m_header);

    CPerformanceCounterInstaller installer;
    installer.Install(m_application, m_provider, false, m_ini, L"TARNExport", 10000, 10000, schema.GetChecksum());

    const std::wstring performance = kServices + m_application + L"\\Performance";
    const DWORD first = NextFirstCounter();
    EXPECT_EQ(first, installer.FirstCounterIndex(m_application));
    EXPECT_EQ(first + 6, ReadDword(performance, L"Last Counter"));
    EXPECT_EQ(schema.GetChecksum(), installer.InstalledSchemaChecksum(m_application));
    // The one text, its null, and the null that ends the list.
    EXPECT_EQ(std::string(Text(std::wstring(L"TARNExport\0", 11))),
              Stored(kServices + m_application + L"\\Linkage", L"Export", REG_MULTI_SZ));
    wchar_t list[64] = {};
    DWORD size = sizeof(list);
    EXPECT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_LOCAL_MACHINE, (kServices + m_application + L"\\Linkage").c_str(),
                                            L"Export", RRF_RT_REG_MULTI_SZ, nullptr, list, &size));
    EXPECT_EQ(L"TARNExport", std::wstring(list));

    installer.Uninstall(m_application);
    EXPECT_FALSE(KeyExists(kServices + m_application));
    ExpectIndexesRestored();
}

// A loader that refuses the file leaves no registration behind.
TEST_F(LibraryInstallTest, LoaderFailureRemovesTheRegistration)
{
    CPerformanceCounterInstaller installer;
    try
    {
        installer.Install(m_application, m_provider, false, m_ini, L"TARNExport", 5000, 10000, L"sum");
        FAIL() << "no exception";
    }
    catch (const Win32::CWin32Exception &e)
    {
        EXPECT_EQ(L"CPerformanceCounterInstaller::Install()", e.GetWhere());
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), e.GetError());
    }
    EXPECT_FALSE(KeyExists(kServices + m_application));
    ExpectIndexesRestored();
}
