#pragma once

#include <windows.h>
#include <winperf.h>

#include <cstddef>
#include <vector>

namespace Halyard {
namespace PerfMon {

class CPerformanceDataSchema;

// How long, in milliseconds, users of the block wait for its lock unless configured otherwise: the
// server holds it for microseconds, and the performance library gives a collect call far longer.
const DWORD kDefaultLockTimeout = 100;

// The shared data block's bytes, known in one place. The block can be written by every account,
// so its readers and writers take every size and position from the schema through this layout and
// never from the block; the block's own bookkeeping fields are read through the accessors below.
//
// Block: a 16-byte header, the object definitions (each object header, its counter definitions,
// then one instance slot per possible instance), then the counter data area.
class CDataBlockLayout
{
public:
    // The 16 bytes at the start of the block.
    struct Header
    {
        BYTE initialised;
        BYTE reserved[3];
        DWORD firstObjectOffset;
        DWORD lastObjectOffset;
        DWORD counterDataOffset;
    };

    static constexpr DWORD kHeaderSize = 16;
    static constexpr DWORD kObjectHeaderSize = sizeof(PERF_OBJECT_TYPE);
    static constexpr DWORD kCounterDefinitionSize = sizeof(PERF_COUNTER_DEFINITION);
    static constexpr DWORD kInstanceDefinitionSize = sizeof(PERF_INSTANCE_DEFINITION);
    static constexpr DWORD kCounterBlockSize = sizeof(PERF_COUNTER_BLOCK);
    static constexpr DWORD kCounterSize = 8;

    // Where one object lies, with every offset counted from the start of the block.
    struct Object
    {
        DWORD offset;
        DWORD definitionLength;
        DWORD totalLength;
        DWORD numCounters;
        LONG numInstances;
        DWORD maxNameLength;
        DWORD nameSpace;
        // Relative to the counter data area, as the object definition's CodePage records it.
        DWORD counterDataOffset;
        // One instance's values.
        DWORD counterDataLength;
        DWORD slotSize;
        DWORD valuesOffset;

        bool HasInstances() const { return numInstances != PERF_NO_INSTANCES; }
        DWORD SlotCount() const { return HasInstances() ? static_cast<DWORD>(numInstances) : 0; }
        DWORD SlotOffset(DWORD slot) const { return offset + definitionLength + slot * slotSize; }
        // Slot 0 for an object without instances.
        DWORD ValuesOffset(DWORD slot) const { return valuesOffset + slot * counterDataLength; }
    };

    explicit CDataBlockLayout(const CPerformanceDataSchema &schema);

    const std::vector<Object> &GetObjects() const { return m_objects; }
    DWORD GetBlockSize() const { return m_blockSize; }
    DWORD GetDefinitionsSize() const { return m_counterDataOffset - kHeaderSize; }
    DWORD GetCounterDataOffset() const { return m_counterDataOffset; }
    DWORD GetLastObjectOffset() const { return m_objects.back().offset; }
    // The header a laid-out block carries.
    Header GetHeader() const;

    // Writes the object definitions of a fresh block, title indexes counted from firstCounterIndex,
    // into GetDefinitionsSize() bytes.
    void WriteDefinitions(const CPerformanceDataSchema &schema, DWORD firstCounterIndex, BYTE *definitions) const;

    // The index of the object whose definition starts at offset, or -1.
    int FindObjectAt(DWORD offset) const;

    // The fields of an object definition that the block uses for its own bookkeeping; the
    // collector blanks them in its answer.
    static DWORD CounterDataOffsetOf(const PERF_OBJECT_TYPE &object) { return object.CodePage; }
    static DWORD MaxNameLengthOf(const PERF_OBJECT_TYPE &object) { return object.PerfTime.LowPart; }
    static DWORD NameSpaceOf(const PERF_OBJECT_TYPE &object) { return static_cast<DWORD>(object.PerfTime.HighPart); }
    static DWORD CounterDataLengthOf(const PERF_OBJECT_TYPE &object) { return object.PerfFreq.LowPart; }
    static LONG InUseCountOf(const PERF_OBJECT_TYPE &object) { return object.PerfFreq.HighPart; }
    static void SetInUseCount(PERF_OBJECT_TYPE &object, LONG count) { object.PerfFreq.HighPart = count; }
    // Where the count of slots in use lies: the object header's last four bytes, so the bytes before
    // it are all that must equal the header the schema writes.
    static constexpr DWORD kInUseCountOffset = offsetof(PERF_OBJECT_TYPE, PerfFreq) + sizeof(DWORD);

    // The one rule for a slot in use: it has a length.
    static bool IsSlotInUse(const PERF_INSTANCE_DEFINITION &slot) { return slot.ByteLength != 0; }

private:
    std::vector<Object> m_objects;
    DWORD m_counterDataOffset;
    DWORD m_blockSize;
};

static_assert(sizeof(CDataBlockLayout::Header) == CDataBlockLayout::kHeaderSize, "the block header is a shared format");
static_assert(sizeof(PERF_OBJECT_TYPE) == 64, "object definitions are a shared format");
static_assert(sizeof(PERF_COUNTER_DEFINITION) == 40, "counter definitions are a shared format");
static_assert(sizeof(PERF_INSTANCE_DEFINITION) == 24, "instance slots are a shared format");
static_assert(CDataBlockLayout::kInUseCountOffset + sizeof(LONG) == CDataBlockLayout::kObjectHeaderSize,
              "the count of slots in use ends the object header");

} // namespace PerfMon
} // namespace Halyard
