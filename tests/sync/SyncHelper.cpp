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

// Exit codes beyond the Win32 errors the helper passes on.
const DWORD kBadArguments = 1001;
const DWORD kTimedOut = 1002;
const DWORD kException = 1003;
const DWORD kWaitMilliseconds = 60000;
const DWORD kSpinCount = 4000;

DWORD Run(const std::vector<std::wstring> &args)
{
    if (args.size() == 4 && args[0] == L"optex-hold")
    {
        COptex optex(CUnqualifiedName(args[1]), nullptr, kSpinCount);
        CEvent ready(nullptr, CUnqualifiedName(args[2]));
        CEvent release(nullptr, CUnqualifiedName(args[3]));
        ICriticalSection::Owner owner(optex);
        ready.Set();
        return release.Wait(kWaitMilliseconds) ? 0 : kTimedOut;
    }
    if (args.size() == 6 && args[0] == L"optex-count")
    {
        COptex optex(CUnqualifiedName(args[1]), nullptr, kSpinCount);
        CSharedMemory memory(CUnqualifiedName(args[2]), CSharedMemory::ReadWrite);
        const unsigned long rounds = std::wcstoul(args[3].c_str(), nullptr, 10);
        CEvent start(nullptr, CUnqualifiedName(args[5]));
        CSemaphore(CUnqualifiedName(args[4]), CSemaphore::ModifyStateAccess).Increment(1);
        if (!start.Wait(kWaitMilliseconds))
        {
            return kTimedOut;
        }
        volatile LONG *counter = static_cast<volatile LONG *>(memory.GetMemory());
        for (unsigned long i = 0; i < rounds; ++i)
        {
            ICriticalSection::Owner owner(optex);
            SyncTest::IncrementUnsafely(counter);
        }
        return 0;
    }
    if (args.size() == 3 && args[0] == L"shm-open")
    {
        try
        {
            CSharedMemory memory(CUnqualifiedName(args[1]), std::wcstoul(args[2].c_str(), nullptr, 10),
                                 CSharedMemory::ReadWrite, true, nullptr);
            return 0;
        }
        catch (const CWin32Exception &e)
        {
            return e.GetError();
        }
    }
    return kBadArguments;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t **argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argv == nullptr)
    {
        return static_cast<int>(kBadArguments);
    }
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    ::LocalFree(argv);
    try
    {
        return static_cast<int>(Run(args));
    }
    catch (const CException &)
    {
        return static_cast<int>(kException);
    }
}
