#include "perfmon/installer/CounterTextFile.h"
#include "perfmon/installer/PerformanceCounterInstaller.h"
#include "provider/TarnCounterSet.h"
#include "tests/install/ImageTestSupport.h"
#include "tools/perfclient/PerfData.h"
#include "win32/FileUtils.h"
#include "win32/RegistryKey.h"

#include <gtest/gtest.h>
#include <winperf.h>

#include <algorithm>
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

// Runs tarnctr with its standard output in a file; the output, and the exit code in code.
std::string TarnctrOutput(const std::wstring &arguments, DWORD &code)
{
    const CTestFile output(L"tarnctr", L".txt");
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    const HANDLE file = ::CreateFileW(output.Path().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, file);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = file;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    std::wstring commandLine = L"\"" + Beside(L"tarnctr.exe") + L"\" " + arguments;
    code = STILL_ACTIVE;
    if (::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
    {
        ::WaitForSingleObject(process.hProcess, 60000);
        ::GetExitCodeProcess(process.hProcess, &code);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    ::CloseHandle(file);
    const std::vector<BYTE> bytes = ReadWholeFile(output.Path());
    return std::string(bytes.begin(), bytes.end());
}

bool Contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// Every value and subkey under the key, sorted, as one text: the registry's state to compare.
std::string Tree(const std::wstring &path)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    {
        return "<no key>\n";
    }
    std::vector<std::string> lines;
    std::vector<std::wstring> subkeys;
    for (DWORD i = 0;; ++i)
    {
        wchar_t name[256];
        DWORD nameLength = 256;
        BYTE data[4096];
        DWORD size = sizeof(data);
        DWORD type = 0;
        if (::RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS)
        {
            break;
        }
        lines.push_back(std::string(name, name + nameLength) + " " + std::to_string(type) + " " +
                        std::string(reinterpret_cast<const char *>(data), size));
    }
    for (DWORD i = 0;; ++i)
    {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (::RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        {
            break;
        }
        subkeys.emplace_back(name, nameLength);
    }
    ::RegCloseKey(key);
    std::sort(lines.begin(), lines.end());
    std::sort(subkeys.begin(), subkeys.end());
    std::string text;
    for (const std::string &line : lines)
    {
        text += line + "\n";
    }
    for (const std::wstring &subkey : subkeys)
    {
        text += "[" + std::string(subkey.begin(), subkey.end()) + "]\n" + Tree(path + L"\\" + subkey);
    }
    return text;
}

std::wstring SystemFolder(bool wow64 = false)
{
    wchar_t folder[MAX_PATH];
    const UINT length =
        wow64 ? ::GetSystemWow64DirectoryW(folder, MAX_PATH) : ::GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder, length);
}

// The names of the files in the folder that match the pattern.
std::vector<std::wstring> Files(const std::wstring &folder, const wchar_t *pattern)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((folder + L"\\" + pattern).c_str(), &found);
    if (search != INVALID_HANDLE_VALUE)
    {
        do
        {
            names.push_back(found.cFileName);
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Makes the stand-in counter-text loader misbehave for the child processes started meanwhile.
class CLoaderMode
{
public:
    explicit CLoaderMode(const wchar_t *mode) { ::SetEnvironmentVariableW(L"HALYARD_LOADPERF_MODE", mode); }
    ~CLoaderMode() { ::SetEnvironmentVariableW(L"HALYARD_LOADPERF_MODE", nullptr); }
    CLoaderMode(const CLoaderMode &) = delete;
    CLoaderMode &operator=(const CLoaderMode &) = delete;
};

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

// A module of the same name in the system folder stays as it was until the registration has
// succeeded, and no staged copy is left behind either way.
TEST_F(InstallTest, CopyReplacesAModuleOnlyOnceTheRegistrationSucceeded)
{
    const std::wstring copy = SystemFolder() + L"\\TARNCounters.dll";
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(copy.c_str())) << "a TARNCounters.dll is installed";
    const std::vector<std::wstring> staged = Files(SystemFolder(), L"trn*.tmp");
    ASSERT_TRUE(::CopyFileW(Beside(L"Fixture_noentry.dll").c_str(), copy.c_str(), TRUE));
    const std::vector<BYTE> older = ReadWholeFile(copy);
    {
        const CLoaderMode failing(L"fail");
        EXPECT_EQ(6u, Tarnctr(m_install + L" --copy"));
    }
    EXPECT_EQ(older, ReadWholeFile(copy));
    EXPECT_FALSE(KeyExists(kTarn));

    EXPECT_EQ(0u, Tarnctr(m_install + L" --copy"));
    EXPECT_EQ(Text(L"TARNCounters.dll"), Stored(kTarnPerformance, L"Library", REG_SZ));
    EXPECT_EQ(ReadWholeFile(m_provider), ReadWholeFile(copy));
    EXPECT_EQ(0u, Tarnctr(L"status"));
    EXPECT_EQ(0u, Tarnctr(L"uninstall"));
    EXPECT_EQ(staged, Files(SystemFolder(), L"trn*.tmp"));
    EXPECT_TRUE(::DeleteFileW(copy.c_str())) << "no copy in the system directory";
}

// Whatever step fails, the registry is as it was: a loader that fails, one that reports success
// without recording "First Counter" or records it in the wrong byte order, and a registry write
// refused (a volatile key cannot hold the lasting "Performance" key). A service registered under
// the same name keeps its value through all of it, and through an install and uninstall.
TEST_F(InstallTest, AFailedInstallLeavesTheRegistryAsItWas)
{
    const wchar_t image[] = L"C:\\TARN\\tarn.exe";
    const struct
    {
        bool isVolatile;
        const wchar_t *mode;
        DWORD exitCode;
    } failures[] = {{false, L"fail", 6}, {false, L"record-nothing", 6}, {false, L"big-endian", 6}, {true, L"", 7}};
    for (const auto &failure : failures)
    {
        HKEY service = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTarn.c_str(), 0, nullptr,
                                                   failure.isVolatile ? REG_OPTION_VOLATILE : 0, KEY_ALL_ACCESS,
                                                   nullptr, &service, nullptr));
        ::RegSetValueExW(service, L"ImagePath", 0, REG_SZ, reinterpret_cast<const BYTE *>(image), sizeof(image));
        ::RegCloseKey(service);
        const std::string before = Tree(kTarn);
        {
            const CLoaderMode mode(failure.mode);
            for (const wchar_t *options : {L"", L" --copy --lock-timeout 250"})
            {
                EXPECT_EQ(failure.exitCode, Tarnctr(m_install + options)) << failure.mode << options;
                EXPECT_EQ(before, Tree(kTarn)) << failure.mode << options;
                EXPECT_EQ(INVALID_FILE_ATTRIBUTES,
                          ::GetFileAttributesW((SystemFolder() + L"\\TARNCounters.dll").c_str()));
                ExpectIndexesRestored();
            }
        }
        if (!failure.isVolatile)
        {
            ASSERT_EQ(0u, Tarnctr(m_install + L" --lock-timeout 250"));
            EXPECT_NE(before, Tree(kTarn));
            ASSERT_EQ(0u, Tarnctr(L"uninstall"));
            EXPECT_EQ(before, Tree(kTarn));
        }
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTarn.c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kTarn.c_str());
    }
}

// Through the library, a registry write refused half way: the values written into a "Performance"
// key that existed already are taken back and its own are restored.
TEST_F(InstallTest, AWriteRefusedHalfWayIsTakenBack)
{
    const std::wstring application = kServices + m_application;
    HKEY key = nullptr;
    for (const std::wstring &path : {application, application + L"\\Performance"})
    {
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                                                   KEY_ALL_ACCESS, nullptr, &key, nullptr));
        ::RegCloseKey(key);
    }
    SetValue(application + L"\\Performance", L"Library", REG_SZ, Text(L"Older.dll"));
    SetValue(application + L"\\Performance", L"Open Timeout", REG_DWORD, Dword(20));
    const std::string before = Tree(application);
    const CTestFile ini(m_application, L".ini");
    const CTestFile header(m_application, L".h");
    const CPerformanceDataSchema schema = CreateTarnCounterSet();
    CCounterTextFile(schema, m_application).Write(ini.Path(), header.Path());
    try
    {
        // "Library" to "Close" are written before the linkage key, which a volatile key cannot hold.
        CPerformanceCounterInstaller(300).Install(m_application, m_provider, false, ini.Path(), L"TARNExport",
                                                  10000, 5000, schema.GetChecksum());
        FAIL() << "no exception";
    }
    catch (const Win32::CRegistryKey::Exception &e)
    {
        EXPECT_EQ(L"CRegistryKey::CreateOrOpenKey()", e.GetWhere());
        EXPECT_EQ(static_cast<DWORD>(ERROR_CHILD_MUST_BE_VOLATILE), e.GetError());
    }
    EXPECT_EQ(before, Tree(application));
    ExpectIndexesRestored();
}

// The installer loads the counter-text loader from the system folder only; a loadperf.dll beside
// the elevated tool would otherwise run with its rights.
TEST_F(InstallTest, APlantedLoaderBesideTarnctrIsNeverLoaded)
{
    const std::wstring planted = Beside(L"loadperf.dll");
    const std::wstring marker = planted + L".loaded";
    ASSERT_TRUE(::CopyFileW((SystemFolder() + L"\\loadperf.dll").c_str(), planted.c_str(), FALSE));
    // The planted copy leaves its marker whenever it is loaded from there.
    const HMODULE loaded = ::LoadLibraryW(planted.c_str());
    ASSERT_NE(nullptr, loaded);
    ::FreeLibrary(loaded);
    ASSERT_TRUE(::DeleteFileW(marker.c_str())) << "the stand-in left no marker";

    EXPECT_EQ(0u, Tarnctr(m_install));
    EXPECT_EQ(0u, Tarnctr(L"uninstall"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(marker.c_str()));
    ::DeleteFileW(marker.c_str());
    EXPECT_TRUE(::DeleteFileW(planted.c_str()));
}

// Both builds copied into the system folders under one name: status says that monitors of either
// word size load it; a single 64-bit module serves 64-bit monitors only.
TEST_F(InstallTest, BothArchitecturesInstallIntoTheirSystemFolders)
{
    const std::string narrow = HALYARD_X86_PROVIDER;
    const std::wstring x86(narrow.begin(), narrow.end());
    if (::GetFileAttributesW(x86.c_str()) == INVALID_FILE_ATTRIBUTES)
    {
        GTEST_SKIP() << "no x86 build at " << HALYARD_X86_PROVIDER << " (scripts/test builds it before the tests)";
    }
    const std::wstring copies[] = {SystemFolder() + L"\\TARNCounters.dll", SystemFolder(true) + L"\\TARNCounters.dll"};
    for (const std::wstring &copy : copies)
    {
        ASSERT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(copy.c_str())) << "a TARNCounters.dll is installed";
    }
    ASSERT_EQ(0u, Tarnctr(L"install --x64 \"" + m_provider + L"\" --x86 \"" + x86 + L"\""));
    EXPECT_EQ(Text(L"TARNCounters.dll"), Stored(kTarnPerformance, L"Library", REG_SZ));
    EXPECT_EQ(ReadWholeFile(m_provider), ReadWholeFile(copies[0]));
    EXPECT_EQ(ReadWholeFile(x86), ReadWholeFile(copies[1]));
    DWORD code = 0;
    std::string status = TarnctrOutput(L"status", code);
    EXPECT_EQ(0u, code) << status;
    EXPECT_TRUE(Contains(status, "64-bit monitors: yes")) << status;
    EXPECT_TRUE(Contains(status, "32-bit monitors: yes")) << status;
    EXPECT_EQ(0u, Tarnctr(L"uninstall"));
    EXPECT_FALSE(KeyExists(kTarn));
    for (const std::wstring &copy : copies)
    {
        EXPECT_TRUE(::DeleteFileW(copy.c_str()));
    }

    ASSERT_EQ(0u, Tarnctr(m_install));
    status = TarnctrOutput(L"status", code);
    EXPECT_TRUE(Contains(status, "64-bit monitors: yes")) << status;
    EXPECT_TRUE(Contains(status, "32-bit monitors: no")) << status;
    EXPECT_TRUE(Contains(status, "is a 64-bit module")) << status;
    EXPECT_EQ(1u, Tarnctr(L"install --x64 \"" + m_provider + L"\" --copy"));
    EXPECT_EQ(0u, Tarnctr(L"uninstall"));
}

// The system marks a provider that failed; status reports it, enable clears it.
TEST_F(InstallTest, StatusReportsADisabledProviderAndEnableClearsIt)
{
    ASSERT_EQ(0u, Tarnctr(m_install));
    SetValue(kTarnPerformance, L"Disable Performance Counters", REG_DWORD, Dword(1));
    DWORD code = 0;
    std::string status = TarnctrOutput(L"status", code);
    EXPECT_EQ(12u, code);
    EXPECT_TRUE(Contains(status, "Provider: disabled")) << status;
    EXPECT_EQ(0u, Tarnctr(L"enable"));
    EXPECT_EQ("<missing>", Stored(kTarnPerformance, L"Disable Performance Counters"));
    status = TarnctrOutput(L"status", code);
    EXPECT_EQ(0u, code);
    EXPECT_TRUE(Contains(status, "Provider: enabled")) << status;
    EXPECT_TRUE(Contains(TarnctrOutput(L"enable", code), "not disabled"));
    EXPECT_EQ(0u, code);
    EXPECT_EQ(0u, Tarnctr(L"uninstall"));
    EXPECT_EQ(3u, Tarnctr(L"enable"));
}

TEST_F(InstallTest, LockTimeoutIsRecordedOnlyWhenGiven)
{
    const struct
    {
        const wchar_t *options;
        std::string stored;
        const char *shown;
    } cases[] = {{L"", "<missing>", "Lock Timeout: 100 ms (default)"},
                 {L" --lock-timeout 250", Dword(250), "Lock Timeout: 250 ms\r\n"}};
    for (const auto &c : cases)
    {
        ASSERT_EQ(0u, Tarnctr(m_install + c.options));
        EXPECT_EQ(c.stored, Stored(kTarnPerformance, L"Lock Timeout"));
        DWORD code = 0;
        const std::string status = TarnctrOutput(L"status", code);
        EXPECT_TRUE(Contains(status, c.shown)) << status;
        EXPECT_EQ(0u, Tarnctr(L"uninstall"));
        EXPECT_FALSE(KeyExists(kTarn));
    }
}

// Every privileged monitor loads the registered module: one that ordinary users could replace is
// refused unless forced; a copy in the system folder is not affected.
TEST_F(InstallTest, AModuleOrdinaryUsersCanReplaceIsRefusedUnlessForced)
{
    // Wine keeps no permissions of its own for files and derives them from the Unix mode bits, so
    // there /tmp stands for a folder that every account may write.
    std::wstring folder = L"Z:\\tmp";
    if (::GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES || !Win32::IsWritableByOrdinaryUsers(folder))
    {
        GTEST_SKIP() << "no folder that every account may write";
    }
    const std::wstring exposed = folder + L"\\" + UniqueName(L"TARNCounters") + L".dll";
    ASSERT_TRUE(::CopyFileW(m_provider.c_str(), exposed.c_str(), FALSE));
    EXPECT_FALSE(Win32::IsWritableByOrdinaryUsers(ExecutableDirectory()));
    EXPECT_EQ(11u, Tarnctr(L"install \"" + exposed + L"\""));
    EXPECT_FALSE(KeyExists(kTarn));
    EXPECT_EQ(0u, Tarnctr(L"install \"" + exposed + L"\" --force"));
    EXPECT_EQ(0u, Tarnctr(L"uninstall"));
    ::DeleteFileW(exposed.c_str());

    const struct
    {
        const wchar_t *path;
        bool share;
    } paths[] = {{L"\\\\server\\share\\TARNCounters.dll", true},
                 {L"\\\\?\\UNC\\server\\share\\TARNCounters.dll", true},
                 {L"\\\\?\\C:\\TARN\\TARNCounters.dll", false},
                 {L"C:\\TARN\\TARNCounters.dll", false},
                 {L"TARNCounters.dll", false}};
    for (const auto &p : paths)
    {
        EXPECT_EQ(p.share, Win32::IsOnNetworkShare(p.path)) << std::string(p.path, p.path + wcslen(p.path));
    }
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
    EXPECT_EQ(1u, Tarnctr(m_install + L" --open-timeout 0"));
    EXPECT_EQ(1u, Tarnctr(m_install + L" --collect-timeout 600001"));
    EXPECT_EQ(1u, Tarnctr(m_install + L" --lock-timeout 0"));
    EXPECT_EQ(1u, Tarnctr(L"install --x86"));
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
