#include "crashdiag/CrashDump.h"

#include "crashdiag/MiniDumper.h"
#include "win32/AccessRule.h"
#include "win32/CriticalSection.h"
#include "win32/DirectorySearch.h"
#include "win32/Exception.h"
#include "win32/FileUtils.h"
#include "win32/LibraryLoader.h"
#include "win32/LocalMemory.h"
#include "win32/MessageLog.h"
#include "win32/SEHException.h"
#include "win32/SingleWriterMultipleReaderLock.h"
#include "win32/SmartHandle.h"
#include "win32/ThreadLocalStorage.h"
#include "win32/ToString.h"

#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

namespace Halyard {
namespace Win32 {

namespace {

const wchar_t kProtectedFolder[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Long enough for a dump of a large process; a thread that has not even started by then never will
// (the loader lock, a host that suspended it).
const DWORD kDumpWaitMilliseconds = 60000;

// Holds the creator lock by value, so that it is destroyed as what it is: the lock's interface
// has no virtual destructor.
struct CCreatorLock
{
    CSingleWriterMultipleReaderLock lock;
};

// The process-wide policy: switched on, at most (limit - 1) counted dumps.
struct CDumpPolicy
{
    volatile LONG enabled = 1;
    volatile LONG suppressed = 0;
    volatile LONG limit = 10;
    volatile LONG count = 0;
    ICreateMiniDumps *creator = nullptr;
    // Made by the first user (CreatorLock): its semaphores are kernel objects, and a module that the
    // performance library loads for one query and unloads again never needs them.
    std::atomic<CCreatorLock *> creatorLock{nullptr};
    // The folder set, empty for the default; the one last accepted for dumps; the one whose
    // "Halyard.log" the trace writes, empty for none.
    CCriticalSection folderLock;
    std::wstring folder;
    std::wstring acceptedFolder;
    std::wstring traceFolder;
    // On the thread that serves a request: the request. Lets a fault on that thread pass without
    // asking for a dump of its own.
    CThreadLocalStorage servedRequest;
    // On a thread that faulted: the requests captured and not yet written, newest first.
    CThreadLocalStorage capturedRequests;
    // Dumps of this process found from earlier loads of the module; -1 until counted.
    volatile LONG earlierDumps = -1;

    ~CDumpPolicy() { delete creatorLock.load(); }
};

// Built when the module starts: the first request may come from a thread with no stack to spare.
CDumpPolicy &Policy()
{
    static CDumpPolicy policy;
    return policy;
}

CDumpPolicy &g_policyAtStart = Policy();

// Two first users may both make one; the lock that loses is destroyed unused.
CSingleWriterMultipleReaderLock &CreatorLock()
{
    std::atomic<CCreatorLock *> &shared = Policy().creatorLock;
    CCreatorLock *current = shared.load();
    if (current == nullptr)
    {
        std::unique_ptr<CCreatorLock> made(new CCreatorLock);
        current = shared.compare_exchange_strong(current, made.get()) ? made.release() : current;
    }
    return current->lock;
}

// Shared by the faulting thread and the thread that serves it; whichever lets go last frees it.
// The records are copies, so the serving thread may go on after the faulting one stopped waiting.
struct CRequest
{
    enum State : LONG
    {
        Pending,
        Serving,
        Abandoned
    };

    EXCEPTION_RECORD record;
    CONTEXT context;
    EXCEPTION_POINTERS copy;
    EXCEPTION_POINTERS *pointers;
    bool counted;
    DWORD threadId;
    volatile LONG state;
    volatile LONG references;
    // The next older request captured on the same thread.
    CRequest *next;
};

CRequest *NewRequest(EXCEPTION_POINTERS *pointers, bool counted)
{
    // Straight from the heap: the caller's stack may be all but used up.
    CRequest *request = static_cast<CRequest *>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(CRequest)));
    if (request == nullptr)
    {
        return nullptr;
    }
    if (pointers != nullptr)
    {
        request->record = *pointers->ExceptionRecord;
        request->record.ExceptionRecord = nullptr;
        request->context = *pointers->ContextRecord;
        request->copy.ExceptionRecord = &request->record;
        request->copy.ContextRecord = &request->context;
        request->pointers = &request->copy;
    }
    request->counted = counted;
    request->threadId = ::GetCurrentThreadId();
    request->state = CRequest::Pending;
    request->references = 2;
    return request;
}

void ReleaseRequest(CRequest *request)
{
    if (::InterlockedDecrement(&request->references) == 0)
    {
        ::HeapFree(::GetProcessHeap(), 0, request);
    }
}

std::wstring ConfiguredFolder()
{
    CDumpPolicy &policy = Policy();
    ICriticalSection::Owner owner(policy.folderLock);
    return policy.folder.empty() ? GetDefaultCrashDumpFolder() : policy.folder;
}

// Owned by the administrators, with access for SYSTEM and administrators only: a dump holds the
// host's memory. A process that may not make the administrators the owner (an ordinary user's
// monitor) creates nothing, rather than a folder it would own and could open to others.
void CreateProtectedFolder(const std::wstring &folder)
{
    TLocalMemory<void> descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedFolder, SDDL_REVISION_1,
                                                                descriptor.Receive(), nullptr))
    {
        throw CWin32Exception(L"CreateProtectedFolder() - ConvertStringSecurityDescriptorToSecurityDescriptorW",
                              ::GetLastError());
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.Get(), FALSE};
    const BOOL created = ::CreateDirectoryW(folder.c_str(), &attributes);
    const DWORD error = ::GetLastError();
    if (!created && error != ERROR_ALREADY_EXISTS)
    {
        throw CWin32Exception(L"CreateProtectedFolder() - CreateDirectoryW \"" + folder + L"\"", error);
    }
}

// The folder of dumps and trace, each missing folder on the way to it created protected (the
// product's folder as well as the dump folder). An existing folder, one that someone else prepared
// included, is used only when nobody but the administrators may change it and no link leads to
// it. Empty when the folder may be used, else why not.
std::wstring PrepareCrashDumpFolder(const std::wstring &folder)
{
    std::vector<std::wstring> missing;
    for (std::wstring path = folder; !path.empty() && ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;)
    {
        missing.push_back(path);
        const std::wstring parent = GetDirectoryFromPath(path);
        path = parent.size() < path.size() && parent.back() != L':' ? parent : std::wstring();
    }
    try
    {
        for (auto path = missing.rbegin(); path != missing.rend(); ++path)
        {
            CreateProtectedFolder(*path);
        }
    }
    catch (const CException &e)
    {
        return Quoted(folder) + L" could not be created: " + e.GetWhere() + L" - " + e.GetMessage();
    }
    const TUntrustedAccess found = FindUntrustedAccessOnPath(folder);
    return found.Found() ? found.Describe() : std::wstring();
}

// Into the folder's "Halyard.log" only when the folder passes the same rule as for dumps (checked
// here when no dump of this load has checked it); otherwise to the debugger channel only.
void Trace(const std::wstring &line)
{
    CDumpPolicy &policy = Policy();
    const std::wstring folder = ConfiguredFolder();
    std::wstring accepted;
    {
        ICriticalSection::Owner owner(policy.folderLock);
        accepted = policy.acceptedFolder;
    }
    const bool acceptable = accepted == folder || (::GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES &&
                                                   !FindUntrustedAccessOnPath(folder).Found());
    {
        ICriticalSection::Owner owner(policy.folderLock);
        policy.acceptedFolder = acceptable ? folder : policy.acceptedFolder;
        const std::wstring traceFolder = acceptable ? folder : std::wstring();
        if (policy.traceFolder != traceFolder)
        {
            policy.traceFolder = traceFolder;
            CDebugTrace::Instance().SetLogName(traceFolder.empty() ? std::wstring() : traceFolder + L"\\Halyard.log");
        }
    }
    CDebugTrace::Instance().LogMessage(line);
}

// Dumps that this process wrote while the module was loaded before: a host that loads the module
// anew for each query would otherwise get a fresh limit every time. Counted once per load from the
// dump folder, where names carry the process id; a file written before this process started is an
// earlier process's that had the same id. This load's names continue the sequence numbers found, so
// that no dump of an earlier load is written over.
LONG DumpsOfEarlierLoads()
{
    CDumpPolicy &policy = Policy();
    if (policy.earlierDumps >= 0)
    {
        return policy.earlierDumps;
    }
    FILETIME started = {};
    FILETIME ended = {};
    FILETIME kernel = {};
    FILETIME user = {};
    ThrowLastErrorIf(!::GetProcessTimes(::GetCurrentProcess(), &started, &ended, &kernel, &user),
                     L"DumpsOfEarlierLoads() - GetProcessTimes");
    const std::wstring prefix = GetDefaultDumpFileNamePrefix();
    LONG count = 0;
    LONG highestSequence = 0;
    CDirectorySearch search(prefix + L"-*.dmp");
    std::wstring path;
    while (search.GetNext(path))
    {
        DWORD processId = 0;
        LONG sequence = 0;
        WIN32_FILE_ATTRIBUTE_DATA attributes;
        if (CMiniDumper::ReadDumpFileName(prefix, path, processId, sequence) &&
            processId == ::GetCurrentProcessId() &&
            ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes) &&
            ::CompareFileTime(&attributes.ftLastWriteTime, &started) >= 0)
        {
            ++count;
            highestSequence = std::max(highestSequence, sequence);
        }
    }
    CMiniDumper::ContinueSequenceAfter(highestSequence);
    // Two threads counting at once find the same files.
    ::InterlockedCompareExchange(&policy.earlierDumps, count, -1);
    return policy.earlierDumps;
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
    if (limit != 0)
    {
        const LONG earlier = DumpsOfEarlierLoads();
        if (::InterlockedIncrement(&policy.count) + earlier < limit)
        {
            CreateCrashDump(request.pointers);
            return;
        }
    }
    Trace(L"Did not create crash dump. Already created: " + ToString(limit));
}

DWORD WINAPI ServeRequestThread(void *parameter)
{
    CRequest *request = static_cast<CRequest *>(parameter);
    // A request given up before this thread could start is stale: its fault has long been handled.
    if (::InterlockedCompareExchange(&request->state, CRequest::Serving, CRequest::Pending) == CRequest::Pending)
    {
        try
        {
            Policy().servedRequest.SetValue(request);
            // The trace names the thread that faulted, not this one.
            CDebugTrace::Instance().SetThreadIdentifier(ToStringA(static_cast<unsigned long>(request->threadId)));
            // A fault while dumping (DbgHelp reads memory that may be going away) fails this dump
            // instead of ending the process.
            CSEHException::Translator translator;
            ServeRequest(*request);
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
    }
    ReleaseRequest(request);
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

CRequest *CapturedRequests()
{
    try
    {
        return static_cast<CRequest *>(Policy().capturedRequests.GetValue());
    }
    catch (const CException &)
    {
        return nullptr;
    }
}

bool SetCapturedRequests(CRequest *newest)
{
    try
    {
        Policy().capturedRequests.SetValue(newest);
        return true;
    }
    catch (const CException &)
    {
        return false;
    }
}

// Runs the request on a thread of its own and waits for it a bounded time.
void WriteRequest(CRequest *request)
{
    if (Policy().enabled == 0)
    {
        ::HeapFree(::GetProcessHeap(), 0, request);
        return;
    }
    CSmartHandle thread(::CreateThread(nullptr, 0, ServeRequestThread, request, 0, nullptr));
    if (!thread.IsValid())
    {
        ::HeapFree(::GetProcessHeap(), 0, request);
        ::OutputDebugStringA("Failed to create crash dump");
        return;
    }
    if (::WaitForSingleObject(thread.GetHandle(), kDumpWaitMilliseconds) != WAIT_OBJECT_0 &&
        ::InterlockedCompareExchange(&request->state, CRequest::Abandoned, CRequest::Pending) == CRequest::Pending)
    {
        ::OutputDebugStringA("Failed to create crash dump");
    }
    ReleaseRequest(request);
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
    CaptureCrashDump(pointers, counted);
    WriteCapturedCrashDumps();
}

void CaptureCrashDump(EXCEPTION_POINTERS *pointers, bool counted)
{
    const Win32::CLastErrorKeeper keeper;
    CDumpPolicy &policy = Policy();
    if (policy.enabled == 0 || policy.suppressed != 0 || ServedRequest() != nullptr)
    {
        return;
    }
    // Only copies and one allocation: the caller may hold a lock that others wait on, and a stack
    // overflow leaves it a few kilobytes.
    CRequest *request = NewRequest(pointers, counted);
    if (request != nullptr)
    {
        request->next = CapturedRequests();
        if (SetCapturedRequests(request))
        {
            return;
        }
        ::HeapFree(::GetProcessHeap(), 0, request);
    }
    ::OutputDebugStringA("Failed to create crash dump");
}

void WriteCapturedCrashDumps()
{
    const Win32::CLastErrorKeeper keeper;
    // Every translator scope's end comes here: nothing captured is the usual case.
    CRequest *newest = CapturedRequests();
    if (newest == nullptr || Policy().suppressed != 0 || !SetCapturedRequests(nullptr))
    {
        return;
    }
    CRequest *oldest = nullptr;
    while (newest != nullptr)
    {
        CRequest *next = newest->next;
        newest->next = oldest;
        oldest = newest;
        newest = next;
    }
    while (oldest != nullptr)
    {
        CRequest *next = oldest->next;
        WriteRequest(oldest);
        oldest = next;
    }
}

void RequestCrashDump(bool counted)
{
    RequestCrashDump(nullptr, counted);
}

bool CreateCrashDump(EXCEPTION_POINTERS *pointers)
{
    CDumpPolicy &policy = Policy();
    {
        ISingleWriterMultipleReaderLock::PotentialReader reader(CreatorLock());
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
    const std::wstring folder = ConfiguredFolder();
    const std::wstring refused = PrepareCrashDumpFolder(folder);
    {
        ICriticalSection::Owner owner(policy.folderLock);
        policy.acceptedFolder = refused.empty() ? folder : std::wstring();
    }
    if (!refused.empty())
    {
        Trace(L"Did not create crash dump: the dump folder is not safe to write: " + refused);
        return false;
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
        ISingleWriterMultipleReaderLock::PotentialReader writer(CreatorLock());
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
        ISingleWriterMultipleReaderLock::PotentialReader reader(CreatorLock());
        reader.EnterToRead();
        prefix = policy.creator != nullptr ? policy.creator->GetDumpFileNamePrefix() : GetDefaultDumpFileNamePrefix();
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

std::wstring GetCrashDumpFolder()
{
    return ConfiguredFolder();
}

void SetCrashDumpFolder(const std::wstring &folder)
{
    CDumpPolicy &policy = Policy();
    ICriticalSection::Owner owner(policy.folderLock);
    policy.folder = TrimRight(folder, L'\\');
}

// The shell library is loaded only when a dump asks for the folder: imported, it would be loaded
// into every monitoring process that loads the module, on every query.
std::wstring GetDefaultCrashDumpFolder()
{
    using GetFolderPath = HRESULT(WINAPI *)(HWND, int, HANDLE, DWORD, LPWSTR);
    const CLibraryLoader shell = CLibraryLoader::LoadSystemLibrary(L"shell32.dll", false);
    const GetFolderPath getFolderPath = shell.IsLoaded() ? reinterpret_cast<GetFolderPath>(reinterpret_cast<void *>(
                                                               shell.TryGetProcAddress(L"SHGetFolderPathW")))
                                                         : nullptr;
    wchar_t common[MAX_PATH] = {};
    if (getFolderPath == nullptr ||
        FAILED(getFolderPath(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common)))
    {
        throw CException(L"GetDefaultCrashDumpFolder()", L"The common application data folder is unknown");
    }
    return std::wstring(common) + L"\\TARN\\Crash Dumps";
}

std::wstring GetDefaultDumpFileNamePrefix()
{
    return GetCrashDumpFolder() + L"\\" + GetFileNameFromPath(Halyard::Win32::GetModuleFileName(nullptr));
}

CCrashDumpSuppression::CCrashDumpSuppression()
{
    ::InterlockedIncrement(&Policy().suppressed);
}

CCrashDumpSuppression::~CCrashDumpSuppression()
{
    ::InterlockedDecrement(&Policy().suppressed);
}

DWORD GetDumpedThreadId()
{
    const CRequest *request = ServedRequest();
    return request != nullptr ? request->threadId : ::GetCurrentThreadId();
}

} // namespace Win32
} // namespace Halyard
