#pragma once

#include "perfmon/collector/CollectPerformanceData.h"
#include "perfmon/collector/PerformanceDataCollector.h"
#include "perfmon/schema/Schema.h"
#include "provider/PerformanceKey.h"
#include "win32/Optex.h"
#include "win32/SecurityDescriptor.h"

#include <windows.h>

#include <string>

// The product's collector: the TARN counter set, open to every account, over the shared block
// "Global\TARN". Nothing it drives may take the host process down: every failure becomes one line
// on the debugger channel. The class has the name of the library's collector in the global
// namespace; the file is named apart so that the two are never confused.
//
// The performance library calls Open, Collect and Close one at a time, but a host may call them from
// several threads at once (Wine's performance library does, for queries made on several threads), and
// a Close would then end the block under a running collect. The calls therefore take turns, each
// waiting at most the lock time-out for the one before it.
class CPerformanceDataCollector : public Halyard::PerfMon::ICollectPerformanceData
{
public:
    // The first counter index and the lock time-out come from the product's Performance key.
    CPerformanceDataCollector(const std::wstring &name, const Halyard::Win32::CRegistryKey &performance);

    CPerformanceDataCollector(const CPerformanceDataCollector &) = delete;
    CPerformanceDataCollector &operator=(const CPerformanceDataCollector &) = delete;

    void Open(const wchar_t *deviceNames) override;

    void Close() override;

    bool Collect(const wchar_t *query, void **data, DWORD *totalBytes, DWORD *numObjectTypes) override;

    ~CPerformanceDataCollector() override;

private:
    Halyard::PerfMon::CPerformanceDataSchema m_schema;
    Halyard::Win32::CSecurityDescriptorAllowAll m_securityDescriptor;
    SECURITY_ATTRIBUTES m_securityAttributes;
    const DWORD m_lockTimeout;
    Halyard::Win32::COptex m_calls;
    Halyard::PerfMon::CPerformanceDataCollector m_collector;
};

// The process-wide collector the exports drive; null when creation failed, a key that could not be
// opened included.
Halyard::PerfMon::ICollectPerformanceData *CreatePerformanceDataCollector(const CPerformanceKey &performance);
