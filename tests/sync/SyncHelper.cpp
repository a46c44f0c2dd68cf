// Started by the sync tests to act as a second process on shared kernel objects.
//   optex-hold NAME READY RELEASE           enter the named optex, set READY, wait for RELEASE, leave
//   optex-count NAME MEMORY ROUNDS READY START
//                                           release the semaphore READY, wait for START, then ROUNDS times
//                                           increment the counter in the shared memory MEMORY under the optex
//   shm-open NAME SIZE                      create or open the shared memory; exit with its error or 0
#include "SyncTestSupport.h"

#include "win32/Event.h"
#include "win32/Exception.h"
#include "win32/KernelObjectName.h"
#include "win32/Optex.h"
#include "win32/Semaphore.h"
#include "win32/SharedMemory.h"

#include <shellapi.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace Halyard::Win32;

namespace {

const DWORD kWaitMilliseconds = 60000;
const DWORD kSpinCount = 4000;

DWORD HoldOptex(const std::wstring &name, const std::wstring &ready, const std::wstring &release)
{
    COptex optex(CUnqualifiedName(name), nullptr, kSpinCount);
    CEvent readyEvent(nullptr, CUnqualifiedName(ready));
    CEvent releaseEvent(nullptr, CUnqualifiedName(release));
    ICriticalSection::Owner owner(optex);
    readyEvent.Set();
    return releaseEvent.Wait(kWaitMilliseconds) ? 0 : SyncTest::kHelperTimedOut;
}

DWORD CountUnderOptex(const std::wstring &name, const std::wstring &memoryName, unsigned long rounds,
                      const std::wstring &ready, const std::wstring &start)
{
    COptex optex(CUnqualifiedName(name), nullptr, kSpinCount);
    CSharedMemory memory(CUnqualifiedName(memoryName), CSharedMemory::ReadWrite);
    CEvent startEvent(nullptr, CUnqualifiedName(start));
    CSemaphore(CUnqualifiedName(ready), CSemaphore::ModifyStateAccess).Increment(1);
    if (!startEvent.Wait(kWaitMilliseconds))
    {
        return SyncTest::kHelperTimedOut;
    }
    volatile LONG *counter = static_cast<volatile LONG *>(memory.GetMemory());
    for (unsigned long i = 0; i < rounds; ++i)
    {
        ICriticalSection::Owner owner(optex);
        SyncTest::IncrementUnsafely(counter);
    }
    return 0;
}

DWORD OpenSharedMemory(const std::wstring &name, DWORD size)
{
    try
    {
        CSharedMemory memory(CUnqualifiedName(name), size, CSharedMemory::ReadWrite, true, nullptr);
        return 0;
    }
    catch (const CWin32Exception &e)
    {
        return e.GetError();
    }
}

DWORD Run(const std::vector<std::wstring> &args)
{
    if (args.size() == 4 && args[0] == L"optex-hold")
    {
        return HoldOptex(args[1], args[2], args[3]);
    }
    if (args.size() == 6 && args[0] == L"optex-count")
    {
        return CountUnderOptex(args[1], args[2], std::wcstoul(args[3].c_str(), nullptr, 10), args[4], args[5]);
    }
    if (args.size() == 3 && args[0] == L"shm-open")
    {
        return OpenSharedMemory(args[1], std::wcstoul(args[2].c_str(), nullptr, 10));
    }
    return SyncTest::kHelperBadArguments;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t **argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argv == nullptr)
    {
        return static_cast<int>(SyncTest::kHelperBadArguments);
    }
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    ::LocalFree(argv);
    try
    {
        return static_cast<int>(Run(args));
    }
    catch (const CException &)
    {
        return static_cast<int>(SyncTest::kHelperException);
    }
}
