#include "perfmon/schema/CounterStorageAllocator.h"
#include "provider/TarnCounterSet.h"

#include "TestSupport.h"

#include <cstring>
#include <vector>

using Halyard::PerfMon::CCounterStorageAllocator;
using Halyard::PerfMon::CPerformanceDataSchema;
using Halyard::PerfMon::IAllocateCounterStorage;
typedef CPerformanceDataSchema::Object Object;

namespace {

template <typename Record>
Record Read(const std::vector<BYTE> &buffer, size_t offset)
{
    Record record;
    std::memcpy(&record, buffer.data() + offset, sizeof(record));
    return record;
}

// Writes the object into a buffer filled with 0xCD and 8 bytes larger than needed, checks that the writer
// stops at its definition size, and gives back what it wrote.
std::vector<BYTE> Write(const Object &object, DWORD &titleIndex, IAllocateCounterStorage &allocator)
{
    const DWORD size = object.GetDefinitionSize();
    std::vector<BYTE> buffer(size + 8, 0xCD);
    EXPECT_EQ(size, object.WriteTo(buffer.data(), static_cast<DWORD>(buffer.size()), titleIndex, allocator));
    EXPECT_EQ(std::vector<BYTE>(8, 0xCD), std::vector<BYTE>(buffer.begin() + size, buffer.end()));
    buffer.resize(size);
    return buffer;
}

typedef std::vector<LONGLONG> Fields;

// The fields of the records in declaration order; the title pointers only as "is set".
Fields HeaderAt(const std::vector<BYTE> &buffer, size_t offset)
{
    const auto h = Read<PERF_OBJECT_TYPE>(buffer, offset);
    return {h.TotalByteLength, h.DefinitionLength, h.HeaderLength,     h.ObjectNameTitleIndex, h.ObjectNameTitle != 0,
            h.ObjectHelpTitleIndex, h.ObjectHelpTitle != 0, h.DetailLevel, h.NumCounters,       h.DefaultCounter,
            h.NumInstances, h.CodePage, h.PerfTime.QuadPart, h.PerfFreq.QuadPart};
}

Fields CounterAt(const std::vector<BYTE> &buffer, size_t offset)
{
    const auto c = Read<PERF_COUNTER_DEFINITION>(buffer, offset);
    return {c.ByteLength, c.CounterNameTitleIndex, c.CounterNameTitle != 0, c.CounterHelpTitleIndex,
            c.CounterHelpTitle != 0, c.DefaultScale, c.DetailLevel, c.CounterType, c.CounterSize, c.CounterOffset};
}

Fields InstanceAt(const std::vector<BYTE> &buffer, size_t offset)
{
    const auto i = Read<PERF_INSTANCE_DEFINITION>(buffer, offset);
    return {i.ByteLength, i.ParentObjectTitleIndex, i.ParentObjectInstance, i.UniqueID, i.NameOffset, i.NameLength};
}

// Records the calls and answers with offsets that no real layout would give.
struct CRecordingAllocator : IAllocateCounterStorage
{
    DWORD BeginObject() override
    {
        calls += L"BeginObject;";
        return 4096;
    }
    DWORD Allocate(DWORD size) override
    {
        calls += L"Allocate " + std::to_wstring(size) + L";";
        return next += 100;
    }
    void AllocateInstances(DWORD count) override { calls += L"AllocateInstances " + std::to_wstring(count) + L";"; }
    std::wstring calls;
    DWORD next = 0;
};

} // namespace

TEST(ObjectWriter, WritesAnObjectWithoutInstances)
{
    CPerformanceDataSchema schema(L"009");
    Object &object = schema.AddObject(L"Plain", L"help", PERF_DETAIL_ADVANCED);
    object.AddCounter(L"A", L"help", PERF_DETAIL_EXPERT, -3, PERF_COUNTER_COUNTER);
    object.AddCounter(L"B", L"help", PERF_DETAIL_WIZARD, 2, PERF_COUNTER_LARGE_RAWCOUNT);

    CCounterStorageAllocator allocator(schema.GetCounterDataSize());
    DWORD titleIndex = 1000;
    const std::vector<BYTE> buffer = Write(object, titleIndex, allocator);
    ASSERT_EQ(144u, buffer.size());
    EXPECT_EQ(1006u, titleIndex);

    EXPECT_EQ((Fields{144, 144, 64, 1000, 0, 1001, 0, PERF_DETAIL_ADVANCED, 2, -1, PERF_NO_INSTANCES, 0, 0, 16}),
              HeaderAt(buffer, 0));
    EXPECT_EQ((Fields{40, 1002, 0, 1003, 0, -3, PERF_DETAIL_EXPERT, PERF_COUNTER_COUNTER, 8, 4}), CounterAt(buffer, 64));
    EXPECT_EQ((Fields{40, 1004, 0, 1005, 0, 2, PERF_DETAIL_WIZARD, PERF_COUNTER_LARGE_RAWCOUNT, 8, 12}),
              CounterAt(buffer, 104));
    // The allocator has handed out exactly the object's values.
    EXPECT_EQ(16u, allocator.BeginObject());
}

TEST(ObjectWriter, WritesFreeNamedSlotsForTheTarnObject)
{
    const CPerformanceDataSchema schema = CreateTarnCounterSet();
    CCounterStorageAllocator allocator(schema.GetCounterDataSize());
    DWORD titleIndex = 2;
    const std::vector<BYTE> buffer = Write(*schema.GetObjects().front(), titleIndex, allocator);
    ASSERT_EQ(1332u, buffer.size());

    // PerfTime holds the name length and the name space, PerfFreq the size of one set of values.
    EXPECT_EQ((Fields{1332, 1104, 64, 2, 0, 3, 0, PERF_DETAIL_NOVICE, 26, 0, 3, 0, (52LL << 32) + 25, 208}),
              HeaderAt(buffer, 0));
    for (size_t offset = 1104; offset < 1332; offset += 76)
    {
        EXPECT_EQ((Fields{0, 0, 0, PERF_NO_UNIQUE_ID, 24, 0}), InstanceAt(buffer, offset));
        EXPECT_EQ(std::vector<BYTE>(52, 0), std::vector<BYTE>(&buffer[offset + 24], &buffer[offset + 76]));
    }
}

// Unnamed slots take no name space; the header and the counters carry the allocator's offsets.
TEST(ObjectWriter, WritesUnnamedSlotsAndTakesItsOffsetsFromTheAllocatorInLayoutOrder)
{
    CPerformanceDataSchema schema(L"009");
    Object &object = schema.AddObjectWithInstances(L"Numbered", L"help", PERF_DETAIL_NOVICE, 5);
    AddCounters(object, 2);
    object.SetDefaultCounter();
    CRecordingAllocator allocator;
    DWORD titleIndex = 0;
    const std::vector<BYTE> buffer = Write(object, titleIndex, allocator);
    ASSERT_EQ(144u + 5 * 24, buffer.size());

    EXPECT_EQ(L"BeginObject;Allocate 8;Allocate 8;AllocateInstances 5;", allocator.calls);
    EXPECT_EQ((Fields{264, 144, 64, 0, 0, 1, 0, PERF_DETAIL_NOVICE, 2, 1, 5, 4096, 0, 16}), HeaderAt(buffer, 0));
    EXPECT_EQ(104, CounterAt(buffer, 64)[9]);
    EXPECT_EQ(204, CounterAt(buffer, 104)[9]);
    for (size_t offset = 144; offset < 264; offset += 24)
    {
        EXPECT_EQ((Fields{0, 0, 0, PERF_NO_UNIQUE_ID, 24, 0}), InstanceAt(buffer, offset));
    }
}

TEST(ObjectWriter, RefusesABufferOneByteShortWithoutTouchingAnything)
{
    CPerformanceDataSchema schema(L"009");
    Object &object = schema.AddObjectWithInstances(L"Named", L"help", PERF_DETAIL_NOVICE, 3, 25);
    AddCounters(object, 1);
    CRecordingAllocator allocator;
    std::vector<BYTE> buffer(object.GetDefinitionSize(), 0xCD);
    DWORD titleIndex = 77;
    ExpectException(
        [&] { object.WriteTo(buffer.data(), static_cast<DWORD>(buffer.size() - 1), titleIndex, allocator); },
        L"CPerformanceDataSchema::Object::WriteTo()", L"Buffer is too small, need: 332 only got: 331");
    EXPECT_EQ(77u, titleIndex);
    EXPECT_TRUE(allocator.calls.empty());
    EXPECT_EQ(std::vector<BYTE>(buffer.size(), 0xCD), buffer);

    // Storage sized for a different schema: the allocator's refusal is passed on.
    CCounterStorageAllocator tooSmall(4);
    ExpectException([&] { object.WriteTo(buffer.data(), static_cast<DWORD>(buffer.size()), titleIndex, tooSmall); },
                    L"CCounterStorageAllocator::Allocate()", L"No space left. Need: 8");
}
