// The second process of the cross-process tests, started in the mode its first argument names:
//   optex-hold <optex> <ready> <release>      enters the named optex (the block's lock is
//                                             "Global\<base>_PerfData_Lock"), sets ready, leaves on release
//   optex-count <optex> <memory> <rounds> <ready semaphore> <start>
//                                             increments the LONG in the shared memory rounds times under the
//                                             optex, all helpers starting together
//   layout <base> <first index> <start>       constructs the TARN block over "Global\<base>" once start is
//                                             set; exits with the object's name index as it finds it
//   hold <base> <first index> <ready> <release> [<instance> <value>]
//                                             keeps the TARN block, optionally with the instance taken and its
//                                             first counter set, until release
//   churn <base> <ready> <stop>               takes, releases and updates TARN instances until stop
//   values <base> <first index> <ready> <stop>
//                                             takes the TARN instance "values" and sets its counters as the
//                                             server does, without the lock, until stop; both halves of every
//                                             value move together
//   instances <base> <ready> <stop>           takes and releases a TARN instance until stop; exits with its
//                                             longest wait for the block's lock in milliseconds (at most 1000)
//   perfdata <query> <file>                   writes the performance library's answer to the query, as it
//                                             came, into the file
//   crash [folder <F>] [suppress] [wait <signal>] [fault <N>] [overflow <N>] [caught <N>] [uncaught] ...
//                                             in order; exits with the number of faults translated (caught:
//                                             those whose dump was written after their handler, not in it)
// Any other command line exits with kBadArguments; a library exception, with kException.

#include "crashdiag/CrashDump.h"
#include "crashdiag/FaultDiagnostics.h"
#include "perfmon/datablock/PerformanceDataBlock.h"
#include "provider/TarnCounterSet.h"
#include "provider/TarnServerCounters.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Faults.h"
#include "tests/sync/OptexState.h"
#include "tools/perfclient/PerfData.h"
#include "win32/DirectorySearch.h"
#include "win32/Exception.h"
#include "win32/FileUtils.h"
#include "win32/MappedView.h"
#include "win32/Optex.h"
#include "win32/SEHException.h"
#include "win32/Semaphore.h"
#include "win32/SharedMemory.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace Halyard;
using Halyard::Testing::Recurse;
using Halyard::Testing::WriteThroughNull;
using Halyard::Testing::CNamedSignal;

namespace {

const int kBadArguments = 1001;
const int kTimedOut = 1002;
const int kException = 1003;
const DWORD kWait = 60000;

DWORD Number(const std::wstring &text)
{
    return std::wcstoul(text.c_str(), nullptr, 10);
}

int OptexHold(const std::vector<std::wstring> &a)
{
    Win32::COptex optex(Win32::CUnqualifiedName(a[1]), nullptr, 4000);
    Win32::ICriticalSection::Owner owner(optex);
    CNamedSignal(a[2]).Set();
    return CNamedSignal(a[3]).Wait(kWait) ? 0 : kTimedOut;
}

int OptexCount(const std::vector<std::wstring> &a)
{
    Win32::COptex optex(Win32::CUnqualifiedName(a[1]), nullptr, 4000);
    Win32::CSharedMemory memory(Win32::CUnqualifiedName(a[2]), Win32::CSharedMemory::ReadWrite);
    const CNamedSignal start(a[5]);
    Win32::CSemaphore(Win32::CUnqualifiedName(a[4]), Win32::CSemaphore::ModifyStateAccess).Increment(1);
    if (!start.Wait(kWait))
    {
        return kTimedOut;
    }
    volatile LONG *counter = static_cast<volatile LONG *>(memory.GetMemory());
    for (DWORD i = Number(a[3]); i > 0; --i)
    {
        Win32::ICriticalSection::Owner owner(optex);
        SyncTest::IncrementUnsafely(counter);
    }
    return 0;
}

// Counts as optex-count does, but takes and leaves the lock as processes built before owners were
// claimed by compare-exchange do: a count taken from 0 or a wake-up is ownership, and the owner id
// is written afterwards.
int OptexOldCount(const std::vector<std::wstring> &a)
{
    Win32::CAutoResetEvent event(Win32::CUnqualifiedName(a[1]), Win32::CreateOrOpen);
    const Win32::CSmartHandle state(::OpenFileMappingW(FILE_MAP_WRITE, FALSE, (a[1] + L"_Optext_MMF").c_str()));
    const Win32::CMappedView view(::MapViewOfFile(state.GetHandle(), FILE_MAP_WRITE, 0, 0, 0));
    Win32::CSharedMemory memory(Win32::CUnqualifiedName(a[2]), Win32::CSharedMemory::ReadWrite);
    const CNamedSignal start(a[5]);
    Win32::CSemaphore(Win32::CUnqualifiedName(a[4]), Win32::CSemaphore::ModifyStateAccess).Increment(1);
    if (!start.Wait(kWait))
    {
        return kTimedOut;
    }
    if (!view.IsValid())
    {
        return kBadArguments;
    }
    SyncTest::OptexState *lock = static_cast<SyncTest::OptexState *>(view.Get());
    volatile LONG *lockCount = &lock->lockCount;
    volatile DWORD *owner = &lock->ownerThreadId;
    volatile LONG *counter = static_cast<volatile LONG *>(memory.GetMemory());
    for (DWORD i = Number(a[3]); i > 0; --i)
    {
        bool owned = false;
        for (int spin = 0; spin < 4000 && !owned; ++spin)
        {
            owned = ::InterlockedCompareExchange(lockCount, 1, 0) == 0;
        }
        if (!owned && ::InterlockedIncrement(lockCount) != 1 && !event.Wait(kWait))
        {
            return kTimedOut;
        }
        *owner = ::GetCurrentThreadId();
        SyncTest::IncrementUnsafely(counter);
        *owner = 0;
        if (::InterlockedDecrement(lockCount) > 0)
        {
            event.Set();
        }
    }
    return 0;
}

// Sets the lock's event as fast as it can until told to stop; the exit code is how many thousand
// times, at least 1.
int OptexForge(const std::vector<std::wstring> &a)
{
    const Win32::CSmartHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, a[1].c_str()));
    const CNamedSignal stop(a[2]);
    unsigned long forged = 0;
    while (!stop.Wait(0))
    {
        for (int i = 0; i < 100; ++i, ++forged)
        {
            ::SetEvent(event.GetHandle());
        }
    }
    return static_cast<int>(forged / 1000 + 1);
}

int Layout(const std::vector<std::wstring> &a)
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    if (!CNamedSignal(a[3]).Wait(kWait))
    {
        return kTimedOut;
    }
    PerfMon::CPerformanceDataBlock block(Win32::CGlobalName(a[1]), schema, Number(a[2]), nullptr);
    return static_cast<int>(block.GetObjectDefinition(0)->ObjectNameTitleIndex);
}

int Hold(const std::vector<std::wstring> &a)
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock block(Win32::CGlobalName(a[1]), schema, Number(a[2]), nullptr);
    if (a.size() == 6)
    {
        return kBadArguments;
    }
    if (a.size() == 7)
    {
        PERF_OBJECT_TYPE *object = block.GetObjectDefinition(0);
        DWORD created = 0;
        const DWORD id = block.AllocateObjectInstance(object, a[5], created);
        const ULONGLONG value = std::wcstoull(a[6].c_str(), nullptr, 10);
        std::memcpy(block.GetInstanceCounterData(object, static_cast<long>(id)), &value, sizeof(value));
    }
    CNamedSignal(a[3]).Set();
    return CNamedSignal(a[4]).Wait(kWait) ? 0 : kTimedOut;
}

// Each round runs under the block's lock: it takes or releases an instance under one of several
// names, or writes all the values of every instance it holds. Each value is the round in its high
// half and the round XOR the name's tag in its low half, so a reader can tell which update and
// which name every value belongs to.
int Churn(const std::vector<std::wstring> &a)
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock block(Win32::CGlobalName(a[1]), schema, 1000, nullptr);
    PERF_OBJECT_TYPE *object = block.GetObjectDefinition(0);
    // One instance is in use from before the collector starts, whatever the churn does.
    DWORD created = 0;
    long ids[3] = {static_cast<long>(block.AllocateObjectInstance(object, L"instance-0", created)), 0, 0};
    DWORD tags[3] = {0, 0, 0};
    const CNamedSignal stop(a[3]);
    CNamedSignal(a[2]).Set();

    std::mt19937 random(7);
    for (DWORD round = 1; !stop.Wait(0); ++round)
    {
        Win32::ICriticalSection::Owner lock(block);
        const unsigned which = 1 + random() % 2;
        if (ids[which] == 0)
        {
            tags[which] = 1 + random() % 6;
            ids[which] = static_cast<long>(
                block.AllocateObjectInstance(object, L"instance-" + std::to_wstring(tags[which]), created));
            ids[which] = created == 0 ? 0 : ids[which];
        }
        else if (random() % 8 == 0)
        {
            block.ReleaseObjectInstance(object, ids[which]);
            ids[which] = 0;
        }
        for (unsigned i = 0; i < 3; ++i)
        {
            if (ids[i] != 0)
            {
                LONGLONG *values = reinterpret_cast<LONGLONG *>(block.GetInstanceCounterData(object, ids[i]));
                const LONGLONG value = (static_cast<LONGLONG>(round) << 32) | (round ^ tags[i]);
                for (DWORD k = 0; k < TarnCounterCount; ++k)
                {
                    ::InterlockedExchange64(values + k, value);
                }
            }
        }
    }
    return 0;
}

int Values(const std::vector<std::wstring> &a)
{
    CTarnServerCounters counters(Win32::CGlobalName(a[1]), std::stoul(a[2]));
    CTarnInstance instance = counters.TakeInstance(L"values");
    const CNamedSignal stop(a[4]);
    CNamedSignal(a[3]).Set();
    const LONGLONG kBothHalves = 0x100000001LL;
    for (LONGLONG round = 1; !stop.Wait(0); ++round)
    {
        for (DWORD k = 0; k < TarnCounterCount; ++k)
        {
            instance.Set(static_cast<TarnCounter>(k), round * kBothHalves);
        }
    }
    return 0;
}

int PerfData(const std::vector<std::wstring> &a)
{
    const std::vector<BYTE> data = PerfClient::QueryPerformanceData(a[1]);
    Win32::SaveStringAsFile(a[2], std::string(data.begin(), data.end()));
    return 0;
}

// Every wait counts, a timed-out one too: a lock kept longer than the block's time-out shows as the
// time-out itself.
int Instances(const std::vector<std::wstring> &a)
{
    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataBlock block(Win32::CGlobalName(a[1]), schema, 1000, nullptr);
    PERF_OBJECT_TYPE *object = block.GetObjectDefinition(0);
    const CNamedSignal stop(a[3]);
    CNamedSignal(a[2]).Set();
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    LONGLONG longest = 0;
    while (!stop.Wait(0))
    {
        LARGE_INTEGER start;
        LARGE_INTEGER entered;
        ::QueryPerformanceCounter(&start);
        try
        {
            Win32::ICriticalSection::Owner lock(block);
            ::QueryPerformanceCounter(&entered);
            DWORD created = 0;
            const DWORD id = block.AllocateObjectInstance(object, L"churn", created);
            block.ReleaseObjectInstance(object, static_cast<long>(id));
        }
        catch (const Win32::CException &)
        {
            ::QueryPerformanceCounter(&entered);
        }
        longest = std::max(longest, entered.QuadPart - start.QuadPart);
    }
    return static_cast<int>(std::min<LONGLONG>(longest * 1000 / frequency.QuadPart, 1000));
}

int Fault(DWORD times, void (*fault)(), DWORD code)
{
    int translated = 0;
    for (DWORD i = 0; i < times; ++i)
    {
        try
        {
            Win32::CSEHException::Translator translator;
            fault();
        }
        catch (const Win32::CSEHException &e)
        {
            translated += e.GetCode() == code ? 1 : 0;
        }
    }
    return translated;
}

size_t DumpCount()
{
    size_t count = 0;
    Win32::CDirectorySearch search(Win32::GetDefaultDumpFileNamePrefix() + L"-*.dmp");
    std::wstring path;
    while (search.GetNext(path))
    {
        ++count;
    }
    return count;
}

// Faults caught inside one translator scope that stays open, as a thread that keeps its scope
// would: a handler may still run under the faulting code's locks, so the dump must not be written
// before the handler ends, nor wait for the scope to end.
int CaughtFaults(DWORD times)
{
    Win32::CSEHException::Translator translator;
    int dumpedAfterHandler = 0;
    for (DWORD i = 0; i < times; ++i)
    {
        const size_t before = DumpCount();
        size_t inHandler = 0;
        try
        {
            WriteThroughNull();
        }
        catch (const Win32::CSEHException &)
        {
            inHandler = DumpCount();
        }
        dumpedAfterHandler += inHandler == before && DumpCount() == before + 1 ? 1 : 0;
    }
    return dumpedAfterHandler;
}

int Crash(const std::vector<std::wstring> &a)
{
    Win32::InstallFaultDiagnostics();
    int translated = 0;
    std::unique_ptr<Win32::CCrashDumpSuppression> suppression;
    for (size_t i = 1; i < a.size(); ++i)
    {
        const bool hasValue = i + 1 < a.size();
        if (a[i] == L"suppress")
        {
            suppression.reset(new Win32::CCrashDumpSuppression);
        }
        else if (a[i] == L"folder" && hasValue)
        {
            Win32::SetCrashDumpFolder(a[++i]);
        }
        else if (a[i] == L"wait" && hasValue)
        {
            if (!CNamedSignal(a[++i]).Wait(kWait))
            {
                return kTimedOut;
            }
        }
        else if (a[i] == L"fault" && hasValue)
        {
            translated += Fault(Number(a[++i]), WriteThroughNull, EXCEPTION_ACCESS_VIOLATION);
        }
        else if (a[i] == L"overflow" && hasValue)
        {
            translated += Fault(Number(a[++i]), [] { Recurse(0); }, EXCEPTION_STACK_OVERFLOW);
        }
        else if (a[i] == L"caught" && hasValue)
        {
            translated += CaughtFaults(Number(a[++i]));
        }
        else if (a[i] == L"uncaught")
        {
            // Nothing catches a CSEHException on the way out: the program ends in terminate.
            Win32::CSEHException::Translator translator;
            WriteThroughNull();
        }
        else
        {
            return kBadArguments;
        }
    }
    return translated;
}

struct Mode
{
    const wchar_t *name;
    size_t minimum;
    size_t maximum;
    int (*run)(const std::vector<std::wstring> &);
};

const Mode kModes[] = {
    {L"optex-hold", 4, 4, OptexHold}, {L"optex-count", 6, 6, OptexCount}, {L"optex-forge", 3, 3, OptexForge},
    {L"optex-old-count", 6, 6, OptexOldCount}, {L"layout", 4, 4, Layout},
    {L"hold", 5, 7, Hold},            {L"churn", 4, 4, Churn},            {L"crash", 1, 1000, Crash},
    {L"instances", 4, 4, Instances},  {L"perfdata", 3, 3, PerfData},   {L"values", 5, 5, Values},
};

} // namespace

int wmain(int argc, wchar_t **argv)
{
    const std::vector<std::wstring> arguments(argv + 1, argv + argc);
    for (const Mode &mode : kModes)
    {
        if (!arguments.empty() && arguments[0] == mode.name && arguments.size() >= mode.minimum &&
            arguments.size() <= mode.maximum)
        {
            try
            {
                return mode.run(arguments);
            }
            catch (const Win32::CException &e)
            {
                std::fwprintf(stderr, L"%ls - %ls\n", e.GetWhere().c_str(), e.GetMessage().c_str());
                return kException;
            }
        }
    }
    return kBadArguments;
}
