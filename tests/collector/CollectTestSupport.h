#pragma once

#include "perfmon/datablock/PerformanceDataBlock.h"
#include "perfmon/collector/PerformanceDataCollector.h"
#include "perfmon/schema/Schema.h"
#include "provider/TarnCounterSet.h"
#include "tests/support/ChildProcess.h"
#include "tools/perfclient/PerfData.h"
#include "win32/Exception.h"
#include "win32/StringConverter.h"

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

// Checks that what a collect wrote is a well-formed sequence of objects: the consumer's parser
// accepts every length and offset, objects are padded to 8 bytes, fill the byte count exactly and
// carry none of the block's private bookkeeping.
inline std::string CheckObjects(const BYTE *data, DWORD bytes, DWORD objects)
{
    try
    {
        DWORD total = 0;
        for (const PerfClient::CPerformanceData::Object &object :
             PerfClient::CPerformanceData::ParseObjects(data, bytes, objects))
        {
            if (object.header.TotalByteLength % 8 != 0 || object.header.CodePage != 0 ||
                object.header.PerfTime.QuadPart != 0 || object.header.PerfFreq.QuadPart != 0)
            {
                return "object header keeps private data or is not padded";
            }
            // No slot of the schemas here is longer than a TARN name of 25 characters needs: a longer
            // instance carries bytes that are not its own.
            for (const PerfClient::CPerformanceData::Instance &instance : object.instances)
            {
                if (instance.definition.ByteLength > 24 + 26 * 2)
                {
                    return "instance definition longer than its slot";
                }
            }
            total += object.header.TotalByteLength;
        }
        return total == bytes ? "" : "byte count does not match the objects";
    }
    catch (const Win32::CException &e)
    {
        return Win32::CStringConverter::WtoA(e.GetMessage());
    }
}

} // namespace Testing
} // namespace Halyard
