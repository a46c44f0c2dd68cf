#pragma once

#include "perfmon/datablock/PerformanceDataBlock.h"
#include "perfmon/schema/Schema.h"
#include "win32/KernelObjectName.h"
#include "win32/SecurityDescriptor.h"

#include <windows.h>
#include <winperf.h>

#include <string>

// The TARN server's counters, in the order of the counter set (the position is the counter's place
// in each instance's 8-byte values).
enum class TarnCounter : DWORD
{
    BytesIn,
    BytesInPerSec,
    BytesOut,
    BytesOutPerSec,
    IOBuffersTotal,
    IOBuffersTotalAddedPerSec,
    IOBuffersTotalRemovedPerSec,
    IOBuffersInUse,
    IOBuffersInUseAddedPerSec,
    IOBuffersInUseRemovedPerSec,
    ConnectionsActive,
    SocketsTotal,
    SocketsTotalAddedPerSec,
    SocketsTotalRemovedPerSec,
    SocketsInUse,
    SocketsInUseAddedPerSec,
    SocketsInUseRemovedPerSec,
    IOThreadsActive,
    IOThreadsProcessing,
    IOThreadsEventsPerSec,
    BusinessLogicThreadsActive,
    BusinessLogicThreadsProcessing,
    BusinessLogicThreadsEventsPerSec,
    BusinessLogicQueue,
    BusinessLogicQueueAddedPerSec,
    BusinessLogicQueueRemovedPerSec
};

const DWORD TarnCounterCount = 26;

// The title index the server lays the block out with when the counters are not installed. No
// monitor can name the object then; a server started before installation must be restarted (with
// every monitor closed, so that the block is laid out afresh) before its counters can be read.
const DWORD TarnUninstalledFirstCounterIndex = 0;

class CTarnServerCounters;

// One named instance of the TARN object, taken for the life of this object. Updates are single
// atomic 64-bit operations on the shared values, so a collector copying the block (under its lock,
// which updates never take) sees every value whole. Must not outlive its CTarnServerCounters.
class CTarnInstance
{
public:
    CTarnInstance(CTarnInstance &&rhs) noexcept;
    CTarnInstance &operator=(CTarnInstance &&rhs) noexcept;
    CTarnInstance(const CTarnInstance &) = delete;
    CTarnInstance &operator=(const CTarnInstance &) = delete;

    // Releases the instance; a failure to do so is swallowed (it can only mean a corrupted block).
    ~CTarnInstance();

    void Add(TarnCounter counter, LONGLONG amount) { ::InterlockedExchangeAdd64(Value(counter), amount); }
    void Increment(TarnCounter counter) { ::InterlockedIncrement64(Value(counter)); }
    void Decrement(TarnCounter counter) { ::InterlockedDecrement64(Value(counter)); }
    void Set(TarnCounter counter, LONGLONG value) { ::InterlockedExchange64(Value(counter), value); }
    LONGLONG Get(TarnCounter counter) const { return ::InterlockedCompareExchange64(Value(counter), 0, 0); }

    // The instance id (1-based slot) in the block.
    DWORD GetId() const;
    const std::wstring &GetName() const;
    // False when the name was already in use (left behind by a server that ended without releasing
    // it, or held by another live process) and this object took it over with its values.
    bool WasCreated() const;

    // Releases the instance now; the object is empty afterwards.
    void Release();

private:
    friend class CTarnServerCounters;

    CTarnInstance(CTarnServerCounters &counters, const std::wstring &name);

    LONGLONG *Value(TarnCounter counter) const { return m_values + static_cast<DWORD>(counter); }

    CTarnServerCounters *m_counters;
    std::wstring m_name;
    DWORD m_id;
    bool m_created;
    LONGLONG *m_values;
};

// The TARN server's side of the shared block "Global\TARN": the same block, built from the same
// counter set, that the provider's collector opens. Whichever of them comes first lays it out.
class CTarnServerCounters
{
public:
    // The product's block, laid out with the installed first counter index, or with
    // TarnUninstalledFirstCounterIndex when the counters are not installed.
    CTarnServerCounters();

    // Any block name and index; for tests and tools that must not share the product's block.
    CTarnServerCounters(const Halyard::Win32::IKernelObjectName &name, DWORD firstCounterIndex);

    CTarnServerCounters(const CTarnServerCounters &) = delete;
    CTarnServerCounters &operator=(const CTarnServerCounters &) = delete;

    ~CTarnServerCounters();

    // The installed first counter index of "TARN", or TarnUninstalledFirstCounterIndex.
    static DWORD InstalledFirstCounterIndex();

    // Takes the named instance (at most 25 characters; at most 3 instances at a time). A newly taken
    // instance starts with every value at zero.
    CTarnInstance TakeInstance(const std::wstring &name);

    // The first counter index the block was laid out with, by whichever process came first.
    DWORD GetFirstCounterIndex() const;

    Halyard::PerfMon::CPerformanceDataBlock &GetBlock();

private:
    friend class CTarnInstance;

    Halyard::PerfMon::CPerformanceDataSchema m_schema;
    Halyard::Win32::CSecurityDescriptorAllowAll m_securityDescriptor;
    Halyard::Win32::CSecurityAttributes m_securityAttributes;
    Halyard::PerfMon::CPerformanceDataBlock m_block;
    PERF_OBJECT_TYPE *m_object;
};
