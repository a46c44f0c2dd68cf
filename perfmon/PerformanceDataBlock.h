#pragma once

#include "win32/CriticalSection.h"
#include "win32/KernelObjectName.h"
#include "win32/Optex.h"
#include "win32/SharedMemory.h"

#include <windows.h>
#include <winperf.h>

#include <string>

namespace Halyard {
namespace PerfMon {

class CPerformanceDataSchema;

// The named shared-memory block in which the server keeps its counter values and from which the
// provider copies them out. Whichever process constructs it first lays it out; the others open it.
class CPerformanceDataBlock : public Win32::ICriticalSection
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

    enum ValidationMode
    {
        ValidateNone = 0,
        ValidateByName = 1,
        ValidateById = 2,
        ValidateInUse = 3
    };

    CPerformanceDataBlock(const Win32::IKernelObjectName &name, const CPerformanceDataSchema &schema,
                          DWORD firstCounterIndex, SECURITY_ATTRIBUTES *securityAttributes);

    CPerformanceDataBlock(const CPerformanceDataBlock &) = delete;
    CPerformanceDataBlock &operator=(const CPerformanceDataBlock &) = delete;

    bool TryEnter() override;
    void Enter() override;
    void Leave() override;

    ~CPerformanceDataBlock() override;

    BYTE *GetObjectDefinitions();
    const BYTE *GetObjectDefinitions() const;

    BYTE *GetCounterData();
    const BYTE *GetCounterData() const;

    // The whole block and its size as this process mapped it; readers that must not trust the
    // block's own offsets check them against these.
    const BYTE *GetBlock() const;
    DWORD GetBlockSize() const;

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
    static Win32::CUnqualifiedName LockName(const Win32::IKernelObjectName &name,
                                            SECURITY_ATTRIBUTES *securityAttributes);

    static bool ValidateTokenPrivileges(const Win32::IKernelObjectName &name, SECURITY_ATTRIBUTES *securityAttributes);

    void Initialise(const CPerformanceDataSchema &schema, DWORD firstCounterIndex);

    Header &GetHeader();
    const Header &GetHeader() const;

    PERF_INSTANCE_DEFINITION *GetSlot(PERF_OBJECT_TYPE *object, DWORD slot);

    DWORD AllocateNamedSlot(PERF_OBJECT_TYPE *object, const std::wstring &name, DWORD &created);
    DWORD AllocateIdSlot(PERF_OBJECT_TYPE *object, DWORD uniqueId, DWORD &created);
    DWORD SetParent(PERF_OBJECT_TYPE *object, DWORD instanceId, DWORD created, const PERF_OBJECT_TYPE *parentObject,
                    DWORD parentInstanceId);

    Win32::COptex m_lock;
    Win32::CSharedMemory m_memory;
    DWORD m_blockSize;
};

} // namespace PerfMon
} // namespace Halyard
