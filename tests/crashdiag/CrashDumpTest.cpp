#include "tests/crashdiag/CrashFolder.h"

#include "crashdiag/CrashDump.h"
#include "tools/perfclient/DebugChannelListener.h"
#include "win32/MessageLog.h"
#include "win32/ToString.h"

#include <windows.h>
#include <dbghelp.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <set>

using namespace Halyard;
using namespace Halyard::Testing;
using namespace Halyard::Win32;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAreArray;

namespace {

struct CDumpContents
{
    bool signature = false;
    bool hasException = false;
    DWORD threadId = 0;
    DWORD code = 0;
    bool listsHelper = false;
};

// Whether the module list stream at the offset names a module whose path ends in the file name.
bool ListsModule(const std::vector<BYTE> &bytes, size_t offset, const std::wstring &fileName)
{
    const ULONG32 count = *reinterpret_cast<const ULONG32 *>(&bytes[offset]);
    for (ULONG32 i = 0; i < count; ++i)
    {
        const size_t entry = offset + sizeof(ULONG32) + i * sizeof(MINIDUMP_MODULE);
        if (entry + sizeof(MINIDUMP_MODULE) > bytes.size())
        {
            return false;
        }
        const RVA nameAt = reinterpret_cast<const MINIDUMP_MODULE *>(&bytes[entry])->ModuleNameRva;
        if (nameAt + sizeof(ULONG32) > bytes.size())
        {
            return false;
        }
        const ULONG32 length = *reinterpret_cast<const ULONG32 *>(&bytes[nameAt]);
        if (nameAt + sizeof(ULONG32) + length > bytes.size())
        {
            return false;
        }
        const std::wstring name(reinterpret_cast<const wchar_t *>(&bytes[nameAt + sizeof(ULONG32)]),
                                length / sizeof(wchar_t));
        if (name.size() >= fileName.size() && name.compare(name.size() - fileName.size(), fileName.size(), fileName) == 0)
        {
            return true;
        }
    }
    return false;
}

// Reads the header, the module list and the exception stream of a mini-dump file.
CDumpContents ReadDump(const std::wstring &path)
{
    const std::vector<BYTE> bytes = LoadFileAsBinaryData(path);
    CDumpContents contents;
    if (bytes.size() < sizeof(MINIDUMP_HEADER))
    {
        return contents;
    }
    const MINIDUMP_HEADER &header = *reinterpret_cast<const MINIDUMP_HEADER *>(bytes.data());
    contents.signature = std::equal(bytes.begin(), bytes.begin() + 4, "MDMP");
    for (ULONG32 i = 0; i < header.NumberOfStreams; ++i)
    {
        const size_t entry = header.StreamDirectoryRva + i * sizeof(MINIDUMP_DIRECTORY);
        if (entry + sizeof(MINIDUMP_DIRECTORY) > bytes.size())
        {
            break;
        }
        const MINIDUMP_DIRECTORY &directory = *reinterpret_cast<const MINIDUMP_DIRECTORY *>(&bytes[entry]);
        if (directory.StreamType == ModuleListStream && directory.Location.Rva + sizeof(ULONG32) <= bytes.size())
        {
            contents.listsHelper = ListsModule(bytes, directory.Location.Rva, L"crash_helper.exe");
        }
        if (directory.StreamType == ExceptionStream &&
            directory.Location.Rva + sizeof(MINIDUMP_EXCEPTION_STREAM) <= bytes.size())
        {
            const MINIDUMP_EXCEPTION_STREAM &stream =
                *reinterpret_cast<const MINIDUMP_EXCEPTION_STREAM *>(&bytes[directory.Location.Rva]);
            contents.hasException = true;
            contents.threadId = stream.ThreadId;
            contents.code = stream.ExceptionRecord.ExceptionCode;
        }
    }
    return contents;
}

// The log's lines without their line ends.
std::vector<std::string> Lines(const std::string &log)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = log.find("\r\n"); end != std::string::npos; end = log.find("\r\n", start))
    {
        lines.push_back(log.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::string Narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

std::string Prefixed(DWORD threadId, const std::string &message)
{
    return ToStringA(static_cast<unsigned long>(threadId)) + ": " + message;
}

std::string Created(DWORD threadId, const std::wstring &dump)
{
    return Prefixed(threadId, "Default crash dump created: " + Narrow(dump) + "\"");
}

const char kHeader[] = "****************New Log*****************";

} // namespace

TEST(CrashDumps, NineFaultsWriteNineDumpsIntoTheDumpFolderOnlyAndLaterOnesAreRefused)
{
    CCrashFolder folder;
    PerfClient::CDebugChannelListener listener(30000);
    const CCrashFolder::Run run = folder.RunHelper(L"fault 11");
    ASSERT_EQ(11u, run.exitCode);
    // Nothing beside the program, which is also the current folder, and nothing on standard output.
    EXPECT_THAT(folder.ProgramFolderFiles(), ElementsAre(folder.HelperPath()));
    EXPECT_EQ("", run.output);

    std::vector<std::wstring> dumps = folder.Dumps();
    ASSERT_EQ(9u, dumps.size());
    // Folder, program name, local date and time, process, faulting thread, sequence number.
    const std::regex special(R"([\\.^$|()\[\]{}*+?])");
    const std::regex name(std::regex_replace(Narrow(folder.DumpFolder() + L"\\crash_helper.exe"), special, R"(\$&)") +
                          R"(-\d{8}-\d{6}-)" + std::to_string(run.processId) + "-" +
                          std::to_string(run.mainThreadId) + R"(-(\d+)\.dmp)");
    std::set<int> sequence;
    for (const std::wstring &dump : dumps)
    {
        std::smatch match;
        const std::string narrow = Narrow(dump);
        ASSERT_TRUE(std::regex_match(narrow, match, name)) << narrow;
        sequence.insert(std::stoi(match[1]));
        const CDumpContents contents = ReadDump(dump);
        EXPECT_TRUE(contents.signature) << narrow;
        EXPECT_TRUE(contents.hasException) << narrow;
        EXPECT_EQ(run.mainThreadId, contents.threadId) << narrow;
        EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), contents.code) << narrow;
        EXPECT_TRUE(contents.listsHelper) << narrow;
    }
    EXPECT_EQ((std::set<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}), sequence);

    // A debugger sees the refusals, once for each fault past the ninth.
    const std::wstring refusal = L"Did not create crash dump. Already created: 10";
    for (int i = 0; i < 2; ++i)
    {
        const auto line = listener.WaitForLine(run.processId, refusal, 10000);
        ASSERT_TRUE(line.has_value());
        EXPECT_EQ(Prefixed(run.mainThreadId, Narrow(refusal)) + "\n", line->text);
    }
    EXPECT_FALSE(listener.WaitForLine(run.processId, refusal, 500).has_value());

    // The trace file beside the dumps holds the same story, in order.
    std::sort(dumps.begin(), dumps.end(), [](const std::wstring &a, const std::wstring &b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    std::vector<std::string> expected = {kHeader};
    for (const std::wstring &dump : dumps)
    {
        expected.push_back(Created(run.mainThreadId, dump));
    }
    expected.push_back(Prefixed(run.mainThreadId, Narrow(refusal)));
    expected.push_back(Prefixed(run.mainThreadId, Narrow(refusal)));
    EXPECT_EQ(expected, Lines(folder.Log()));
}

TEST(CrashDumps, WithoutAFolderSetDumpsGoToTheDefaultFolder)
{
    CCrashFolder folder;
    const CCrashFolder::Run run = folder.RunHelperAsIs(L"fault 1");
    ASSERT_EQ(1u, run.exitCode);
    EXPECT_THAT(folder.ProgramFolderFiles(), ElementsAre(folder.HelperPath()));
    const std::vector<std::wstring> dumps = FilesMatching(GetDefaultCrashDumpFolder() + L"\\crash_helper.exe-*-" +
                                                          std::to_wstring(run.processId) + L"-*.dmp");
    ASSERT_EQ(1u, dumps.size());
    EXPECT_TRUE(ReadDump(dumps[0]).hasException);
    ::DeleteFileW(dumps[0].c_str());
}

TEST(CrashDumps, ExistingDumpFilesLowerTheLimit)
{
    CCrashFolder folder;
    const std::wstring prefix = folder.DumpFolder() + L"\\crash_helper.exe";
    const std::vector<std::wstring> existing = {prefix + L"-old.dmp", prefix + L"-20200101-101010.txt", prefix + L"-x.y"};
    folder.CreateDumpSubfolder(L"crash_helper.exe-folder.d");
    for (const std::wstring &file : existing)
    {
        SaveStringAsFile(file, "earlier");
    }
    // Neither of these is named like a dump of the helper.
    SaveStringAsFile(prefix + L".dmp", "other");
    SaveStringAsFile(folder.DumpFolder() + L"\\other.exe-1.dmp", "other");

    const CCrashFolder::Run run = folder.RunHelper(L"limit 10 search");
    ASSERT_EQ(0u, run.exitCode);
    const std::vector<std::string> lines = Lines(folder.Log());
    ASSERT_EQ(1u + 3 + 1, lines.size()) << folder.Log();
    EXPECT_EQ(kHeader, lines[0]);
    std::vector<std::string> expectedExisting;
    for (const std::wstring &file : existing)
    {
        expectedExisting.push_back(Prefixed(run.mainThreadId, "Existing dump file: " + Narrow(file)));
    }
    EXPECT_THAT(std::vector<std::string>(lines.begin() + 1, lines.begin() + 4),
                UnorderedElementsAreArray(expectedExisting));
    EXPECT_EQ(Prefixed(run.mainThreadId, "Max dumps to produce reduced to 7 due to existing dump files"), lines[4]);
    ::DeleteFileW((folder.DumpFolder() + L"\\Halyard.log").c_str());

    // The lowered limit is the one that counts: a limit of 4 less three files refuses the first fault.
    const CCrashFolder::Run lowered = folder.RunHelper(L"limit 4 search fault 2");
    ASSERT_EQ(2u, lowered.exitCode);
    const std::vector<std::string> refused = Lines(folder.Log());
    ASSERT_EQ(1u + 3 + 1 + 2, refused.size()) << folder.Log();
    EXPECT_EQ(Prefixed(lowered.mainThreadId, "Max dumps to produce reduced to 1 due to existing dump files"), refused[4]);
    EXPECT_EQ(Prefixed(lowered.mainThreadId, "Did not create crash dump. Already created: 1"), refused[5]);
    EXPECT_EQ(refused[5], refused[6]);
    // Only the one that was there.
    EXPECT_EQ(1u, folder.Dumps().size());
}

TEST(CrashDumps, FaultsAreTranslatedAndDumpedOnlyWhileDumpsAreAllowed)
{
    struct Case
    {
        const wchar_t *arguments;
        DWORD translated;
        size_t dumps;
    };
    const Case cases[] = {
        {L"disable fault 3", 3, 0},
        // Held by a module's entry point, where a thread started for a dump could not run.
        {L"suppress fault 2", 2, 0},
        // Each overflow is dumped from a thread with a stack of its own, and the faulting thread
        // gets its guard page back for the next one.
        {L"overflow 2", 2, 2},
    };
    for (const Case &c : cases)
    {
        CCrashFolder folder;
        const CCrashFolder::Run run = folder.RunHelper(c.arguments);
        EXPECT_EQ(c.translated, run.exitCode) << Narrow(c.arguments);
        EXPECT_EQ(c.dumps, folder.Dumps().size()) << Narrow(c.arguments);
        EXPECT_THAT(folder.ProgramFolderFiles(), ElementsAre(folder.HelperPath())) << Narrow(c.arguments);
    }
}

TEST(CrashDumps, UncountedRequestsAlwaysDumpAndLeaveTheCountAlone)
{
    CCrashFolder folder;
    // With a limit of 3 two counted faults are dumped, whatever came before them uncounted.
    const CCrashFolder::Run run = folder.RunHelper(L"limit 3 keep uncounted 2 fault 3");
    ASSERT_EQ(3u, run.exitCode);
    const std::vector<std::wstring> dumps = folder.Dumps();
    ASSERT_EQ(2u + 2u, dumps.size());
    size_t withException = 0;
    for (const std::wstring &dump : dumps)
    {
        const CDumpContents contents = ReadDump(dump);
        EXPECT_TRUE(contents.signature);
        withException += contents.hasException ? 1 : 0;
    }
    // The uncounted requests dump the process as it is, without an exception.
    EXPECT_EQ(2u, withException);
    const std::vector<std::string> lines = Lines(folder.Log());
    ASSERT_EQ(1u + 4 + 1, lines.size());
    EXPECT_EQ(Prefixed(run.mainThreadId, "Did not create crash dump. Already created: 3"), lines[5]);
}

namespace {

// A replacement creator that writes no files and remembers what it was asked.
class CRecordingCreator : public ICreateMiniDumps
{
public:
    CRecordingCreator(const std::wstring &prefix, bool succeed) : m_prefix(prefix), m_succeed(succeed) {}

    std::wstring GetDumpFileNamePrefix() override { return m_prefix; }
    std::wstring GetNextDumpFileName() override { return m_prefix + L"-" + std::to_wstring(++m_names) + L".dmp"; }
    bool CreateDump(const std::wstring &fileName, EXCEPTION_POINTERS *pointers) override
    {
        created.push_back(fileName);
        if (pointers != nullptr)
        {
            receivedCode = pointers->ExceptionRecord->ExceptionCode;
            receivedContext = *pointers->ContextRecord;
        }
        callingThread = ::GetCurrentThreadId();
        dumpedThread = GetDumpedThreadId();
        return m_succeed;
    }
    bool CreateDump(EXCEPTION_POINTERS *pointers) override { return CreateDump(GetNextDumpFileName(), pointers); }

    std::vector<std::wstring> created;
    DWORD receivedCode = 0;
    CONTEXT receivedContext = {};
    DWORD callingThread = 0;
    DWORD dumpedThread = 0;

private:
    std::wstring m_prefix;
    bool m_succeed;
    int m_names = 0;
};

// Sends the debug trace to memory and puts the default dump creator back afterwards.
class CrashDumpPolicy : public ::testing::Test
{
protected:
    CrashDumpPolicy()
        : m_memory(L"", CSimpleMessageLog::Memory, 1), m_previous(CDebugTrace::Instance().SetLog(&m_memory))
    {
    }
    ~CrashDumpPolicy() override
    {
        SetDumpCreatorAndLimit(nullptr, 10, true);
        CDebugTrace::Instance().SetLog(m_previous);
    }

    std::string Trace() { return Narrow(m_memory.GetMemoryLog()); }

    CSimpleMessageLog m_memory;
    ILogMessages *m_previous;
};

} // namespace

TEST_F(CrashDumpPolicy, ReplacementCreatorWritesOnAThreadOfItsOwnForTheFaultingThread)
{
    CRecordingCreator creator(L"C:\\nowhere\\app.exe", true);
    SetDumpCreatorAndLimit(&creator, 10, true);
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = 0xE0004321;
    CONTEXT context = {};
    ::RtlCaptureContext(&context);
    EXCEPTION_POINTERS pointers = {&record, &context};
    ::SetLastError(1234);
    RequestCrashDump(&pointers, false);
    EXPECT_EQ(1234u, ::GetLastError());
    ASSERT_THAT(creator.created, ElementsAre(L"C:\\nowhere\\app.exe-1.dmp"));
    // The dump thread works on copies of the records, which stay valid however long it takes.
    EXPECT_EQ(0xE0004321u, creator.receivedCode);
    EXPECT_EQ(0, std::memcmp(&context, &creator.receivedContext, sizeof(CONTEXT)));
    EXPECT_NE(::GetCurrentThreadId(), creator.callingThread);
    EXPECT_EQ(::GetCurrentThreadId(), creator.dumpedThread);
    EXPECT_EQ(Prefixed(::GetCurrentThreadId(), "Custom crash dump created: C:\\nowhere\\app.exe-1.dmp\"") + "\n",
              Trace());
}

TEST_F(CrashDumpPolicy, FailingReplacementCreatorIsNotReplacedByTheDefault)
{
    CRecordingCreator creator(L"C:\\nowhere\\app.exe", false);
    SetDumpCreatorAndLimit(&creator, 10, true);
    EXPECT_FALSE(CreateCrashDump(nullptr));
    EXPECT_EQ(1u, creator.created.size());
    EXPECT_EQ("", Trace());
}

TEST_F(CrashDumpPolicy, ReplacementCreatorsPrefixFindsExistingDumps)
{
    CCrashFolder folder;
    const std::wstring prefix = folder.Path() + L"\\app.exe";
    SaveStringAsFile(prefix + L"-1.dmp", "");
    SaveStringAsFile(prefix + L"-2.dmp", "");
    CRecordingCreator creator(prefix, true);
    SetDumpCreatorAndLimit(&creator, 5, false);
    const std::string trace = Trace();
    EXPECT_NE(std::string::npos, trace.find("Existing dump file: " + Narrow(prefix) + "-1.dmp\n"));
    EXPECT_NE(std::string::npos, trace.find("Existing dump file: " + Narrow(prefix) + "-2.dmp\n"));
    EXPECT_NE(std::string::npos, trace.find("Max dumps to produce reduced to 3 due to existing dump files\n"));

    // With the limit kept nothing is searched.
    CCrashFolder empty;
    CRecordingCreator elsewhere(empty.Path() + L"\\app.exe", true);
    SetDumpCreatorAndLimit(&elsewhere, 5, false);
    SetDumpCreatorAndLimit(&creator, 5, true);
    EXPECT_EQ(trace, Trace());
}
