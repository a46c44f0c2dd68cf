#include "perfmon/datablock/PerformanceDataBlock.h"
#include "perfmon/schema/Schema.h"
#include "provider/TarnCounterSet.h"
#include "tests/support/ChildProcess.h"
#include "win32/ProcessToken.h"
#include "win32/SharedMemory.h"
#include "win32/SmartHandle.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using namespace Halyard;
using Halyard::Testing::UniqueName;

TEST(DataBlockLayout, TarnBlockIsLaidOutFromTheFirstCounterIndex)
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock block(Win32::CGlobalName(UniqueName(L"HalyardLayout")), schema, 1000, nullptr);

    ASSERT_EQ(16u + 1332u + 624u, block.GetBlockSize());
    PerfMon::CPerformanceDataBlock::Header header;
    std::memcpy(&header, block.GetBlock(), sizeof(header));
    EXPECT_EQ(1, header.initialised);
    EXPECT_EQ(16u, header.firstObjectOffset);
    EXPECT_EQ(16u, header.lastObjectOffset);
    EXPECT_EQ(16u + 1332u, header.counterDataOffset);
    EXPECT_EQ(block.GetBlock() + 16, block.GetObjectDefinitions());
    EXPECT_EQ(block.GetBlock() + 16 + 1332, block.GetCounterData());

    // The object's own fields, the counters' title indexes among them, are the schema writer's; the
    // block supplies the first index.
    const PERF_OBJECT_TYPE *object = reinterpret_cast<const PERF_OBJECT_TYPE *>(block.GetObjectDefinitions());
    EXPECT_EQ(1000u, object->ObjectNameTitleIndex);
    EXPECT_EQ(1001u, object->ObjectHelpTitleIndex);
}

TEST(DataBlockLayout, ObjectWithoutInstancesHasOneSetOfValues)
{
    PerfMon::CPerformanceDataSchema schema(L"009");
    PerfMon::CPerformanceDataSchema::Object &totals = schema.AddObject(L"Totals", L"help", 100);
    totals.AddCounter(L"A", L"a", 100, 0, PERF_COUNTER_RAWCOUNT);
    totals.AddCounter(L"B", L"b", 100, 0, PERF_COUNTER_RAWCOUNT);
    PerfMon::CPerformanceDataSchema::Object &sockets = schema.AddObjectWithInstances(L"Sockets", L"help", 100, 2);
    sockets.AddCounter(L"C", L"c", 100, 0, PERF_COUNTER_RAWCOUNT);

    PerfMon::CPerformanceDataBlock block(Win32::CGlobalName(UniqueName(L"HalyardLayout")), schema, 500, nullptr);

    PERF_OBJECT_TYPE *first = block.GetObjectDefinition(0);
    PERF_OBJECT_TYPE *second = block.GetObjectDefinition(1);
    EXPECT_EQ(506u, second->ObjectNameTitleIndex);
    EXPECT_EQ(16u, second->CodePage);
    PerfMon::CPerformanceDataBlock::Header header;
    std::memcpy(&header, block.GetBlock(), sizeof(header));
    EXPECT_EQ(16u + 144u, header.lastObjectOffset);
    EXPECT_EQ(16u + 144u + 64u + 40u + 2 * 24u, header.counterDataOffset);
    EXPECT_EQ(block.GetCounterData(), block.GetInstanceCounterData(first, 0));
    EXPECT_EQ(block.GetCounterData() + 16 + 8, block.GetInstanceCounterData(second, 2));
}

// The block is opened inside monitoring processes: the right to create global objects is used
// only while the block's objects are created, and the host's token is left as it was found.
TEST(DataBlockLayout, HostTokenIsLeftAsItWasFound)
{
    const wchar_t privilege[] = L"SeCreateGlobalPrivilege";
    Win32::CProcessToken token(TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES);
    if (!token.HasPrivilege(privilege))
    {
        GTEST_SKIP() << "the token has no SeCreateGlobalPrivilege to turn on";
    }
    const bool wasEnabled = token.IsPrivilegeEnabled(privilege);
    token.DisablePrivilege(privilege);

    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    const Win32::CGlobalName name(UniqueName(L"HalyardToken"));
    {
        PerfMon::CPerformanceDataBlock creator(name, schema, 1000, nullptr);
        EXPECT_FALSE(token.IsPrivilegeEnabled(privilege)) << "creating the block left the privilege on";
        PerfMon::CPerformanceDataBlock opener(name, schema, 1000, nullptr);
        EXPECT_FALSE(token.IsPrivilegeEnabled(privilege)) << "opening the block left the privilege on";
    }

    if (wasEnabled)
    {
        token.EnablePrivilege(privilege);
    }
}

// A process may hold the block's mapping without its lock (a reader that opened the mapping alone):
// the next constructor opens that block as it is and makes the lock again.
TEST(DataBlockLayout, BlockFoundWithoutItsLockKeepsItsLayoutAndInstances)
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    const std::wstring base = UniqueName(L"HalyardPartial");
    const Win32::CGlobalName name(base);
    std::unique_ptr<PerfMon::CPerformanceDataBlock> first(
        new PerfMon::CPerformanceDataBlock(name, schema, 1000, nullptr));
    DWORD created = 0;
    first->AllocateObjectInstance(first->GetObjectDefinition(0), L"kept", created);
    const Win32::CSharedMemory reader(Win32::CUnqualifiedName(name.GetName() + L"_PerfData"),
                                      Win32::CSharedMemory::ReadOnly);
    first.reset();
    ASSERT_FALSE(
        Win32::CSmartHandle(::OpenEventW(SYNCHRONIZE, FALSE, (name.GetName() + L"_PerfData_Lock").c_str())).IsValid());

    PerfMon::CPerformanceDataBlock second(name, schema, 2000, nullptr);
    PERF_OBJECT_TYPE *object = second.GetObjectDefinition(0);
    EXPECT_EQ(1000u, object->ObjectNameTitleIndex) << "the block was laid out again";
    EXPECT_EQ(1u, second.GetNamedInstanceCount(object));
    EXPECT_EQ(1u, second.AllocateObjectInstance(object, L"kept", created));
    EXPECT_EQ(0u, created);
}
