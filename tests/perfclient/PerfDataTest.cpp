#include "tools/perfclient/PerfData.h"
#include "win32/Exception.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using Halyard::PerfClient::CPerformanceData;
using Halyard::PerfClient::ReadCounterValue;
using Halyard::Win32::CException;

namespace {

const DWORD kParentTitle = 230;
const DWORD kBlockHeader = sizeof(PERF_DATA_BLOCK);

template <typename T>
void Append(std::vector<BYTE> &bytes, const T &value)
{
    const BYTE *raw = reinterpret_cast<const BYTE *>(&value);
    bytes.insert(bytes.end(), raw, raw + sizeof(T));
}

template <typename T>
void Patch(std::vector<BYTE> &bytes, size_t offset, const T &value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

void PadTo8(std::vector<BYTE> &bytes)
{
    bytes.resize((bytes.size() + 7) & ~size_t(7));
}

// A counter block of 16 bytes: a DWORD counter at offset 4 and a LARGE counter at offset 8.
void AppendCounterBlock(std::vector<BYTE> &bytes, DWORD small, ULONGLONG large)
{
    Append<DWORD>(bytes, 16);
    Append(bytes, small);
    Append(bytes, large);
}

using Instances = std::vector<std::pair<std::wstring, ULONGLONG>>;

// One object with two counters; without instances when instances is null.
std::vector<BYTE> MakeObject(DWORD title, const Instances *instances, ULONGLONG value)
{
    std::vector<BYTE> bytes;
    PERF_OBJECT_TYPE object = {};
    object.DefinitionLength = sizeof(PERF_OBJECT_TYPE) + 2 * sizeof(PERF_COUNTER_DEFINITION);
    object.HeaderLength = sizeof(PERF_OBJECT_TYPE);
    object.ObjectNameTitleIndex = title;
    object.ObjectHelpTitleIndex = title + 1;
    object.NumCounters = 2;
    object.NumInstances = instances ? static_cast<LONG>(instances->size()) : PERF_NO_INSTANCES;
    Append(bytes, object);
    PERF_COUNTER_DEFINITION counter = {};
    counter.ByteLength = sizeof(PERF_COUNTER_DEFINITION);
    counter.CounterNameTitleIndex = title + 2;
    counter.CounterType = PERF_COUNTER_RAWCOUNT;
    counter.CounterSize = 4;
    counter.CounterOffset = 4;
    Append(bytes, counter);
    counter.CounterNameTitleIndex = title + 4;
    counter.CounterType = PERF_COUNTER_LARGE_RAWCOUNT;
    counter.CounterSize = 8;
    counter.CounterOffset = 8;
    Append(bytes, counter);
    if (!instances)
    {
        AppendCounterBlock(bytes, static_cast<DWORD>(value), value);
    }
    else
    {
        DWORD position = 0;
        for (const auto &named : *instances)
        {
            std::vector<BYTE> name((named.first.size() + 1) * sizeof(wchar_t));
            std::memcpy(name.data(), named.first.c_str(), name.size());
            PERF_INSTANCE_DEFINITION instance = {};
            instance.NameOffset = sizeof(PERF_INSTANCE_DEFINITION);
            instance.NameLength = static_cast<DWORD>(name.size());
            instance.ByteLength = (sizeof(PERF_INSTANCE_DEFINITION) + instance.NameLength + 7) & ~DWORD(7);
            instance.ParentObjectTitleIndex = kParentTitle;
            instance.ParentObjectInstance = position++;
            instance.UniqueID = PERF_NO_UNIQUE_ID;
            Append(bytes, instance);
            bytes.insert(bytes.end(), name.begin(), name.end());
            PadTo8(bytes);
            AppendCounterBlock(bytes, static_cast<DWORD>(named.second), named.second);
        }
    }
    PadTo8(bytes);
    Patch<DWORD>(bytes, 0, static_cast<DWORD>(bytes.size()));
    return bytes;
}

const Instances kInstances = {{L"alpha", 7}, {L"second instance", 0x100000002ull}};

std::vector<BYTE> MakeObjects()
{
    std::vector<BYTE> objects = MakeObject(1000, nullptr, 0x1234567890ull);
    const std::vector<BYTE> withInstances = MakeObject(2000, &kInstances, 0);
    objects.insert(objects.end(), withInstances.begin(), withInstances.end());
    return objects;
}

// A PERF_DATA_BLOCK with the system name and two objects. With wineLayout the objects follow a gap of
// sizeof(PERF_DATA_BLOCK) bytes that neither HeaderLength nor TotalByteLength counts.
std::vector<BYTE> MakeBlock(bool wineLayout)
{
    const std::wstring systemName = L"HOST";
    PERF_DATA_BLOCK header = {};
    std::memcpy(header.Signature, L"PERF", sizeof(header.Signature));
    header.LittleEndian = 1;
    header.Version = 1;
    header.Revision = 1;
    header.NumObjectTypes = 2;
    header.SystemNameLength = static_cast<DWORD>((systemName.size() + 1) * sizeof(wchar_t));
    header.SystemNameOffset = kBlockHeader;
    header.HeaderLength = (kBlockHeader + header.SystemNameLength + 7) & ~DWORD(7);
    const std::vector<BYTE> objects = MakeObjects();
    header.TotalByteLength = header.HeaderLength + static_cast<DWORD>(objects.size());

    std::vector<BYTE> bytes;
    Append(bytes, header);
    bytes.resize(bytes.size() + header.SystemNameLength);
    std::memcpy(bytes.data() + kBlockHeader, systemName.c_str(), header.SystemNameLength);
    bytes.resize(header.HeaderLength + (wineLayout ? kBlockHeader : 0));
    bytes.insert(bytes.end(), objects.begin(), objects.end());
    return bytes;
}

// The bytes placed so that they end where an inaccessible page begins: a read past them faults.
class CGuardedCopy
{
public:
    explicit CGuardedCopy(const std::vector<BYTE> &bytes)
    {
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        const size_t page = info.dwPageSize;
        const size_t dataPages = (bytes.size() + page - 1) / page + 1;
        m_base = static_cast<BYTE *>(::VirtualAlloc(nullptr, (dataPages + 1) * page, MEM_RESERVE | MEM_COMMIT,
                                                     PAGE_READWRITE));
        DWORD old = 0;
        ::VirtualProtect(m_base + dataPages * page, page, PAGE_NOACCESS, &old);
        m_data = m_base + dataPages * page - bytes.size();
        std::memcpy(m_data, bytes.data(), bytes.size());
        m_size = bytes.size();
    }
    CGuardedCopy(const CGuardedCopy &) = delete;
    CGuardedCopy &operator=(const CGuardedCopy &) = delete;
    ~CGuardedCopy()
    {
        ::VirtualFree(m_base, 0, MEM_RELEASE);
    }

    CPerformanceData Parse() const
    {
        return CPerformanceData::Parse(m_data, m_size);
    }

private:
    BYTE *m_base;
    BYTE *m_data;
    size_t m_size;
};

void ExpectTheTwoObjects(const CPerformanceData &data)
{
    EXPECT_EQ(L"HOST", data.GetSystemName());
    ASSERT_EQ(2u, data.GetObjects().size());

    const CPerformanceData::Object *single = data.FindObject(1000);
    ASSERT_NE(nullptr, single);
    EXPECT_FALSE(single->HasInstances());
    EXPECT_EQ(data.GetFirstObjectOffset(), single->offset);
    ASSERT_EQ(2u, single->counters.size());
    EXPECT_EQ(0x34567890ull, ReadCounterValue(*single->FindCounter(1002), single->counterBlock));
    EXPECT_EQ(0x1234567890ull, ReadCounterValue(*single->FindCounter(1004), single->counterBlock));

    const CPerformanceData::Object *multi = data.FindObject(2000);
    ASSERT_NE(nullptr, multi);
    ASSERT_TRUE(multi->HasInstances());
    EXPECT_TRUE(multi->counterBlock.empty());
    ASSERT_EQ(2u, multi->instances.size());
    EXPECT_EQ(L"alpha", multi->instances[0].name);
    EXPECT_EQ(L"second instance", multi->instances[1].name);
    EXPECT_EQ(kParentTitle, multi->instances[1].definition.ParentObjectTitleIndex);
    EXPECT_EQ(1u, multi->instances[1].definition.ParentObjectInstance);
    EXPECT_EQ(PERF_NO_UNIQUE_ID, multi->instances[1].definition.UniqueID);
    EXPECT_EQ(7u, ReadCounterValue(*multi->FindCounter(2004), multi->instances[0].counterBlock));
    EXPECT_EQ(0x100000002ull, ReadCounterValue(*multi->FindCounter(2004), multi->instances[1].counterBlock));
    EXPECT_EQ(2u, ReadCounterValue(*multi->FindCounter(2002), multi->instances[1].counterBlock));
    EXPECT_EQ(nullptr, multi->FindCounter(2003));
    EXPECT_EQ(nullptr, data.FindObject(3000));
}

} // namespace

TEST(CPerformanceDataParse, ReadsObjectsAtHeaderLength)
{
    const CGuardedCopy copy(MakeBlock(false));
    const CPerformanceData data = copy.Parse();
    EXPECT_EQ(data.GetHeader().HeaderLength, data.GetFirstObjectOffset());
    ExpectTheTwoObjects(data);
}

TEST(CPerformanceDataParse, ReadsObjectsOneBlockHeaderBeyondHeaderLength)
{
    const CGuardedCopy copy(MakeBlock(true));
    const CPerformanceData data = copy.Parse();
    EXPECT_EQ(data.GetHeader().HeaderLength + kBlockHeader, data.GetFirstObjectOffset());
    ExpectTheTwoObjects(data);
}

TEST(CPerformanceDataParse, RejectsMalformedBlocks)
{
    const DWORD header = MakeBlock(false).size() - MakeObjects().size();
    const DWORD single = MakeObject(1000, nullptr, 0).size();
    const DWORD firstInstance = header + single + sizeof(PERF_OBJECT_TYPE) + 2 * sizeof(PERF_COUNTER_DEFINITION);
    const std::vector<std::pair<const char *, std::function<void(std::vector<BYTE> &)>>> faults = {
        {"signature", [](std::vector<BYTE> &b) { b[0] = 'X'; }},
        {"block TotalByteLength past the buffer", [](std::vector<BYTE> &b) { Patch<DWORD>(b, 20, b.size() + 1); }},
        {"HeaderLength below the block header", [](std::vector<BYTE> &b) { Patch<DWORD>(b, 24, 40); }},
        {"system name past the end", [](std::vector<BYTE> &b) { Patch<DWORD>(b, 84, 0x7FFFFFF0); }},
        {"one object more than present", [](std::vector<BYTE> &b) { Patch<DWORD>(b, 28, 3); }},
        {"no object header at either offset", [=](std::vector<BYTE> &b) { Patch<DWORD>(b, header + 8, 0); }},
        {"object TotalByteLength past the end",
         [=](std::vector<BYTE> &b) { Patch<DWORD>(b, header + single, 0xFFFFFFF8); }},
        {"counter definition longer than the definitions",
         [=](std::vector<BYTE> &b) { Patch<DWORD>(b, header + 64 + 40, 48); }},
        {"more counters than the definitions hold", [=](std::vector<BYTE> &b) { Patch<DWORD>(b, header + 32, 3); }},
        {"counter offset outside the counter block",
         [=](std::vector<BYTE> &b) { Patch<DWORD>(b, header + 64 + 36, 13); }},
        {"counter block longer than the object",
         [=](std::vector<BYTE> &b) { Patch<DWORD>(b, header + 144, 0x1000); }},
        {"instance name outside the instance",
         [=](std::vector<BYTE> &b) { Patch<DWORD>(b, firstInstance + 20, 0x100); }},
        {"instance name of odd length", [=](std::vector<BYTE> &b) { Patch<DWORD>(b, firstInstance + 20, 5); }},
        {"instance ByteLength below its definition", [=](std::vector<BYTE> &b) { Patch<DWORD>(b, firstInstance, 8); }},
        {"negative instance count", [=](std::vector<BYTE> &b) { Patch<LONG>(b, header + single + 40, -2); }},
    };
    for (const auto &fault : faults)
    {
        std::vector<BYTE> bytes = MakeBlock(false);
        fault.second(bytes);
        const CGuardedCopy copy(bytes);
        try
        {
            copy.Parse();
            ADD_FAILURE() << "accepted: " << fault.first;
        }
        catch (const CException &e)
        {
            EXPECT_EQ(L"CPerformanceData::Parse()", e.GetWhere()) << fault.first;
            EXPECT_EQ(0u, e.GetMessage().find(L"Error: ")) << fault.first;
        }
    }
}

// Whatever a single field holds, the parser stays inside the buffer: each case either parses or throws.
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
                Patch(bytes, offset, value);
                const CGuardedCopy copy(bytes);
                try
                {
                    copy.Parse();
                }
                catch (const CException &)
                {
                }
            }
        }
        for (size_t length = 0; length < valid.size(); ++length)
        {
            const CGuardedCopy copy(std::vector<BYTE>(valid.begin(), valid.begin() + length));
            EXPECT_THROW(copy.Parse(), CException) << "truncated to " << length;
        }
    }
}

TEST(CPerformanceDataParseObjects, ReadsAProvidersObjectListByCount)
{
    const std::vector<BYTE> objects = MakeObjects();
    const std::vector<CPerformanceData::Object> parsed =
        CPerformanceData::ParseObjects(objects.data(), objects.size(), 2);
    ASSERT_EQ(2u, parsed.size());
    EXPECT_EQ(1000u, parsed[0].header.ObjectNameTitleIndex);
    EXPECT_EQ(2000u, parsed[1].header.ObjectNameTitleIndex);
    EXPECT_EQ(parsed[0].header.TotalByteLength, parsed[1].offset);
    EXPECT_TRUE(CPerformanceData::ParseObjects(objects.data(), 0, 0).empty());
    EXPECT_THROW(CPerformanceData::ParseObjects(objects.data(), objects.size(), 3), CException);
}

TEST(ReadCounterValue, TakesTheSizeFromTheCounterTypeAndStaysInTheBlock)
{
    std::vector<BYTE> block;
    AppendCounterBlock(block, 0xAABBCCDD, 0x1122334455667788ull);
    PERF_COUNTER_DEFINITION counter = {};
    counter.CounterType = PERF_COUNTER_RAWCOUNT;
    counter.CounterSize = 4;
    counter.CounterOffset = 4;
    EXPECT_EQ(0xAABBCCDDull, ReadCounterValue(counter, block));
    counter.CounterOffset = 12;
    EXPECT_EQ(0x11223344ull, ReadCounterValue(counter, block));
    counter.CounterOffset = 13;
    EXPECT_THROW(ReadCounterValue(counter, block), CException);

    counter.CounterType = PERF_COUNTER_BULK_COUNT;
    counter.CounterSize = 8;
    counter.CounterOffset = 8;
    EXPECT_EQ(0x1122334455667788ull, ReadCounterValue(counter, block));
    counter.CounterSize = 4;
    EXPECT_THROW(ReadCounterValue(counter, block), CException);

    counter.CounterType = PERF_SIZE_VARIABLE_LEN | PERF_TYPE_TEXT;
    counter.CounterSize = 8;
    EXPECT_THROW(ReadCounterValue(counter, block), CException);
}
