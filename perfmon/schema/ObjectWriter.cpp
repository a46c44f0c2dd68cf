// The object definition template an object writes into the shared block.
#include "perfmon/schema/Schema.h"

#include "perfmon/schema/CounterStorageAllocator.h"
#include "win32/Exception.h"
#include "win32/ToString.h"

#include <winperf.h>

#include <cstddef>
#include <cstring>

using Halyard::Win32::CException;
using Halyard::Win32::ToString;

namespace Halyard {
namespace PerfMon {

// The shared block holds these records in their 32-bit form, which both builds must share.
static_assert(sizeof(PERF_OBJECT_TYPE) == 64, "PERF_OBJECT_TYPE must be 64 bytes");
static_assert(offsetof(PERF_OBJECT_TYPE, PerfTime) == 48, "PERF_OBJECT_TYPE.PerfTime must lie at 48");
static_assert(sizeof(PERF_COUNTER_DEFINITION) == 40, "PERF_COUNTER_DEFINITION must be 40 bytes");
static_assert(sizeof(PERF_INSTANCE_DEFINITION) == 24, "PERF_INSTANCE_DEFINITION must be 24 bytes");
static_assert(sizeof(PERF_COUNTER_BLOCK) == 4, "PERF_COUNTER_BLOCK must be 4 bytes");

namespace {

template <typename Record>
void Put(BYTE *&position, const Record &record)
{
    // memcpy: the block places records at offsets that need not suit their alignment.
    std::memcpy(position, &record, sizeof(record));
    position += sizeof(record);
}

} // namespace

DWORD CPerformanceDataSchema::Object::WriteTo(void *buffer, DWORD bufferSize, DWORD &titleIndex,
                                              IAllocateCounterStorage &allocator) const
{
    static const wchar_t *const where = L"CPerformanceDataSchema::Object::WriteTo()";

    const DWORD length = GetDefinitionSize();
    if (bufferSize < length)
    {
        throw CException(where, L"Buffer is too small, need: " + ToString(length) + L" only got: " + ToString(bufferSize));
    }

    BYTE *const start = static_cast<BYTE *>(buffer);
    BYTE *position = start;

    // The title pointers stay 0. CodePage, PerfTime and PerfFreq carry the block's own bookkeeping:
    // where the object's values lie, its instance name limits and the size of one instance's values.
    PERF_OBJECT_TYPE object = {};
    object.TotalByteLength = 0;
    object.HeaderLength = sizeof(PERF_OBJECT_TYPE);
    object.DefinitionLength = static_cast<DWORD>(sizeof(PERF_OBJECT_TYPE) + sizeof(PERF_COUNTER_DEFINITION) * m_counters.size());
    object.ObjectNameTitleIndex = titleIndex++;
    object.ObjectHelpTitleIndex = titleIndex++;
    object.DetailLevel = m_detailLevel;
    object.NumCounters = static_cast<DWORD>(m_counters.size());
    object.DefaultCounter = static_cast<LONG>(m_defaultCounter) - 1;
    object.NumInstances = HasInstances() ? static_cast<LONG>(m_maxInstances) : PERF_NO_INSTANCES;
    object.CodePage = allocator.BeginObject();
    object.PerfTime.LowPart = m_maxInstanceNameLength;
    object.PerfTime.HighPart = static_cast<LONG>(m_instanceNameSpace);
    object.PerfFreq.QuadPart = 0;
    Put(position, object);

    DWORD perInstanceSize = 0;
    for (const auto &counter : m_counters)
    {
        PERF_COUNTER_DEFINITION definition = {};
        definition.ByteLength = sizeof(PERF_COUNTER_DEFINITION);
        definition.CounterNameTitleIndex = titleIndex++;
        definition.CounterHelpTitleIndex = titleIndex++;
        definition.DefaultScale = counter->GetDefaultScale();
        definition.DetailLevel = counter->GetDetailLevel();
        definition.CounterType = counter->GetCounterType();
        definition.CounterSize = counter->GetCounterSize();
        // The collector puts a PERF_COUNTER_BLOCK length word before each instance's values.
        definition.CounterOffset = allocator.Allocate(definition.CounterSize) + sizeof(PERF_COUNTER_BLOCK);
        perInstanceSize += definition.CounterSize;
        Put(position, definition);
    }
    object.PerfFreq.LowPart = perInstanceSize;

    DWORD totalLength = object.DefinitionLength;
    if (HasInstances())
    {
        allocator.AllocateInstances(m_maxInstances);
        PERF_INSTANCE_DEFINITION freeSlot = {};
        freeSlot.ByteLength = 0;
        freeSlot.ParentObjectTitleIndex = 0;
        freeSlot.ParentObjectInstance = 0;
        freeSlot.UniqueID = PERF_NO_UNIQUE_ID;
        freeSlot.NameOffset = sizeof(PERF_INSTANCE_DEFINITION);
        freeSlot.NameLength = 0;
        for (DWORD i = 0; i < m_maxInstances; ++i)
        {
            Put(position, freeSlot);
            std::memset(position, 0, m_instanceNameSpace);
            position += m_instanceNameSpace;
        }
        totalLength += (sizeof(PERF_INSTANCE_DEFINITION) + m_instanceNameSpace) * m_maxInstances;
    }

    object.TotalByteLength = totalLength;
    std::memcpy(start, &object, sizeof(object));

    if (totalLength != length || static_cast<size_t>(position - start) != length)
    {
        throw CException(where, L"Internal logic error");
    }
    return length;
}

} // namespace PerfMon
} // namespace Halyard
