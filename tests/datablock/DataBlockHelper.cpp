// A second process for the data block tests. It builds the TARN counter set and constructs the
// block over "Global\<base>" exactly as the server and the provider do.
//
//   layout <base> <first index> <start signal>
//       waits for the start signal, constructs the block and exits with the name title index
//       of its first object as it finds it in the block
//   hold <base> <first index> <ready signal> <release signal> [<instance name> <value>]
//       constructs the block, optionally takes the named instance and writes value to its first
//       counter, signals ready and keeps the block until the release signal

#include "perfmon/datablock/PerformanceDataBlock.h"
#include "provider/TarnCounterSet.h"
#include "win32/Exception.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

using namespace Halyard;

namespace {

const int kFailed = 0x7FFFFFF0;

bool WaitForSignal(const wchar_t *name)
{
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, name);
    const bool signalled = event != nullptr && ::WaitForSingleObject(event, 30000) == WAIT_OBJECT_0;
    ::CloseHandle(event);
    return signalled;
}

void SetSignal(const wchar_t *name)
{
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, name);
    ::SetEvent(event);
    ::CloseHandle(event);
}

int Run(int argc, wchar_t **argv)
{
    if (argc < 4)
    {
        return kFailed;
    }
    const std::wstring command = argv[1];
    const Win32::CGlobalName name(argv[2]);
    const DWORD firstIndex = std::wcstoul(argv[3], nullptr, 10);
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();

    if (command == L"layout" && argc == 5)
    {
        if (!WaitForSignal(argv[4]))
        {
            return kFailed;
        }
        PerfMon::CPerformanceDataBlock block(name, schema, firstIndex, nullptr);
        return static_cast<int>(block.GetObjectDefinition(0)->ObjectNameTitleIndex);
    }
    if (command == L"hold" && (argc == 6 || argc == 8))
    {
        PerfMon::CPerformanceDataBlock block(name, schema, firstIndex, nullptr);
        if (argc == 8)
        {
            PERF_OBJECT_TYPE *object = block.GetObjectDefinition(0);
            DWORD created = 0;
            const DWORD id = block.AllocateObjectInstance(object, argv[6], created);
            const ULONGLONG value = std::wcstoull(argv[7], nullptr, 10);
            std::memcpy(block.GetInstanceCounterData(object, static_cast<long>(id)), &value, sizeof(value));
        }
        SetSignal(argv[4]);
        return WaitForSignal(argv[5]) ? 0 : kFailed;
    }
    return kFailed;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t **argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    try
    {
        const int result = Run(argc, argv);
        ::LocalFree(argv);
        return result;
    }
    catch (const Win32::CException &e)
    {
        std::fwprintf(stderr, L"%ls - %ls\n", e.GetWhere().c_str(), e.GetMessage().c_str());
    }
    ::LocalFree(argv);
    return kFailed;
}
