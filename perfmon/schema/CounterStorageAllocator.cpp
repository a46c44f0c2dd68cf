#include "perfmon/schema/CounterStorageAllocator.h"

#include "win32/Exception.h"
#include "win32/ToString.h"

using Halyard::Win32::CException;
using Halyard::Win32::ToString;

namespace Halyard {
namespace PerfMon {

CCounterStorageAllocator::CCounterStorageAllocator(DWORD capacity)
    : m_objectOffset(0), m_used(0), m_capacity(capacity)
{
}

DWORD CCounterStorageAllocator::BeginObject()
{
    m_objectOffset += m_used;
    m_used = 0;
    return m_objectOffset;
}

DWORD CCounterStorageAllocator::Allocate(DWORD size)
{
    // 64-bit sums: a huge size must not wrap round and pass the capacity test.
    const ULONGLONG end = static_cast<ULONGLONG>(m_objectOffset) + m_used + size;
    if (end > m_capacity)
    {
        throw CException(L"CCounterStorageAllocator::Allocate()", L"No space left. Need: " + ToString(size));
    }
    const DWORD offset = m_used;
    m_used += size;
    return offset;
}

// A count of 0 is refused: in 32-bit arithmetic (0 - 1) x used would give back the storage that the
// object's counters already hold, and the next object would be laid over it. The schema never asks for
// it, since it refuses objects with instances but no instance slots.
void CCounterStorageAllocator::AllocateInstances(DWORD count)
{
    if (count == 0)
    {
        throw CException(L"CCounterStorageAllocator::AllocateInstances()", L"Instance count must be more than 0");
    }
    const ULONGLONG extra = static_cast<ULONGLONG>(count - 1) * m_used;
    if (static_cast<ULONGLONG>(m_objectOffset) + m_used + extra > m_capacity)
    {
        throw CException(L"CCounterStorageAllocator::AllocateInstances()", L"No space left. Need: " + ToString(extra));
    }
    m_used += static_cast<DWORD>(extra);
}

} // namespace PerfMon
} // namespace Halyard
