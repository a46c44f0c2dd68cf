#include "perfmon/CounterTextFile.h"
#include "perfmon/PerformanceCounterInstaller.h"
#include "provider/TarnCounterSet.h"
#include "tests/install/ImageTestSupport.h"
#include "tools/perfclient/PerfData.h"

#include <gtest/gtest.h>
#include <winperf.h>

#include <vector>

using namespace Halyard;
using namespace Halyard::Testing;
using Halyard::PerfClient::CPerformanceData;
using Halyard::PerfMon::CCounterTextFile;
using Halyard::PerfMon::CPerformanceCounterInstaller;
using Halyard::PerfMon::CPerformanceDataSchema;

namespace {

const std::wstring kServices = L"SYSTEM\\CurrentControlSet\\Services\\";
const std::wstring kPerflib = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib";
const std::wstring kTarn = kServices + TarnProductName;
const std::wstring kTarnPerformance = kTarn + L"\\Performance";

// A value's stored bytes, or "<missing>"; the type must be the one expected.
std::string Stored(const std::wstring &key, const wchar_t *name, DWORD expectedType = REG_DWORD)
{
    BYTE buffer[1024];
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &type, buffer, &size) !=
        ERROR_SUCCESS)
    {
        return "<missing>";
    }
    EXPECT_EQ(expectedType, type) << name;
    return std::string(reinterpret_cast<const char *>(buffer), size);
}

void SetValue(const std::wstring &key, const wchar_t *name, DWORD type, const std::string &bytes)
{
    EXPECT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, type, bytes.data(),
                                               static_cast<DWORD>(bytes.size())));
}

std::string Text(const std::wstring &text)
{
    return std::string(reinterpret_cast<const char *>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
}

std::string Dword(DWORD value)
{
    return std::string(reinterpret_cast<const char *>(&value), sizeof(value));
}

bool KeyExists(const std::wstring &key)
{
    HKEY opened = nullptr;
    const bool exists = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &opened) == ERROR_SUCCESS;
    if (exists)
    {
        ::RegCloseKey(opened);
    }
    return exists;
}

DWORD Tarnctr(const std::wstring &arguments)
{
    return CChildProcess(L"tarnctr.exe", arguments).Wait(60000);
}

const wchar_t *const kLastIndexes[] = {L"Last Counter", L"Last Help"};

// The system's last title indexes are set to those of a fresh system for the test and restored
// when it ends, and the registrations are removed. TARN must not be registered when the test
// starts: a registration of its own is never touched.
class InstallTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(KeyExists(kTarn)) << "TARN is registered already; remove it first";
        for (int i = 0; i < 2; ++i)
        {
            m_saved[i] = Stored(kPerflib, kLastIndexes[i]);
            SetValue(kPerflib, kLastIndexes[i], REG_DWORD, Dword(kLastCounter + i));
        }
        m_cleanUp = true;
    }

    void TearDown() override
    {
        if (!m_cleanUp)
        {
            return;
        }
        for (const std::wstring &key : {kTarn, kServices + m_application})
        {
            ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
            ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
        }
        for (int i = 0; i < 2; ++i)
        {
            if (m_saved[i] == "<missing>")
            {
                ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kPerflib.c_str(), kLastIndexes[i]);
            }
            else
            {
                SetValue(kPerflib, kLastIndexes[i], REG_DWORD, m_saved[i]);
            }
        }
    }

    void ExpectIndexesRestored()
    {
        EXPECT_EQ(Dword(kLastCounter), Stored(kPerflib, L"Last Counter"));
        EXPECT_EQ(Dword(kLastCounter + 1), Stored(kPerflib, L"Last Help"));
    }

    static constexpr DWORD kLastCounter = 1846;
    // Where the stand-in loader puts the next set: the even index after the system's last ones.
    static constexpr DWORD kFirst = kLastCounter + 2;
    const std::wstring m_provider = Beside(L"TARNCounters.dll");
    const std::wstring m_install = L"install \"" + m_provider + L"\"";
    const std::wstring m_application = L"HalyardInstall_" + std::to_wstring(::GetCurrentProcessId());
    std::string m_saved[2];
    bool m_cleanUp = false;
};

} // namespace

// The whole life of an installation through the tool, the time-outs recorded only when they are
// not the default, and the counters read back through the system's performance library under the
// title indexes the installation recorded.
TEST_F(InstallTest, TarnctrInstallsReportsAndUninstalls)
{
    const DWORD last = kFirst + 2 * 26;
    const struct
    {
        const wchar_t *options;
        std::string open, collect;
    } installs[] = {{L"", "<missing>", "<missing>"},
                    {L" --open-timeout 9999 --collect-timeout 10000", Dword(9999), "<missing>"},
                    {L" --collect-timeout 10001", "<missing>", Dword(10001)}};
    for (const auto &install : installs)
    {
        ASSERT_EQ(0u, Tarnctr(m_install + install.options)) << install.options;
        const std::pair<const wchar_t *, std::string> values[] = {
            {L"First Counter", Dword(kFirst)}, {L"Last Counter", Dword(last)},    {L"First Help", Dword(kFirst + 1)},
            {L"Last Help", Dword(last + 1)},   {L"Open Timeout", install.open}, {L"Collect Timeout", install.collect}};
        for (const auto &value : values)
        {
            EXPECT_EQ(value.second, Stored(kTarnPerformance, value.first)) << value.first << install.options;
        }
        const std::pair<const wchar_t *, std::wstring> texts[] = {
            {L"Library", m_provider},         {L"Open", L"PerfData_Open"}, {L"Collect", L"PerfData_Collect"},
            {L"Close", L"PerfData_Close"}, {L"SchemaChecksum", CreateTarnCounterSet().GetChecksum()}};
        for (const auto &text : texts)
        {
            EXPECT_EQ(Text(text.second), Stored(kTarnPerformance, text.first, REG_SZ)) << text.first;
        }
        EXPECT_EQ(Dword(last), Stored(kPerflib, L"Last Counter"));
        EXPECT_EQ(Dword(last + 1), Stored(kPerflib, L"Last Help"));
        EXPECT_FALSE(KeyExists(kTarn + L"\\Linkage"));

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

        for (const std::wstring &query : {std::wstring(L"Global"), std::to_wstring(kFirst)})
        {
            const CPerformanceData data = CPerformanceData::Parse(PerfClient::QueryPerformanceData(query));
            const CPerformanceData::Object *object = data.FindObject(kFirst);
            ASSERT_NE(nullptr, object) << std::string(query.begin(), query.end());
            EXPECT_EQ(kFirst + 1, object->header.ObjectHelpTitleIndex);
            ASSERT_EQ(26u, object->counters.size());
            for (DWORD i = 0; i < 26; ++i)
            {
                EXPECT_EQ(kFirst + 2 + 2 * i, object->counters[i].CounterNameTitleIndex);
                EXPECT_EQ(kFirst + 3 + 2 * i, object->counters[i].CounterHelpTitleIndex);
            }
        }

        EXPECT_EQ(0u, Tarnctr(L"status"));
        EXPECT_EQ(2u, Tarnctr(m_install));
        EXPECT_EQ(Dword(kFirst), Stored(kTarnPerformance, L"First Counter"));
        ASSERT_EQ(0u, Tarnctr(L"uninstall"));
        EXPECT_FALSE(KeyExists(kTarn));
        ExpectIndexesRestored();
    }
    EXPECT_EQ(3u, Tarnctr(L"status"));
    EXPECT_EQ(3u, Tarnctr(L"uninstall"));
}

TEST_F(InstallTest, CopyRegistersTheFileNameInTheSystemDirectory)
{
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring copy = std::wstring(system) + L"\\TARNCounters.dll";
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(copy.c_str())) << "a TARNCounters.dll is installed";
    EXPECT_EQ(0u, Tarnctr(m_install + L" --copy"));
    EXPECT_EQ(Text(L"TARNCounters.dll"), Stored(kTarnPerformance, L"Library", REG_SZ));
    EXPECT_EQ(0u, Tarnctr(L"status"));
    EXPECT_EQ(0u, Tarnctr(L"uninstall"));
    EXPECT_TRUE(::DeleteFileW(copy.c_str())) << "no copy in the system directory";
}

TEST_F(InstallTest, StatusReportsAChecksumOrModuleThatDoesNotMatch)
{
    ASSERT_EQ(0u, Tarnctr(m_install));
    SetValue(kTarnPerformance, L"SchemaChecksum", REG_SZ, Text(L"0123"));
    EXPECT_EQ(9u, Tarnctr(L"status"));
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kTarnPerformance.c_str(), L"SchemaChecksum");
    EXPECT_EQ(9u, Tarnctr(L"status"));
    SetValue(kTarnPerformance, L"SchemaChecksum", REG_SZ, Text(CreateTarnCounterSet().GetChecksum()));
    EXPECT_EQ(0u, Tarnctr(L"status"));
    SetValue(kTarnPerformance, L"Library", REG_SZ, Text(Beside(L"Fixture_noentry.dll")));
    EXPECT_EQ(9u, Tarnctr(L"status"));
    EXPECT_EQ(0u, Tarnctr(L"uninstall"));
}

TEST_F(InstallTest, FailuresHaveTheirOwnExitCodes)
{
    EXPECT_EQ(0u, Tarnctr(L"--help"));
    EXPECT_EQ(1u, Tarnctr(L""));
    EXPECT_EQ(1u, Tarnctr(L"frobnicate"));
    EXPECT_EQ(1u, Tarnctr(L"install"));
    EXPECT_EQ(1u, Tarnctr(m_install + L" --open-timeout 12ms"));
    EXPECT_EQ(1u, Tarnctr(m_install + L" --collect-timeout"));
    EXPECT_EQ(1u, Tarnctr(m_install + L" --open-timeout 4294967296"));
    EXPECT_EQ(1u, Tarnctr(L"status now"));
    EXPECT_EQ(0u, Tarnctr(L"validate \"" + m_provider + L"\""));
    EXPECT_EQ(4u, Tarnctr(L"validate \"" + Beside(L"Fixture_noentry.dll") + L"\""));
    EXPECT_EQ(4u, Tarnctr(L"install \"" + Beside(L"Fixture_noentry.dll") + L"\""));
    EXPECT_EQ(4u, Tarnctr(L"install \"" + Beside(L"NoSuchModule.dll") + L"\""));
    EXPECT_FALSE(KeyExists(kTarn));
    ExpectIndexesRestored();
}

// Through the library: a set of two objects in two languages with names outside ASCII, and a
// linkage export, which is a true multi-string.
TEST_F(InstallTest, LibraryInstallsAnySchemaWithItsLinkage)
{
    CPerformanceDataSchema schema(L"009");
    schema.AddSupportedLanguage(L"007");
    CPerformanceDataSchema::Object &object = schema.AddObject(L"Queue", L"The queue", PERF_DETAIL_NOVICE);
    object.AddSupportedLanguage(L"007", L"Warteschlange", L"Die Warteschlange");
    object.AddCounter(L"Size", L"Entries waiting", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    object.AddCounterSupportedLanguage(L"007", L"Gr\u00f6\u00dfe", L"Wartende Eintr\u00e4ge");
    schema.AddObject(L"Other", L"Another", PERF_DETAIL_NOVICE)
        .AddCounter(L"Count", L"A count", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    const CTestFile ini(m_application, L".ini");
    const CTestFile header(m_application, L".h");
    CCounterTextFile(schema, m_application).Write(ini.Path(), header.Path());

    CPerformanceCounterInstaller installer;
    installer.Install(m_application, m_provider, false, ini.Path(), L"TARNExport", 10000, 10000, schema.GetChecksum());
    EXPECT_EQ(kFirst, installer.FirstCounterIndex(m_application));
    EXPECT_EQ(Dword(kFirst + 6), Stored(kServices + m_application + L"\\Performance", L"Last Counter"));
    EXPECT_EQ(schema.GetChecksum(), installer.InstalledSchemaChecksum(m_application));
    // The one text, its null, and the null that ends the list.
    EXPECT_EQ(Text(std::wstring(L"TARNExport\0", 11)),
              Stored(kServices + m_application + L"\\Linkage", L"Export", REG_MULTI_SZ));

    installer.Uninstall(m_application);
    EXPECT_FALSE(KeyExists(kServices + m_application));
    ExpectIndexesRestored();
}

// A loader that refuses the file leaves no registration behind.
TEST_F(InstallTest, LoaderFailureRemovesTheRegistration)
{
    const CTestFile missing(m_application, L".ini");
    try
    {
        CPerformanceCounterInstaller().Install(m_application, m_provider, false, missing.Path(), L"TARNExport", 5000,
                                               10000, L"sum");
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
