#pragma once

#include "perfmon/datablock/PerformanceDataBlock.h"
#include "perfmon/collector/PerformanceDataCollector.h"
#include "perfmon/schema/Schema.h"
#include "provider/TarnCounterSet.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/GuardedBuffer.h"
#include "tools/perfclient/PerfData.h"
#include "win32/Exception.h"
#include "win32/StringConverter.h"

#include <windows.h>
#include <winperf.h>

#include <string>

namespace Halyard {
namespace Testing {

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
