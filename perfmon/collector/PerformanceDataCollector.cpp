#include "perfmon/collector/PerformanceDataCollector.h"

#include "perfmon/collector/BlockCopies.h"
#include "perfmon/datablock/PerformanceDataBlock.h"
#include "perfmon/schema/Schema.h"
#include "win32/Exception.h"
#include "win32/ToString.h"

#include <cstring>

namespace Halyard {
namespace PerfMon {

using BlockCopies::CopyBytes;
using BlockCopies::CopyCounterValues;
using BlockCopies::CopyIfExpected;
using BlockCopies::SameBytes;
using Win32::CException;
using Win32::ToString;

namespace {

const DWORD kHeaderSize = CDataBlockLayout::kHeaderSize;
const DWORD kObjectHeaderSize = CDataBlockLayout::kObjectHeaderSize;
const DWORD kInstanceDefinitionSize = CDataBlockLayout::kInstanceDefinitionSize;
const DWORD kCounterBlockSize = CDataBlockLayout::kCounterBlockSize;

const wchar_t kCollectWhere[] = L"CPerformanceDataCollector::Collect()";
const wchar_t kActiveWhere[] = L"CPerformanceDataCollector::GetActiveInstanceFromIndex()";

// A block that stays out of reach at the same place (the same where-text: a message may carry the
// time waited) is reported on one failed attempt in this many, about once a minute at the default
// retry interval.
const DWORD kFailuresPerReport = 60;

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

// The length of the caller's text, counted here rather than by the runtime: a text that runs into
// memory that cannot be read then faults in this module's code, where the fault is translated on x86 too.
size_t QueryLength(const wchar_t *query)
{
    size_t length = 0;
    while (query[length] != L'\0')
    {
        ++length;
    }
    return length;
}

// "Global" in any mix of upper and lower case, or no text at all: a host that names nothing wants
// everything. Setting bit 5 turns an upper-case letter into its lower-case one and nothing else into
// it; the first character that differs ends the reading.
bool IsGlobalQuery(const wchar_t *query)
{
    return query[0] == L'\0' ||
           ((query[0] | 0x20) == L'g' && (query[1] | 0x20) == L'l' && (query[2] | 0x20) == L'o' &&
            (query[3] | 0x20) == L'b' && (query[4] | 0x20) == L'a' && (query[5] | 0x20) == L'l' && query[6] == L'\0');
}

using ObjectEntry = CPerformanceDataCollector::ObjectEntry;

// Instance slot i of an object's private copy.
const PERF_INSTANCE_DEFINITION *GetSlot(const ObjectEntry &entry, DWORD slot)
{
    return reinterpret_cast<const PERF_INSTANCE_DEFINITION *>(entry.objectTemplate - entry.layout->offset +
                                                              entry.layout->SlotOffset(slot));
}

LONG InUseCount(const ObjectEntry &entry)
{
    PERF_OBJECT_TYPE object;
    std::memcpy(&object, entry.objectTemplate, sizeof(object));
    return CDataBlockLayout::InUseCountOf(object);
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

    void Copy(const BYTE *source, DWORD bytes) { CopyBytes(Reserve(bytes), source, bytes); }

    // An object's padding, at most 7 bytes, without a call into the runtime.
    void Pad(DWORD bytes)
    {
        BYTE *at = Reserve(bytes);
        const DWORD zero = 0;
        if (bytes & 4)
        {
            std::memcpy(at, &zero, 4);
            at += 4;
        }
        if (bytes & 2)
        {
            std::memcpy(at, &zero, 2);
            at += 2;
        }
        if (bytes & 1)
        {
            *at = 0;
        }
    }

private:
    BYTE *const m_start;
    BYTE *m_position;
    BYTE *const m_end;
};

CPerformanceDataCollector::CPerformanceDataCollector(const Win32::IKernelObjectName &name,
                                                     const CPerformanceDataSchema &schema, DWORD firstCounterIndex,
                                                     SECURITY_ATTRIBUTES *securityAttributes, DWORD lockTimeout,
                                                     DWORD openRetryInterval)
    : m_name(name),
      m_schema(schema),
      m_firstCounterIndex(firstCounterIndex),
      m_securityAttributes(securityAttributes),
      m_lockTimeout(lockTimeout),
      m_layout(schema),
      m_header(m_layout.GetHeader()),
      m_openRetryInterval(openRetryInterval),
      m_objectCount(schema.GetObjectCount())
{
}

CPerformanceDataCollector::~CPerformanceDataCollector() = default;

void CPerformanceDataCollector::Open(const wchar_t *)
{
    if (m_dataBlock)
    {
        throw CException(L"CPerformanceDataCollector::Open()", L"Error: collector is alread open");
    }
    // The host takes a failed open for a disabled provider and never opens it again, so the open
    // is kept as asked for and the failure is left to the collects to mend.
    m_attachPending = true;
    m_lastFailure.clear();
    m_quietFailures = 0;
    try
    {
        Attach();
    }
    catch (const CException &e)
    {
        m_lastFailure = e.GetWhere();
        m_nextAttempt = ::GetTickCount64() + m_openRetryInterval;
        throw;
    }
    catch (...)
    {
        m_nextAttempt = ::GetTickCount64() + m_openRetryInterval;
        throw;
    }
    m_attachPending = false;
}

// Attaches the block and builds the table over it, or leaves the collector without a block.
void CPerformanceDataCollector::Attach()
{
    std::unique_ptr<CPerformanceDataBlock> dataBlock(
        new CPerformanceDataBlock(m_name, m_schema, m_firstCounterIndex, m_securityAttributes, m_lockTimeout));
    std::unique_ptr<ObjectEntry[]> objects(new ObjectEntry[m_objectCount]);
    m_snapshot.assign(m_layout.GetBlockSize(), 0);
    {
        Win32::ICriticalSection::Owner lock(*dataBlock);
        TakeSnapshot(dataBlock->GetBlock());
    }

    // The block carries the title indexes of the process that laid it out.
    PERF_OBJECT_TYPE first;
    std::memcpy(&first, &m_snapshot[m_layout.GetObjects().front().offset], sizeof(first));
    BuildExpectedDefinitions(first.ObjectNameTitleIndex);

    // Sizes and slots are read from the private copy, which keeps its address until Close;
    // definitions and values from the block itself, under its lock.
    const BYTE *block = dataBlock->GetBlock();
    size_t slotCount = 0;
    for (const CDataBlockLayout::Object &layout : m_layout.GetObjects())
    {
        slotCount += layout.SlotCount();
    }
    std::unique_ptr<DWORD[]> slotsInUse(new DWORD[slotCount]);
    DWORD *nextSlots = slotsInUse.get();
    for (DWORD i = 0; i < m_objectCount; ++i)
    {
        const CDataBlockLayout::Object &layout = m_layout.GetObjects()[i];
        const BYTE *expected = &m_expected[layout.offset - kHeaderSize];
        ObjectEntry &entry = objects[i];
        std::memcpy(&entry.answerHeader, expected, sizeof(entry.answerHeader));
        entry.answerHeader.CodePage = 0;
        entry.answerHeader.PerfTime.QuadPart = 0;
        entry.answerHeader.PerfFreq.QuadPart = 0;
        entry.titleIndex = entry.answerHeader.ObjectNameTitleIndex;
        entry.key = L" " + ToString(static_cast<unsigned long>(entry.titleIndex)) + L" ";
        entry.selected = false;
        entry.hasInstances = layout.HasInstances();
        entry.definitionLength = layout.definitionLength;
        entry.counterDataLength = layout.counterDataLength;
        entry.layout = &layout;
        entry.objectTemplate = &m_snapshot[layout.offset];
        entry.counterDefinitions = block + layout.offset + kObjectHeaderSize;
        entry.expectedDefinition = expected;
        entry.counterData = block + layout.valuesOffset;
        entry.slotsInUse = nextSlots;
        entry.slotsInUseCount = 0;
        entry.size = 0;
        entry.hasParents = false;
        nextSlots += layout.SlotCount();
    }
    // Nothing below throws: the collector has its block only with the table that describes it.
    m_dataBlock = std::move(dataBlock);
    m_slotsInUse = std::move(slotsInUse);
    m_objects = std::move(objects);
}

// A collect after an Open that could not attach the block: tries again once the retry interval
// has passed since the last attempt. False while the block stays out of reach and the failure need
// not be told again; a failure that is new, or repeated for a long while, is thrown.
bool CPerformanceDataCollector::RetryAttach()
{
    if (::GetTickCount64() < m_nextAttempt)
    {
        return false;
    }
    try
    {
        Attach();
    }
    catch (const CException &e)
    {
        m_nextAttempt = ::GetTickCount64() + m_openRetryInterval;
        if (e.GetWhere() == m_lastFailure && ++m_quietFailures < kFailuresPerReport)
        {
            return false;
        }
        m_lastFailure = e.GetWhere();
        m_quietFailures = 0;
        throw;
    }
    catch (...)
    {
        m_nextAttempt = ::GetTickCount64() + m_openRetryInterval;
        throw;
    }
    m_attachPending = false;
    return true;
}

void CPerformanceDataCollector::Close()
{
    // The host closes what it opened, whether or not the block could be attached.
    if (!m_dataBlock && m_attachPending)
    {
        m_attachPending = false;
        return;
    }
    if (!m_dataBlock)
    {
        throw CException(L"CPerformanceDataCollector::Close()", L"Error: collector has not been opened");
    }
    m_dataBlock.reset();
    m_objects.reset();
    m_slotsInUse.reset();
}

void CPerformanceDataCollector::SetLockHooks(Win32::COptex::IHooks *hooks)
{
    if (!m_dataBlock)
    {
        throw CException(L"CPerformanceDataCollector::SetLockHooks()", L"Error: collector has not been opened");
    }
    m_dataBlock->SetLockHooks(hooks);
}

void CPerformanceDataCollector::BuildExpectedDefinitions(DWORD firstCounterIndex)
{
    m_expected.assign(m_layout.GetDefinitionsSize(), 0);
    m_layout.WriteDefinitions(m_schema, firstCounterIndex, m_expected.data());
}

// What decides sizes and positions: the block header, the object headers and the instance slots.
// The caller holds the block's lock.
void CPerformanceDataCollector::TakeSnapshot(const BYTE *block)
{
    CopyBytes(m_snapshot.data(), block, kHeaderSize);
    for (const CDataBlockLayout::Object &layout : m_layout.GetObjects())
    {
        CopyBytes(&m_snapshot[layout.offset], block + layout.offset, kObjectHeaderSize);
        const DWORD slots = layout.offset + layout.definitionLength;
        CopyBytes(&m_snapshot[slots], block + slots, layout.totalLength - layout.definitionLength);
    }
}

void CPerformanceDataCollector::ValidateSnapshot()
{
    CDataBlockLayout::Header header;
    std::memcpy(&header, m_snapshot.data(), sizeof(header));
    if (header.initialised != 1)
    {
        Corrupt(L"not initialised");
    }
    if (header.firstObjectOffset != m_header.firstObjectOffset ||
        header.lastObjectOffset != m_header.lastObjectOffset || header.counterDataOffset != m_header.counterDataOffset)
    {
        Corrupt(L"header offsets " + ToString(header.firstObjectOffset) + L", " + ToString(header.lastObjectOffset) +
                L", " + ToString(header.counterDataOffset));
    }
    for (DWORD i = 0; i < m_objectCount; ++i)
    {
        ValidateObject(m_objects[i]);
    }
}

// The object header must be the one the schema writes, but for the count of slots in use. Lists
// the slots in use that an answer holds: the first as many as the object counts.
void CPerformanceDataCollector::ValidateObject(ObjectEntry &entry) const
{
    const CDataBlockLayout::Object &layout = *entry.layout;
    if (!SameBytes(entry.objectTemplate, entry.expectedDefinition, CDataBlockLayout::kInUseCountOffset))
    {
        CorruptObject(layout.offset, L"definition does not match the schema");
    }
    LONG inUse;
    std::memcpy(&inUse, entry.objectTemplate + CDataBlockLayout::kInUseCountOffset, sizeof(inUse));

    entry.slotsInUseCount = 0;
    entry.hasParents = false;
    if (!layout.HasInstances())
    {
        entry.size = RoundUpTo8(entry.definitionLength + kCounterBlockSize + entry.counterDataLength);
        return;
    }

    if (inUse < 0 || inUse > layout.numInstances)
    {
        CorruptObject(layout.offset, L"instances in use " + ToString(inUse));
    }
    DWORD size = entry.definitionLength;
    const BYTE *slotBase = entry.objectTemplate + layout.definitionLength;
    for (DWORD i = 0; i < layout.SlotCount(); ++i, slotBase += layout.slotSize)
    {
        const PERF_INSTANCE_DEFINITION *slot = reinterpret_cast<const PERF_INSTANCE_DEFINITION *>(slotBase);
        if (!CDataBlockLayout::IsSlotInUse(*slot))
        {
            continue;
        }
        if (slot->ByteLength < kInstanceDefinitionSize || slot->ByteLength > layout.slotSize ||
            slot->ByteLength % 4 != 0)
        {
            CorruptSlot(layout.offset, static_cast<LONG>(i), L"length " + ToString(slot->ByteLength));
        }
        if (slot->NameLength != 0)
        {
            // A name is whole UTF-16 units, ends in a NUL, and lies inside the instance definition.
            if (slot->NameOffset != kInstanceDefinitionSize || slot->NameLength % sizeof(wchar_t) != 0 ||
                slot->NameLength > slot->ByteLength - kInstanceDefinitionSize)
            {
                CorruptSlot(layout.offset, static_cast<LONG>(i),
                            L"name " + ToString(slot->NameOffset) + L", " + ToString(slot->NameLength));
            }
            wchar_t last;
            std::memcpy(&last, slotBase + kInstanceDefinitionSize + slot->NameLength - sizeof(wchar_t), sizeof(last));
            if (last != L'\0')
            {
                CorruptSlot(layout.offset, static_cast<LONG>(i), L"name is not terminated");
            }
        }
        else if (layout.maxNameLength != 0)
        {
            CorruptSlot(layout.offset, static_cast<LONG>(i), L"has no name");
        }
        if (entry.slotsInUseCount < static_cast<DWORD>(inUse))
        {
            entry.slotsInUse[entry.slotsInUseCount++] = i;
            size += slot->ByteLength + kCounterBlockSize + entry.counterDataLength;
            entry.hasParents = entry.hasParents || slot->ParentObjectTitleIndex != 0;
        }
    }
    entry.size = RoundUpTo8(size);
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
    if (slotIndex < 0 || slotIndex > entry.layout->numInstances)
    {
        throw CException(kActiveWhere, L"Instance index out of range: " + ToString(slotIndex));
    }

    const LONG inUse = InUseCount(entry);
    LONG remaining = inUse;
    for (DWORD i = 0; i < entry.layout->SlotCount() && i <= static_cast<DWORD>(slotIndex) && remaining != 0; ++i)
    {
        if (CDataBlockLayout::IsSlotInUse(*GetSlot(entry, i)))
        {
            if (i == static_cast<DWORD>(slotIndex))
            {
                return static_cast<DWORD>(inUse - remaining);
            }
            --remaining;
        }
    }
    throw CException(kActiveWhere, L"Failed to locate active instance index: " + ToString(slotIndex));
}

// The object's own size comes from its validation; a slot of a child brings the parent's size in.
DWORD CPerformanceDataCollector::GetObjectSize(ObjectEntry &entry)
{
    DWORD size = entry.size;
    for (DWORD k = 0; entry.hasParents && k < entry.slotsInUseCount; ++k)
    {
        const PERF_INSTANCE_DEFINITION *slot = GetSlot(entry, entry.slotsInUse[k]);
        if (slot->ParentObjectTitleIndex != 0)
        {
            ObjectEntry &parent = FindObjectByIndex(slot->ParentObjectTitleIndex);
            if (!parent.selected)
            {
                parent.selected = true;
                size += GetObjectSize(parent);
            }
        }
    }
    return size;
}

// Runs under the block's lock: the slots were copied under it, and the values that belong to them
// are copied now, before any slot can change owner.
DWORD CPerformanceDataCollector::WriteObject(const ObjectEntry &entry, CBoundedWriter &writer)
{
    BYTE *start = writer.Position();
    // The block's header was found to be the schema's; the answer's differs from it only in the
    // fields the block keeps for itself, so it is written from the copy made when opening.
    writer.Copy(reinterpret_cast<const BYTE *>(&entry.answerHeader), kObjectHeaderSize);
    const DWORD definitionsLength = entry.definitionLength - kObjectHeaderSize;
    BYTE *definitions = writer.Reserve(definitionsLength);
    const BYTE *expected = entry.expectedDefinition + kObjectHeaderSize;
    if (!CopyIfExpected(definitions, entry.counterDefinitions, expected, definitionsLength))
    {
        Corrupt(L"object " + ToString(entry.titleIndex) + L": counter definitions do not match the schema");
    }
    PERF_OBJECT_TYPE *object = reinterpret_cast<PERF_OBJECT_TYPE *>(start);

    const DWORD counterBlockLength = kCounterBlockSize + entry.counterDataLength;
    LONG written = PERF_NO_INSTANCES;
    if (!entry.hasInstances)
    {
        BYTE *block = writer.Reserve(counterBlockLength);
        std::memcpy(block, &counterBlockLength, sizeof(counterBlockLength));
        CopyCounterValues(block + kCounterBlockSize, entry.counterData, entry.counterDataLength);
    }
    else
    {
        for (DWORD k = 0; k < entry.slotsInUseCount; ++k)
        {
            const DWORD i = entry.slotsInUse[k];
            const PERF_INSTANCE_DEFINITION *slot = GetSlot(entry, i);
            const DWORD length = slot->ByteLength;
            BYTE *at = writer.Reserve(length + counterBlockLength);
            CopyBytes(at, reinterpret_cast<const BYTE *>(slot), length);
            PERF_INSTANCE_DEFINITION *copy = reinterpret_cast<PERF_INSTANCE_DEFINITION *>(at);
            if (copy->ParentObjectTitleIndex != 0)
            {
                // The block keeps the parent's 1-based slot; readers want its position among the
                // parent's instances in use.
                copy->ParentObjectInstance = GetActiveInstanceFromIndex(
                    copy->ParentObjectTitleIndex, static_cast<long>(copy->ParentObjectInstance) - 1);
            }
            std::memcpy(at + length, &counterBlockLength, sizeof(counterBlockLength));
            CopyCounterValues(at + length + kCounterBlockSize, entry.counterData + i * entry.counterDataLength,
                              entry.counterDataLength);
        }
        written = static_cast<LONG>(entry.slotsInUseCount);
    }

    object->NumInstances = written;
    const DWORD length = static_cast<DWORD>(writer.Position() - start);
    const DWORD padded = RoundUpTo8(length);
    writer.Pad(padded - length);
    object->TotalByteLength = padded;
    return padded;
}

bool CPerformanceDataCollector::Collect(const wchar_t *query, void **data, DWORD *totalBytes, DWORD *numObjectTypes)
{
    // The counts say "nothing" until the answer is complete, so that a failure anywhere leaves them
    // so. They are written first: a count that cannot be written faults before anything needs undoing.
    const DWORD available = *totalBytes;
    *totalBytes = 0;
    *numObjectTypes = 0;
    if (!m_dataBlock && !m_attachPending)
    {
        throw CException(kCollectWhere, L"Error: collector has not been opened");
    }
    if (!m_dataBlock && !RetryAttach())
    {
        // Nothing to answer yet, and nothing new to report.
        return true;
    }

    // A null query asks for everything, as "Global" does.
    const bool global = query == nullptr || IsGlobalQuery(query);
    std::wstring paddedQuery;
    if (!global)
    {
        paddedQuery = L" " + std::wstring(query, QueryLength(query)) + L" ";
    }

    // Held from the copy of the slots to the last value written, so that the slots in use, their
    // names and their values belong together.
    Win32::ICriticalSection::Owner lock(*m_dataBlock);
    TakeSnapshot(m_dataBlock->GetBlock());
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

    if (total > available)
    {
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
    return true;
}

} // namespace PerfMon
} // namespace Halyard
