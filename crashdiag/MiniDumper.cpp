#include "crashdiag/MiniDumper.h"

#include "crashdiag/SymbolSession.h"
#include "win32/Exception.h"
#include "win32/FileUtils.h"
#include "win32/LocalMemory.h"
#include "win32/SmartHandle.h"
#include "win32/SystemTime.h"
#include "win32/ToString.h"

#include <sddl.h>

#include <algorithm>
#include <cstdlib>
#include <cwctype>

namespace Halyard {
namespace Win32 {

namespace {

using MiniDumpWriteDumpFunction = BOOL(WINAPI *)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                                 PMINIDUMP_EXCEPTION_INFORMATION,
                                                 PMINIDUMP_USER_STREAM_INFORMATION,
                                                 PMINIDUMP_CALLBACK_INFORMATION);

const wchar_t kMiniDumpWriteDump[] = L"MiniDumpWriteDump";

// The platform's MINIDUMP_TYPE bits that older DbgHelp versions do not know.
const DWORD kWithDataSegs = 0x1;
const DWORD kWithHandleData = 0x4;
const DWORD kScanMemory = 0x10;
const DWORD kWithUnloadedModules = 0x20;
const DWORD kWithIndirectlyReferencedMemory = 0x40;
const DWORD kFilterModulePaths = 0x80;
const DWORD kWithProcessThreadData = 0x100;
const DWORD kWithPrivateReadWriteMemory = 0x200;
const DWORD kWithoutOptionalData = 0x400;
const DWORD kWithFullMemoryInfo = 0x800;
const DWORD kWithThreadInfo = 0x1000;
const DWORD kWithCodeSegs = 0x2000;
const DWORD kWithoutAuxiliaryState = 0x4000;
const DWORD kWithFullAuxiliaryState = 0x8000;
const DWORD kWithPrivateWriteCopyMemory = 0x10000;
const DWORD kIgnoreInaccessibleMemory = 0x20000;
const DWORD kWithTokenInformation = 0x40000;
const DWORD kWithFullMemory = 0x2;

struct CLevelExport
{
    const wchar_t *name;
    int level;
};

// Newest first: the first export found tells the library's age.
const CLevelExport kLevelExports[] = {
    {L"EnumerateLoadedModulesEx", 68}, {L"SymFindDebugInfoFile", 66}, {L"SymRefreshModuleList", 65},
    {L"SymEnumSourceLines", 64},       {L"SymEnumProcesses", 63},     {L"SymEnumSourceFiles", 62},
    {L"SymEnumLines", 61},             {L"EnumDirTree", 52},          {L"MiniDumpReadDumpStream", 40},
};

volatile LONG g_sequenceNumber = 0;

struct CFilterContext
{
    CMiniDumper *dumper;
    int kind;
};

} // namespace

CMiniDumper::CMiniDumper(DWORD dumpMode, DWORD nameParts)
    : m_dbgHelp(LoadDbgHelp()),
      m_canWrite(m_dbgHelp.HasProcAddress(kMiniDumpWriteDump)),
      m_dbgHelpLevel(ProbeDbgHelpLevel([this](const wchar_t *name) { return m_dbgHelp.HasProcAddress(name); })),
      m_dumpMode(dumpMode),
      m_nameParts(nameParts)
{
    m_prefix = GetDefaultDumpFileNamePrefix();
    AddRequiredModule(Halyard::Win32::GetModuleFileName(nullptr));
}

CMiniDumper::~CMiniDumper() = default;

std::wstring CMiniDumper::GetDumpFileNamePrefix()
{
    return m_prefix;
}

std::wstring CMiniDumper::GetNextDumpFileName()
{
    std::wstring name = m_prefix;
    if (m_nameParts & DateAndTime)
    {
        CSystemTime now;
        now.SetToLocalTime();
        name += L"-" + now.GetAsYYYYMMDD() + L"-" + now.GetAsHHMMSSmmm();
    }
    if (m_nameParts & ProcessId)
    {
        name += L"-" + ToString(static_cast<unsigned long>(::GetCurrentProcessId()));
    }
    if (m_nameParts & ThreadId)
    {
        name += L"-" + ToString(static_cast<unsigned long>(GetDumpedThreadId()));
    }
    if (m_nameParts & SequenceNumber)
    {
        name += L"-" + ToString(::InterlockedIncrement(&g_sequenceNumber));
    }
    return name + L".dmp";
}

bool CMiniDumper::CreateDump(const std::wstring &fileName, EXCEPTION_POINTERS *pointers)
{
    return CreateDump(static_cast<int>(m_dumpMode) + 1, fileName, pointers);
}

bool CMiniDumper::CreateDump(EXCEPTION_POINTERS *pointers)
{
    return CreateDump(GetNextDumpFileName(), pointers);
}

bool CMiniDumper::CreateDump(int kind, const std::wstring &fileName, EXCEPTION_POINTERS *pointers)
{
    if (!m_canWrite)
    {
        return false;
    }
    const auto writeDump = reinterpret_cast<MiniDumpWriteDumpFunction>(
        reinterpret_cast<void (*)()>(m_dbgHelp.TryGetProcAddress(kMiniDumpWriteDump)));
    // Readable by SYSTEM and administrators only, whatever the folder passes on. Created new: a file
    // already there under a name unique to this process was planted, and is neither followed nor
    // overwritten.
    TLocalMemory<void> descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1,
                                                                descriptor.Receive(), nullptr))
    {
        ::OutputDebugStringW(GetLastErrorMessage(::GetLastError()).c_str());
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.Get(), FALSE};
    CSmartHandle file(::CreateFileW(fileName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.IsValid())
    {
        ::OutputDebugStringW(GetLastErrorMessage(::GetLastError()).c_str());
        return false;
    }
    MINIDUMP_EXCEPTION_INFORMATION exception = {};
    exception.ThreadId = GetDumpedThreadId();
    exception.ExceptionPointers = pointers;
    exception.ClientPointers = FALSE;
    CFilterContext filter = {this, kind};
    MINIDUMP_CALLBACK_INFORMATION callback = {&CMiniDumper::FilterCallback, &filter};
    const DWORD type = GetDumpType(kind, m_dbgHelpLevel, ::IsDebuggerPresent() != FALSE);
    BOOL written = FALSE;
    DWORD error = ERROR_SUCCESS;
    {
        ICriticalSection::Owner owner(DbgHelpLock());
        const CSymbolSession session(m_dbgHelp, false);
        written = writeDump(session.GetProcess(), ::GetCurrentProcessId(), file.GetHandle(),
                            static_cast<MINIDUMP_TYPE>(type), pointers != nullptr ? &exception : nullptr, nullptr,
                            kind == DataAndThreads ? &callback : nullptr);
        error = ::GetLastError();
    }
    if (!written)
    {
        ::OutputDebugStringW(GetLastErrorMessage(error).c_str());
        file.Close();
        ::DeleteFileW(fileName.c_str());
        return false;
    }
    return true;
}

bool CMiniDumper::IncludeModuleData(int kind, const std::wstring &modulePath)
{
    return kind != DataAndThreads || m_requiredModules.count(RequiredModuleKey(modulePath)) != 0;
}

void CMiniDumper::AddRequiredModule(const std::wstring &path)
{
    m_requiredModules.insert(RequiredModuleKey(path));
}

bool CMiniDumper::ReadDumpFileName(const std::wstring &prefix, const std::wstring &path, DWORD &processId,
                                   LONG &sequence)
{
    const std::wstring extension = L".dmp";
    if (path.size() <= prefix.size() + extension.size() ||
        ::CompareStringOrdinal(path.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                               static_cast<int>(prefix.size()), TRUE) != CSTR_EQUAL ||
        path.compare(path.size() - extension.size(), extension.size(), extension) != 0)
    {
        return false;
    }
    // Date, time, process, thread and sequence number, each after a "-". The time has milliseconds,
    // except in the names of earlier builds.
    const size_t kLengths[] = {8, 9, 0, 0, 0};
    std::wstring fields[5];
    size_t at = prefix.size();
    const size_t end = path.size() - extension.size();
    for (size_t i = 0; i < 5; ++i)
    {
        if (at >= end || path[at] != L'-')
        {
            return false;
        }
        const size_t next = std::min(path.find(L'-', at + 1), end);
        fields[i] = path.substr(at + 1, next - at - 1);
        const bool timeOfEarlierBuild = i == 1 && fields[i].size() == 6;
        if (fields[i].empty() || fields[i].size() > 10 ||
            (kLengths[i] != 0 && fields[i].size() != kLengths[i] && !timeOfEarlierBuild) ||
            fields[i].find_first_not_of(L"0123456789") != std::wstring::npos)
        {
            return false;
        }
        at = next;
    }
    if (at != end)
    {
        return false;
    }
    processId = std::wcstoul(fields[2].c_str(), nullptr, 10);
    sequence = static_cast<LONG>(std::wcstoul(fields[4].c_str(), nullptr, 10));
    return true;
}

void CMiniDumper::ContinueSequenceAfter(LONG sequence)
{
    for (LONG current = g_sequenceNumber; current < sequence;)
    {
        const LONG seen = ::InterlockedCompareExchange(&g_sequenceNumber, sequence, current);
        current = seen == current ? sequence : seen;
    }
}

bool CMiniDumper::CanWrite() const
{
    return m_canWrite;
}

int CMiniDumper::GetDbgHelpLevel() const
{
    return m_dbgHelpLevel;
}

int CMiniDumper::ProbeDbgHelpLevel(const std::function<bool(const wchar_t *)> &hasExport)
{
    for (const CLevelExport &entry : kLevelExports)
    {
        if (hasExport(entry.name))
        {
            return entry.level;
        }
    }
    return 0;
}

DWORD CMiniDumper::GetDumpType(int kind, int dbgHelpLevel, bool debuggerPresent)
{
    DWORD type = 0;
    switch (kind)
    {
    case ReferencedMemory:
        type = kScanMemory | kWithIndirectlyReferencedMemory | kIgnoreInaccessibleMemory;
        break;
    case DataAndThreads:
        type = kWithDataSegs | kWithHandleData | kWithUnloadedModules | kWithPrivateReadWriteMemory |
               kWithFullMemoryInfo | kWithThreadInfo | kIgnoreInaccessibleMemory;
        break;
    case FullMemory:
        type = kWithFullMemory | kWithHandleData | kWithUnloadedModules | kWithFullMemoryInfo | kWithThreadInfo |
               kIgnoreInaccessibleMemory;
        break;
    default:
        throw CException(L"CMiniDumper::GetDumpType()", L"Unknown dump kind: " + ToString(kind));
    }
    if (dbgHelpLevel < 52)
    {
        type &= ~(kWithUnloadedModules | kWithIndirectlyReferencedMemory | kFilterModulePaths |
                  kWithProcessThreadData | kWithPrivateReadWriteMemory);
    }
    if (dbgHelpLevel < 61)
    {
        type &= ~(kWithoutOptionalData | kWithFullMemoryInfo | kWithCodeSegs | kWithPrivateWriteCopyMemory |
                  kWithTokenInformation);
    }
    if (dbgHelpLevel < 63)
    {
        type &= ~(kIgnoreInaccessibleMemory | kWithFullMemoryInfo | kWithThreadInfo);
    }
    if (debuggerPresent)
    {
        type &= ~kWithPrivateReadWriteMemory;
    }
    return type;
}

BOOL CALLBACK CMiniDumper::FilterCallback(void *parameter, const PMINIDUMP_CALLBACK_INPUT input,
                                          PMINIDUMP_CALLBACK_OUTPUT output)
{
    if (input == nullptr || output == nullptr)
    {
        return FALSE;
    }
    if (input->CallbackType == ModuleCallback)
    {
        const CFilterContext &filter = *static_cast<const CFilterContext *>(parameter);
        try
        {
            if (input->Module.FullPath != nullptr &&
                !filter.dumper->IncludeModuleData(filter.kind, input->Module.FullPath))
            {
                output->ModuleWriteFlags &= ~ModuleWriteDataSeg;
            }
        }
        catch (...)
        {
            // The module is dumped as DbgHelp proposes.
        }
    }
    return TRUE;
}

std::wstring CMiniDumper::RequiredModuleKey(const std::wstring &path)
{
    wchar_t drive[_MAX_DRIVE];
    wchar_t directory[_MAX_DIR];
    wchar_t name[_MAX_FNAME];
    wchar_t extension[_MAX_EXT];
    const errno_t error =
        ::_wsplitpath_s(path.c_str(), drive, _MAX_DRIVE, directory, _MAX_DIR, name, _MAX_FNAME, extension, _MAX_EXT);
    if (error != 0)
    {
        throw CException(L"CMiniDumper::AddRequiredModule()", L"Path split failed: " + ToString(error));
    }
    // Module paths differ in case from one report to the next; the file system does not care.
    std::wstring key = std::wstring(drive) + directory + name + extension;
    for (wchar_t &character : key)
    {
        character = static_cast<wchar_t>(std::towlower(character));
    }
    return key;
}

} // namespace Win32
} // namespace Halyard
