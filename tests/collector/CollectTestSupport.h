#pragma once

#include "perfmon/PerformanceDataBlock.h"
#include "perfmon/PerformanceDataCollector.h"
#include "perfmon/Schema.h"
#include "provider/TarnCounterSet.h"
#include "tests/support/ChildProcess.h"

#include <windows.h>
#include <winperf.h>

#include <cstring>
#include <string>

namespace Halyard {
namespace Testing {

// A caller's buffer that ends exactly where a no-access page begins, so that a single byte
// written past its end faults.
class CGuardedBuffer
{
public:
    explicit CGuardedBuffer(DWORD size)
    {
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        const DWORD page = info.dwPageSize;
        const DWORD pages = (size + page - 1) / page + 1;
        m_base = static_cast<BYTE *>(::VirtualAlloc(nullptr, pages * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old = 0;
        ::VirtualProtect(m_base + (pages - 1) * page, page, PAGE_NOACCESS, &old);
        m_data = m_base + (pages - 1) * page - size;
        m_size = size;
        std::memset(m_base, 0xCD, (pages - 1) * page);
    }
    ~CGuardedBuffer() { ::VirtualFree(m_base, 0, MEM_RELEASE); }
    CGuardedBuffer(const CGuardedBuffer &) = delete;
    CGuardedBuffer &operator=(const CGuardedBuffer &) = delete;

    BYTE *Data() const { return m_data; }
    DWORD Size() const { return m_size; }

    bool Untouched() const
    {
        for (DWORD i = 0; i < m_size; ++i)
        {
            if (m_data[i] != 0xCD)
            {
                return false;
            }
        }
        return true;
    }

private:
    BYTE *m_base = nullptr;
    BYTE *m_data = nullptr;
    DWORD m_size = 0;
};

struct CollectResult
{
    bool result;
    DWORD bytes;
    DWORD objects;
    BYTE *cursor;
};

inline CollectResult CollectInto(PerfMon::ICollectPerformanceData &collector, const wchar_t *query, BYTE *buffer,
                                 DWORD size)
{
    CollectResult r;
    void *cursor = buffer;
    r.bytes = size;
    r.objects = 12345;
    r.result = collector.Collect(query, &cursor, &r.bytes, &r.objects);
    r.cursor = static_cast<BYTE *>(cursor);
    return r;
}

// Checks that what a collect wrote is a well-formed sequence of objects: every length and offset
// inside the object, instances and counter blocks back to back, objects padded to 8 bytes.
inline std::string CheckObjects(const BYTE *data, DWORD bytes, DWORD objects)
{
    DWORD offset = 0;
    for (DWORD n = 0; n < objects; ++n)
    {
        if (bytes - offset < sizeof(PERF_OBJECT_TYPE))
        {
            return "object header past the end";
        }
        PERF_OBJECT_TYPE object;
        std::memcpy(&object, data + offset, sizeof(object));
        if (object.TotalByteLength % 8 != 0 || object.TotalByteLength > bytes - offset ||
            object.HeaderLength != sizeof(PERF_OBJECT_TYPE) ||
            object.DefinitionLength != sizeof(PERF_OBJECT_TYPE) + object.NumCounters * sizeof(PERF_COUNTER_DEFINITION) ||
            object.DefinitionLength > object.TotalByteLength || object.CodePage != 0 || object.PerfFreq.QuadPart != 0)
        {
            return "bad object header";
        }
        const BYTE *base = data + offset;
        DWORD position = object.DefinitionLength;
        const LONG instances = object.NumInstances == PERF_NO_INSTANCES ? 1 : object.NumInstances;
        if (instances < 0)
        {
            return "bad instance count";
        }
        for (LONG i = 0; i < instances; ++i)
        {
            if (object.NumInstances != PERF_NO_INSTANCES)
            {
                PERF_INSTANCE_DEFINITION instance;
                if (object.TotalByteLength - position < sizeof(instance))
                {
                    return "instance past the object";
                }
                std::memcpy(&instance, base + position, sizeof(instance));
                if (instance.ByteLength < sizeof(instance) || instance.ByteLength > object.TotalByteLength - position ||
                    (instance.NameLength != 0 && (instance.NameOffset < sizeof(instance) ||
                                                  instance.NameOffset + instance.NameLength > instance.ByteLength)))
                {
                    return "bad instance";
                }
                position += instance.ByteLength;
            }
            PERF_COUNTER_BLOCK block;
            if (object.TotalByteLength - position < sizeof(block))
            {
                return "counter block past the object";
            }
            std::memcpy(&block, base + position, sizeof(block));
            if (block.ByteLength < sizeof(block) || block.ByteLength > object.TotalByteLength - position)
            {
                return "bad counter block";
            }
            for (DWORD k = 0; k < object.NumCounters; ++k)
            {
                PERF_COUNTER_DEFINITION counter;
                std::memcpy(&counter, base + sizeof(PERF_OBJECT_TYPE) + k * sizeof(counter), sizeof(counter));
                if (counter.CounterOffset + counter.CounterSize > block.ByteLength)
                {
                    return "counter outside its block";
                }
            }
            position += block.ByteLength;
        }
        if (object.TotalByteLength - position >= 8)
        {
            return "object longer than its contents";
        }
        offset += object.TotalByteLength;
    }
    return offset == bytes ? "" : "byte count does not match the objects";
}

} // namespace Testing
} // namespace Halyard
