#include "tests/crashdiag/CrashFolder.h"
#include "tests/support/UnixFiles.h"

#include "crashdiag/CrashDump.h"
#include "tools/perfclient/DebugChannelListener.h"
#include "win32/AccessRule.h"
#include "win32/FileUtils.h"
#include "win32/LocalMemory.h"
#include "win32/MemoryMappedFile.h"
#include "win32/SmartHandle.h"
#include "win32/StringConverter.h"
#include "win32/ToString.h"

#include <windows.h>
#include <aclapi.h>
#include <dbghelp.h>
#include <sddl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <map>
#include <set>

using namespace Halyard;
using namespace Halyard::Testing;
using ::testing::ElementsAre;

namespace {

// The exception stream of a mini-dump file; all zero when the file is no dump or has none.
MINIDUMP_EXCEPTION_STREAM ReadException(const std::wstring &path)
{
    Win32::CMemoryMappedFile file(path, Win32::CMemoryMappedFile::ReadOnly);
    MINIDUMP_EXCEPTION_STREAM exception = {};
    void *stream = nullptr;
    ULONG size = 0;
    if (file.GetSize() >= sizeof(MINIDUMP_HEADER) && std::memcmp(file.GetBaseAddress(), "MDMP", 4) == 0 &&
        ::MiniDumpReadDumpStream(file.GetBaseAddress(), ExceptionStream, nullptr, &stream, &size) &&
        size >= sizeof(exception))
    {
        std::memcpy(&exception, stream, sizeof(exception));
    }
    return exception;
}

std::string Prefixed(DWORD threadId, const std::string &message)
{
    return Win32::ToStringA(static_cast<unsigned long>(threadId)) + ": " + message;
}

// A file named like a dump of the process, last written now or a day ago.
std::wstring PlaceDumpFile(const std::wstring &folder, DWORD processId, int sequence, bool dayOld)
{
    const std::wstring path = folder + L"\\test_helper.exe-20200101-000000-" + std::to_wstring(processId) + L"-1-" +
                              std::to_wstring(sequence) + L".dmp";
    const Win32::CSmartHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(file.IsValid()) << ::GetLastError();
    FILETIME written;
    ::GetSystemTimeAsFileTime(&written);
    ULARGE_INTEGER time = {{written.dwLowDateTime, written.dwHighDateTime}};
    time.QuadPart -= dayOld ? 24 * 3600 * 10000000ULL : 0;
    written = {time.LowPart, time.HighPart};
    EXPECT_TRUE(::SetFileTime(file.GetHandle(), nullptr, nullptr, &written));
    return path;
}

// The owner and every account granted anything on the file or folder, other than SYSTEM,
// Administrators and the system folder's owner.
std::vector<std::string> OthersWithAccess(const std::wstring &path)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    Win32::TLocalMemory<void> descriptor;
    EXPECT_EQ(ERROR_SUCCESS, ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                                     OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                                     nullptr, &dacl, nullptr, descriptor.Receive()));
    std::vector<PSID> sids = {owner};
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i)
    {
        void *entry = nullptr;
        if (::GetAce(dacl, i, &entry) && static_cast<ACE_HEADER *>(entry)->AceType == ACCESS_ALLOWED_ACE_TYPE)
        {
            sids.push_back(&static_cast<ACCESS_ALLOWED_ACE *>(entry)->SidStart);
        }
    }
    std::vector<std::string> others;
    const std::vector<BYTE> &systemFolderOwner = Win32::GetSystemFolderOwner();
    for (PSID sid : sids)
    {
        Win32::TLocalMemory<wchar_t> text;
        if (sid == nullptr || !::ConvertSidToStringSidW(sid, text.Receive()))
        {
            others.push_back("(none)");
            continue;
        }
        const std::wstring name = text.Get();
        const bool trusted = name == L"S-1-5-18" || name == L"S-1-5-32-544" ||
                             (!systemFolderOwner.empty() && ::EqualSid(sid, const_cast<BYTE *>(systemFolderOwner.data())));
        if (!trusted)
        {
            others.push_back(Win32::CStringConverter::WtoA(name));
        }
    }
    return others;
}

} // namespace

TEST(CrashDumps, NineFaultsWriteNineDumpsIntoTheDumpFolderOnlyAndLaterOnesAreRefused)
{
    CCrashFolder folder;
    PerfClient::CDebugChannelListener listener(30000);
    const ProgramRun run = folder.Run(L"fault 11");
    ASSERT_EQ(11u, run.exitCode);
    // Nothing beside the program, which is also the current folder, and nothing on its output.
    EXPECT_THAT(folder.ProgramFolderFiles(), ElementsAre(folder.HelperPath()));
    EXPECT_EQ("", run.output);

    const std::vector<std::wstring> dumps = folder.Dumps();
    ASSERT_EQ(9u, dumps.size());
    // Folder, program name, local date and time to the millisecond, process, faulting thread,
    // sequence number: faults within one second each get their own file.
    const std::regex special(R"([\\.^$|()\[\]{}*+?])");
    const std::string program = Win32::CStringConverter::WtoA(folder.DumpFolder() + L"\\test_helper.exe");
    const std::regex name(std::regex_replace(program, special, R"(\$&)") + R"(-\d{8}-\d{9}-)" +
                          std::to_string(run.processId) + "-" + std::to_string(run.mainThreadId) + R"(-(\d+)\.dmp)");
    std::map<int, std::string> bySequence;
    for (const std::wstring &dump : dumps)
    {
        std::smatch match;
        const std::string narrow = Win32::CStringConverter::WtoA(dump);
        ASSERT_TRUE(std::regex_match(narrow, match, name)) << narrow;
        bySequence[std::stoi(match[1])] = narrow;
    }
    ASSERT_EQ(9u, bySequence.size());
    EXPECT_EQ(1, bySequence.begin()->first);
    EXPECT_EQ(9, bySequence.rbegin()->first);

    // A debugger sees the refusals, once for each fault past the ninth.
    const std::wstring refusal = L"Did not create crash dump. Already created: 10";
    const std::string refused = Prefixed(run.mainThreadId, Win32::CStringConverter::WtoA(refusal));
    for (int i = 0; i < 2; ++i)
    {
        const auto line = listener.WaitForLine(run.processId, refusal, 10000);
        ASSERT_TRUE(line.has_value());
        EXPECT_EQ(refused + "\n", line->text);
    }
    EXPECT_FALSE(listener.WaitForLine(run.processId, refusal, 500).has_value());

    // The trace file beside the dumps holds the same story, in order.
    std::string expected = "****************New Log*****************\r\n";
    for (const auto &dump : bySequence)
    {
        expected += Prefixed(run.mainThreadId, "Default crash dump created: " + dump.second + "\"\r\n");
    }
    EXPECT_EQ(expected + refused + "\r\n" + refused + "\r\n", folder.Log());
}

// Each structured exception is translated for the faulting thread and dumped, with its own code and
// thread, while dumps are allowed.
TEST(CrashDumps, FaultsAreTranslatedAndDumpedWhileDumpsAreAllowed)
{
    const struct
    {
        const wchar_t *commands;
        DWORD translated;
        size_t dumps;
        DWORD code;
    } cases[] = {
        {L"fault 1", 1, 1, EXCEPTION_ACCESS_VIOLATION},
        // Each overflow is dumped from a thread with a stack of its own, and the faulting thread
        // gets its guard page back for the next one.
        {L"overflow 2", 2, 2, EXCEPTION_STACK_OVERFLOW},
        // Held by a module's entry point, where a thread started for a dump could not run.
        {L"suppress fault 2", 2, 0, 0},
        // Caught inside a translator scope that stays open: each dumped once its handler has ended.
        {L"caught 2", 2, 2, EXCEPTION_ACCESS_VIOLATION},
        // Caught nowhere: dumped on the way out, before the program aborts.
        {L"uncaught", 3, 1, EXCEPTION_ACCESS_VIOLATION},
    };
    for (const auto &c : cases)
    {
        const std::string what = Win32::CStringConverter::WtoA(c.commands);
        CCrashFolder folder;
        const ProgramRun run = folder.Run(c.commands);
        EXPECT_EQ(c.translated, run.exitCode) << what;
        EXPECT_THAT(folder.ProgramFolderFiles(), ElementsAre(folder.HelperPath())) << what;
        const std::vector<std::wstring> dumps = folder.Dumps();
        EXPECT_EQ(c.dumps, dumps.size()) << what;
        for (const std::wstring &dump : dumps)
        {
            const MINIDUMP_EXCEPTION_STREAM exception = ReadException(dump);
            EXPECT_EQ(run.mainThreadId, exception.ThreadId) << what;
            EXPECT_EQ(c.code, exception.ExceptionRecord.ExceptionCode) << what;
        }
    }
}

TEST(CrashDumps, WithoutAFolderSetDumpsGoToTheDefaultFolder)
{
    CCrashFolder folder;
    const ProgramRun run = folder.Run(L"fault 1", false);
    ASSERT_EQ(1u, run.exitCode);
    EXPECT_THAT(folder.ProgramFolderFiles(), ElementsAre(folder.HelperPath()));
    const std::vector<std::wstring> dumps = FilesMatching(Win32::GetDefaultCrashDumpFolder() + L"\\test_helper.exe-*-" +
                                                          std::to_wstring(run.processId) + L"-*.dmp");
    ASSERT_EQ(1u, dumps.size());
    EXPECT_EQ(run.mainThreadId, ReadException(dumps[0]).ThreadId);
    ::DeleteFileW(dumps[0].c_str());
}

// A host that loads the module anew for each query must not get a new limit each time: dumps in the
// folder under the process's id count against its limit, as an earlier load's would. Dumps of other
// processes do not, nor do those of an earlier process that had the same id, written before this
// one started.
TEST(CrashDumps, DumpsThatTheProcessWroteBeforeCountAgainstItsLimit)
{
    CCrashFolder folder;
    Win32::CreateDirectory(folder.DumpFolder());
    CNamedSignal go;
    CChildProcess helper(folder.HelperPath(),
                         L"crash folder \"" + folder.DumpFolder() + L"\" wait " + go.Name() + L" fault 10",
                         folder.ProgramFolder());
    const DWORD id = helper.ProcessId();
    std::set<std::wstring> placed;
    for (int sequence = 1; sequence <= 3; ++sequence)
    {
        placed.insert(PlaceDumpFile(folder.DumpFolder(), id, sequence, false));
    }
    placed.insert(PlaceDumpFile(folder.DumpFolder(), id, 11, true));
    placed.insert(PlaceDumpFile(folder.DumpFolder(), id, 12, true));
    placed.insert(PlaceDumpFile(folder.DumpFolder(), id + 4, 21, false));
    go.Set();
    ASSERT_EQ(10u, helper.Wait(120000));

    // Nine in all for the process: six new ones, numbered on from the three it already had.
    std::set<std::wstring> written;
    for (const std::wstring &dump : folder.Dumps())
    {
        if (placed.count(dump) == 0)
        {
            EXPECT_EQ(helper.MainThreadId(), ReadException(dump).ThreadId) << Win32::CStringConverter::WtoA(dump);
            written.insert(dump.substr(dump.rfind(L'-') + 1));
        }
    }
    EXPECT_EQ((std::set<std::wstring>{L"4.dmp", L"5.dmp", L"6.dmp", L"7.dmp", L"8.dmp", L"9.dmp"}), written);
    const std::string refusal = Prefixed(helper.MainThreadId(), "Did not create crash dump. Already created: 10\r\n");
    const std::string log = folder.Log();
    size_t refusals = 0;
    for (size_t at = log.find(refusal); at != std::string::npos; at = log.find(refusal, at + 1))
    {
        ++refusals;
    }
    EXPECT_EQ(4u, refusals) << log;
}

// A dump holds the host's memory: a folder that another account could change, or one reached
// through a link, gets neither a dump nor the trace, and a debugger hears which folder and why.
TEST(CrashDumps, AFolderThatOthersCouldChangeGetsNoDump)
{
    if (!CUnixFiles::Available())
    {
        GTEST_SKIP() << "the Unix tools that make an open folder and a link are not reachable";
    }
    for (const bool linked : {false, true})
    {
        CCrashFolder folder;
        const std::wstring target = folder / L"elsewhere";
        if (linked)
        {
            Win32::CreateDirectory(target);
            ASSERT_TRUE(CUnixFiles::Link(target, folder.DumpFolder()));
        }
        else
        {
            Win32::CreateDirectory(folder.DumpFolder());
            ASSERT_TRUE(CUnixFiles::OpenToEveryone(folder.DumpFolder()));
        }
        PerfClient::CDebugChannelListener listener(30000);
        const ProgramRun run = folder.Run(L"fault 1");
        EXPECT_EQ(1u, run.exitCode);
        const auto line = listener.WaitForLine(run.processId, L"Did not create crash dump", 10000);
        ASSERT_TRUE(line.has_value()) << linked;
        EXPECT_THAT(line->text, ::testing::HasSubstr(Win32::CStringConverter::WtoA(Win32::Quoted(folder.DumpFolder()))));
        EXPECT_THAT(line->text, ::testing::HasSubstr(linked ? "reparse point" : "S-1-1-0"));
        EXPECT_TRUE(FilesMatching(folder.DumpFolder() + L"\\*").empty()) << linked;
        EXPECT_TRUE(FilesMatching(target + L"\\*").empty()) << linked;
        if (linked)
        {
            EXPECT_TRUE(CUnixFiles::Remove(folder.DumpFolder()));
        }
    }
}

// The folders a dump needs are made for the administrators alone, the product's folder as well as
// the dump folder, and so is each dump: nobody else is granted anything on them.
TEST(CrashDumps, FoldersAndDumpsThatTheFacilityCreatesAreForAdministratorsOnly)
{
    CCrashFolder folder;
    const std::wstring product = folder / L"TARN";
    const std::wstring dumps = product + L"\\Crash Dumps";
    const ProgramRun run =
        RunProgram(folder.HelperPath(), L"crash folder \"" + dumps + L"\" fault 1", folder.ProgramFolder());
    ASSERT_EQ(1u, run.exitCode);
    const std::vector<std::wstring> written = FilesMatching(dumps + L"\\test_helper.exe-*.dmp");
    ASSERT_EQ(1u, written.size());
    for (const std::wstring &path : {product, dumps, written[0]})
    {
        EXPECT_THAT(OthersWithAccess(path), ::testing::IsEmpty()) << Win32::CStringConverter::WtoA(path);
    }
}
