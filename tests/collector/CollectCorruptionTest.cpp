#include "tests/collector/CollectTestSupport.h"

#include "win32/Exception.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace Halyard;
using namespace Halyard::Testing;

namespace {

// The block is writable by every account. Whatever another process writes into it, a collect
// must neither fault, nor read outside the mapping, nor write outside the caller's buffer, nor
// return a malformed object: it either answers well-formed data or fails the request cleanly.
class CollectCorruption : public ::testing::Test
{
protected:
    CollectCorruption()
        : m_name(UniqueName(L"HalyardCorrupt")),
          m_schema(MakeSchema()),
          m_server(Win32::CGlobalName(m_name), m_schema, 1000, nullptr),
          m_collector(Win32::CGlobalName(m_name), m_schema, 1000, nullptr)
    {
        PERF_OBJECT_TYPE *named = m_server.GetObjectDefinition(0);
        PERF_OBJECT_TYPE *numbered = m_server.GetObjectDefinition(1);
        DWORD created = 0;
        const DWORD parent = m_server.AllocateObjectInstance(named, L"first", created);
        m_server.AllocateObjectInstance(named, L"second", created);
        m_server.AllocateChildObjectInstance(numbered, 11, named, parent, created);
        m_collector.Open(L"");
        m_block = const_cast<BYTE *>(m_server.GetBlock());
        m_pristine.assign(m_block, m_block + m_server.GetBlockSize());
        m_needed = Collect(L"Global", 1 << 16).bytes;
    }

    static PerfMon::CPerformanceDataSchema MakeSchema()
    {
        PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
        schema.AddObjectWithInstances(L"Threads", L"help", 100, 2).AddCounter(L"Busy", L"b", 100, 0, 0x10000);
        schema.AddObject(L"Totals", L"help", 100).AddCounter(L"All", L"a", 100, 0, 0x10000);
        return schema;
    }

    void Restore() { std::memcpy(m_block, m_pristine.data(), m_pristine.size()); }

    // Collects into a buffer that ends at a no-access page; a write past it faults the test.
    CollectResult Collect(const wchar_t *query, DWORD size)
    {
        CGuardedBuffer buffer(size);
        CollectResult r = {};
        try
        {
            r = CollectInto(m_collector, query, buffer.Data(), size);
            if (r.result)
            {
                EXPECT_EQ(buffer.Data() + r.bytes, r.cursor);
                EXPECT_EQ("", CheckObjects(buffer.Data(), r.bytes, r.objects));
            }
            else
            {
                EXPECT_EQ(0u, r.bytes);
                EXPECT_TRUE(buffer.Untouched());
            }
        }
        catch (const Win32::CException &)
        {
            ++m_refused;
        }
        return r;
    }

    void Poke(DWORD offset, DWORD value) { std::memcpy(m_block + offset, &value, sizeof(value)); }

    std::wstring m_name;
    PerfMon::CPerformanceDataSchema m_schema;
    PerfMon::CPerformanceDataBlock m_server;
    PerfMon::CPerformanceDataCollector m_collector;
    BYTE *m_block = nullptr;
    std::vector<BYTE> m_pristine;
    DWORD m_needed = 0;
    int m_refused = 0;
};

} // namespace

TEST_F(CollectCorruption, EveryFieldWithBoundaryAndWildValues)
{
    ASSERT_GT(m_needed, 0u);
    const DWORD named = 16;
    const DWORD numbered = named + 1332;
    const DWORD slot0 = named + 64 + 26 * 40;
    const DWORD childSlot = numbered + 64 + 40;
    std::vector<DWORD> fields = {0, 4, 8, 12};
    for (DWORD object : {named, numbered})
    {
        // The object's header and its first counter's definition.
        for (DWORD field = 0; field < 64 + 40; field += 4)
        {
            fields.push_back(object + field);
        }
    }
    for (DWORD field = 0; field < 24 + 8; field += 4)
    {
        fields.push_back(slot0 + field);
        fields.push_back(childSlot + field);
    }

    const DWORD values[] = {0, 1, 2, 3, 4, 7, 8, 23, 24, 25, 28, 52, 76, 77, 1000, 1001, 0x7FFFFFFF, 0x80000000,
                            0xFFFFFFFE, 0xFFFFFFFF};
    for (DWORD field : fields)
    {
        for (DWORD value : values)
        {
            Poke(field, value);
            for (DWORD size : std::initializer_list<DWORD>{m_needed, m_needed + 512, 1u << 16})
            {
                Collect(L"Global", size);
                Collect(L"1000", size);
            }
            Restore();
            if (HasFailure())
            {
                FAIL() << "field at " << field << " value " << value;
            }
        }
    }
    EXPECT_GT(m_refused, 0) << "some damage must have been noticed";
    Restore();
    EXPECT_EQ(m_needed, Collect(L"Global", 1 << 16).bytes) << "a repaired block is answered again";
}

TEST_F(CollectCorruption, RandomDamageIsNeverHandedOut)
{
    std::mt19937 random(20261206);
    const DWORD size = m_server.GetBlockSize();
    for (int round = 0; round < 3000; ++round)
    {
        const int changes = 1 + static_cast<int>(random() % 4);
        for (int c = 0; c < changes; ++c)
        {
            // A byte, a word or a small word.
            const DWORD offset = random() % (size - 4);
            const DWORD kind = random() % 3;
            if (kind == 0)
            {
                m_block[offset] = static_cast<BYTE>(random());
            }
            else
            {
                Poke(offset & ~3u, static_cast<DWORD>(kind == 1 ? random() : random() % 128));
            }
        }
        Collect(L"Global", random() % 2 ? m_needed : 1u << 16);
        Restore();
        if (HasFailure())
        {
            FAIL() << "round " << round;
        }
    }
}
