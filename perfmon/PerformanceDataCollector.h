#pragma once

#include "perfmon/CollectPerformanceData.h"
#include "win32/KernelObjectName.h"

#include <windows.h>
#include <winperf.h>

#include <memory>
#include <string>
#include <vector>

namespace Halyard {
namespace PerfMon {

class CPerformanceDataBlock;
class CPerformanceDataSchema;

// Answers the performance library's requests from the shared data block. The block is writable
// by every account while this runs inside privileged monitoring processes, so each request works
// on a private copy of the block that is checked against the layout the schema implies before a
// single byte of it is handed out.
class CPerformanceDataCollector : public ICollectPerformanceData
{
public:
    struct ObjectEntry
    {
        std::wstring key;
        DWORD titleIndex;
        bool selected;
        bool hasInstances;
        DWORD definitionLength;
        const BYTE *objectTemplate;
        const BYTE *counterDefinitions;
        DWORD counterDataLength;
        const BYTE *counterData;
    };

    CPerformanceDataCollector(const Win32::IKernelObjectName &name, const CPerformanceDataSchema &schema,
                              DWORD firstCounterIndex, SECURITY_ATTRIBUTES *securityAttributes);

    CPerformanceDataCollector(const CPerformanceDataCollector &) = delete;
    CPerformanceDataCollector &operator=(const CPerformanceDataCollector &) = delete;

    void Open(const wchar_t *deviceNames) override;

    void Close() override;

    bool Collect(const wchar_t *query, void **data, DWORD *totalBytes, DWORD *numObjectTypes) override;

    ~CPerformanceDataCollector() override;

    ObjectEntry &FindObjectByIndex(DWORD titleIndex);

    DWORD GetActiveInstanceFromIndex(DWORD titleIndex, long slotIndex);

private:
    // Where each object of a block laid out from this schema must lie, and what it must say.
    struct Layout
    {
        DWORD offset;
        DWORD definitionLength;
        DWORD totalLength;
        DWORD numCounters;
        LONG numInstances;
        DWORD maxNameLength;
        DWORD nameSpace;
        DWORD counterDataOffset;
        DWORD counterDataLength;
    };

    class CBoundedWriter;

    void TakeSnapshot();
    void ValidateSnapshot() const;
    void ValidateObject(const Layout &layout) const;
    DWORD GetObjectSize(ObjectEntry &entry);
    DWORD WriteObject(const ObjectEntry &entry, CBoundedWriter &writer);
    void ValidateCounterDefinitions(const ObjectEntry &entry, const BYTE *copy) const;

    Win32::CKernelObjectNameImpl m_name;
    const CPerformanceDataSchema &m_schema;
    const DWORD m_firstCounterIndex;
    SECURITY_ATTRIBUTES *const m_securityAttributes;
    std::unique_ptr<CPerformanceDataBlock> m_dataBlock;
    std::unique_ptr<ObjectEntry[]> m_objects;
    const DWORD m_objectCount;

    std::vector<Layout> m_layout;
    DWORD m_blockSize;
    DWORD m_counterDataOffset;
    std::vector<BYTE> m_snapshot;
};

} // namespace PerfMon
} // namespace Halyard
