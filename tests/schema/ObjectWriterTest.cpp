#include "perfmon/CounterStorageAllocator.h"
#include "perfmon/Schema.h"
#include "provider/TarnCounterSet.h"

#include "ExpectException.h"

#include <winperf.h>

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

// Records the calls and answers with offsets that no real layout would give.
class CRecordingAllocator : public IAllocateCounterStorage
{
public:
    DWORD BeginObject() override
    {
        calls.push_back(L"BeginObject");
        return 4096;
    }

    DWORD Allocate(DWORD size) override
    {
        calls.push_back(L"Allocate " + std::to_wstring(size));
        next += 100;
        return next;
    }

    void AllocateInstances(DWORD count) override
    {
        calls.push_back(L"AllocateInstances " + std::to_wstring(count));
    }

    std::vector<std::wstring> calls;
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
    std::vector<BYTE> buffer(200, 0xCD);
    DWORD titleIndex = 1000;
    ASSERT_EQ(144u, object.WriteTo(buffer.data(), static_cast<DWORD>(buffer.size()), titleIndex, allocator));
    EXPECT_EQ(1006u, titleIndex);

    const auto header = Read<PERF_OBJECT_TYPE>(buffer, 0);
    EXPECT_EQ(144u, header.TotalByteLength);
    EXPECT_EQ(144u, header.DefinitionLength);
    EXPECT_EQ(64u, header.HeaderLength);
    EXPECT_EQ(1000u, header.ObjectNameTitleIndex);
    EXPECT_EQ(1001u, header.ObjectHelpTitleIndex);
    EXPECT_TRUE(header.ObjectNameTitle == 0 && header.ObjectHelpTitle == 0);
    EXPECT_EQ(static_cast<DWORD>(PERF_DETAIL_ADVANCED), header.DetailLevel);
    EXPECT_EQ(2u, header.NumCounters);
    EXPECT_EQ(-1, header.DefaultCounter);
    EXPECT_EQ(PERF_NO_INSTANCES, header.NumInstances);
    EXPECT_EQ(0u, header.CodePage);
    EXPECT_EQ(0, header.PerfTime.QuadPart);
    EXPECT_EQ(16u, header.PerfFreq.LowPart);
    EXPECT_EQ(0, header.PerfFreq.HighPart);

    const auto first = Read<PERF_COUNTER_DEFINITION>(buffer, 64);
    EXPECT_EQ(40u, first.ByteLength);
    EXPECT_EQ(1002u, first.CounterNameTitleIndex);
    EXPECT_EQ(1003u, first.CounterHelpTitleIndex);
    EXPECT_TRUE(first.CounterNameTitle == 0 && first.CounterHelpTitle == 0);
    EXPECT_EQ(-3, first.DefaultScale);
    EXPECT_EQ(static_cast<DWORD>(PERF_DETAIL_EXPERT), first.DetailLevel);
    EXPECT_EQ(static_cast<DWORD>(PERF_COUNTER_COUNTER), first.CounterType);
    EXPECT_EQ(8u, first.CounterSize);
    EXPECT_EQ(4u, first.CounterOffset);

    const auto second = Read<PERF_COUNTER_DEFINITION>(buffer, 104);
    EXPECT_EQ(1004u, second.CounterNameTitleIndex);
    EXPECT_EQ(1005u, second.CounterHelpTitleIndex);
    EXPECT_EQ(2, second.DefaultScale);
    EXPECT_EQ(static_cast<DWORD>(PERF_DETAIL_WIZARD), second.DetailLevel);
    EXPECT_EQ(static_cast<DWORD>(PERF_COUNTER_LARGE_RAWCOUNT), second.CounterType);
    EXPECT_EQ(12u, second.CounterOffset);

    // Nothing beyond the template is touched.
    EXPECT_EQ(0xCD, buffer[144]);
    EXPECT_EQ(0xCD, buffer[199]);
    // The allocator has handed out exactly the object's values.
    EXPECT_EQ(16u, allocator.BeginObject());
}

TEST(ObjectWriter, WritesFreeNamedSlotsForTheTarnObject)
{
    const CPerformanceDataSchema schema = CreateTarnCounterSet();
    const Object &object = *schema.GetObjects().front();
    CCounterStorageAllocator allocator(schema.GetCounterDataSize());
    std::vector<BYTE> buffer(object.GetDefinitionSize(), 0xCD);
    DWORD titleIndex = 2;
    ASSERT_EQ(1332u, object.WriteTo(buffer.data(), static_cast<DWORD>(buffer.size()), titleIndex, allocator));
    EXPECT_EQ(2u + 2 + 52, titleIndex);

    const auto header = Read<PERF_OBJECT_TYPE>(buffer, 0);
    EXPECT_EQ(1332u, header.TotalByteLength);
    EXPECT_EQ(1104u, header.DefinitionLength);
    EXPECT_EQ(26u, header.NumCounters);
    EXPECT_EQ(3, header.NumInstances);
    EXPECT_EQ(0, header.DefaultCounter);
    EXPECT_EQ(25u, header.PerfTime.LowPart);
    EXPECT_EQ(52, header.PerfTime.HighPart);
    EXPECT_EQ(208u, header.PerfFreq.LowPart);
    EXPECT_EQ(0, header.PerfFreq.HighPart);

    for (DWORD k = 0; k < 26; ++k)
    {
        const auto counter = Read<PERF_COUNTER_DEFINITION>(buffer, 64 + 40 * k);
        EXPECT_EQ(4 + 2 * k, counter.CounterNameTitleIndex);
        EXPECT_EQ(4 + 8 * k, counter.CounterOffset) << "counter " << k;
    }

    for (size_t slot = 0; slot < 3; ++slot)
    {
        const size_t offset = 1104 + 76 * slot;
        const auto instance = Read<PERF_INSTANCE_DEFINITION>(buffer, offset);
        EXPECT_EQ(0u, instance.ByteLength);
        EXPECT_EQ(0u, instance.ParentObjectTitleIndex);
        EXPECT_EQ(0u, instance.ParentObjectInstance);
        EXPECT_EQ(PERF_NO_UNIQUE_ID, instance.UniqueID);
        EXPECT_EQ(24u, instance.NameOffset);
        EXPECT_EQ(0u, instance.NameLength);
        for (size_t i = offset + 24; i < offset + 76; ++i)
        {
            ASSERT_EQ(0, buffer[i]) << "slot " << slot << " byte " << i;
        }
    }
    // Three sets of values fill the whole counter data area.
    EXPECT_EQ(624u, allocator.BeginObject());
}

TEST(ObjectWriter, WritesUnnamedSlotsWithoutNameSpace)
{
    CPerformanceDataSchema schema(L"009");
    Object &object = schema.AddObjectWithInstances(L"Numbered", L"help", PERF_DETAIL_NOVICE, 2);
    object.AddCounter(L"A", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);

    CCounterStorageAllocator allocator(schema.GetCounterDataSize());
    std::vector<BYTE> buffer(object.GetDefinitionSize(), 0xCD);
    DWORD titleIndex = 0;
    ASSERT_EQ(104u + 48, object.WriteTo(buffer.data(), static_cast<DWORD>(buffer.size()), titleIndex, allocator));

    const auto header = Read<PERF_OBJECT_TYPE>(buffer, 0);
    EXPECT_EQ(152u, header.TotalByteLength);
    EXPECT_EQ(2, header.NumInstances);
    EXPECT_EQ(0, header.PerfTime.QuadPart);
    for (size_t offset : {size_t(104), size_t(128)})
    {
        const auto instance = Read<PERF_INSTANCE_DEFINITION>(buffer, offset);
        EXPECT_EQ(0u, instance.ByteLength);
        EXPECT_EQ(PERF_NO_UNIQUE_ID, instance.UniqueID);
        EXPECT_EQ(24u, instance.NameOffset);
        EXPECT_EQ(0u, instance.NameLength);
    }
}

TEST(ObjectWriter, CallsTheAllocatorInLayoutOrderAndUsesItsOffsets)
{
    CPerformanceDataSchema schema(L"009");
    Object &object = schema.AddObjectWithInstances(L"Named", L"help", PERF_DETAIL_NOVICE, 5, 3);
    object.AddCounter(L"A", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    object.AddCounter(L"B", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    object.SetDefaultCounter();

    CRecordingAllocator allocator;
    std::vector<BYTE> buffer(object.GetDefinitionSize());
    DWORD titleIndex = 0;
    object.WriteTo(buffer.data(), static_cast<DWORD>(buffer.size()), titleIndex, allocator);

    EXPECT_EQ((std::vector<std::wstring>{L"BeginObject", L"Allocate 8", L"Allocate 8", L"AllocateInstances 5"}),
              allocator.calls);
    const auto header = Read<PERF_OBJECT_TYPE>(buffer, 0);
    EXPECT_EQ(4096u, header.CodePage);
    EXPECT_EQ(1, header.DefaultCounter);
    EXPECT_EQ(104u, Read<PERF_COUNTER_DEFINITION>(buffer, 64).CounterOffset);
    EXPECT_EQ(204u, Read<PERF_COUNTER_DEFINITION>(buffer, 104).CounterOffset);
}

TEST(ObjectWriter, ContinuesTitleIndexesAndStorageAcrossObjects)
{
    CPerformanceDataSchema schema(L"009");
    Object &first = schema.AddObject(L"First", L"help", PERF_DETAIL_NOVICE);
    first.AddCounter(L"A", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    first.AddCounter(L"B", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    Object &second = schema.AddObjectWithInstances(L"Second", L"help", PERF_DETAIL_NOVICE, 4);
    for (const wchar_t *name : {L"A", L"B", L"C"})
    {
        second.AddCounter(name, L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    }

    ASSERT_EQ(112u, schema.GetCounterDataSize());
    CCounterStorageAllocator allocator(schema.GetCounterDataSize());
    std::vector<BYTE> buffer(schema.GetObjectDefinitionsSize());
    DWORD titleIndex = 500;
    const DWORD written = first.WriteTo(buffer.data(), static_cast<DWORD>(buffer.size()), titleIndex, allocator);
    second.WriteTo(buffer.data() + written, static_cast<DWORD>(buffer.size() - written), titleIndex, allocator);

    EXPECT_EQ(514u, titleIndex);
    const auto header = Read<PERF_OBJECT_TYPE>(buffer, written);
    EXPECT_EQ(506u, header.ObjectNameTitleIndex);
    EXPECT_EQ(507u, header.ObjectHelpTitleIndex);
    EXPECT_EQ(16u, header.CodePage);
    EXPECT_EQ(24u, header.PerfFreq.LowPart);
    EXPECT_EQ(20u, Read<PERF_COUNTER_DEFINITION>(buffer, written + 64 + 80).CounterOffset);
    EXPECT_EQ(112u, allocator.BeginObject());
}

TEST(ObjectWriter, RefusesABufferOneByteShortWithoutTouchingAnything)
{
    CPerformanceDataSchema schema(L"009");
    Object &object = schema.AddObjectWithInstances(L"Named", L"help", PERF_DETAIL_NOVICE, 3, 25);
    object.AddCounter(L"A", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);

    CRecordingAllocator allocator;
    std::vector<BYTE> buffer(object.GetDefinitionSize(), 0xCD);
    DWORD titleIndex = 77;
    ExpectException(
        [&] { object.WriteTo(buffer.data(), static_cast<DWORD>(buffer.size() - 1), titleIndex, allocator); },
        L"CPerformanceDataSchema::Object::WriteTo()", L"Buffer is too small, need: 332 only got: 331");
    EXPECT_EQ(77u, titleIndex);
    EXPECT_TRUE(allocator.calls.empty());
    EXPECT_EQ(std::vector<BYTE>(buffer.size(), 0xCD), buffer);
}

TEST(ObjectWriter, PassesOnTheAllocatorsRefusal)
{
    CPerformanceDataSchema schema(L"009");
    Object &object = schema.AddObject(L"Plain", L"help", PERF_DETAIL_NOVICE);
    object.AddCounter(L"A", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    object.AddCounter(L"B", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);

    // Storage sized for a different schema.
    CCounterStorageAllocator allocator(8);
    std::vector<BYTE> buffer(object.GetDefinitionSize());
    DWORD titleIndex = 0;
    ExpectException([&] { object.WriteTo(buffer.data(), static_cast<DWORD>(buffer.size()), titleIndex, allocator); },
                    L"CCounterStorageAllocator::Allocate()", L"No space left. Need: 8");
}
