#include "perfmon/datablock/PerformanceDataBlock.h"
#include "perfmon/schema/Schema.h"
#include "provider/TarnCounterSet.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Expect.h"
#include "win32/Exception.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

using namespace Halyard;
using namespace Halyard::Testing;

namespace {

// A schema with a named object (the TARN one), an object of numbered instances that are the
// children of TARN instances, and an object without instances.
class InstanceAllocation : public ::testing::Test
{
protected:
    InstanceAllocation()
        : m_schema(MakeSchema()),
          m_block(Win32::CGlobalName(UniqueName(L"HalyardInstances")), m_schema, 2000, nullptr),
          m_named(m_block.GetObjectDefinition(0)),
          m_numbered(m_block.GetObjectDefinition(1)),
          m_plain(m_block.GetObjectDefinition(2))
    {
    }

    static PerfMon::CPerformanceDataSchema MakeSchema()
    {
        PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
        schema.AddObjectWithInstances(L"Connections", L"help", 100, 3).AddCounter(L"Open", L"o", 100, 0, 0x10000);
        schema.AddObject(L"Totals", L"help", 100).AddCounter(L"All", L"a", 100, 0, 0x10000);
        return schema;
    }

    DWORD Allocate(const std::wstring &name, DWORD expectedCreated = 1)
    {
        DWORD created = 99;
        const DWORD id = m_block.AllocateObjectInstance(m_named, name, created);
        EXPECT_EQ(expectedCreated, created) << name.c_str();
        return id;
    }

    PERF_INSTANCE_DEFINITION *Slot(PERF_OBJECT_TYPE *object, DWORD slot)
    {
        BYTE *first = reinterpret_cast<BYTE *>(object) + object->DefinitionLength;
        return reinterpret_cast<PERF_INSTANCE_DEFINITION *>(first +
                                                            slot * (24 + static_cast<DWORD>(object->PerfTime.HighPart)));
    }

    PerfMon::CPerformanceDataSchema m_schema;
    PerfMon::CPerformanceDataBlock m_block;
    PERF_OBJECT_TYPE *m_named;
    PERF_OBJECT_TYPE *m_numbered;
    PERF_OBJECT_TYPE *m_plain;
    DWORD m_created = 0;
};

const wchar_t kAllocate[] = L"CPerformanceDataBlock::AllocateObjectInstance()";
const wchar_t kValidate[] = L"CPerformanceDataBlock::ValidateInstanceObject()";
const wchar_t kActive[] = L"CPerformanceDataBlock::GetActiveObjectInstance()";

} // namespace

TEST_F(InstanceAllocation, NamedInstancesAreFoundAgainFillTheLowestFreeSlotAndHaveLimitedNames)
{
    EXPECT_EQ(1u, Allocate(L"a"));
    EXPECT_EQ(2u, Allocate(L"bb"));
    EXPECT_EQ(3u, Allocate(L"A"));
    EXPECT_EQ(3, m_named->PerfFreq.HighPart);
    EXPECT_EQ(2u, Allocate(L"bb", 0));
    EXPECT_EQ(3, m_named->PerfFreq.HighPart);

    EXPECT_EQ(4u, Slot(m_named, 0)->NameLength);
    EXPECT_EQ(28u, Slot(m_named, 0)->ByteLength);
    EXPECT_EQ(6u, Slot(m_named, 1)->NameLength);
    EXPECT_EQ(32u, Slot(m_named, 1)->ByteLength);
    EXPECT_EQ(0, std::memcmp(reinterpret_cast<BYTE *>(Slot(m_named, 1)) + 24, L"bb", 6));

    ExpectException([&] { Allocate(L"c"); }, kAllocate, L"All 3 instances in use");

    m_block.ReleaseObjectInstance(m_named, 2);
    EXPECT_EQ(2, m_named->PerfFreq.HighPart);
    EXPECT_EQ(0u, Slot(m_named, 1)->ByteLength);
    EXPECT_EQ(3u, Allocate(L"A", 0));
    EXPECT_EQ(2u, Allocate(L"c"));
    EXPECT_EQ(3u, m_block.GetNamedInstanceCount(m_named));

    // Names are limited to the object's maximum.
    m_block.ReleaseObjectInstance(m_named, 1);
    m_block.ReleaseObjectInstance(m_named, 2);
    const std::wstring longest(25, L'x');
    EXPECT_EQ(1u, Allocate(longest));
    EXPECT_EQ(76u, Slot(m_named, 0)->ByteLength);
    const std::wstring tooLong(26, L'y');
    ExpectException([&] { Allocate(tooLong); }, kAllocate,
                  L"Instance name: \"" + tooLong + L"\" is too long: 26, max is: 25");
}

TEST_F(InstanceAllocation, WrongRequestsAreRefused)
{
    PERF_OBJECT_TYPE outside = *m_named;
    ExpectException([&] { m_block.GetActiveObjectInstance(m_named, 1); }, kValidate,
                    L"No instances are currently allocated");
    Allocate(L"one");
    const struct
    {
        std::function<void()> request;
        const wchar_t *where;
        std::wstring message;
    } cases[] = {
        {[&] { m_block.AllocateObjectInstance(m_named, 7, m_created); }, kValidate,
         L"Instances for this object should be allocated by name and not by ID"},
        {[&] { m_block.AllocateObjectInstance(m_numbered, L"x", m_created); }, kValidate,
         L"Instances for this object should be allocated by unique ID and not by name"},
        {[&] { m_block.AllocateObjectInstance(m_plain, L"x", m_created); }, kValidate,
         L"Object does not support instances"},
        {[&] { m_block.AllocateObjectInstance(&outside, L"x", m_created); }, kValidate, L"Invalid object pointer"},
        {[&] { m_block.AllocateObjectInstance(m_numbered, PERF_NO_UNIQUE_ID, m_created); }, kAllocate,
         L"Illegal instance id: -1"},
        {[&] { m_block.GetActiveObjectInstance(m_named, 0); }, kActive, L"Invalid instance id: 0"},
        {[&] { m_block.GetActiveObjectInstance(m_named, 4); }, kActive, L"Invalid instance id: 4"},
        {[&] { m_block.GetActiveObjectInstance(m_named, 2); }, kActive, L"Instance: 2 is not currently in use"},
        {[&] { m_block.ReleaseObjectInstance(m_named, 2); }, kActive, L"Instance: 2 is not currently in use"},
    };
    for (const auto &c : cases)
    {
        ExpectException(c.request, c.where, c.message);
    }
    EXPECT_EQ(Slot(m_named, 0), m_block.GetActiveObjectInstance(m_named, 1));
}

TEST_F(InstanceAllocation, NumberedInstancesTakeIds)
{
    EXPECT_EQ(1u, m_block.AllocateObjectInstance(m_numbered, 40, m_created));
    EXPECT_EQ(1u, m_created);
    EXPECT_EQ(2u, m_block.AllocateObjectInstance(m_numbered, 41, m_created));
    EXPECT_EQ(1u, m_block.AllocateObjectInstance(m_numbered, 40, m_created));
    EXPECT_EQ(0u, m_created);
    EXPECT_EQ(24u, Slot(m_numbered, 1)->ByteLength);
    EXPECT_EQ(41u, Slot(m_numbered, 1)->UniqueID);
    EXPECT_EQ(0u, Slot(m_numbered, 1)->NameOffset);
    EXPECT_EQ(3u, m_block.AllocateObjectInstance(m_numbered, 42, m_created));
    ExpectException([&] { m_block.AllocateObjectInstance(m_numbered, 43, m_created); }, kAllocate,
                  L"Unexpected - logic error");
    EXPECT_EQ(0u, m_block.GetNamedInstanceCount(m_numbered));
}

// A released slot keeps the parent of the child that held it; a plain instance taken in it later
// must not be reported as that parent's child.
TEST_F(InstanceAllocation, ChildInstancesRecordTheirParentAndOnlyThey)
{
    const DWORD parent = Allocate(L"server");
    const DWORD child = m_block.AllocateChildObjectInstance(m_numbered, 7, m_named, parent, m_created);
    EXPECT_EQ(1u, m_created);
    EXPECT_EQ(m_named->ObjectNameTitleIndex, Slot(m_numbered, child - 1)->ParentObjectTitleIndex);
    EXPECT_EQ(parent, Slot(m_numbered, child - 1)->ParentObjectInstance);
    EXPECT_EQ(child, m_block.AllocateChildObjectInstance(m_numbered, 7, m_named, parent, m_created));
    EXPECT_EQ(0u, m_created);
    ExpectException([&] { m_block.AllocateChildObjectInstance(m_numbered, 7, m_named, parent + 1, m_created); },
                    L"CPerformanceDataBlock::AllocateChildObjectInstance", L"Instance exists but parent is different");

    m_block.ReleaseObjectInstance(m_numbered, static_cast<long>(child));
    EXPECT_EQ(child, m_block.AllocateObjectInstance(m_numbered, 8, m_created));
    EXPECT_EQ(0u, Slot(m_numbered, child - 1)->ParentObjectTitleIndex);
    EXPECT_EQ(0u, Slot(m_numbered, child - 1)->ParentObjectInstance);
}

// Another process can scribble over the shared block: the server takes every size and position
// from its schema, so wild counts and lengths move nothing, and a wrong count of slots in use is
// recounted by the next operation.
TEST_F(InstanceAllocation, ScribbledDefinitionFieldsMoveNothing)
{
    const std::vector<BYTE> numberedBefore(reinterpret_cast<BYTE *>(m_numbered),
                                           reinterpret_cast<BYTE *>(m_numbered) + m_numbered->TotalByteLength);
    m_named->NumInstances = 0x7FFFFFFF;
    m_named->NumCounters = 0x7FFFFFFF;
    m_named->DefinitionLength = 0xFFFFFF00;
    m_named->PerfTime.HighPart = 0x7FFFFFFF;
    m_named->PerfFreq.QuadPart = 0x7FFFFFFF7FFFFFFFll;
    m_named->CodePage = 0xFFFFFFF0;

    EXPECT_EQ(1u, Allocate(L"first"));
    EXPECT_EQ(2u, Allocate(L"second"));
    EXPECT_EQ(m_block.GetCounterData() + 26 * 8, m_block.GetInstanceCounterData(m_named, 2));
    EXPECT_EQ(2, m_named->PerfFreq.HighPart);
    EXPECT_EQ(0, std::memcmp(numberedBefore.data(), m_numbered, numberedBefore.size()));

    // The name field in a slot cannot make the comparison read past the slot's name space.
    BYTE *slot = m_block.GetObjectDefinitions() + 64 + 26 * 40;
    reinterpret_cast<PERF_INSTANCE_DEFINITION *>(slot)->NameLength = 0xFFFFFFF0;
    EXPECT_EQ(3u, Allocate(L"third"));
    ExpectException([&] { Allocate(L"fourth"); }, kAllocate, L"All 3 instances in use");
}
