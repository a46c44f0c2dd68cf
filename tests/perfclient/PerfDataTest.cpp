#include "tests/support/Expect.h"
#include "tests/support/GuardedBuffer.h"
#include "tools/perfclient/PerfData.h"
#include "win32/Exception.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

using Halyard::PerfClient::CPerformanceData;
using Halyard::PerfClient::ReadCounterValue;
using namespace Halyard::Testing;
using Halyard::Win32::CException;

namespace {

// The synthetic block: PERF_DATA_BLOCK and system name (104 bytes), object 1000 without instances (160 bytes),
// then object 2000 with two named instances, its first instance definition 144 bytes into it.
const DWORD kObjects = 104;
const DWORD kSecond = kObjects + 160;
const DWORD kFirstInstance = kSecond + 144;
const DWORD kParentTitle = 230;

template <typename T>
void Put(std::vector<BYTE> &bytes, size_t offset, const T &value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

template <typename T>
void Append(std::vector<BYTE> &bytes, const T &value)
{
    bytes.resize(bytes.size() + sizeof(T));
    Put(bytes, bytes.size() - sizeof(T), value);
}

// A counter block of 16 bytes: the DWORD counter at offset 4 and the LARGE counter at offset 8.
void AppendCounterBlock(std::vector<BYTE> &bytes, ULONGLONG value)
{
    Append<DWORD>(bytes, 16);
    Append(bytes, static_cast<DWORD>(value));
    Append(bytes, value);
}

typedef std::vector<std::pair<std::wstring, ULONGLONG>> Instances;

// An object whose counters are named title + 2 (DWORD) and title + 4 (LARGE); without instances when none are given.
void AppendObject(std::vector<BYTE> &bytes, DWORD title, const Instances &instances, ULONGLONG value)
{
    const size_t start = bytes.size();
    PERF_OBJECT_TYPE object = {};
    object.DefinitionLength = sizeof(PERF_OBJECT_TYPE) + 2 * sizeof(PERF_COUNTER_DEFINITION);
    object.HeaderLength = sizeof(PERF_OBJECT_TYPE);
    object.ObjectNameTitleIndex = title;
    object.NumCounters = 2;
    object.NumInstances = instances.empty() ? PERF_NO_INSTANCES : static_cast<LONG>(instances.size());
    Append(bytes, object);
    for (const DWORD size : {4u, 8u})
    {
        PERF_COUNTER_DEFINITION counter = {};
        counter.ByteLength = sizeof(PERF_COUNTER_DEFINITION);
        counter.CounterNameTitleIndex = title + size / 2;
        counter.CounterType = size == 4 ? PERF_COUNTER_RAWCOUNT : PERF_COUNTER_LARGE_RAWCOUNT;
        counter.CounterSize = size;
        counter.CounterOffset = size;
        Append(bytes, counter);
    }
    if (instances.empty())
    {
        AppendCounterBlock(bytes, value);
    }
    for (size_t i = 0; i < instances.size(); ++i)
    {
        const std::wstring &name = instances[i].first;
        PERF_INSTANCE_DEFINITION instance = {};
        instance.NameOffset = sizeof(PERF_INSTANCE_DEFINITION);
        instance.NameLength = static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t));
        instance.ByteLength = (sizeof(PERF_INSTANCE_DEFINITION) + instance.NameLength + 7) & ~DWORD(7);
        instance.ParentObjectTitleIndex = kParentTitle;
        instance.ParentObjectInstance = static_cast<DWORD>(i);
        instance.UniqueID = PERF_NO_UNIQUE_ID;
        Append(bytes, instance);
        const BYTE *text = reinterpret_cast<const BYTE *>(name.c_str());
        bytes.insert(bytes.end(), text, text + instance.NameLength);
        bytes.resize((bytes.size() + 7) & ~size_t(7));
        AppendCounterBlock(bytes, instances[i].second);
    }
    Put(bytes, start, static_cast<DWORD>(bytes.size() - start));
}

// With wineLayout the objects follow a gap of sizeof(PERF_DATA_BLOCK) bytes that neither HeaderLength nor
// TotalByteLength counts.
std::vector<BYTE> MakeBlock(bool wineLayout)
{
    PERF_DATA_BLOCK header = {};
    std::memcpy(header.Signature, L"PERF", sizeof(header.Signature));
    header.LittleEndian = header.Version = header.Revision = 1;
    header.NumObjectTypes = 2;
    header.SystemNameLength = sizeof(L"HOST");
    header.SystemNameOffset = sizeof(PERF_DATA_BLOCK);
    header.HeaderLength = kObjects;
    std::vector<BYTE> bytes;
    Append(bytes, header);
    Append(bytes, L"HOST");
    bytes.resize(kObjects + (wineLayout ? sizeof(PERF_DATA_BLOCK) : 0));
    AppendObject(bytes, 1000, {}, 0x1234567890ull);
    AppendObject(bytes, 2000, {{L"alpha", 7}, {L"second instance", 0x100000002ull}}, 0);
    Put(bytes, offsetof(PERF_DATA_BLOCK, TotalByteLength),
        static_cast<DWORD>(bytes.size() - (wineLayout ? sizeof(PERF_DATA_BLOCK) : 0)));
    return bytes;
}

// Parses a copy that ends where an inaccessible page begins, so that any read past the buffer faults.
CPerformanceData ParseGuarded(const std::vector<BYTE> &bytes)
{
    const CGuardedBuffer buffer(bytes.data(), static_cast<DWORD>(bytes.size()));
    return CPerformanceData::Parse(buffer.Data(), buffer.Size());
}

} // namespace

TEST(CPerformanceDataParse, ReadsObjectsAtHeaderLengthOrOneBlockHeaderBeyondAndAProvidersObjectsByCount)
{
    for (const bool wineLayout : {false, true})
    {
        const CPerformanceData data = ParseGuarded(MakeBlock(wineLayout));
        EXPECT_EQ(kObjects + (wineLayout ? sizeof(PERF_DATA_BLOCK) : 0), data.GetFirstObjectOffset());
        EXPECT_EQ(L"HOST", data.GetSystemName());
        ASSERT_EQ(2u, data.GetObjects().size());

        const CPerformanceData::Object *single = data.FindObject(1000);
        ASSERT_NE(nullptr, single);
        EXPECT_FALSE(single->HasInstances());
        EXPECT_EQ(0x34567890ull, ReadCounterValue(*single->FindCounter(1002), single->counterBlock));
        EXPECT_EQ(0x1234567890ull, ReadCounterValue(*single->FindCounter(1004), single->counterBlock));

        const CPerformanceData::Object *multi = data.FindObject(2000);
        ASSERT_NE(nullptr, multi);
        ASSERT_EQ(2u, multi->instances.size());
        EXPECT_TRUE(multi->counterBlock.empty());
        EXPECT_EQ(L"alpha", multi->instances[0].name);
        EXPECT_EQ(L"second instance", multi->instances[1].name);
        EXPECT_EQ(kParentTitle, multi->instances[1].definition.ParentObjectTitleIndex);
        EXPECT_EQ(1u, multi->instances[1].definition.ParentObjectInstance);
        EXPECT_EQ(7u, ReadCounterValue(*multi->FindCounter(2004), multi->instances[0].counterBlock));
        EXPECT_EQ(0x100000002ull, ReadCounterValue(*multi->FindCounter(2004), multi->instances[1].counterBlock));
        EXPECT_EQ(2u, ReadCounterValue(*multi->FindCounter(2002), multi->instances[1].counterBlock));
        EXPECT_EQ(nullptr, multi->FindCounter(2003));
        EXPECT_EQ(nullptr, data.FindObject(3000));
    }

    // A provider's own output: the objects by count, without the block header.
    const std::vector<BYTE> block = MakeBlock(false);
    const auto objects = CPerformanceData::ParseObjects(&block[kObjects], block.size() - kObjects, 2);
    ASSERT_EQ(2u, objects.size());
    EXPECT_EQ(2000u, objects[1].header.ObjectNameTitleIndex);
    EXPECT_EQ(kSecond - kObjects, objects[1].offset);
    EXPECT_TRUE(CPerformanceData::ParseObjects(block.data(), 0, 0).empty());
    EXPECT_THROW(CPerformanceData::ParseObjects(&block[kObjects], block.size() - kObjects, 3), CException);
}

TEST(CPerformanceDataParse, RejectsMalformedBlocks)
{
    const DWORD size = static_cast<DWORD>(MakeBlock(false).size());
    const struct
    {
        const char *fault;
        DWORD offset;
        DWORD value;
    } faults[] = {
        {"signature", 0, 'X'},
        {"block TotalByteLength past the buffer", 20, size + 1},
        {"HeaderLength below the block header", 24, 40},
        {"system name past the end", 84, 0x7FFFFFF0},
        {"one object more than present", 28, 3},
        {"no object header at either offset", kObjects + 8, 0},
        {"object TotalByteLength past the end", kSecond, 0xFFFFFFF8},
        {"counter definition longer than the definitions", kObjects + 64 + 40, 48},
        {"more counters than the definitions hold", kObjects + 32, 3},
        {"counter offset outside the counter block", kObjects + 64 + 36, 13},
        {"counter block longer than the object", kObjects + 144, 0x1000},
        {"instance name outside the instance", kFirstInstance + 20, 0x100},
        {"instance name of odd length", kFirstInstance + 20, 5},
        {"instance ByteLength below its definition", kFirstInstance, 8},
        {"negative instance count", kSecond + 40, static_cast<DWORD>(-2)},
    };
    for (const auto &fault : faults)
    {
        std::vector<BYTE> bytes = MakeBlock(false);
        Put(bytes, fault.offset, fault.value);
        EXPECT_EQ(0u, ThrownText([&] { ParseGuarded(bytes); }).find(L"CPerformanceData::Parse() - Error: "))
            << fault.fault;
    }
}

// Whatever a single field holds, and wherever the buffer is cut, the parser stays inside it: a read past
// the end faults instead of throwing CException.
TEST(CPerformanceDataParse, NeverReadsOutsideTheBufferWhateverAFieldHolds)
{
    for (const bool wineLayout : {false, true})
    {
        const std::vector<BYTE> valid = MakeBlock(wineLayout);
        for (size_t offset = 0; offset + 4 <= valid.size(); offset += 4)
        {
            for (const DWORD value : {0x0ul, 0x18ul, 0x7FFFFFFFul, 0xFFFFFFFFul, static_cast<DWORD>(valid.size())})
            {
                std::vector<BYTE> bytes = valid;
                Put(bytes, offset, value);
                try
                {
                    ParseGuarded(bytes);
                }
                catch (const CException &)
                {
                }
            }
        }
        for (size_t length = 0; length < valid.size(); ++length)
        {
            EXPECT_THROW(ParseGuarded(std::vector<BYTE>(valid.begin(), valid.begin() + length)), CException)
                << "truncated to " << length;
        }
    }
}
