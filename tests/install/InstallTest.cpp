#include "perfmon/installer/CounterTextFile.h"
#include "perfmon/installer/PerformanceCounterInstaller.h"
#include "provider/TarnCounterSet.h"
#include "tests/install/ImageTestSupport.h"
#include "tests/support/Expect.h"
#include "tests/support/RawRegistry.h"
#include "tests/support/TempFiles.h"
#include "tests/support/UnixFiles.h"
#include "tools/perfclient/PerfData.h"
#include "win32/FileUtils.h"
#include "win32/RegistryKey.h"
#include "win32/SmartHandle.h"
#include "win32/StringConverter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <winperf.h>

#include <algorithm>
#include <cstddef>
#include <tuple>
#include <vector>

using namespace Halyard;
using namespace Halyard::Testing;
using Halyard::PerfMon::CCounterTextFile;
using Halyard::PerfMon::CPerformanceCounterInstaller;
using Halyard::PerfMon::CPerformanceDataSchema;
using ::testing::HasSubstr;

namespace {

const std::wstring kServices = L"SYSTEM\\CurrentControlSet\\Services\\";
const std::wstring kPerflib = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib";
const std::wstring kTarn = kServices + TarnProductName;
const std::wstring kTarnPerformance = kTarn + L"\\Performance";

std::string Stored(const std::wstring &key, const wchar_t *name, DWORD expectedType = REG_DWORD)
{
    return RawGet(HKEY_LOCAL_MACHINE, key, name, expectedType);
}

DWORD Tarnctr(const std::wstring &arguments)
{
    return CChildProcess(L"tarnctr.exe", arguments).Wait(60000);
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

std::wstring CopiedInto(const CTempFolder &folder, const std::wstring &file)
{
    const std::wstring copy = folder / Win32::GetFileNameFromPath(file);
    Win32::CopyFile(file, copy, false);
    return copy;
}

// A file mover that refuses every move onto one name.
std::wstring g_refusedTarget;

BOOL WINAPI MoveExceptOntoRefusedTarget(LPCWSTR existing, LPCWSTR target, DWORD flags)
{
    if (::CompareStringOrdinal(target, -1, g_refusedTarget.c_str(), -1, TRUE) == CSTR_EQUAL)
    {
        ::SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    return ::MoveFileExW(existing, target, flags);
}

// The system's last title indexes are set to those of a fresh system for the test and restored
// when it ends, and the registrations are removed. TARN must not be registered when the test
// starts: a registration of its own is never touched.
class InstallTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, kTarn)) << "TARN is registered already; remove it first";
        for (int i = 0; i < 2; ++i)
        {
            m_saved[i] = Stored(kPerflib, kLastIndexes[i]);
            RawSet(HKEY_LOCAL_MACHINE, kPerflib, kLastIndexes[i], REG_DWORD, DwordBytes(kLastCounter + i));
        }
        m_cleanUp = true;
    }

    void TearDown() override
    {
        if (!m_cleanUp)
        {
            return;
        }
        RawDeleteTree(HKEY_LOCAL_MACHINE, kTarn);
        RawDeleteTree(HKEY_LOCAL_MACHINE, kServices + m_application);
        for (int i = 0; i < 2; ++i)
        {
            if (m_saved[i] == "<missing>")
            {
                ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kPerflib.c_str(), kLastIndexes[i]);
            }
            else
            {
                RawSet(HKEY_LOCAL_MACHINE, kPerflib, kLastIndexes[i], REG_DWORD, m_saved[i]);
            }
        }
    }

    static void ExpectLastIndexes(DWORD lastCounter = kLastCounter)
    {
        EXPECT_EQ(DwordBytes(lastCounter), Stored(kPerflib, L"Last Counter"));
        EXPECT_EQ(DwordBytes(lastCounter + 1), Stored(kPerflib, L"Last Help"));
    }

    static constexpr DWORD kLastCounter = 1846;
    // Where the stand-in loader puts the next set: the even index after the system's last ones.
    static constexpr DWORD kFirst = kLastCounter + 2;
    // Copied onto the prefix's own drive: the build folder may lie below a folder that every account
    // may change (a clone under /tmp), where tarnctr rightly refuses the module.
    const CTempFolder m_modules{L"InstallModules"};
    const std::wstring m_provider = CopiedInto(m_modules, Beside(L"TARNCounters.dll"));
    const std::wstring m_install = L"install \"" + m_provider + L"\"";
    const std::wstring m_application = L"HalyardInstall_" + std::to_wstring(::GetCurrentProcessId());
    std::string m_saved[2];
    bool m_cleanUp = false;
};

} // namespace

// The whole life of an installation through the tool: the title indexes the loader hands out, and
// the time-outs recorded only when they are given and not the default.
TEST_F(InstallTest, TarnctrInstallsReportsAndUninstalls)
{
    const DWORD last = kFirst + 2 * 26;
    const struct
    {
        const wchar_t *options;
        std::string open, collect, lock;
        const char *lockShown;
    } installs[] = {
        {L"", "<missing>", "<missing>", "<missing>", "Lock Timeout: 100 ms (default)"},
        {L" --open-timeout 9999 --collect-timeout 10000 --lock-timeout 250", DwordBytes(9999), "<missing>",
         DwordBytes(250), "Lock Timeout: 250 ms\r\n"},
        {L" --collect-timeout 10001", "<missing>", DwordBytes(10001), "<missing>", "Lock Timeout: 100 ms (default)"}};
    for (const auto &install : installs)
    {
        ASSERT_EQ(0u, Tarnctr(m_install + install.options)) << install.options;
        const std::tuple<const wchar_t *, std::string, DWORD> values[] = {
            {L"First Counter", DwordBytes(kFirst), REG_DWORD},   {L"Last Counter", DwordBytes(last), REG_DWORD},
            {L"First Help", DwordBytes(kFirst + 1), REG_DWORD},  {L"Last Help", DwordBytes(last + 1), REG_DWORD},
            {L"Open Timeout", install.open, REG_DWORD},          {L"Collect Timeout", install.collect, REG_DWORD},
            {L"Lock Timeout", install.lock, REG_DWORD},          {L"Library", TextBytes(m_provider), REG_SZ},
            {L"Open", TextBytes(L"PerfData_Open"), REG_SZ},      {L"Collect", TextBytes(L"PerfData_Collect"), REG_SZ},
            {L"Close", TextBytes(L"PerfData_Close"), REG_SZ},
            {L"SchemaChecksum", TextBytes(CreateTarnCounterSet().GetChecksum()), REG_SZ}};
        for (const auto &value : values)
        {
            const wchar_t *name = std::get<0>(value);
            EXPECT_EQ(std::get<1>(value), Stored(kTarnPerformance, name, std::get<2>(value)))
                << name << install.options;
        }
        ExpectLastIndexes(last);
        EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, kTarn + L"\\Linkage"));
        // The counter text files were only needed while the loader read them.
        EXPECT_TRUE(FilesMatching(Win32::GetTempPath() + L"TARNCounters_*").empty());

        const ProgramRun status = RunProgram(L"tarnctr.exe", L"status");
        EXPECT_EQ(0u, status.exitCode) << status.output;
        EXPECT_THAT(status.output, HasSubstr(install.lockShown));
        EXPECT_EQ(2u, Tarnctr(m_install));
        EXPECT_EQ(DwordBytes(kFirst), Stored(kTarnPerformance, L"First Counter"));
        ASSERT_EQ(0u, Tarnctr(L"uninstall"));
        EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, kTarn));
        ExpectLastIndexes();
    }
    EXPECT_EQ(3u, Tarnctr(L"status"));
    EXPECT_EQ(3u, Tarnctr(L"uninstall"));
}

// A module of the same name in the system folder stays as it was until the registration has
// succeeded, and no staged copy is left behind either way.
TEST_F(InstallTest, CopyReplacesAModuleOnlyOnceTheRegistrationSucceeded)
{
    const std::wstring copy = Win32::GetSystemDirectory() + L"\\TARNCounters.dll";
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(copy.c_str())) << "a TARNCounters.dll is installed";
    const std::vector<std::wstring> staged = FilesMatching(Win32::GetSystemDirectory() + L"\\trn*.tmp");
    ASSERT_TRUE(::CopyFileW(Beside(L"Fixture_noentry.dll").c_str(), copy.c_str(), TRUE));
    const std::vector<BYTE> older = Win32::LoadFileAsBinaryData(copy);
    {
        const CLoaderMode failing(L"fail");
        EXPECT_EQ(6u, Tarnctr(m_install + L" --copy"));
    }
    EXPECT_EQ(older, Win32::LoadFileAsBinaryData(copy));
    EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, kTarn));
    {
        // Registered, but the module in the way cannot be moved aside: the registration goes again.
        const Win32::CSmartHandle held(
            ::CreateFileW(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.IsValid());
        EXPECT_EQ(8u, Tarnctr(m_install + L" --copy")) << "the copy failed";
    }
    EXPECT_EQ(older, Win32::LoadFileAsBinaryData(copy));
    EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, kTarn));
    ExpectLastIndexes();

    EXPECT_EQ(0u, Tarnctr(m_install + L" --copy"));
    EXPECT_EQ(TextBytes(L"TARNCounters.dll"), Stored(kTarnPerformance, L"Library", REG_SZ));
    EXPECT_EQ(Win32::LoadFileAsBinaryData(m_provider), Win32::LoadFileAsBinaryData(copy));
    EXPECT_EQ(0u, Tarnctr(L"status"));
    EXPECT_EQ(0u, Tarnctr(L"uninstall"));
    EXPECT_EQ(staged, FilesMatching(Win32::GetSystemDirectory() + L"\\trn*.tmp"));
    EXPECT_TRUE(::DeleteFileW(copy.c_str())) << "no copy in the system directory";
}

// Whatever step fails, the registry is as it was: a loader that fails, one that reports success
// without recording "First Counter" or records it in the wrong byte order, and a registry write
// refused (a volatile key cannot hold the lasting "Performance" key). A service registered under
// the same name keeps its value through all of it, and through an install and uninstall.
TEST_F(InstallTest, AFailedInstallLeavesTheRegistryAsItWas)
{
    const struct
    {
        bool isVolatile;
        const wchar_t *mode;
        DWORD exitCode;
    } failures[] = {{false, L"fail", 6}, {false, L"record-nothing", 6}, {false, L"big-endian", 6}, {true, L"", 7}};
    for (const auto &failure : failures)
    {
        RawSet(HKEY_LOCAL_MACHINE, kTarn, L"ImagePath", REG_SZ, TextBytes(L"C:\\TARN\\tarn.exe"),
               failure.isVolatile ? REG_OPTION_VOLATILE : 0);
        const std::string before = RawTree(HKEY_LOCAL_MACHINE, kTarn);
        {
            const CLoaderMode mode(failure.mode);
            for (const wchar_t *options : {L"", L" --copy --lock-timeout 250"})
            {
                EXPECT_EQ(failure.exitCode, Tarnctr(m_install + options)) << failure.mode << options;
                EXPECT_EQ(before, RawTree(HKEY_LOCAL_MACHINE, kTarn)) << failure.mode << options;
                EXPECT_FALSE(Win32::FileExists(Win32::GetSystemDirectory() + L"\\TARNCounters.dll"));
                ExpectLastIndexes();
            }
        }
        if (!failure.isVolatile)
        {
            ASSERT_EQ(0u, Tarnctr(m_install + L" --lock-timeout 250"));
            EXPECT_NE(before, RawTree(HKEY_LOCAL_MACHINE, kTarn));
            ASSERT_EQ(0u, Tarnctr(L"uninstall"));
            EXPECT_EQ(before, RawTree(HKEY_LOCAL_MACHINE, kTarn));
        }
        RawDeleteTree(HKEY_LOCAL_MACHINE, kTarn);
    }
}

// Through the library, a registry write refused half way: the values written into a "Performance"
// key that existed already are taken back and its own are restored.
TEST_F(InstallTest, AWriteRefusedHalfWayIsTakenBack)
{
    const std::wstring application = kServices + m_application;
    RawSet(HKEY_LOCAL_MACHINE, application, nullptr, 0, std::string(), REG_OPTION_VOLATILE);
    RawSet(HKEY_LOCAL_MACHINE, application + L"\\Performance", L"Library", REG_SZ, TextBytes(L"Older.dll"),
           REG_OPTION_VOLATILE);
    RawSet(HKEY_LOCAL_MACHINE, application + L"\\Performance", L"Open Timeout", REG_DWORD, DwordBytes(20));
    const std::string before = RawTree(HKEY_LOCAL_MACHINE, application);
    const CTempFile ini(m_application, L".ini");
    const CTempFile header(m_application, L".h");
    const CPerformanceDataSchema schema = CreateTarnCounterSet();
    CCounterTextFile(schema, m_application).Write(ini.Path(), header.Path());
    // "Library" to "Close" are written before the linkage key, which a volatile key cannot hold.
    ExpectWin32Exception(
        [&] {
            CPerformanceCounterInstaller(300).Install(m_application, m_provider, false, ini.Path(), L"TARNExport",
                                                      10000, 5000, schema.GetChecksum());
        },
        L"CRegistryKey::CreateOrOpenKey()", ERROR_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(before, RawTree(HKEY_LOCAL_MACHINE, application));
    ExpectLastIndexes();
}

// A loader that refuses the file leaves no registration behind, and says so under the installer's
// own where-text.
TEST_F(InstallTest, LoaderFailureRemovesTheRegistration)
{
    const CTempFile missing(m_application, L".ini");
    ExpectWin32Exception(
        [&] {
            CPerformanceCounterInstaller().Install(m_application, m_provider, false, missing.Path(), L"TARNExport",
                                                   5000, 10000, L"sum");
        },
        L"CPerformanceCounterInstaller::Install()", ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, kServices + m_application));
    ExpectLastIndexes();
}

// The installer loads the counter-text loader from the system folder only; a loadperf.dll beside
// the elevated tool would otherwise run with its rights.
TEST_F(InstallTest, APlantedLoaderBesideTarnctrIsNeverLoaded)
{
    const std::wstring planted = Beside(L"loadperf.dll");
    const std::wstring marker = planted + L".loaded";
    ASSERT_TRUE(::CopyFileW((Win32::GetSystemDirectory() + L"\\loadperf.dll").c_str(), planted.c_str(), FALSE));
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
    const std::wstring x86 = Win32::CStringConverter::AtoW(HALYARD_X86_PROVIDER);
    if (::GetFileAttributesW(x86.c_str()) == INVALID_FILE_ATTRIBUTES)
    {
        GTEST_SKIP() << "no x86 build at " << HALYARD_X86_PROVIDER << " (scripts/test builds it before the tests)";
    }
    const std::wstring copies[] = {Win32::GetSystemDirectory() + L"\\TARNCounters.dll",
                                   Win32::GetSystemWow64Directory() + L"\\TARNCounters.dll"};
    for (const std::wstring &copy : copies)
    {
        ASSERT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(copy.c_str())) << "a TARNCounters.dll is installed";
    }
    ASSERT_EQ(0u, Tarnctr(L"install --x64 \"" + m_provider + L"\" --x86 \"" + x86 + L"\""));
    EXPECT_EQ(TextBytes(L"TARNCounters.dll"), Stored(kTarnPerformance, L"Library", REG_SZ));
    EXPECT_EQ(Win32::LoadFileAsBinaryData(m_provider), Win32::LoadFileAsBinaryData(copies[0]));
    EXPECT_EQ(Win32::LoadFileAsBinaryData(x86), Win32::LoadFileAsBinaryData(copies[1]));
    ProgramRun status = RunProgram(L"tarnctr.exe", L"status");
    EXPECT_EQ(0u, status.exitCode) << status.output;
    EXPECT_THAT(status.output, AllOf(HasSubstr("64-bit monitors: yes"), HasSubstr("32-bit monitors: yes")));
    EXPECT_EQ(0u, Tarnctr(L"uninstall"));
    EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, kTarn));
    for (const std::wstring &copy : copies)
    {
        EXPECT_TRUE(::DeleteFileW(copy.c_str()));
    }

    ASSERT_EQ(0u, Tarnctr(m_install));
    status = RunProgram(L"tarnctr.exe", L"status");
    EXPECT_THAT(status.output, AllOf(HasSubstr("64-bit monitors: yes"), HasSubstr("32-bit monitors: no"),
                                     HasSubstr("is a 64-bit module")));
    EXPECT_EQ(1u, Tarnctr(L"install --x64 \"" + m_provider + L"\" --copy"));
    EXPECT_EQ(0u, Tarnctr(L"uninstall"));
}

#if defined(HALYARD_X64_BUILD)
namespace {

// The TARN object of a performance library answer, with the fields that hold a pointer on 32-bit
// systems cleared: the title texts of the object and of each counter.
std::vector<BYTE> TarnObjectBytes(const std::vector<BYTE> &answer, DWORD firstCounter)
{
    const PerfClient::CPerformanceData data = PerfClient::CPerformanceData::Parse(answer);
    const PerfClient::CPerformanceData::Object *object = data.FindObject(firstCounter);
    if (object == nullptr)
    {
        return {};
    }
    std::vector<BYTE> bytes(answer.begin() + object->offset,
                            answer.begin() + object->offset + object->header.TotalByteLength);
    const auto clear = [&bytes](size_t offset) { std::fill_n(bytes.begin() + offset, 4, BYTE{0}); };
    clear(offsetof(PERF_OBJECT_TYPE, ObjectNameTitle));
    clear(offsetof(PERF_OBJECT_TYPE, ObjectHelpTitle));
    for (DWORD i = 0; i < object->header.NumCounters; ++i)
    {
        const size_t counter = object->header.HeaderLength + i * sizeof(PERF_COUNTER_DEFINITION);
        clear(counter + offsetof(PERF_COUNTER_DEFINITION, CounterNameTitle));
        clear(counter + offsetof(PERF_COUNTER_DEFINITION, CounterHelpTitle));
    }
    return bytes;
}

} // namespace

// The x64 tarnctr installs both builds; this 32-bit process then reads the counters through the
// performance library, which loads the x86 module from the 32-bit system folder. Its answer for a
// 64-bit server's block is the 64-bit monitor's, byte for byte, but for the pointer-sized fields.
TEST_F(InstallTest, ThirtyTwoBitMonitorReadsWhatTheSixtyFourBitOneReads)
{
    const std::wstring x64 = L"" HALYARD_X64_BUILD;
    // The x64 tool throughout: the stand-in counter-text loader lies in the 64-bit system folder only.
    const std::wstring tarnctr = x64 + L"/tools/tarnctr/tarnctr.exe";
    // "System32" would be redirected to the 32-bit system folder in this 32-bit process.
    const std::wstring copies[] = {Win32::GetSystemWindowsDirectory() + L"\\Sysnative\\TARNCounters.dll",
                                   Win32::GetSystemWow64Directory() + L"\\TARNCounters.dll"};
    for (const std::wstring &copy : copies)
    {
        ASSERT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(copy.c_str())) << "a TARNCounters.dll is installed";
    }
    const std::wstring install =
        L"install --x64 \"" + x64 + L"/provider/TARNCounters.dll\" --x86 \"" + m_provider + L"\"";
    ASSERT_EQ(0u, CChildProcess(tarnctr, install).Wait(60000));
    {
        // Both halves of the value set, so a half lost on the way shows.
        CHelperHolding server(std::wstring(L"hold ") + TarnProductName + L" " + std::to_wstring(kFirst),
                              L" gateway-1 8589934595", x64 + L"/tests/helper/test_helper.exe");
        const std::wstring query = std::to_wstring(kFirst);
        const std::vector<BYTE> ours = TarnObjectBytes(PerfClient::QueryPerformanceData(query), kFirst);
        const CTempFile theirs(L"perf");
        ASSERT_EQ(0u, CChildProcess(x64 + L"/tests/helper/test_helper.exe",
                                    L"perfdata " + query + L" \"" + theirs.Path() + L"\"")
                          .Wait(60000));
        ASSERT_FALSE(ours.empty()) << "the 32-bit monitor got no TARN object";
        EXPECT_EQ(TarnObjectBytes(Win32::LoadFileAsBinaryData(theirs.Path()), kFirst), ours);
        const PERF_OBJECT_TYPE *object = reinterpret_cast<const PERF_OBJECT_TYPE *>(ours.data());
        EXPECT_EQ(1, object->NumInstances);
    }
    EXPECT_EQ(0u, CChildProcess(tarnctr, L"uninstall").Wait(60000));
    for (const std::wstring &copy : copies)
    {
        EXPECT_TRUE(::DeleteFileW(copy.c_str())) << Win32::CStringConverter::WtoA(copy) << ": " << ::GetLastError();
    }
}
#endif

// The system marks a provider that failed; status reports it, enable clears it. A checksum or a
// module that does not match is reported too.
TEST_F(InstallTest, StatusReportsWhatKeepsTheCountersFromWorking)
{
    ASSERT_EQ(0u, Tarnctr(m_install));
    RawSet(HKEY_LOCAL_MACHINE, kTarnPerformance, L"Disable Performance Counters", REG_DWORD, DwordBytes(1));
    const struct
    {
        const wchar_t *command;
        DWORD code;
        const char *shown;
    } runs[] = {{L"status", 12, "Provider: disabled"}, {L"enable", 0, ""}, {L"status", 0, "Provider: enabled"},
                {L"enable", 0, "not disabled"}};
    for (const auto &run : runs)
    {
        const ProgramRun done = RunProgram(L"tarnctr.exe", run.command);
        EXPECT_EQ(run.code, done.exitCode) << done.output;
        EXPECT_THAT(done.output, HasSubstr(run.shown));
    }
    EXPECT_EQ("<missing>", Stored(kTarnPerformance, L"Disable Performance Counters"));

    RawSet(HKEY_LOCAL_MACHINE, kTarnPerformance, L"SchemaChecksum", REG_SZ, TextBytes(L"0123"));
    EXPECT_EQ(9u, Tarnctr(L"status"));
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kTarnPerformance.c_str(), L"SchemaChecksum");
    EXPECT_EQ(9u, Tarnctr(L"status"));
    RawSet(HKEY_LOCAL_MACHINE, kTarnPerformance, L"SchemaChecksum", REG_SZ,
           TextBytes(CreateTarnCounterSet().GetChecksum()));
    EXPECT_EQ(0u, Tarnctr(L"status"));
    RawSet(HKEY_LOCAL_MACHINE, kTarnPerformance, L"Library", REG_SZ, TextBytes(Beside(L"Fixture_noentry.dll")));
    EXPECT_EQ(9u, Tarnctr(L"status"));
    EXPECT_EQ(0u, Tarnctr(L"uninstall"));
    EXPECT_EQ(3u, Tarnctr(L"enable"));
}

// Every privileged monitor loads the registered module: one that others could replace is refused
// unless forced, with the path and the account named; a copy in the system folder is not affected.
TEST_F(InstallTest, AModuleOthersCanReplaceIsRefusedUnlessForced)
{
    if (!CUnixFiles::Available())
    {
        GTEST_SKIP() << "the Unix tools that make a folder every account may write are not reachable";
    }
    const CTempFolder folder(L"OpenModules");
    const std::wstring exposed = folder / L"TARNCounters.dll";
    ASSERT_TRUE(::CopyFileW(m_provider.c_str(), exposed.c_str(), FALSE));
    ASSERT_TRUE(CUnixFiles::OpenToEveryone(folder.Path()));
    const ProgramRun refused = RunProgram(L"tarnctr.exe", L"install \"" + exposed + L"\"");
    EXPECT_EQ(11u, refused.exitCode);
    EXPECT_THAT(refused.output, HasSubstr(Win32::CStringConverter::WtoA(Win32::Quoted(folder.Path()))));
    EXPECT_THAT(refused.output, HasSubstr("S-1-1-0"));
    EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, kTarn));
    EXPECT_EQ(0u, Tarnctr(L"install \"" + exposed + L"\" --force"));
    EXPECT_EQ(TextBytes(exposed), Stored(kTarnPerformance, L"Library", REG_SZ));
    EXPECT_EQ(0u, Tarnctr(L"uninstall"));
    EXPECT_EQ(0u, Tarnctr(L"install \"" + exposed + L"\" --copy"));
    EXPECT_EQ(0u, Tarnctr(L"uninstall"));
    ::DeleteFileW((Win32::GetSystemDirectory() + L"\\TARNCounters.dll").c_str());

    const std::pair<const wchar_t *, bool> paths[] = {
        {L"\\\\server\\share\\TARNCounters.dll", true}, {L"\\\\?\\UNC\\server\\share\\TARNCounters.dll", true},
        {L"\\\\?\\C:\\TARN\\TARNCounters.dll", false}, {L"C:\\TARN\\TARNCounters.dll", false},
        {L"TARNCounters.dll", false}};
    for (const auto &p : paths)
    {
        EXPECT_EQ(p.second, Win32::IsOnNetworkShare(p.first)) << std::string(p.first, p.first + wcslen(p.first));
    }
}

// A failed install whose own restore fails says so with its own kind, names where the module it
// moved aside was left, and leaves it there; the registration is taken back all the same.
TEST_F(InstallTest, ARestoreThatFailsIsReportedAndItsModuleKept)
{
    const std::wstring copy = Win32::GetSystemDirectory() + L"\\TARNCounters.dll";
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(copy.c_str())) << "a TARNCounters.dll is installed";
    ASSERT_TRUE(::CopyFileW(Beside(L"Fixture_noentry.dll").c_str(), copy.c_str(), TRUE));
    const std::vector<BYTE> older = Win32::LoadFileAsBinaryData(copy);
    const CTempFile ini(m_application, L".ini");
    const CTempFile header(m_application, L".h");
    const CPerformanceDataSchema schema = CreateTarnCounterSet();
    CCounterTextFile(schema, m_application).Write(ini.Path(), header.Path());

    // Moving the older module aside works; every move onto the module's name fails.
    g_refusedTarget = copy;
    CPerformanceCounterInstaller::SetFileMover(MoveExceptOntoRefusedTarget);
    std::wstring message;
    PerfMon::TInstallFailure kind = PerfMon::TInstallFailure::Copy;
    try
    {
        CPerformanceCounterInstaller().Install(m_application, m_provider, true, ini.Path(), L"", 10000, 10000,
                                               schema.GetChecksum());
    }
    catch (const Win32::CException &e)
    {
        message = e.GetMessage();
        const auto *failure = dynamic_cast<const PerfMon::CInstallFailure *>(&e);
        ASSERT_NE(nullptr, failure) << Win32::CStringConverter::WtoA(message);
        kind = failure->GetKind();
    }
    CPerformanceCounterInstaller::SetFileMover(nullptr);
    EXPECT_EQ(PerfMon::TInstallFailure::Restore, kind);
    EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, kServices + m_application));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(copy.c_str()));
    const std::vector<std::wstring> aside = FilesMatching(Win32::GetSystemDirectory() + L"\\trn*.tmp");
    std::wstring kept;
    for (const std::wstring &file : aside)
    {
        kept = message.find(L"\"" + file + L"\"") != std::wstring::npos ? file : kept;
    }
    ASSERT_FALSE(kept.empty()) << Win32::CStringConverter::WtoA(message);
    EXPECT_EQ(older, Win32::LoadFileAsBinaryData(kept));
    EXPECT_TRUE(::MoveFileExW(kept.c_str(), copy.c_str(), 0));
    EXPECT_TRUE(::DeleteFileW(copy.c_str()));
}

// Wrong input is refused with its own exit code before anything is written.
TEST_F(InstallTest, FailuresHaveTheirOwnExitCodes)
{
    const std::wstring noEntry = L"\"" + Beside(L"Fixture_noentry.dll") + L"\"";
    const std::pair<std::wstring, DWORD> runs[] = {
        {L"--help", 0},
        {L"", 1},
        {L"frobnicate", 1},
        {L"install", 1},
        {m_install + L" --open-timeout 12ms", 1},
        {m_install + L" --collect-timeout", 1},
        {m_install + L" --open-timeout 4294967296", 1},
        {m_install + L" --open-timeout 0", 1},
        {m_install + L" --collect-timeout 600001", 1},
        {m_install + L" --lock-timeout 0", 1},
        {L"install --x86", 1},
        {L"status now", 1},
        {L"validate \"" + m_provider + L"\"", 0},
        {L"validate " + noEntry, 4},
        {L"install " + noEntry, 4},
        {L"install \"" + Beside(L"NoSuchModule.dll") + L"\"", 4}};
    for (const auto &run : runs)
    {
        EXPECT_EQ(run.second, Tarnctr(run.first)) << std::string(run.first.begin(), run.first.end());
    }
    EXPECT_FALSE(RawKeyExists(HKEY_LOCAL_MACHINE, kTarn));
    ExpectLastIndexes();
}
