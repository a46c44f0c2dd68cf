#include "perfmon/datablock/PerformanceDataBlock.h"
#include "perfmon/schema/Schema.h"
#include "provider/TarnCounterSet.h"
#include "tools/perfclient/DebugChannelListener.h"
#include "tools/perfclient/DirectProvider.h"
#include "tools/perfclient/PerfData.h"
#include "tools/perfclient/ProviderRegistration.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/GuardedBuffer.h"
#include "tests/support/TempFiles.h"
#include "tests/support/Watchdog.h"
#include "win32/FileUtils.h"
#include "win32/SmartHandle.h"
#include "win32/StringConverter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <regex>
#include <thread>

using namespace Halyard;
using namespace Halyard::Testing;
using Halyard::PerfClient::CDirectProvider;
using Halyard::PerfClient::CPerformanceData;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

const DWORD kFirstCounter = 7000;

// The module loaded the way the performance library loads it, with "TARN" registered, and the
// debugger channel read as a debugger reads it.
class ProviderExports : public ::testing::Test
{
protected:
    ProviderExports()
        : m_listener(10000), m_registration(TarnProductName, Beside(L"TARNCounters.dll"), kFirstCounter)
    {
    }

    // The debug lines this process wrote since the last call.
    std::vector<std::string> DebugLines()
    {
        const std::wstring marker = UniqueName(L"end of lines");
        ::OutputDebugStringW(marker.c_str());
        EXPECT_TRUE(m_listener.WaitForLine(::GetCurrentProcessId(), marker, 15000).has_value());
        std::vector<std::string> lines;
        for (const PerfClient::CDebugChannelListener::Line &line : m_listener.TakeLines())
        {
            if (line.processId == ::GetCurrentProcessId())
            {
                lines.push_back(line.text);
            }
        }
        return lines;
    }

    PerfClient::CDebugChannelListener m_listener;
    PerfClient::CProviderRegistration m_registration;
};

// A collect that answered no data and left the caller's cursor and counts alone.
void ExpectNoData(const CDirectProvider::CollectResult &r, DWORD result = 0)
{
    EXPECT_EQ(result, r.result);
    EXPECT_EQ(0u, r.bytes);
    EXPECT_EQ(0u, r.objects);
    EXPECT_EQ(0, r.cursorAdvance);
    EXPECT_FALSE(r.overran);
}

// Collects until one answers with data, for at most limit milliseconds; the milliseconds it took, or
// nothing when no collect answered.
std::optional<ULONGLONG> CollectUntilData(CDirectProvider &provider, DWORD limit)
{
    const ULONGLONG start = ::GetTickCount64();
    while (::GetTickCount64() - start < limit)
    {
        const CDirectProvider::CollectResult r = provider.Collect(L"Global", 65536);
        if (r.objects == 1)
        {
            return ::GetTickCount64() - start;
        }
        ExpectNoData(r);
        ::Sleep(20);
    }
    return std::nullopt;
}

// A collect into a buffer that ends long before the size the caller claims: the copy faults under
// the block's lock. Returns the export's result; the counts must come back as zero.
DWORD FaultingCollect(const CDirectProvider &provider)
{
    const auto collect = reinterpret_cast<CDirectProvider::CollectFunction>(
        reinterpret_cast<void *>(::GetProcAddress(provider.GetModule(), "PerfData_Collect")));
    CGuardedBuffer buffer(64);
    void *cursor = buffer.Data();
    DWORD bytes = 65536;
    DWORD objects = 0;
    wchar_t query[] = L"Global";
    const DWORD result = collect(query, &cursor, &bytes, &objects);
    EXPECT_EQ(0u, bytes);
    EXPECT_EQ(0u, objects);
    EXPECT_EQ(buffer.Data(), cursor);
    return result;
}

size_t Occurrences(const std::string &text, const std::string &part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
    {
        ++count;
    }
    return count;
}

} // namespace

// The collector refuses a buffer that is too small; the module turns that into "more data" and
// leaves the caller's cursor and counts alone.
TEST_F(ProviderExports, OpenBeforeTheServerCreatesAnEmptyBlockSilently)
{
    CDirectProvider provider(Beside(L"TARNCounters.dll"));
    EXPECT_EQ(0u, provider.Open(L""));

    const CDirectProvider::CollectResult r = provider.Collect(L"Global", 65536);
    EXPECT_EQ(0u, r.result);
    EXPECT_EQ(1u, r.objects);
    EXPECT_EQ(static_cast<std::ptrdiff_t>(r.bytes), r.cursorAdvance);
    EXPECT_FALSE(r.overran);
    const std::vector<CPerformanceData::Object> objects =
        CPerformanceData::ParseObjects(r.data.data(), r.bytes, r.objects);
    ASSERT_EQ(1u, objects.size());
    const CPerformanceData::Object &object = objects[0];
    EXPECT_EQ(kFirstCounter, object.header.ObjectNameTitleIndex);
    EXPECT_EQ(26u, object.header.NumCounters);
    EXPECT_EQ(0, object.header.NumInstances);

    ExpectNoData(provider.Collect(L"Global", r.bytes - 1), ERROR_MORE_DATA);
    EXPECT_EQ(0u, provider.Collect(L"Costly", 0).result);

    EXPECT_EQ(0u, provider.Close());
    EXPECT_THAT(DebugLines(), ElementsAre());
}

TEST_F(ProviderExports, OpenTwiceAndCloseTwiceAreReportedNotFailed)
{
    CDirectProvider provider(Beside(L"TARNCounters.dll"));
    EXPECT_EQ(0u, provider.Open(L""));
    EXPECT_EQ(0u, provider.Open(L""));
    EXPECT_EQ(0u, provider.Close());
    EXPECT_EQ(0u, provider.Close());
    EXPECT_THAT(DebugLines(),
                ElementsAre("CPerformanceDataCollector::Open() -  Exception: CPerformanceDataCollector::Open() - Error: "
                            "collector is alread open",
                            "CPerformanceDataCollector::Close() -  Exception: CPerformanceDataCollector::Close() - "
                            "Error: collector has not been opened"));
}

// Unloaded with its collector open, closed or never made, the module leaves nothing behind; without
// a first counter index it makes no collector and gives no data.
TEST_F(ProviderExports, WithoutAFirstCounterThereIsNoCollectorAndUnloadingIsClean)
{
    {
        CDirectProvider provider(Beside(L"TARNCounters.dll"));
        ASSERT_EQ(0u, provider.Open(L""));
    }
    const std::wstring performance = m_registration.GetServiceKeyPath() + L"\\Performance";
    ASSERT_EQ(ERROR_SUCCESS, ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, performance.c_str(), L"First Counter"));
    {
        CDirectProvider provider(Beside(L"TARNCounters.dll"));
        EXPECT_EQ(1u, provider.Open(L""));
        ExpectNoData(provider.Collect(L"Global", 4096));
        EXPECT_EQ(0u, provider.Close());
    }
    {
        CDirectProvider provider(Beside(L"TARNCounters.dll"));
        EXPECT_EQ(1u, provider.Open(L""));
    }
    EXPECT_THAT(DebugLines(), ElementsAre(StartsWith("CreatePerformanceDataCollector() -  Exception: "),
                                          StartsWith("CreatePerformanceDataCollector() -  Exception: ")));
}

// A host may load and unload the module for every query; each cycle must give back every handle it
// took. A new handle takes the lowest free slot, so its value shows how many are still held.
TEST_F(ProviderExports, LoadingAndUnloadingAgainAndAgainLeavesNoHandleBehind)
{
    const auto lowestFreeHandle = [] {
        const Win32::CSmartHandle probe(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        return reinterpret_cast<UINT_PTR>(probe.GetHandle()) / 4;
    };
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock server(Win32::CGlobalName(TarnProductName), schema, kFirstCounter, nullptr);
    const UINT_PTR before = lowestFreeHandle();
    for (int cycle = 0; cycle < 50; ++cycle)
    {
        CDirectProvider provider(Beside(L"TARNCounters.dll"));
        ASSERT_EQ(0u, provider.Open(L""));
        EXPECT_EQ(0u, provider.Collect(L"Global", 65536).result);
        EXPECT_EQ(0u, provider.Close());
    }
    EXPECT_LT(lowestFreeHandle(), before + 10) << "handles left behind by 50 load and unload cycles";
}

TEST_F(ProviderExports, CorruptBlockGivesOneLineAndNoData)
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock server(Win32::CGlobalName(TarnProductName), schema, kFirstCounter, nullptr);
    CDirectProvider provider(Beside(L"TARNCounters.dll"));
    ASSERT_EQ(0u, provider.Open(L""));
    server.GetObjectDefinition(0)->NumCounters = 4000;

    ExpectNoData(provider.Collect(L"Global", 65536));
    EXPECT_THAT(DebugLines(), ElementsAre(StartsWith("CPerformanceDataCollector::Collect() -  Exception: "
                                                     "CPerformanceDataCollector::Collect() - Data block is corrupt")));
}

// A fault inside a collect (here the caller's buffer is not memory at all) is translated, reported
// once, and leaves the caller's cursor and counts as if nothing had been asked. The module dumps the
// fault into the folder that the registry names, with its trace file beside the dump: nothing lands
// in the host's current folder or beside its program, and nothing on its standard output.
TEST_F(ProviderExports, FaultInsideCollectIsAbsorbedAndDumpedOnlyIntoTheDumpFolder)
{
    const CTempFolder root(L"provider_fault");
    const std::wstring current = root / L"current";
    const std::wstring dumps = root / L"dumps";
    Win32::CreateDirectory(current);
    m_registration.SetPerformanceValue(L"Crash Dump Folder", dumps);
    const std::vector<std::wstring> programFolder = FilesMatching(ExecutableDirectory() + L"\\*");
    const std::wstring previousDirectory = Win32::GetCurrentDirectory();
    Win32::SetCurrentDirectory(current);
    std::vector<std::string> lines;
    {
        CStandardOutputCapture output(root / L"stdout.txt");
        CDirectProvider provider(Beside(L"TARNCounters.dll"));
        ASSERT_EQ(0u, provider.Open(L""));
        auto collect = reinterpret_cast<CDirectProvider::CollectFunction>(
            reinterpret_cast<void *>(::GetProcAddress(provider.GetModule(), "PerfData_Collect")));
        ASSERT_NE(nullptr, collect);

        void *cursor = reinterpret_cast<void *>(static_cast<UINT_PTR>(0x10));
        DWORD bytes = 65536;
        DWORD objects = 5;
        wchar_t query[] = L"Global";
        EXPECT_EQ(0u, collect(query, &cursor, &bytes, &objects));
        EXPECT_EQ(reinterpret_cast<void *>(static_cast<UINT_PTR>(0x10)), cursor);
        EXPECT_EQ(0u, bytes);
        EXPECT_EQ(0u, objects);
        lines = DebugLines();
        EXPECT_EQ(0u, provider.Close());
    }
    Win32::SetCurrentDirectory(previousDirectory);
    EXPECT_EQ("", Win32::LoadFileAsString(root / L"stdout.txt"));
    EXPECT_THAT(FilesMatching(current + L"\\*"), ElementsAre());
    EXPECT_EQ(programFolder, FilesMatching(ExecutableDirectory() + L"\\*"));

    // The fault is reported where it is caught; its dump is written after that, once the collect
    // has let go of the block's lock.
    ASSERT_EQ(2u, lines.size());
    EXPECT_TRUE(std::regex_match(
        lines[0], std::regex(R"(CPerformanceDataCollector::Collect\(\) -  Exception: 0x[0-9A-Fa-f]{8} - ACCESS_VIOLATION)")))
        << lines[0];
    std::smatch created;
    ASSERT_TRUE(std::regex_match(lines[1], created, std::regex(R"re(.*: Default crash dump created: (.*\.dmp)"\n)re")))
        << lines[1];
    const std::string dump = created[1];
    const std::wstring program = Win32::GetFileNameFromPath(Win32::GetModuleFileName(nullptr));
    EXPECT_THAT(dump, StartsWith(Win32::CStringConverter::WtoA(dumps + L"\\" + program) + "-"));
    const std::wstring log = dumps + L"\\Halyard.log";
    EXPECT_THAT(FilesMatching(dumps + L"\\*"), ::testing::UnorderedElementsAre(Win32::CStringConverter::AtoW(dump), log));
    EXPECT_EQ("MDMP", Win32::LoadFileAsString(Win32::CStringConverter::AtoW(dump)).substr(0, 4));
    EXPECT_THAT(Win32::LoadFileAsString(log), HasSubstr(lines[1].substr(0, lines[1].size() - 1) + "\r\n"));
}

// A dump takes a second or more; the server and every other monitor wait on the block's lock for
// a copy's worth of time only. The server here takes and releases an instance in a loop, timing each
// wait for the lock, while the provider faults inside its copy and writes a real dump.
TEST_F(ProviderExports, AFaultInsideTheCopyIsDumpedOnlyAfterTheBlocksLockIsLetGo)
{
    const CTempFolder dumps(L"provider_dump_lock");
    m_registration.SetPerformanceValue(L"Crash Dump Folder", dumps.Path());
    CWatchdog watchdog(180000);
    CHelperHolding server(std::wstring(L"instances ") + TarnProductName);
    CDirectProvider provider(Beside(L"TARNCounters.dll"));
    ASSERT_EQ(0u, provider.Open(L""));

    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(0u, FaultingCollect(provider));
    const ULONGLONG collectTook = ::GetTickCount64() - start;
    const DWORD longestWait = server.Release();
    EXPECT_EQ(0u, provider.Close());

    RecordProperty("collect_ms", static_cast<int>(collectTook));
    RecordProperty("longest_wait_ms", static_cast<int>(longestWait));
    ASSERT_EQ(1u, FilesMatching(dumps / L"*.dmp").size());
    ASSERT_GT(collectTook, 50u) << "a dump this quick could not show a wait";
    EXPECT_LT(longestWait, 50u) << "the server's longest wait for the block's lock, in milliseconds";
}

// The performance library under Wine loads and unloads the provider for every query: a fault on
// every query still ends in no more dumps than one process may write, and the rest are refused.
TEST_F(ProviderExports, AFaultOnEveryLoadWritesNoMoreDumpsThanTheProcessLimit)
{
    const CTempFolder dumps(L"provider_dump_limit");
    m_registration.SetPerformanceValue(L"Crash Dump Folder", dumps.Path());
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock server(Win32::CGlobalName(TarnProductName), schema, kFirstCounter, nullptr);
    CWatchdog watchdog(300000);
    for (int cycle = 0; cycle < 30; ++cycle)
    {
        CDirectProvider provider(Beside(L"TARNCounters.dll"));
        ASSERT_EQ(0u, provider.Open(L""));
        EXPECT_EQ(0u, FaultingCollect(provider));
        EXPECT_EQ(0u, provider.Close());
    }
    EXPECT_EQ(9u, FilesMatching(dumps / L"*.dmp").size());
    const std::string log = Win32::LoadFileAsString(dumps / L"Halyard.log");
    EXPECT_EQ(9u, Occurrences(log, "Default crash dump created: "));
    EXPECT_EQ(21u, Occurrences(log, "Did not create crash dump. Already created: 10\r\n"));
}

// A host opens once and keeps the module loaded: an Open that cannot reach the block must not leave
// it blind. Collects try again about once a second, without a line each while nothing changes.
TEST_F(ProviderExports, OpenWithTheLockKeptElsewhereRecoversOnceItsHolderDies)
{
    CWatchdog watchdog(60000);
    CHelperHolding holder(L"optex-hold Global\\TARN_PerfData_Lock");
    CDirectProvider provider(Beside(L"TARNCounters.dll"));
    EXPECT_EQ(0u, provider.Open(L""));
    // Two seconds of collects while the lock is still kept: each retry fails as the open did.
    EXPECT_FALSE(CollectUntilData(provider, 2500).has_value());

    holder.Process().Kill(1);
    const std::optional<ULONGLONG> took = CollectUntilData(provider, 10000);
    ASSERT_TRUE(took.has_value()) << "no data after the lock's holder died";
    EXPECT_LT(*took, 3000u);
    EXPECT_EQ(0u, provider.Close());
    EXPECT_THAT(DebugLines(), ElementsAre(StartsWith("CPerformanceDataCollector::Open() -  Exception: COptex::Enter() - "
                                                     "Timed out after")));
}

// A block of another size stands in for one this account may not create: the open fails until it
// goes. Close ends the attempts quietly; a collect before any open still says it was never opened.
TEST_F(ProviderExports, OpenThatFailsIsRetriedByCollectsUntilClose)
{
    CWatchdog watchdog(60000);
    PerfMon::CPerformanceDataSchema other(L"009");
    other.AddObject(L"Other", L"help", 100).AddCounter(L"One", L"one", 100, 0, 0x10000);
    std::unique_ptr<PerfMon::CPerformanceDataBlock> squatter(
        new PerfMon::CPerformanceDataBlock(Win32::CGlobalName(TarnProductName), other, 1, nullptr));

    CDirectProvider provider(Beside(L"TARNCounters.dll"));
    ExpectNoData(provider.Collect(L"Global", 65536));
    EXPECT_EQ(0u, provider.Open(L""));
    EXPECT_FALSE(CollectUntilData(provider, 1500).has_value());
    squatter.reset();
    const std::optional<ULONGLONG> took = CollectUntilData(provider, 10000);
    ASSERT_TRUE(took.has_value()) << "no data after the block became reachable";
    EXPECT_LT(*took, 3000u);
    EXPECT_EQ(0u, provider.Close());

    squatter.reset(new PerfMon::CPerformanceDataBlock(Win32::CGlobalName(TarnProductName), other, 1, nullptr));
    EXPECT_EQ(0u, provider.Open(L""));
    EXPECT_EQ(0u, provider.Close());
    squatter.reset();
    ::Sleep(1200);
    ExpectNoData(provider.Collect(L"Global", 65536));

    EXPECT_THAT(DebugLines(),
                ElementsAre("CPerformanceDataCollector::Collect() -  Exception: CPerformanceDataCollector::Collect() - "
                            "Error: collector has not been opened",
                            HasSubstr("Already exists and not the same size"),
                            HasSubstr("Already exists and not the same size"),
                            "CPerformanceDataCollector::Collect() -  Exception: CPerformanceDataCollector::Collect() - "
                            "Error: collector has not been opened"));
}

// The performance library asks for everything with an empty text as it does with "Global".
TEST_F(ProviderExports, EmptyQueryAnswersAsGlobal)
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock server(Win32::CGlobalName(TarnProductName), schema, kFirstCounter, nullptr);
    DWORD created = 0;
    server.AllocateObjectInstance(server.GetObjectDefinition(0), L"steady", created);
    CDirectProvider provider(Beside(L"TARNCounters.dll"));
    ASSERT_EQ(0u, provider.Open(L""));
    const CDirectProvider::CollectResult global = provider.Collect(L"Global", 65536);
    const CDirectProvider::CollectResult empty = provider.Collect(L"", 65536);
    ASSERT_EQ(1u, global.objects);
    EXPECT_EQ(global.objects, empty.objects);
    ASSERT_EQ(global.bytes, empty.bytes);
    EXPECT_TRUE(std::equal(global.data.begin(), global.data.begin() + global.bytes, empty.data.begin()));
    EXPECT_EQ(0u, provider.Close());
}

// Wine's performance library calls Open, Collect and Close without a lock of its own, so queries on
// two threads drive one loaded module at once: a Close must never end the block under a collect.
// Every answer is whole or empty, and nothing faults.
TEST_F(ProviderExports, HostThreadsCallingAtOnceTakeTurns)
{
    const CTempFolder dumps(L"provider_threads");
    m_registration.SetPerformanceValue(L"Crash Dump Folder", dumps.Path());
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock server(Win32::CGlobalName(TarnProductName), schema, kFirstCounter, nullptr);
    DWORD created = 0;
    server.AllocateObjectInstance(server.GetObjectDefinition(0), L"steady", created);
    CWatchdog watchdog(120000);
    CDirectProvider provider(Beside(L"TARNCounters.dll"));
    std::atomic<int> answered(0);
    std::atomic<int> malformed(0);
    const auto queries = [&] {
        for (int i = 0; i < 400; ++i)
        {
            provider.Open(L"");
            const CDirectProvider::CollectResult r = provider.Collect(L"Global", 65536);
            const bool whole = r.objects == 1 && r.bytes > 0 && r.cursorAdvance == static_cast<std::ptrdiff_t>(r.bytes);
            const bool empty = r.objects == 0 && r.bytes == 0 && r.cursorAdvance == 0;
            answered += whole;
            malformed += r.result != 0 || r.overran || !(whole || empty);
            provider.Close();
        }
    };
    std::thread other(queries);
    queries();
    other.join();

    EXPECT_EQ(0, malformed.load());
    RecordProperty("answered", answered.load());
    EXPECT_GT(answered.load(), 200) << "the threads kept each other from answering";
    EXPECT_THAT(FilesMatching(dumps / L"*"), ElementsAre());
    for (const std::string &line : DebugLines())
    {
        EXPECT_THAT(line, ::testing::AnyOf(HasSubstr("alread open"), HasSubstr("has not been opened")));
    }
}

// A host that gives the module no place, or places it may not touch, for its answer. Missing places
// are refused without a fault (no buffer has no room). Read-only counts or cursor, and a query text
// that runs into memory the module may not read, fault; each fault is reported and the collect
// returns with the byte count at zero wherever it could be written and the cursor where it was. A
// count is never written again while a fault is being reported, where a second fault would end the
// host.
TEST_F(ProviderExports, CollectWithPlacesItMayNotTouchWritesNothing)
{
    const CTempFolder dumps(L"provider_places");
    m_registration.SetPerformanceValue(L"Crash Dump Folder", dumps.Path());
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock server(Win32::CGlobalName(TarnProductName), schema, kFirstCounter, nullptr);
    CDirectProvider provider(Beside(L"TARNCounters.dll"));
    ASSERT_EQ(0u, provider.Open(L""));
    const auto collect = reinterpret_cast<CDirectProvider::CollectFunction>(
        reinterpret_cast<void *>(::GetProcAddress(provider.GetModule(), "PerfData_Collect")));

    struct Places
    {
        DWORD bytes;
        DWORD objects;
        void *cursor;
    };
    std::vector<BYTE> buffer(65536);
    const Places fresh = {65536, 7, buffer.data()};
    CGuardedBuffer page(&fresh, sizeof(fresh));
    page.MakeReadOnly();
    Places *fixed = reinterpret_cast<Places *>(page.Data());
    const wchar_t unterminated[] = {L'7', L'0', L'0', L'0'};
    const CGuardedBuffer text(unterminated, sizeof(unterminated));
    wchar_t global[] = L"Global";
    Places mine = fresh;
    void *noBuffer = nullptr;
    const struct
    {
        const char *what;
        wchar_t *query;
        void **data;
        DWORD *bytes;
        DWORD *objects;
        DWORD result;
        bool faults;
    } cases[] = {
        {"no buffer", global, &noBuffer, &mine.bytes, &mine.objects, ERROR_MORE_DATA, false},
        {"no cursor", global, nullptr, &mine.bytes, &mine.objects, ERROR_SUCCESS, false},
        {"no byte count", global, &mine.cursor, nullptr, &mine.objects, ERROR_SUCCESS, false},
        {"no object count", global, &mine.cursor, &mine.bytes, nullptr, ERROR_SUCCESS, false},
        {"read-only byte count", global, &mine.cursor, &fixed->bytes, &mine.objects, ERROR_SUCCESS, true},
        {"read-only object count", global, &mine.cursor, &mine.bytes, &fixed->objects, ERROR_SUCCESS, true},
        {"read-only cursor", global, &fixed->cursor, &mine.bytes, &mine.objects, ERROR_SUCCESS, true},
        {"unterminated query", reinterpret_cast<wchar_t *>(text.Data()), &mine.cursor, &mine.bytes, &mine.objects,
         ERROR_SUCCESS, true},
    };
    for (const auto &c : cases)
    {
        mine = fresh;
        EXPECT_EQ(c.result, collect(c.query, c.data, c.bytes, c.objects)) << c.what;
        EXPECT_EQ(nullptr, noBuffer) << c.what;
        EXPECT_EQ(buffer.data(), mine.cursor) << c.what;
        if (c.bytes == &mine.bytes)
        {
            EXPECT_EQ(0u, mine.bytes) << c.what;
        }
        const std::vector<std::string> lines = DebugLines();
        if (c.faults)
        {
            EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [](const std::string &line) {
                          return line.find("ACCESS_VIOLATION") != std::string::npos;
                      })) << c.what;
        }
        else
        {
            EXPECT_THAT(lines, ElementsAre()) << c.what;
        }
    }
    EXPECT_EQ(0u, provider.Close());
}
