#pragma once

#include <windows.h>

namespace Halyard {
namespace PerfMon {

// What the module's exports drive: one collector per process, called one call at a time.
class ICollectPerformanceData
{
public:
    virtual void Open(const wchar_t *deviceNames) = 0;

    virtual void Close() = 0;

    // Arguments exactly as the collect export receives them. False when the buffer is too small.
    virtual bool Collect(const wchar_t *query, void **data, DWORD *totalBytes, DWORD *numObjectTypes) = 0;

    virtual ~ICollectPerformanceData() = default;
};

} // namespace PerfMon
} // namespace Halyard
