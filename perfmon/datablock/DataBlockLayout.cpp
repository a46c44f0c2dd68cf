#include "perfmon/datablock/DataBlockLayout.h"

#include "perfmon/schema/CounterStorageAllocator.h"
#include "perfmon/schema/Schema.h"
#include "win32/Exception.h"
#include "win32/ToString.h"

namespace Halyard {
namespace PerfMon {

CDataBlockLayout::CDataBlockLayout(const CPerformanceDataSchema &schema) : m_counterDataOffset(0), m_blockSize(0)
{
    schema.ValidateSchema();
    const unsigned long long required = static_cast<unsigned long long>(schema.GetRequiredSize()) + kHeaderSize;
    if (required > 0xFFFFFFFBull)
    {
        throw Win32::CException(L"CPerformanceDataBlock::CPerformanceDataBlock()",
                                L"Schema is too large for a data block: " + Win32::ToString(required));
    }

    DWORD offset = kHeaderSize;
    DWORD counterDataOffset = 0;
    m_objects.reserve(schema.GetObjectCount());
    for (const auto &definition : schema.GetObjects())
    {
        Object object = {};
        object.offset = offset;
        object.numCounters = static_cast<DWORD>(definition->GetCounters().size());
        object.definitionLength = kObjectHeaderSize + kCounterDefinitionSize * object.numCounters;
        object.totalLength = definition->GetDefinitionSize();
        object.numInstances = static_cast<LONG>(definition->GetMaxInstances());
        object.maxNameLength = definition->GetMaxInstanceNameLength();
        object.nameSpace = definition->GetInstanceNameSpace();
        object.counterDataOffset = counterDataOffset;
        object.counterDataLength = 0;
        for (const auto &counter : definition->GetCounters())
        {
            object.counterDataLength += counter->GetCounterSize();
        }
        object.slotSize = kInstanceDefinitionSize + object.nameSpace;
        m_objects.push_back(object);

        offset += object.totalLength;
        counterDataOffset += definition->GetCounterDataSize();
    }
    m_counterDataOffset = offset;
    for (Object &object : m_objects)
    {
        object.valuesOffset = m_counterDataOffset + object.counterDataOffset;
    }
    m_blockSize = static_cast<DWORD>(required);
}

CDataBlockLayout::Header CDataBlockLayout::GetHeader() const
{
    Header header = {};
    header.initialised = 1;
    header.firstObjectOffset = kHeaderSize;
    header.lastObjectOffset = GetLastObjectOffset();
    header.counterDataOffset = m_counterDataOffset;
    return header;
}

void CDataBlockLayout::WriteDefinitions(const CPerformanceDataSchema &schema, DWORD firstCounterIndex,
                                        BYTE *definitions) const
{
    CCounterStorageAllocator allocator(schema.GetCounterDataSize());
    DWORD position = 0;
    DWORD remaining = GetDefinitionsSize();
    DWORD titleIndex = firstCounterIndex;
    for (const auto &object : schema.GetObjects())
    {
        const DWORD written = object->WriteTo(definitions + position, remaining, titleIndex, allocator);
        position += written;
        remaining -= written;
    }
}

int CDataBlockLayout::FindObjectAt(DWORD offset) const
{
    for (size_t i = 0; i < m_objects.size(); ++i)
    {
        if (m_objects[i].offset == offset)
        {
            return static_cast<int>(i);
        }
    }
    return -1;
}

} // namespace PerfMon
} // namespace Halyard
