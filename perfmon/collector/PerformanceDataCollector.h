#pragma once

#include "perfmon/collector/CollectPerformanceData.h"
#include "perfmon/datablock/DataBlockLayout.h"
#include "win32/KernelObjectName.h"
#include "win32/Optex.h"

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
// by every account while this runs inside privileged monitoring processes, so each request checks
// what it copies against the layout and the definitions the schema implies before a single byte of
// it is handed out. Everything one answer holds is copied under the block's lock, so the instances
// in use, their names and their values all come from one moment.
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
        DWORD counterDataLength;
        const CDataBlockLayout::Object *layout;
        // The object header every answer starts with: the schema's, without the block's bookkeeping.
        PERF_OBJECT_TYPE answerHeader;
        // The object's definition in the private copy of the block, and the one the schema writes.
        const BYTE *objectTemplate;
        const BYTE *expectedDefinition;
        const BYTE *counterDefinitions;
        const BYTE *counterData;
        // The slots in use that the last collect answers, in slot order, and what they take.
        DWORD *slotsInUse;
        DWORD slotsInUseCount;
        DWORD size;
        bool hasParents;
    };

    // How long a collect waits after a failed attempt to attach the block before it tries again.
    static const DWORD kDefaultOpenRetryInterval = 1000;

    // Waits for the block's lock end after lockTimeout milliseconds with a CException.
    CPerformanceDataCollector(const Win32::IKernelObjectName &name, const CPerformanceDataSchema &schema,
                              DWORD firstCounterIndex, SECURITY_ATTRIBUTES *securityAttributes,
                              DWORD lockTimeout = kDefaultLockTimeout,
                              DWORD openRetryInterval = kDefaultOpenRetryInterval);

    CPerformanceDataCollector(const CPerformanceDataCollector &) = delete;
    CPerformanceDataCollector &operator=(const CPerformanceDataCollector &) = delete;

    // When the block cannot be attached (its lock kept by a hung server, no right to create it before
    // the server starts), Open throws and the collector stays opened without a block: collects try
    // again, at most once per retry interval, until one attaches it or Close ends the attempts.
    void Open(const wchar_t *deviceNames) override;

    // After an Open that could not attach the block, Close only ends the attempts.
    void Close() override;

    bool Collect(const wchar_t *query, void **data, DWORD *totalBytes, DWORD *numObjectTypes) override;

    ~CPerformanceDataCollector() override;

    // Lets tests stop the open block's lock at its steps; not owned.
    void SetLockHooks(Win32::COptex::IHooks *hooks);

    ObjectEntry &FindObjectByIndex(DWORD titleIndex);

    DWORD GetActiveInstanceFromIndex(DWORD titleIndex, long slotIndex);

private:
    class CBoundedWriter;

    void Attach();
    bool RetryAttach();
    void TakeSnapshot(const BYTE *block);
    void BuildExpectedDefinitions(DWORD firstCounterIndex);
    void ValidateSnapshot();
    void ValidateObject(ObjectEntry &entry) const;
    DWORD GetObjectSize(ObjectEntry &entry);
    DWORD WriteObject(const ObjectEntry &entry, CBoundedWriter &writer);

    Win32::CKernelObjectNameImpl m_name;
    const CPerformanceDataSchema &m_schema;
    const DWORD m_firstCounterIndex;
    SECURITY_ATTRIBUTES *const m_securityAttributes;
    const DWORD m_lockTimeout;
    const CDataBlockLayout m_layout;
    const CDataBlockLayout::Header m_header;
    const DWORD m_openRetryInterval;
    std::unique_ptr<CPerformanceDataBlock> m_dataBlock;
    // Set by an Open that could not attach the block, cleared when it is attached or Close is called.
    bool m_attachPending = false;
    ULONGLONG m_nextAttempt = 0;
    // Where the failure last reported happened, and the failed attempts kept quiet since, so that a
    // block that stays out of reach gives a line now and then instead of one on every collect.
    std::wstring m_lastFailure;
    DWORD m_quietFailures = 0;
    std::unique_ptr<ObjectEntry[]> m_objects;
    const DWORD m_objectCount;

    // The block's header, object headers and instance slots as the last request copied them.
    std::vector<BYTE> m_snapshot;
    // The object definitions a block laid out from this schema carries, for the title indexes the
    // open block carries: they never change once the block is laid out.
    std::vector<BYTE> m_expected;
    // Room for every object's list of slots in use.
    std::unique_ptr<DWORD[]> m_slotsInUse;
};

} // namespace PerfMon
} // namespace Halyard
