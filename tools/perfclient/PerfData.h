#pragma once

#include <windows.h>
#include <winperf.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace Halyard {
namespace PerfClient {

// The performance library's layouts have the same size on every architecture: the title pointer fields
// are 32 bits wide in 64-bit builds. Providers write these sizes, and the parser relies on them.
static_assert(sizeof(PERF_DATA_BLOCK) == 88, "PERF_DATA_BLOCK layout");
static_assert(sizeof(PERF_OBJECT_TYPE) == 64, "PERF_OBJECT_TYPE layout");
static_assert(sizeof(PERF_COUNTER_DEFINITION) == 40, "PERF_COUNTER_DEFINITION layout");
static_assert(sizeof(PERF_INSTANCE_DEFINITION) == 24, "PERF_INSTANCE_DEFINITION layout");

// Performance data read from a buffer that is never trusted: every length and offset is checked against
// the buffer before it is followed, and a malformed buffer throws CException naming the faulty field.
class CPerformanceData
{
public:
    struct Instance
    {
        PERF_INSTANCE_DEFINITION definition;
        std::wstring name;              // up to the first NUL within NameLength
        std::vector<BYTE> counterBlock; // the PERF_COUNTER_BLOCK, its ByteLength bytes, header included
    };

    struct Object
    {
        PERF_OBJECT_TYPE header;
        std::vector<PERF_COUNTER_DEFINITION> counters;
        std::vector<BYTE> counterBlock;  // objects without instances
        std::vector<Instance> instances; // objects with instances
        DWORD offset;                    // where the object began in the parsed buffer

        bool HasInstances() const;
        // Null when no counter has that name title index.
        const PERF_COUNTER_DEFINITION *FindCounter(DWORD nameTitleIndex) const;
    };

    // Parses what RegQueryValueExW(HKEY_PERFORMANCE_DATA, ...) returns: a PERF_DATA_BLOCK and its objects.
    // The first object may sit at HeaderLength or, as some performance libraries place it, at
    // sizeof(PERF_DATA_BLOCK) + HeaderLength; the offset holding a plausible object wins.
    static CPerformanceData Parse(const BYTE *data, size_t size);
    static CPerformanceData Parse(const std::vector<BYTE> &data);

    // Parses a provider's own output: objectCount objects back to back, without a PERF_DATA_BLOCK.
    static std::vector<Object> ParseObjects(const BYTE *data, size_t size, DWORD objectCount);

    const PERF_DATA_BLOCK &GetHeader() const;
    const std::wstring &GetSystemName() const;
    DWORD GetFirstObjectOffset() const;
    const std::vector<Object> &GetObjects() const;
    // Null when no object has that name title index.
    const Object *FindObject(DWORD nameTitleIndex) const;

private:
    CPerformanceData() = default;

    PERF_DATA_BLOCK m_header{};
    std::wstring m_systemName;
    DWORD m_firstObjectOffset = 0;
    std::vector<Object> m_objects;
};

// The 4- or 8-byte value at offset in a counter block; nothing when the size is neither or the value
// does not lie wholly inside the block. The one place that reads a raw counter value from a block.
std::optional<ULONGLONG> LoadCounterValue(const std::vector<BYTE> &counterBlock, DWORD offset, DWORD size);

// The value of a counter in a counter block: 4 or 8 bytes as the counter's type and CounterSize say
// (they must agree). Throws CException when the value lies outside the block or the size is not numeric.
ULONGLONG ReadCounterValue(const PERF_COUNTER_DEFINITION &counter, const std::vector<BYTE> &counterBlock);

// RegQueryValueExW on HKEY_PERFORMANCE_DATA with a buffer grown until the data fits (at most maxBytes),
// then RegCloseKey(HKEY_PERFORMANCE_DATA), as every reader of performance data must. The result may run up to
// sizeof(PERF_DATA_BLOCK) bytes beyond the size the performance library reported, for libraries that place
// their objects there (see CPerformanceData::Parse); its TotalByteLength is as the library wrote it.
std::vector<BYTE> QueryPerformanceData(const std::wstring &query, size_t maxBytes = 64 * 1024 * 1024);

} // namespace PerfClient
} // namespace Halyard
