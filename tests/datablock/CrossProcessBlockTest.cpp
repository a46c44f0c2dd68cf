#include "perfmon/datablock/PerformanceDataBlock.h"
#include "perfmon/schema/Schema.h"
#include "provider/TarnCounterSet.h"
#include "tests/support/ChildProcess.h"
#include "win32/Exception.h"
#include "win32/SharedMemory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <vector>

using namespace Halyard;
using Halyard::Testing::CChildProcess;
using Halyard::Testing::CNamedSignal;
using Halyard::Testing::UniqueName;

namespace {

struct Signals
{
    Signals() : readyName(UniqueName(L"HalyardReady")), releaseName(UniqueName(L"HalyardRelease")),
                ready(readyName), release(releaseName)
    {
    }
    std::wstring readyName;
    std::wstring releaseName;
    CNamedSignal ready;
    CNamedSignal release;
};

std::unique_ptr<CChildProcess> StartHolder(const std::wstring &base, DWORD firstIndex, Signals &signals,
                                           const std::wstring &instanceArguments = L"")
{
    std::unique_ptr<CChildProcess> child(new CChildProcess(
        L"datablock_helper.exe", L"hold " + base + L" " + std::to_wstring(firstIndex) + L" " + signals.readyName +
                                     L" " + signals.releaseName + L" " + instanceArguments));
    EXPECT_TRUE(signals.ready.Wait()) << "the holder did not get ready";
    return child;
}

} // namespace

TEST(CrossProcessBlock, ExactlyOneOfSeveralStartingProcessesLaysTheBlockOut)
{
    const std::wstring base = UniqueName(L"HalyardRace");
    const std::wstring startName = UniqueName(L"HalyardStart");
    CNamedSignal start(startName);
    // The test keeps the fresh, not yet laid out block alive while the processes race for it.
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    const Win32::CSharedMemory section(Win32::CGlobalName(base + L"_PerfData"), schema.GetRequiredSize() + 16,
                                       Win32::CSharedMemory::ReadWrite, true, nullptr);

    std::vector<std::unique_ptr<CChildProcess>> children;
    const DWORD firstIndexes[] = {1000, 2000, 3000, 4000};
    for (DWORD firstIndex : firstIndexes)
    {
        children.emplace_back(new CChildProcess(L"datablock_helper.exe", L"layout " + base + L" " +
                                                                              std::to_wstring(firstIndex) + L" " +
                                                                              startName));
    }
    start.Set();

    std::set<DWORD> seen;
    for (const auto &child : children)
    {
        seen.insert(child->Wait());
    }
    ASSERT_EQ(1u, seen.size()) << "every process must find the same layout: " << ::testing::PrintToString(seen);
    EXPECT_TRUE(std::set<DWORD>(std::begin(firstIndexes), std::end(firstIndexes)).count(*seen.begin()))
        << *seen.begin();
}

TEST(CrossProcessBlock, InstancesTakenInOneProcessAreSeenInTheOther)
{
    const std::wstring base = UniqueName(L"HalyardShared");
    Signals signals;
    const std::unique_ptr<CChildProcess> server = StartHolder(base, 1000, signals, L"alpha 4242");

    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock block(Win32::CGlobalName(base), schema, 1000, nullptr);
    PERF_OBJECT_TYPE *object = block.GetObjectDefinition(0);
    EXPECT_EQ(1, object->PerfFreq.HighPart);
    DWORD created = 1;
    const DWORD id = block.AllocateObjectInstance(object, L"alpha", created);
    EXPECT_EQ(0u, created);
    ULONGLONG value = 0;
    std::memcpy(&value, block.GetInstanceCounterData(object, static_cast<long>(id)), sizeof(value));
    EXPECT_EQ(4242u, value);

    signals.release.Set();
    EXPECT_EQ(0u, server->Wait());
}

// A block laid out by a provider is opened as it is, never laid out again.
TEST(CrossProcessBlock, BlockLaidOutByAProviderIsKept)
{
    const std::wstring base = UniqueName(L"HalyardKept");
    Signals signals;
    const std::unique_ptr<CChildProcess> server = StartHolder(base, 1000, signals, L"alpha 7");

    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock block(Win32::CGlobalName(base), schema, 2000, nullptr);
    PERF_OBJECT_TYPE *object = block.GetObjectDefinition(0);
    EXPECT_EQ(1000u, object->ObjectNameTitleIndex);
    EXPECT_EQ(1, object->PerfFreq.HighPart);

    signals.release.Set();
    EXPECT_EQ(0u, server->Wait());
}
