#include "perfmon/datablock/PerformanceDataBlock.h"
#include "perfmon/schema/Schema.h"
#include "provider/TarnCounterSet.h"
#include "tests/support/ChildProcess.h"
#include "win32/SharedMemory.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

using namespace Halyard;
using namespace Halyard::Testing;

TEST(CrossProcessBlock, ExactlyOneOfSeveralStartingProcessesLaysTheBlockOut)
{
    const std::wstring base = UniqueName(L"HalyardRace");
    CNamedSignal start;
    // The test keeps the fresh, not yet laid out block alive while the processes race for it.
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    const Win32::CSharedMemory section(Win32::CGlobalName(base + L"_PerfData"), schema.GetRequiredSize() + 16,
                                       Win32::CSharedMemory::ReadWrite, true, nullptr);
    std::vector<std::unique_ptr<CChildProcess>> children;
    const std::set<DWORD> firstIndexes = {1000, 2000, 3000, 4000};
    for (DWORD firstIndex : firstIndexes)
    {
        const std::wstring arguments = L"layout " + base + L" " + std::to_wstring(firstIndex) + L" " + start.Name();
        children.emplace_back(new CChildProcess(L"test_helper.exe", arguments));
    }
    start.Set();

    std::set<DWORD> seen;
    for (const auto &child : children)
    {
        seen.insert(child->Wait());
    }
    ASSERT_EQ(1u, seen.size()) << "every process must find the same layout: " << ::testing::PrintToString(seen);
    EXPECT_EQ(1u, firstIndexes.count(*seen.begin())) << *seen.begin();
}

