#include "perfmon/PerformanceDataCollector.h"

#include "perfmon/PerformanceDataBlock.h"
#include "perfmon/Schema.h"
#include "win32/Exception.h"
#include "win32/ToString.h"

#include <cstring>

namespace Halyard {
namespace PerfMon {

using Win32::CException;
using Win32::ToString;

namespace {

const DWORD kHeaderSize = sizeof(CPerformanceDataBlock::Header);
const DWORD kObjectHeaderSize = sizeof(PERF_OBJECT_TYPE);
const DWORD kCounterDefinitionSize = sizeof(PERF_COUNTER_DEFINITION);
const DWORD kInstanceDefinitionSize = sizeof(PERF_INSTANCE_DEFINITION);
const DWORD kCounterBlockSize = sizeof(PERF_COUNTER_BLOCK);
const DWORD kCounterSize = 8;

const wchar_t kCollectWhere[] = L"CPerformanceDataCollector::Collect()";
const wchar_t kActiveWhere[] = L"CPerformanceDataCollector::GetActiveInstanceFromIndex()";

DWORD RoundUpTo8(DWORD value)
{
    return (value + 7) & ~static_cast<DWORD>(7);
}

[[noreturn]] void Corrupt(const std::wstring &what)
{
    throw CException(kCollectWhere, L"Data block is corrupt: " + what);
}

// Messages are only composed once a check has failed: the checks run on every collect.
[[noreturn]] void CorruptObject(DWORD offset, const std::wstring &what)
{
    Corrupt(L"object at " + ToString(offset) + L": " + what);
}

[[noreturn]] void CorruptSlot(DWORD offset, LONG slot, const std::wstring &what)
{
    CorruptObject(offset, L"slot " + ToString(slot) + L" " + what);
}

// "Global" in any mix of upper and lower case.
bool IsGlobalQuery(const wchar_t *query)
{
    const wchar_t global[] = L"global";
    for (size_t i = 0; i < sizeof(global) / sizeof(global[0]); ++i)
    {
        const wchar_t c = query[i];
        if ((c >= L'A' && c <= L'Z' ? c + (L'a' - L'A') : c) != global[i])
        {
            return false;
        }
    }
    return true;
}

// Counter values are written by the server without the lock, one 8-byte value at a time; reading
// them whole keeps a copy from ever holding half of an old value and half of a new one.
void CopyCounterValues(BYTE *destination, const BYTE *source, size_t bytes)
{
    if (reinterpret_cast<UINT_PTR>(source) % sizeof(LONGLONG) != 0 || bytes % sizeof(LONGLONG) != 0)
    {
        std::memcpy(destination, source, bytes);
        return;
    }
    const volatile LONGLONG *from = reinterpret_cast<const volatile LONGLONG *>(source);
    for (size_t i = 0; i < bytes / sizeof(LONGLONG); ++i)
    {
#if defined(_WIN64)
        const LONGLONG value = from[i];
#else
        const LONGLONG value =
            ::InterlockedCompareExchange64(const_cast<volatile LONGLONG *>(from + i), 0, 0);
#endif
        std::memcpy(destination + i * sizeof(LONGLONG), &value, sizeof(value));
    }
}

// A scope that leaves the caller's counts at 0 unless the request completes.
class CResetCountsOnFailure
{
public:
    CResetCountsOnFailure(DWORD *totalBytes, DWORD *numObjectTypes)
        : m_totalBytes(totalBytes), m_numObjectTypes(numObjectTypes)
    {
    }
    ~CResetCountsOnFailure()
    {
        if (!m_completed)
        {
            *m_totalBytes = 0;
            *m_numObjectTypes = 0;
        }
    }
    CResetCountsOnFailure(const CResetCountsOnFailure &) = delete;
    CResetCountsOnFailure &operator=(const CResetCountsOnFailure &) = delete;

    void Completed() { m_completed = true; }

private:
    DWORD *m_totalBytes;
    DWORD *m_numObjectTypes;
    bool m_completed = false;
};

using ObjectEntry = CPerformanceDataCollector::ObjectEntry;

// Instance slot i of an object's private copy: slots follow the counter definitions.
const PERF_INSTANCE_DEFINITION *GetSlot(const ObjectEntry &entry, DWORD slot)
{
    const PERF_OBJECT_TYPE *object = reinterpret_cast<const PERF_OBJECT_TYPE *>(entry.objectTemplate);
    const DWORD slotSize = kInstanceDefinitionSize + static_cast<DWORD>(object->PerfTime.HighPart);
    return reinterpret_cast<const PERF_INSTANCE_DEFINITION *>(entry.objectTemplate + entry.definitionLength +
                                                              slot * slotSize);
}

// Visits the slots in use in slot order, stopping once as many as the object counts were seen.
template <typename Visit>
void ForEachSlotInUse(const ObjectEntry &entry, Visit visit)
{
    const PERF_OBJECT_TYPE *object = reinterpret_cast<const PERF_OBJECT_TYPE *>(entry.objectTemplate);
    LONG remaining = object->PerfFreq.HighPart;
    for (LONG i = 0; i < object->NumInstances && remaining != 0; ++i)
    {
        const PERF_INSTANCE_DEFINITION *slot = GetSlot(entry, static_cast<DWORD>(i));
        if (slot->ByteLength != 0)
        {
            --remaining;
            visit(static_cast<DWORD>(i), slot);
        }
    }
}

} // namespace

// Writes into the caller's buffer, never past the total that was sized for it.
class CPerformanceDataCollector::CBoundedWriter
{
public:
    CBoundedWriter(BYTE *start, DWORD size) : m_start(start), m_position(start), m_end(start + size) {}

    BYTE *Position() const { return m_position; }

    DWORD Written() const { return static_cast<DWORD>(m_position - m_start); }

    BYTE *Reserve(DWORD bytes)
    {
        if (static_cast<size_t>(m_end - m_position) < bytes)
        {
            throw CException(kCollectWhere, L"Output exceeds the size computed for it");
        }
        BYTE *at = m_position;
        m_position += bytes;
        return at;
    }

    void Copy(const void *source, DWORD bytes) { std::memcpy(Reserve(bytes), source, bytes); }

    void Zero(DWORD bytes) { std::memset(Reserve(bytes), 0, bytes); }

private:
    BYTE *const m_start;
    BYTE *m_position;
    BYTE *const m_end;
};

CPerformanceDataCollector::CPerformanceDataCollector(const Win32::IKernelObjectName &name,
                                                     const CPerformanceDataSchema &schema, DWORD firstCounterIndex,
                                                     SECURITY_ATTRIBUTES *securityAttributes)
    : m_name(name),
      m_schema(schema),
      m_firstCounterIndex(firstCounterIndex),
      m_securityAttributes(securityAttributes),
      m_objectCount(schema.GetObjectCount()),
      m_blockSize(0),
      m_counterDataOffset(0)
{
    m_schema.ValidateSchema();

    DWORD offset = kHeaderSize;
    DWORD counterDataOffset = 0;
    m_layout.reserve(m_objectCount);
    for (const auto &object : m_schema.GetObjects())
    {
        Layout layout = {};
        layout.offset = offset;
        layout.numCounters = static_cast<DWORD>(object->GetCounters().size());
        layout.definitionLength = kObjectHeaderSize + kCounterDefinitionSize * layout.numCounters;
        layout.totalLength = object->GetDefinitionSize();
        layout.numInstances = static_cast<LONG>(object->GetMaxInstances());
        layout.maxNameLength = object->GetMaxInstanceNameLength();
        layout.nameSpace = object->GetInstanceNameSpace();
        layout.counterDataOffset = counterDataOffset;
        layout.counterDataLength = kCounterSize * layout.numCounters;
        m_layout.push_back(layout);

        offset += layout.totalLength;
        counterDataOffset += object->GetCounterDataSize();
    }
    m_counterDataOffset = offset;
    m_blockSize = offset + counterDataOffset;
}

CPerformanceDataCollector::~CPerformanceDataCollector() = default;

void CPerformanceDataCollector::Open(const wchar_t *)
{
    if (m_dataBlock)
    {
        throw CException(L"CPerformanceDataCollector::Open()", L"Error: collector is alread open");
    }

    std::unique_ptr<CPerformanceDataBlock> dataBlock(
        new CPerformanceDataBlock(m_name, m_schema, m_firstCounterIndex, m_securityAttributes));
    if (dataBlock->GetBlockSize() != m_blockSize)
    {
        throw CException(L"CPerformanceDataCollector::Open()", L"Data block size does not match the schema");
    }
    std::unique_ptr<ObjectEntry[]> objects(new ObjectEntry[m_objectCount]);
    m_snapshot.assign(m_blockSize, 0);
    m_dataBlock = std::move(dataBlock);
    TakeSnapshot();

    // Sizes and slots are read from the private copy, which keeps its address until Close;
    // definitions and values from the block itself.
    const BYTE *block = m_dataBlock->GetBlock();
    for (DWORD i = 0; i < m_objectCount; ++i)
    {
        const Layout &layout = m_layout[i];
        const PERF_OBJECT_TYPE *object = reinterpret_cast<const PERF_OBJECT_TYPE *>(&m_snapshot[layout.offset]);
        ObjectEntry &entry = objects[i];
        entry.titleIndex = object->ObjectNameTitleIndex;
        entry.key = L" " + ToString(static_cast<unsigned long>(entry.titleIndex)) + L" ";
        entry.selected = false;
        entry.hasInstances = layout.numInstances != PERF_NO_INSTANCES;
        entry.definitionLength = layout.definitionLength;
        entry.objectTemplate = &m_snapshot[layout.offset];
        entry.counterDefinitions = block + layout.offset + kObjectHeaderSize;
        entry.counterDataLength = layout.counterDataLength;
        entry.counterData = block + m_counterDataOffset + layout.counterDataOffset;
    }
    m_objects = std::move(objects);
}

void CPerformanceDataCollector::Close()
{
    if (!m_dataBlock)
    {
        throw CException(L"CPerformanceDataCollector::Close()", L"Error: collector has not been opened");
    }
    m_dataBlock.reset();
    m_objects.reset();
}

// Only what decides sizes and positions is copied under the lock: the block header, the object
// headers and the instance slots. Counter definitions and values go straight to the caller's
// buffer, and the definitions are checked there, where no other process can change them.
void CPerformanceDataCollector::TakeSnapshot()
{
    Win32::ICriticalSection::Owner lock(*m_dataBlock);
    const BYTE *block = m_dataBlock->GetBlock();
    std::memcpy(m_snapshot.data(), block, kHeaderSize);
    for (const Layout &layout : m_layout)
    {
        std::memcpy(&m_snapshot[layout.offset], block + layout.offset, kObjectHeaderSize);
        const DWORD slots = layout.offset + layout.definitionLength;
        std::memcpy(&m_snapshot[slots], block + slots, layout.totalLength - layout.definitionLength);
    }
}

void CPerformanceDataCollector::ValidateSnapshot() const
{
    CPerformanceDataBlock::Header header;
    std::memcpy(&header, m_snapshot.data(), sizeof(header));
    if (header.initialised != 1)
    {
        Corrupt(L"not initialised");
    }
    if (header.firstObjectOffset != kHeaderSize || header.lastObjectOffset != m_layout.back().offset ||
        header.counterDataOffset != m_counterDataOffset)
    {
        Corrupt(L"header offsets " + ToString(header.firstObjectOffset) + L", " + ToString(header.lastObjectOffset) +
                L", " + ToString(header.counterDataOffset));
    }
    for (const Layout &layout : m_layout)
    {
        ValidateObject(layout);
    }
}

void CPerformanceDataCollector::ValidateObject(const Layout &layout) const
{
    const BYTE *base = &m_snapshot[layout.offset];
    const PERF_OBJECT_TYPE *object = reinterpret_cast<const PERF_OBJECT_TYPE *>(base);

    if (object->TotalByteLength != layout.totalLength || object->DefinitionLength != layout.definitionLength ||
        object->HeaderLength != kObjectHeaderSize || object->NumCounters != layout.numCounters ||
        object->NumInstances != layout.numInstances || object->CodePage != layout.counterDataOffset ||
        object->PerfTime.LowPart != layout.maxNameLength ||
        static_cast<DWORD>(object->PerfTime.HighPart) != layout.nameSpace ||
        object->PerfFreq.LowPart != layout.counterDataLength)
    {
        CorruptObject(layout.offset, L"definition does not match the schema");
    }

    if (layout.numInstances == PERF_NO_INSTANCES)
    {
        return;
    }

    const LONG inUse = object->PerfFreq.HighPart;
    if (inUse < 0 || inUse > layout.numInstances)
    {
        CorruptObject(layout.offset, L"instances in use " + ToString(inUse));
    }
    const DWORD slotSize = kInstanceDefinitionSize + layout.nameSpace;
    for (LONG i = 0; i < layout.numInstances; ++i)
    {
        const BYTE *slotBase = base + layout.definitionLength + static_cast<DWORD>(i) * slotSize;
        const PERF_INSTANCE_DEFINITION *slot = reinterpret_cast<const PERF_INSTANCE_DEFINITION *>(slotBase);
        if (slot->ByteLength == 0)
        {
            continue;
        }
        if (slot->ByteLength < kInstanceDefinitionSize || slot->ByteLength > slotSize || slot->ByteLength % 4 != 0)
        {
            CorruptSlot(layout.offset, i, L"length " + ToString(slot->ByteLength));
        }
        if (slot->NameLength != 0)
        {
            // A name is whole UTF-16 units, ends in a NUL, and lies inside the instance definition.
            if (slot->NameOffset != kInstanceDefinitionSize || slot->NameLength % sizeof(wchar_t) != 0 ||
                slot->NameLength > slot->ByteLength - kInstanceDefinitionSize)
            {
                CorruptSlot(layout.offset, i, L"name " + ToString(slot->NameOffset) + L", " + ToString(slot->NameLength));
            }
            wchar_t last;
            std::memcpy(&last, slotBase + kInstanceDefinitionSize + slot->NameLength - sizeof(wchar_t), sizeof(last));
            if (last != L'\0')
            {
                CorruptSlot(layout.offset, i, L"name is not terminated");
            }
        }
        else if (layout.maxNameLength != 0)
        {
            CorruptSlot(layout.offset, i, L"has no name");
        }
    }
}

CPerformanceDataCollector::ObjectEntry &CPerformanceDataCollector::FindObjectByIndex(DWORD titleIndex)
{
    for (DWORD i = 0; i < m_objectCount; ++i)
    {
        if (m_objects[i].titleIndex == titleIndex)
        {
            return m_objects[i];
        }
    }
    throw CException(L"CPerformanceDataCollector::FindObjectByIndex()",
                     L"Object not found for: " + ToString(static_cast<unsigned long>(titleIndex)));
}

DWORD CPerformanceDataCollector::GetActiveInstanceFromIndex(DWORD titleIndex, long slotIndex)
{
    const ObjectEntry &entry = FindObjectByIndex(titleIndex);
    const PERF_OBJECT_TYPE *object = reinterpret_cast<const PERF_OBJECT_TYPE *>(entry.objectTemplate);
    if (slotIndex < 0 || slotIndex > object->NumInstances)
    {
        throw CException(kActiveWhere, L"Instance index out of range: " + ToString(slotIndex));
    }

    const LONG inUse = object->PerfFreq.HighPart;
    LONG remaining = inUse;
    for (LONG i = 0; i < object->NumInstances && i <= slotIndex && remaining != 0; ++i)
    {
        if (GetSlot(entry, static_cast<DWORD>(i))->ByteLength != 0)
        {
            if (i == slotIndex)
            {
                return static_cast<DWORD>(inUse - remaining);
            }
            --remaining;
        }
    }
    throw CException(kActiveWhere, L"Failed to locate active instance index: " + ToString(slotIndex));
}

DWORD CPerformanceDataCollector::GetObjectSize(ObjectEntry &entry)
{
    if (!entry.hasInstances)
    {
        return RoundUpTo8(entry.definitionLength + kCounterBlockSize + entry.counterDataLength);
    }

    DWORD size = entry.definitionLength;
    ForEachSlotInUse(entry, [&](DWORD, const PERF_INSTANCE_DEFINITION *slot) {
        size += slot->ByteLength + kCounterBlockSize + entry.counterDataLength;
        if (slot->ParentObjectTitleIndex != 0)
        {
            ObjectEntry &parent = FindObjectByIndex(slot->ParentObjectTitleIndex);
            if (!parent.selected)
            {
                parent.selected = true;
                size += GetObjectSize(parent);
            }
        }
    });
    return RoundUpTo8(size);
}

// Counter definitions are checked in the caller's buffer, after they were copied there.
void CPerformanceDataCollector::ValidateCounterDefinitions(const ObjectEntry &entry, const BYTE *copy) const
{
    const DWORD counters = (entry.definitionLength - kObjectHeaderSize) / kCounterDefinitionSize;
    for (DWORD k = 0; k < counters; ++k)
    {
        PERF_COUNTER_DEFINITION counter;
        std::memcpy(&counter, copy + k * kCounterDefinitionSize, sizeof(counter));
        if (counter.ByteLength != kCounterDefinitionSize || counter.CounterSize != kCounterSize ||
            counter.CounterOffset != kCounterBlockSize + kCounterSize * k)
        {
            Corrupt(L"object " + ToString(entry.titleIndex) + L": counter " + ToString(k) +
                    L" does not match the schema");
        }
    }
}

DWORD CPerformanceDataCollector::WriteObject(const ObjectEntry &entry, CBoundedWriter &writer)
{
    BYTE *start = writer.Position();
    writer.Copy(entry.objectTemplate, kObjectHeaderSize);
    const DWORD definitionsLength = entry.definitionLength - kObjectHeaderSize;
    BYTE *definitions = writer.Reserve(definitionsLength);
    std::memcpy(definitions, entry.counterDefinitions, definitionsLength);
    ValidateCounterDefinitions(entry, definitions);
    PERF_OBJECT_TYPE *object = reinterpret_cast<PERF_OBJECT_TYPE *>(start);

    const DWORD counterBlockLength = kCounterBlockSize + entry.counterDataLength;
    LONG written = PERF_NO_INSTANCES;
    if (!entry.hasInstances)
    {
        writer.Copy(&counterBlockLength, sizeof(counterBlockLength));
        CopyCounterValues(writer.Reserve(entry.counterDataLength), entry.counterData, entry.counterDataLength);
    }
    else
    {
        written = 0;
        ForEachSlotInUse(entry, [&](DWORD i, const PERF_INSTANCE_DEFINITION *slot) {
            PERF_INSTANCE_DEFINITION *copy = reinterpret_cast<PERF_INSTANCE_DEFINITION *>(writer.Position());
            writer.Copy(slot, slot->ByteLength);
            if (copy->ParentObjectTitleIndex != 0)
            {
                // The block keeps the parent's 1-based slot; readers want its position among the
                // parent's instances in use.
                copy->ParentObjectInstance = GetActiveInstanceFromIndex(
                    copy->ParentObjectTitleIndex, static_cast<long>(copy->ParentObjectInstance) - 1);
            }
            writer.Copy(&counterBlockLength, sizeof(counterBlockLength));
            CopyCounterValues(writer.Reserve(entry.counterDataLength), entry.counterData + i * entry.counterDataLength,
                              entry.counterDataLength);
            ++written;
        });
    }

    object->CodePage = 0;
    object->PerfTime.QuadPart = 0;
    object->PerfFreq.QuadPart = 0;
    object->NumInstances = written;

    const DWORD length = static_cast<DWORD>(writer.Position() - start);
    const DWORD padded = RoundUpTo8(length);
    writer.Zero(padded - length);
    object->TotalByteLength = padded;
    return padded;
}

bool CPerformanceDataCollector::Collect(const wchar_t *query, void **data, DWORD *totalBytes, DWORD *numObjectTypes)
{
    *numObjectTypes = 0;
    if (!m_dataBlock)
    {
        *totalBytes = 0;
        throw CException(kCollectWhere, L"Error: collector has not been opened");
    }
    CResetCountsOnFailure resetCounts(totalBytes, numObjectTypes);

    // A null query asks for everything, as "Global" does.
    const bool global = query == nullptr || IsGlobalQuery(query);
    const std::wstring paddedQuery = global ? std::wstring() : L" " + std::wstring(query) + L" ";

    TakeSnapshot();
    ValidateSnapshot();

    for (DWORD i = 0; i < m_objectCount; ++i)
    {
        m_objects[i].selected = false;
    }

    unsigned long long total = 0;
    for (DWORD i = 0; i < m_objectCount; ++i)
    {
        ObjectEntry &entry = m_objects[i];
        if (entry.selected)
        {
            continue;
        }
        entry.selected = global || paddedQuery.find(entry.key) != std::wstring::npos;
        if (entry.selected)
        {
            total += GetObjectSize(entry);
        }
    }

    if (total > *totalBytes)
    {
        *totalBytes = 0;
        resetCounts.Completed();
        return false;
    }

    CBoundedWriter writer(static_cast<BYTE *>(*data), static_cast<DWORD>(total));
    DWORD objects = 0;
    for (DWORD i = 0; i < m_objectCount && writer.Written() < total; ++i)
    {
        if (m_objects[i].selected)
        {
            WriteObject(m_objects[i], writer);
            ++objects;
        }
    }

    if (writer.Written() != total)
    {
        throw CException(kCollectWhere, L"Internal logic error");
    }

    *data = writer.Position();
    *totalBytes = static_cast<DWORD>(total);
    *numObjectTypes = objects;
    resetCounts.Completed();
    return true;
}

} // namespace PerfMon
} // namespace Halyard
