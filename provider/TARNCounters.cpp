// The module's face: the loader's entry point and the three functions the performance library calls.
// Each installs the structured-exception translator once, so that a fault anywhere below arrives as
// a C++ exception: the product collector turns every failure into one debugger line, the library
// collector leaves the caller's counts and cursor as a failed collect must, and what is caught here
// is only what nothing below could.
#include "crashdiag/CrashDump.h"
#include "crashdiag/FaultDiagnostics.h"
#include "provider/CrashDumpSettings.h"
#include "provider/ModuleHeap.h"
#include "provider/PerformanceKey.h"
#include "provider/ProductCollector.h"
#include "provider/TarnCounterSet.h"
#include "win32/SEHException.h"

#include <windows.h>

namespace {

Halyard::PerfMon::ICollectPerformanceData *g_collector = nullptr;

// Attach and detach are serialised by the loader, so no lock guards the pointer.
void SetCollector(Halyard::PerfMon::ICollectPerformanceData *collector)
{
    delete g_collector;
    g_collector = collector;
}

// The runtime linked into this module keeps a record, with a thread handle and an event, for each
// thread that used its thread support, and frees it only when the thread ends. A host that unloads
// the module (the performance library may do so after every query) would leak both handles on the
// unloading thread each time; running the module's thread-local storage callbacks as that thread's
// detach releases them while the code that does so is still loaded.
void ReleaseThreadRecords(HINSTANCE module)
{
    const BYTE *base = reinterpret_cast<const BYTE *>(module);
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const IMAGE_NT_HEADERS *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
    if (directory.VirtualAddress == 0)
    {
        return;
    }
    const IMAGE_TLS_DIRECTORY *tls = reinterpret_cast<const IMAGE_TLS_DIRECTORY *>(base + directory.VirtualAddress);
    for (const PIMAGE_TLS_CALLBACK *callback = reinterpret_cast<const PIMAGE_TLS_CALLBACK *>(tls->AddressOfCallBacks);
         callback != nullptr && *callback != nullptr; ++callback)
    {
        (*callback)(module, DLL_THREAD_DETACH, nullptr);
    }
}

} // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    // A fault translated here must not ask for a dump: the thread that writes it cannot start
    // while the loader lock is held.
    const Halyard::Win32::CCrashDumpSuppression suppression;
    switch (reason)
    {
    case DLL_PROCESS_ATTACH:
    {
        ::DisableThreadLibraryCalls(module);
        Halyard::Win32::InstallFaultDiagnostics();
        // One open of the product's key serves every setting read here.
        const CPerformanceKey performance(TarnProductName);
        ApplyCrashDumpSettings(performance);
        Halyard::Win32::CSEHException::Translator translator;
        SetCollector(CreatePerformanceDataCollector(performance));
        break;
    }
    case DLL_PROCESS_DETACH:
        SetCollector(nullptr);
        // Unloaded from a process that goes on (not ending): the unloading thread outlives the module,
        // and so does the host, which must get back all the module took.
        if (reserved == nullptr)
        {
            ReleaseThreadRecords(module);
            ReleaseModuleHeapAtUnload();
        }
        break;
    default:
        break;
    }
    return TRUE;
}

DWORD WINAPI PerfData_Open(LPWSTR deviceNames)
{
    Halyard::PerfMon::ICollectPerformanceData *collector = g_collector;
    if (collector == nullptr)
    {
        return 1;
    }
    try
    {
        Halyard::Win32::CSEHException::Translator translator;
        collector->Open(deviceNames);
        return ERROR_SUCCESS;
    }
    catch (...)
    {
        return 1;
    }
}

DWORD WINAPI PerfData_Collect(LPWSTR query, LPVOID *data, LPDWORD totalBytes, LPDWORD numObjectTypes)
{
    Halyard::PerfMon::ICollectPerformanceData *collector = g_collector;
    bool result = true;
    try
    {
        // Even the caller's pointers are read only under the translator.
        Halyard::Win32::CSEHException::Translator translator;
        if (collector == nullptr || data == nullptr || totalBytes == nullptr || numObjectTypes == nullptr)
        {
            // Nothing to return, or nowhere to put it: the host must not take its whole buffer as data.
            if (totalBytes != nullptr)
            {
                *totalBytes = 0;
            }
            if (numObjectTypes != nullptr)
            {
                *numObjectTypes = 0;
            }
            return ERROR_SUCCESS;
        }
        if (*data == nullptr)
        {
            // No buffer holds nothing, whatever size comes with it.
            *totalBytes = 0;
        }
        result = collector->Collect(query, data, totalBytes, numObjectTypes);
    }
    catch (...)
    {
    }
    return result ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

DWORD WINAPI PerfData_Close()
{
    Halyard::PerfMon::ICollectPerformanceData *collector = g_collector;
    if (collector == nullptr)
    {
        return ERROR_SUCCESS;
    }
    try
    {
        Halyard::Win32::CSEHException::Translator translator;
        collector->Close();
    }
    catch (...)
    {
    }
    return ERROR_SUCCESS;
}

} // extern "C"
