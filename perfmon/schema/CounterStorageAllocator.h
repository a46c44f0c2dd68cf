#pragma once

#include <windows.h>

namespace Halyard {
namespace PerfMon {

// Where an object definition's counters keep their values in the counter data area.
class IAllocateCounterStorage
{
public:
    // Offset of the next object's counter data from the start of the counter data area.
    virtual DWORD BeginObject() = 0;

    // Offset of a counter of size bytes inside one instance's values of the current object.
    virtual DWORD Allocate(DWORD size) = 0;

    // Widens the current object's reservation from one set of counter values to count sets.
    virtual void AllocateInstances(DWORD count) = 0;

protected:
    // Implementations are destroyed through their own type, never through this interface.
    ~IAllocateCounterStorage() = default;
};

// Hands out offsets, back to back, in a counter data area of a size fixed in advance; never touches memory.
class CCounterStorageAllocator : public IAllocateCounterStorage
{
public:
    explicit CCounterStorageAllocator(DWORD capacity);

    DWORD BeginObject() override;
    DWORD Allocate(DWORD size) override;
    void AllocateInstances(DWORD count) override;

private:
    DWORD m_objectOffset;
    DWORD m_used;
    const DWORD m_capacity;
};

} // namespace PerfMon
} // namespace Halyard
