#include "provider/TarnServerCounters.h"

#include "perfmon/installer/PerformanceCounterInstaller.h"
#include "provider/TarnCounterSet.h"
#include "win32/Exception.h"
#include "win32/ToString.h"

#include <utility>

using Halyard::PerfMon::CPerformanceDataBlock;
using Halyard::Win32::CException;
using Halyard::Win32::ToString;

namespace {

// The values are updated with the platform's 64-bit interlocked operations, which are atomic only
// on naturally aligned memory.
LONGLONG *CheckedValues(BYTE *values)
{
    if (reinterpret_cast<ULONG_PTR>(values) % sizeof(LONGLONG) != 0)
    {
        throw CException(L"CTarnServerCounters::TakeInstance()", L"Counter data is not 8-byte aligned");
    }
    return reinterpret_cast<LONGLONG *>(values);
}

} // namespace

CTarnInstance::CTarnInstance(CTarnServerCounters &counters, const std::wstring &name)
    : m_counters(&counters), m_name(name), m_id(0), m_created(false), m_values(nullptr)
{
    CPerformanceDataBlock &block = counters.m_block;
    // A slot taken anew may hold the values of its previous owner; they are cleared before any
    // collector, which copies under the same lock, can see the new name.
    Halyard::Win32::ICriticalSection::Owner lock(block);
    DWORD created = 0;
    m_id = block.AllocateObjectInstance(counters.m_object, name, created);
    try
    {
        m_values = CheckedValues(block.GetInstanceCounterData(counters.m_object, static_cast<long>(m_id)));
    }
    catch (...)
    {
        if (created != 0)
        {
            block.ReleaseObjectInstance(counters.m_object, static_cast<long>(m_id));
        }
        throw;
    }
    m_created = created != 0;
    if (m_created)
    {
        for (DWORD k = 0; k < TarnCounterCount; ++k)
        {
            ::InterlockedExchange64(m_values + k, 0);
        }
    }
}

CTarnInstance::CTarnInstance(CTarnInstance &&rhs) noexcept
    : m_counters(std::exchange(rhs.m_counters, nullptr)), m_name(std::move(rhs.m_name)),
      m_id(std::exchange(rhs.m_id, 0)), m_created(rhs.m_created), m_values(std::exchange(rhs.m_values, nullptr))
{
}

CTarnInstance &CTarnInstance::operator=(CTarnInstance &&rhs) noexcept
{
    if (this != &rhs)
    {
        const Halyard::Win32::CLastErrorKeeper lastError;
        try
        {
            Release();
        }
        catch (...)
        {
        }
        m_counters = std::exchange(rhs.m_counters, nullptr);
        m_name = std::move(rhs.m_name);
        m_id = std::exchange(rhs.m_id, 0);
        m_created = rhs.m_created;
        m_values = std::exchange(rhs.m_values, nullptr);
    }
    return *this;
}

CTarnInstance::~CTarnInstance()
{
    const Halyard::Win32::CLastErrorKeeper lastError;
    try
    {
        Release();
    }
    catch (...)
    {
    }
}

DWORD CTarnInstance::GetId() const
{
    return m_id;
}

const std::wstring &CTarnInstance::GetName() const
{
    return m_name;
}

bool CTarnInstance::WasCreated() const
{
    return m_created;
}

void CTarnInstance::Release()
{
    if (m_counters == nullptr)
    {
        return;
    }
    CTarnServerCounters *counters = std::exchange(m_counters, nullptr);
    m_values = nullptr;
    counters->m_block.ReleaseObjectInstance(counters->m_object, static_cast<long>(std::exchange(m_id, 0)));
}

CTarnServerCounters::CTarnServerCounters()
    : CTarnServerCounters(Halyard::Win32::CGlobalName(TarnProductName), InstalledFirstCounterIndex())
{
}

CTarnServerCounters::CTarnServerCounters(const Halyard::Win32::IKernelObjectName &name, DWORD firstCounterIndex)
    : m_schema(CreateTarnCounterSet()), m_securityAttributes(m_securityDescriptor, false),
      m_block(name, m_schema, firstCounterIndex, &m_securityAttributes, TarnLockTimeout()),
      m_object(m_block.GetObjectDefinition(0))
{
    // A block laid out by a process with another counter set has the same size only by accident.
    // Each shared field is read once: another process may change it between two reads.
    const DWORD counters = m_object->NumCounters;
    const DWORD valuesLength = Halyard::PerfMon::CDataBlockLayout::CounterDataLengthOf(*m_object);
    if (counters != TarnCounterCount || valuesLength != TarnCounterCount * sizeof(LONGLONG))
    {
        throw CException(L"CTarnServerCounters::CTarnServerCounters()",
                         L"The data block does not hold the TARN counter set: " + ToString(counters) + L" counters");
    }
}

CTarnServerCounters::~CTarnServerCounters() = default;

DWORD CTarnServerCounters::InstalledFirstCounterIndex()
{
    const Halyard::PerfMon::CPerformanceCounterInstaller installer;
    return installer.IsInstalled(TarnProductName) ? installer.FirstCounterIndex(TarnProductName)
                                                  : TarnUninstalledFirstCounterIndex;
}

CTarnInstance CTarnServerCounters::TakeInstance(const std::wstring &name)
{
    return CTarnInstance(*this, name);
}

DWORD CTarnServerCounters::GetFirstCounterIndex() const
{
    return m_object->ObjectNameTitleIndex;
}

CPerformanceDataBlock &CTarnServerCounters::GetBlock()
{
    return m_block;
}
