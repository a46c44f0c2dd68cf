#include "crashdiag/CrashDump.h"

#include "crashdiag/MiniDumper.h"
#include "win32/DirectorySearch.h"
#include "win32/Exception.h"
#include "win32/FileUtils.h"
#include "win32/MessageLog.h"
#include "win32/SEHException.h"
#include "win32/SingleWriterMultipleReaderLock.h"
#include "win32/ThreadLocalStorage.h"
#include "win32/ToString.h"

namespace Halyard {
namespace Win32 {

namespace {

// The process-wide policy: switched on, at most (limit - 1) counted dumps.
struct CDumpPolicy
{
    volatile LONG enabled = 1;
    volatile LONG limit = 10;
    volatile LONG count = 0;
    ICreateMiniDumps *creator = nullptr;
    CSingleWriterMultipleReaderLock creatorLock;
    // On the thread that serves a request: the request. Lets a fault on that thread pass without
    // asking for a dump of its own.
    CThreadLocalStorage servedRequest;
};

// Built when the module starts: the first request may come from a thread with no stack to spare.
CDumpPolicy &Policy()
{
    static CDumpPolicy policy;
    return policy;
}

CDumpPolicy &g_policyAtStart = Policy();

struct CRequest
{
    EXCEPTION_POINTERS *pointers;
    bool counted;
    DWORD threadId;
};

void Trace(const std::wstring &line)
{
    CDebugTrace::Instance().LogMessage(line);
}

void ServeRequest(const CRequest &request)
{
    CDumpPolicy &policy = Policy();
    if (!request.counted)
    {
        CreateCrashDump(request.pointers);
        return;
    }
    const LONG limit = policy.limit;
    if (limit != 0 && ::InterlockedIncrement(&policy.count) < limit)
    {
        CreateCrashDump(request.pointers);
        return;
    }
    Trace(L"Did not create crash dump. Already created: " + ToString(limit));
}

DWORD WINAPI ServeRequestThread(void *parameter)
{
    const CRequest &request = *static_cast<const CRequest *>(parameter);
    try
    {
        Policy().servedRequest.SetValue(parameter);
        // The trace names the thread that faulted, not this one.
        CDebugTrace::Instance().SetThreadIdentifier(ToStringA(static_cast<unsigned long>(request.threadId)));
        // A fault while dumping (DbgHelp reads memory that may be going away) fails this dump
        // instead of ending the process.
        CSEHException::Translator translator;
        ServeRequest(request);
    }
    catch (const CException &e)
    {
        ::OutputDebugStringW((L"Failed to create crash dump: " + e.GetWhere() + L" - " + e.GetMessage()).c_str());
    }
    catch (const CSEHException &e)
    {
        ::OutputDebugStringW((L"Failed to create crash dump: " + e.GetWhere() + L" - " + e.GetMessage()).c_str());
    }
    catch (...)
    {
        ::OutputDebugStringW(L"Failed to create crash dump: unexpected exception");
    }
    return 0;
}

const CRequest *ServedRequest()
{
    try
    {
        return static_cast<const CRequest *>(Policy().servedRequest.GetValue());
    }
    catch (const CException &)
    {
        return nullptr;
    }
}

std::wstring ThisModulePath()
{
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&ThisModulePath), &module);
    return Halyard::Win32::GetModuleFileName(module);
}

} // namespace

void RequestCrashDump(EXCEPTION_POINTERS *pointers, bool counted)
{
    const DWORD lastError = ::GetLastError();
    CDumpPolicy &policy = Policy();
    if (policy.enabled == 0 || ServedRequest() != nullptr)
    {
        ::SetLastError(lastError);
        return;
    }
    // The caller may have faulted with its stack all but used up (a stack overflow leaves a few
    // kilobytes): everything that takes stack runs on a thread of its own while the caller waits,
    // which also keeps the exception records valid for as long as the dump reads them.
    CRequest request = {pointers, counted, ::GetCurrentThreadId()};
    const HANDLE thread = ::CreateThread(nullptr, 0, ServeRequestThread, &request, 0, nullptr);
    if (thread == nullptr)
    {
        ::OutputDebugStringA("Failed to create crash dump");
    }
    else
    {
        ::WaitForSingleObject(thread, INFINITE);
        ::CloseHandle(thread);
    }
    ::SetLastError(lastError);
}

void RequestCrashDump(bool counted)
{
    RequestCrashDump(nullptr, counted);
}

bool CreateCrashDump(EXCEPTION_POINTERS *pointers)
{
    CDumpPolicy &policy = Policy();
    {
        ISingleWriterMultipleReaderLock::PotentialReader reader(policy.creatorLock);
        reader.EnterToRead();
        if (policy.creator != nullptr)
        {
            // A replacement creator stands alone: when it fails, the default one does not step in.
            const std::wstring name = policy.creator->GetNextDumpFileName();
            const bool created = policy.creator->CreateDump(name, pointers);
            if (created)
            {
                Trace(L"Custom crash dump created: " + name + L"\"");
            }
            return created;
        }
    }
    CMiniDumper dumper(0, CMiniDumper::AllNameParts);
    // A dump of a fault in this library is read with this module's globals.
    dumper.AddRequiredModule(ThisModulePath());
    const std::wstring name = dumper.GetNextDumpFileName();
    if (!dumper.CreateDump(CMiniDumper::DataAndThreads, name, pointers))
    {
        Trace(L"Failed to create crash dump");
        return false;
    }
    Trace(L"Default crash dump created: " + name + L"\"");
    return true;
}

void DisableCrashDumps()
{
    ::InterlockedExchange(&Policy().enabled, 0);
}

void SetDumpCreatorAndLimit(ICreateMiniDumps *creator, LONG limit, bool keepLimit)
{
    CDumpPolicy &policy = Policy();
    {
        ISingleWriterMultipleReaderLock::PotentialReader writer(policy.creatorLock);
        writer.EnterToWrite();
        policy.creator = creator;
    }
    ::InterlockedExchange(&policy.limit, limit);
    if (keepLimit)
    {
        return;
    }
    std::wstring prefix;
    {
        ISingleWriterMultipleReaderLock::PotentialReader reader(policy.creatorLock);
        reader.EnterToRead();
        prefix = policy.creator != nullptr ? policy.creator->GetDumpFileNamePrefix()
                                           : CMiniDumper(0, CMiniDumper::AllNameParts).GetDumpFileNamePrefix();
    }
    // Dumps left by earlier runs count against this one, so a process that keeps faulting
    // cannot fill the disk across restarts.
    LONG reduced = limit;
    CDirectorySearch search(prefix + L"-*.*");
    std::wstring path;
    while (search.GetNext(path))
    {
        Trace(L"Existing dump file: " + path);
        --reduced;
    }
    if (reduced != limit)
    {
        ::InterlockedExchange(&policy.limit, reduced);
        Trace(L"Max dumps to produce reduced to " + ToString(reduced) + L" due to existing dump files");
    }
}

DWORD GetDumpedThreadId()
{
    const CRequest *request = ServedRequest();
    return request != nullptr ? request->threadId : ::GetCurrentThreadId();
}

} // namespace Win32
} // namespace Halyard
