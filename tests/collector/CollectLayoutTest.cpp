#include "tests/collector/CollectTestSupport.h"

#include "tests/support/Expect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace Halyard;
using namespace Halyard::Testing;

namespace {

// The TARN counter set with instances "a" in slot 0 and "ccc" in slot 2 and distinct values.
class CollectLayout : public ::testing::Test
{
protected:
    CollectLayout()
        : m_name(UniqueName(L"HalyardCollect")),
          m_schema(CreateTarnCounterSet()),
          m_server(Win32::CGlobalName(m_name), m_schema, 1000, nullptr),
          m_collector(Win32::CGlobalName(m_name), m_schema, 3000, nullptr)
    {
        PERF_OBJECT_TYPE *object = m_server.GetObjectDefinition(0);
        DWORD created = 0;
        m_server.AllocateObjectInstance(object, L"a", created);
        m_server.AllocateObjectInstance(object, L"b", created);
        m_server.AllocateObjectInstance(object, L"ccc", created);
        m_server.ReleaseObjectInstance(object, 2);
        for (long id = 1; id <= 3; ++id)
        {
            ULONGLONG *values = reinterpret_cast<ULONGLONG *>(m_server.GetInstanceCounterData(object, id));
            for (int k = 0; k < 26; ++k)
            {
                values[k] = id * 1000 + k;
            }
        }
        m_collector.Open(L"");
    }

    std::wstring m_name;
    PerfMon::CPerformanceDataSchema m_schema;
    PerfMon::CPerformanceDataBlock m_server;
    PerfMon::CPerformanceDataCollector m_collector;
};

const DWORD kDefinitionLength = 64 + 26 * 40;
const DWORD kCounterBlock = 4 + 26 * 8;
const DWORD kGlobalBytes = (kDefinitionLength + 28 + kCounterBlock + 32 + kCounterBlock + 7) / 8 * 8;

} // namespace

TEST_F(CollectLayout, GlobalWritesTheObjectWithItsInstancesInUseToTheByte)
{
    std::vector<BYTE> buffer(4096, 0xCD);
    const CollectResult r = CollectInto(m_collector, L"Global", buffer.data(), static_cast<DWORD>(buffer.size()));
    ASSERT_TRUE(r.result);
    ASSERT_EQ(kGlobalBytes, r.bytes);
    EXPECT_EQ(1u, r.objects);
    EXPECT_EQ(buffer.data() + kGlobalBytes, r.cursor);

    const PERF_OBJECT_TYPE *object = reinterpret_cast<const PERF_OBJECT_TYPE *>(buffer.data());
    EXPECT_EQ(kDefinitionLength, object->DefinitionLength);
    EXPECT_EQ(1000u, object->ObjectNameTitleIndex);
    EXPECT_EQ(1001u, object->ObjectHelpTitleIndex);
    EXPECT_EQ(26u, object->NumCounters);
    EXPECT_EQ(0, object->DefaultCounter);
    EXPECT_EQ(2, object->NumInstances);
    EXPECT_EQ(0, std::memcmp(buffer.data() + 64, reinterpret_cast<const BYTE *>(m_server.GetObjectDefinition(0)) + 64,
                             26 * 40));

    const BYTE *position = buffer.data() + kDefinitionLength;
    const wchar_t *names[] = {L"a", L"ccc"};
    const long slots[] = {1, 3};
    for (int i = 0; i < 2; ++i)
    {
        const PERF_INSTANCE_DEFINITION *instance = reinterpret_cast<const PERF_INSTANCE_DEFINITION *>(position);
        const DWORD nameLength = static_cast<DWORD>((std::wcslen(names[i]) + 1) * 2);
        EXPECT_EQ(i == 0 ? 28u : 32u, instance->ByteLength);
        EXPECT_EQ(24u, instance->NameOffset);
        EXPECT_EQ(nameLength, instance->NameLength);
        EXPECT_EQ(0u, instance->ParentObjectTitleIndex);
        EXPECT_EQ(static_cast<DWORD>(PERF_NO_UNIQUE_ID), instance->UniqueID);
        EXPECT_EQ(0, std::memcmp(position + 24, names[i], nameLength));
        position += instance->ByteLength;

        DWORD counterBlockLength = 0;
        std::memcpy(&counterBlockLength, position, 4);
        EXPECT_EQ(kCounterBlock, counterBlockLength);
        for (int k = 0; k < 26; ++k)
        {
            ULONGLONG value = 0;
            std::memcpy(&value, position + 4 + 8 * k, 8);
            EXPECT_EQ(static_cast<ULONGLONG>(slots[i] * 1000 + k), value) << i << " " << k;
        }
        position += kCounterBlock;
    }
    const BYTE *end = buffer.data() + kGlobalBytes;
    EXPECT_TRUE(std::all_of(position, end, [](BYTE b) { return b == 0; })) << "padding";
    EXPECT_EQ(0xCD, buffer[kGlobalBytes]);
    EXPECT_EQ("", CheckObjects(buffer.data(), r.bytes, r.objects));
}

TEST_F(CollectLayout, QueriesSelectByWholeTitleIndex)
{
    std::vector<BYTE> buffer(4096);
    const DWORD size = static_cast<DWORD>(buffer.size());
    // A list of indexes longer than any fixed formatting buffer still selects what it names.
    std::wstring longList;
    for (int i = 0; i < 600; ++i)
    {
        longList += std::to_wstring(5000 + i) + L" ";
    }
    longList += L"1000";
    // An empty or null query asks for everything.
    for (const wchar_t *query :
         {L"global", L"GLOBAL", L"", static_cast<const wchar_t *>(nullptr), L"1000", L"2 1000 3", L"1000 1000",
          longList.c_str()})
    {
        const CollectResult r = CollectInto(m_collector, query, buffer.data(), size);
        const std::wstring shown = query == nullptr ? L"(null)" : query;
        EXPECT_TRUE(r.result) << shown;
        EXPECT_EQ(kGlobalBytes, r.bytes) << shown;
        EXPECT_EQ(1u, r.objects) << shown;
    }

    for (const wchar_t *query : {L"10000", L"100", L"1000\t2", L"Costly", L"Foreign", L" "})
    {
        const CollectResult r = CollectInto(m_collector, query, buffer.data(), size);
        EXPECT_TRUE(r.result) << query;
        EXPECT_EQ(0u, r.bytes) << query;
        EXPECT_EQ(0u, r.objects) << query;
        EXPECT_EQ(buffer.data(), r.cursor) << query;
    }
}

TEST_F(CollectLayout, EveryTooSmallBufferIsRefusedWithoutAWrite)
{
    for (DWORD size = 0; size < kGlobalBytes; ++size)
    {
        CGuardedBuffer buffer(size);
        const CollectResult r = CollectInto(m_collector, L"Global", buffer.Data(), size);
        ASSERT_FALSE(r.result) << size;
        ASSERT_EQ(0u, r.bytes) << size;
        ASSERT_EQ(0u, r.objects) << size;
        ASSERT_EQ(buffer.Data(), r.cursor) << size;
        ASSERT_TRUE(buffer.Untouched()) << size;
    }
    CGuardedBuffer exact(kGlobalBytes);
    const CollectResult r = CollectInto(m_collector, L"Global", exact.Data(), kGlobalBytes);
    EXPECT_TRUE(r.result);
    EXPECT_EQ(kGlobalBytes, r.bytes);
    EXPECT_EQ(exact.Data() + kGlobalBytes, r.cursor);
}

TEST_F(CollectLayout, ObjectWithNoInstanceInUseIsItsDefinitionsAlone)
{
    PERF_OBJECT_TYPE *object = m_server.GetObjectDefinition(0);
    m_server.ReleaseObjectInstance(object, 1);
    m_server.ReleaseObjectInstance(object, 3);
    std::vector<BYTE> buffer(4096);
    const CollectResult r = CollectInto(m_collector, L"Global", buffer.data(), static_cast<DWORD>(buffer.size()));
    EXPECT_EQ((kDefinitionLength + 7) / 8 * 8, r.bytes);
    EXPECT_EQ(0, reinterpret_cast<const PERF_OBJECT_TYPE *>(buffer.data())->NumInstances);
    EXPECT_EQ("", CheckObjects(buffer.data(), r.bytes, r.objects));
}

TEST_F(CollectLayout, ActiveInstancePositionsCountOnlySlotsInUse)
{
    EXPECT_EQ(0u, m_collector.GetActiveInstanceFromIndex(1000, 0));
    EXPECT_EQ(1u, m_collector.GetActiveInstanceFromIndex(1000, 2));
    const wchar_t where[] = L"CPerformanceDataCollector::GetActiveInstanceFromIndex()";
    ExpectException([&] { m_collector.GetActiveInstanceFromIndex(1000, 1); }, where,
                    L"Failed to locate active instance index: 1");
    ExpectException([&] { m_collector.GetActiveInstanceFromIndex(1000, -1); }, where,
                    L"Instance index out of range: -1");
    ExpectException([&] { m_collector.FindObjectByIndex(1234); }, L"CPerformanceDataCollector::FindObjectByIndex()",
                    L"Object not found for: 1234");
}

// Two objects: a parent with named instances and a child object of numbered instances that
// belong to the parent's instances, plus an object without instances.
TEST(CollectFamily, ChildObjectBringsItsParentAndNamesItsPosition)
{
    PerfMon::CPerformanceDataSchema schema(L"009");
    schema.AddObjectWithInstances(L"Servers", L"help", 100, 3, 10).AddCounter(L"Load", L"l", 100, 0, 0x10000);
    schema.AddObjectWithInstances(L"Threads", L"help", 100, 2).AddCounter(L"Busy", L"b", 100, 0, 0x10000);
    schema.AddObject(L"Totals", L"help", 100).AddCounter(L"All", L"a", 100, 0, 0x10000);
    const std::wstring name = UniqueName(L"HalyardFamily");
    PerfMon::CPerformanceDataBlock server(Win32::CGlobalName(name), schema, 100, nullptr);
    PERF_OBJECT_TYPE *servers = server.GetObjectDefinition(0);
    PERF_OBJECT_TYPE *threads = server.GetObjectDefinition(1);
    DWORD created = 0;
    server.AllocateObjectInstance(servers, L"first", created);
    const DWORD second = server.AllocateObjectInstance(servers, L"second", created);
    server.ReleaseObjectInstance(servers, 1);
    server.AllocateChildObjectInstance(threads, 77, servers, second, created);

    PerfMon::CPerformanceDataCollector collector(Win32::CGlobalName(name), schema, 100, nullptr);
    collector.Open(L"");
    std::vector<BYTE> buffer(4096);
    // Threads is index 104 (100 + 2 + 2 for Servers); Totals, 108, stays out.
    const CollectResult r = CollectInto(collector, L"104", buffer.data(), static_cast<DWORD>(buffer.size()));
    ASSERT_TRUE(r.result);
    EXPECT_EQ(2u, r.objects);
    ASSERT_EQ("", CheckObjects(buffer.data(), r.bytes, r.objects));

    const PERF_OBJECT_TYPE *first = reinterpret_cast<const PERF_OBJECT_TYPE *>(buffer.data());
    EXPECT_EQ(100u, first->ObjectNameTitleIndex);
    EXPECT_EQ(1, first->NumInstances);
    const PERF_OBJECT_TYPE *child = reinterpret_cast<const PERF_OBJECT_TYPE *>(buffer.data() + first->TotalByteLength);
    EXPECT_EQ(104u, child->ObjectNameTitleIndex);
    const PERF_INSTANCE_DEFINITION *instance =
        reinterpret_cast<const PERF_INSTANCE_DEFINITION *>(reinterpret_cast<const BYTE *>(child) + child->DefinitionLength);
    EXPECT_EQ(77u, instance->UniqueID);
    EXPECT_EQ(100u, instance->ParentObjectTitleIndex);
    EXPECT_EQ(0u, instance->ParentObjectInstance) << "the parent's position among its instances in use";
}

// Values travel two to a store with one left over for an odd count: for every count each value
// arrives whole at the place its definition names, for instances and for an object without them.
TEST(CollectValues, EveryCounterCountPutsEachValueInPlace)
{
    // Both halves of each value differ from those of every other value.
    const auto value = [](DWORD owner, DWORD k) {
        return (static_cast<ULONGLONG>(0xA000 + owner) << 32) | (0xB000 + k);
    };
    for (DWORD counters : {1u, 2u, 3u, 5u})
    {
        // Three slots of 36 bytes put the counter data on an 8-byte boundary, as TARN's are.
        PerfMon::CPerformanceDataSchema schema(L"009");
        PerfMon::CPerformanceDataSchema::Object &named = schema.AddObjectWithInstances(L"Named", L"help", 100, 3, 5);
        PerfMon::CPerformanceDataSchema::Object &single = schema.AddObject(L"Single", L"help", 100);
        for (DWORD k = 0; k < counters; ++k)
        {
            named.AddCounter(L"N" + std::to_wstring(k), L"n", 100, 0, PERF_COUNTER_LARGE_RAWCOUNT);
            single.AddCounter(L"S" + std::to_wstring(k), L"s", 100, 0, PERF_COUNTER_LARGE_RAWCOUNT);
        }
        const std::wstring name = UniqueName(L"HalyardValues");
        PerfMon::CPerformanceDataBlock server(Win32::CGlobalName(name), schema, 100, nullptr);
        PERF_OBJECT_TYPE *withInstances = server.GetObjectDefinition(0);
        DWORD created = 0;
        const DWORD first = server.AllocateObjectInstance(withInstances, L"a", created);
        const DWORD middle = server.AllocateObjectInstance(withInstances, L"b", created);
        const DWORD last = server.AllocateObjectInstance(withInstances, L"c", created);
        server.ReleaseObjectInstance(withInstances, static_cast<long>(middle));
        BYTE *const stores[] = {server.GetInstanceCounterData(withInstances, static_cast<long>(first)),
                                server.GetInstanceCounterData(withInstances, static_cast<long>(last)),
                                server.GetInstanceCounterData(server.GetObjectDefinition(1), 0)};
        ASSERT_EQ(0u, reinterpret_cast<UINT_PTR>(stores[0]) % 8) << "values lie where they are read whole";
        for (DWORD owner = 0; owner < 3; ++owner)
        {
            for (DWORD k = 0; k < counters; ++k)
            {
                const ULONGLONG v = value(owner, k);
                std::memcpy(stores[owner] + 8 * k, &v, sizeof(v));
            }
        }

        PerfMon::CPerformanceDataCollector collector(Win32::CGlobalName(name), schema, 100, nullptr);
        collector.Open(L"");
        std::vector<BYTE> buffer(4096);
        const CollectResult r = CollectInto(collector, L"Global", buffer.data(), static_cast<DWORD>(buffer.size()));
        ASSERT_TRUE(r.result);
        const std::vector<PerfClient::CPerformanceData::Object> objects =
            PerfClient::CPerformanceData::ParseObjects(buffer.data(), r.bytes, r.objects);
        ASSERT_EQ(2u, objects.size());
        ASSERT_EQ(2u, objects[0].instances.size());
        const std::vector<BYTE> *blocks[] = {&objects[0].instances[0].counterBlock,
                                             &objects[0].instances[1].counterBlock, &objects[1].counterBlock};
        for (DWORD owner = 0; owner < 3; ++owner)
        {
            for (DWORD k = 0; k < counters; ++k)
            {
                const PERF_COUNTER_DEFINITION &counter = objects[owner < 2 ? 0 : 1].counters.at(k);
                EXPECT_EQ(value(owner, k),
                          PerfClient::LoadCounterValue(*blocks[owner], counter.CounterOffset, 8).value_or(0))
                    << counters << " counters, owner " << owner << ", counter " << k;
            }
        }
    }
}
