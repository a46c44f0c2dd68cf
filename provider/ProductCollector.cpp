#include "provider/ProductCollector.h"

#include "perfmon/installer/PerformanceCounterInstaller.h"
#include "provider/TarnCounterSet.h"
#include "win32/Exception.h"
#include "win32/KernelObjectName.h"
#include "win32/SEHException.h"

using Halyard::Win32::CException;
using Halyard::Win32::CSEHException;

namespace {

SECURITY_ATTRIBUTES MakeSecurityAttributes(SECURITY_DESCRIPTOR *descriptor)
{
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    return attributes;
}

void Report(const wchar_t *prefix, const std::wstring &where, const std::wstring &message)
{
    ::OutputDebugStringW((std::wstring(prefix) + where + L" - " + message).c_str());
}

// Runs one operation and turns every failure into one debugger line; the module's entry points
// have the structured-exception translator in place, so faults arrive here as CSEHException.
template <typename Operation>
void Guarded(const wchar_t *prefix, const wchar_t *unexpected, Operation operation)
{
    try
    {
        operation();
    }
    catch (const CException &e)
    {
        Report(prefix, e.GetWhere(), e.GetMessage());
    }
    catch (const CSEHException &e)
    {
        Report(prefix, e.GetWhere(), e.GetMessage());
    }
    catch (...)
    {
        ::OutputDebugStringW(unexpected);
    }
}

} // namespace

CPerformanceDataCollector::CPerformanceDataCollector(const std::wstring &name,
                                                     const Halyard::Win32::CRegistryKey &performance)
    : m_schema(CreateTarnCounterSet()),
      m_securityAttributes(MakeSecurityAttributes(&m_securityDescriptor)),
      m_lockTimeout(TarnLockTimeout(performance)),
      m_calls(0),
      m_collector(Halyard::Win32::CGlobalName(name), m_schema, Halyard::PerfMon::ReadFirstCounterIndex(performance),
                  &m_securityAttributes, m_lockTimeout)
{
    m_calls.SetTimeout(m_lockTimeout);
}

CPerformanceDataCollector::~CPerformanceDataCollector() = default;

void CPerformanceDataCollector::Open(const wchar_t *deviceNames)
{
    Guarded(L"CPerformanceDataCollector::Open() -  Exception: ", L"CPerformanceDataCollector::Open() - Unexpected exception",
            [&] {
                const Halyard::Win32::ICriticalSection::Owner call(m_calls);
                m_collector.Open(deviceNames);
            });
}

void CPerformanceDataCollector::Close()
{
    Guarded(L"CPerformanceDataCollector::Close() -  Exception: ",
            L"CPerformanceDataCollector::Close() - Unexpected exception", [&] {
                const Halyard::Win32::ICriticalSection::Owner call(m_calls);
                m_collector.Close();
            });
}

// The library collector leaves the counts at 0 and the cursor where it was whenever it fails, so a
// partly written answer is never reported as data; a collect that never got its turn does the same.
bool CPerformanceDataCollector::Collect(const wchar_t *query, void **data, DWORD *totalBytes, DWORD *numObjectTypes)
{
    bool result = true;
    bool collected = false;
    Guarded(L"CPerformanceDataCollector::Collect() -  Exception: ",
            L"CPerformanceDataCollector::Collect() - Unexpected exception", [&] {
                const Halyard::Win32::ICriticalSection::Owner call(m_calls);
                collected = true;
                result = m_collector.Collect(query, data, totalBytes, numObjectTypes);
            });
    if (!collected)
    {
        *totalBytes = 0;
        *numObjectTypes = 0;
    }
    return result;
}

Halyard::PerfMon::ICollectPerformanceData *CreatePerformanceDataCollector(const CPerformanceKey &performance)
{
    Halyard::PerfMon::ICollectPerformanceData *collector = nullptr;
    Guarded(L"CreatePerformanceDataCollector() -  Exception: ", L"CreatePerformanceDataCollector() - Unexpected exception",
            [&] { collector = new CPerformanceDataCollector(TarnProductName, performance.Get()); });
    return collector;
}
