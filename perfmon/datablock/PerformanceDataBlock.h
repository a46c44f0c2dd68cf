#pragma once

#include "perfmon/datablock/DataBlockLayout.h"
#include "win32/CriticalSection.h"
#include "win32/KernelObjectName.h"
#include "win32/Optex.h"
#include "win32/SharedMemory.h"
#include "win32/SmartHandle.h"

#include <windows.h>
#include <winperf.h>

#include <memory>
#include <string>

namespace Halyard {
namespace PerfMon {

class CPerformanceDataSchema;

// The named shared-memory block in which the server keeps its counter values and from which the
// provider copies them out. Whichever process constructs it first lays it out; the others open it.
// Every account can write the block, so its operations take sizes and positions from the schema
// and read each shared field once.
class CPerformanceDataBlock : public Win32::ICriticalSection
{
public:
    using Header = CDataBlockLayout::Header;

    enum ValidationMode
    {
        ValidateNone = 0,
        ValidateByName = 1,
        ValidateById = 2,
        ValidateInUse = 3
    };

    // Waits for the block's lock end after lockTimeout milliseconds with a CException.
    CPerformanceDataBlock(const Win32::IKernelObjectName &name, const CPerformanceDataSchema &schema,
                          DWORD firstCounterIndex, SECURITY_ATTRIBUTES *securityAttributes,
                          DWORD lockTimeout = kDefaultLockTimeout);

    CPerformanceDataBlock(const CPerformanceDataBlock &) = delete;
    CPerformanceDataBlock &operator=(const CPerformanceDataBlock &) = delete;

    bool TryEnter() override;
    void Enter() override;
    void Leave() override;

    // Lets tests stop this object's use of the lock at its steps; not owned.
    void SetLockHooks(Win32::COptex::IHooks *hooks);

    ~CPerformanceDataBlock() override;

    BYTE *GetObjectDefinitions();
    const BYTE *GetObjectDefinitions() const;

    BYTE *GetCounterData();
    const BYTE *GetCounterData() const;

    // The whole block and its size as this process mapped it; readers that must not trust the
    // block's own offsets check them against these.
    const BYTE *GetBlock() const;
    DWORD GetBlockSize() const;
    const CDataBlockLayout &GetLayout() const;

    PERF_INSTANCE_DEFINITION *ValidateInstanceObject(PERF_OBJECT_TYPE *object, ValidationMode mode);

    DWORD AllocateObjectInstance(PERF_OBJECT_TYPE *object, const std::wstring &name, DWORD &created);
    DWORD AllocateObjectInstance(PERF_OBJECT_TYPE *object, DWORD uniqueId, DWORD &created);

    DWORD AllocateChildObjectInstance(PERF_OBJECT_TYPE *object, const std::wstring &name,
                                      const PERF_OBJECT_TYPE *parentObject, DWORD parentInstanceId,
                                      DWORD &created);
    DWORD AllocateChildObjectInstance(PERF_OBJECT_TYPE *object, DWORD uniqueId, const PERF_OBJECT_TYPE *parentObject,
                                      DWORD parentInstanceId, DWORD &created);

    PERF_INSTANCE_DEFINITION *GetActiveObjectInstance(PERF_OBJECT_TYPE *object, long instanceId);

    void ReleaseObjectInstance(PERF_OBJECT_TYPE *object, long instanceId);

    DWORD GetNamedInstanceCount(PERF_OBJECT_TYPE *object);

    // The object definition with the given 0-based position in schema order.
    PERF_OBJECT_TYPE *GetObjectDefinition(DWORD index);

    // The 8-byte counter values of one instance (instance id 1..NumInstances), or of an object
    // without instances (instance id 0).
    BYTE *GetInstanceCounterData(PERF_OBJECT_TYPE *object, long instanceId);

private:
    class CCreationRight;

    // Handles of the block's objects found open under their names; invalid where none was found.
    struct ExistingObjects
    {
        Win32::CSmartHandle block;
        Win32::CSmartHandle lockState;
        Win32::CSmartHandle lockEvent;
    };

    // Where an allocation lands: the slot in use that already holds the instance (existing), else
    // the first free slot; no slot when every one is taken by others.
    struct SlotSearch
    {
        PERF_INSTANCE_DEFINITION *slot;
        DWORD index;
        bool existing;
    };

    CPerformanceDataBlock(const Win32::IKernelObjectName &name, const CPerformanceDataSchema &schema,
                          DWORD firstCounterIndex, SECURITY_ATTRIBUTES *securityAttributes, DWORD lockTimeout,
                          ExistingObjects found);

    static ExistingObjects OpenExisting(const Win32::IKernelObjectName &name);
    static std::unique_ptr<CCreationRight> AcquireCreationRight(const Win32::IKernelObjectName &name,
                                                                const ExistingObjects &found,
                                                                SECURITY_ATTRIBUTES *securityAttributes);

    void Initialise(const CPerformanceDataSchema &schema, DWORD firstCounterIndex);

    Header &GetHeader();

    const CDataBlockLayout::Object &LayoutOf(const PERF_OBJECT_TYPE *object) const;
    PERF_INSTANCE_DEFINITION *GetSlot(const CDataBlockLayout::Object &layout, DWORD slot);
    void CountSlotsInUse(PERF_OBJECT_TYPE *object, const CDataBlockLayout::Object &layout);
    template <typename Matches>
    SlotSearch FindSlot(const CDataBlockLayout::Object &layout, Matches matches);

    DWORD AllocateNamedSlot(PERF_OBJECT_TYPE *object, const std::wstring &name, DWORD &created);
    DWORD AllocateIdSlot(PERF_OBJECT_TYPE *object, DWORD uniqueId, DWORD &created);
    DWORD SetParent(PERF_OBJECT_TYPE *object, DWORD instanceId, DWORD created, const PERF_OBJECT_TYPE *parentObject,
                    DWORD parentInstanceId);

    const CDataBlockLayout m_layout;
    // Held only while the constructor may create the block's objects.
    std::unique_ptr<CCreationRight> m_creationRight;
    Win32::COptex m_lock;
    Win32::CSharedMemory m_memory;
};

} // namespace PerfMon
} // namespace Halyard
