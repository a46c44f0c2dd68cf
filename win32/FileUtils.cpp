#include "win32/FileUtils.h"

#include "win32/Exception.h"
#include "win32/SmartHandle.h"
#include "win32/StringConverter.h"
#include "win32/ToString.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <cctype>

namespace Halyard {
namespace Win32 {

namespace {

const DWORD kPathBufferSize = MAX_PATH;
const wchar_t kUnavailable[] = L"UNAVAILABLE";
const wchar_t kNotAvailable[] = L"Functionality not available on this platform";

template <typename Function>
Function LookUpKernel32(const char *name)
{
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32");
    if (!kernel32)
    {
        return nullptr;
    }
    return reinterpret_cast<Function>(reinterpret_cast<void *>(::GetProcAddress(kernel32, name)));
}

typedef BOOL(WINAPI *IsWow64ProcessFunction)(HANDLE, PBOOL);
typedef UINT(WINAPI *GetSystemWow64DirectoryFunction)(LPWSTR, UINT);
typedef BOOL(WINAPI *Wow64DisableFunction)(PVOID *);
typedef BOOL(WINAPI *Wow64RevertFunction)(PVOID);

// Each caller keeps its own lookup: looked up once, on first use.
bool AskIsWow64Process(const wchar_t *where)
{
    static const IsWow64ProcessFunction isWow64Process = LookUpKernel32<IsWow64ProcessFunction>("IsWow64Process");
    if (!isWow64Process)
    {
        return false;
    }
    BOOL wow64 = FALSE;
    if (!isWow64Process(::GetCurrentProcess(), &wow64))
    {
        throw CWin32Exception(where, ::GetLastError());
    }
    return wow64 != FALSE;
}

std::wstring CheckDirectoryResult(const wchar_t *where, UINT result, const wchar_t *buffer)
{
    if (result == 0)
    {
        throw CWin32Exception(where, ::GetLastError());
    }
    if (result > kPathBufferSize)
    {
        throw CException(where, L"System directory is more than: " + ToString(kPathBufferSize) + L" bytes long...");
    }
    return std::wstring(buffer, result);
}

} // namespace

CSmartHandle OpenForReading(const std::wstring &path)
{
    return CSmartHandle(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::wstring Quoted(const std::wstring &path)
{
    return L"\"" + path + L"\"";
}

bool FileExists(const std::wstring &path)
{
    return OpenForReading(path).IsValid();
}

bool Is64bitSystem()
{
#ifdef _WIN64
    // A 64-bit process only runs on a 64-bit system; WOW64 would say no here.
    return true;
#else
    return AskIsWow64Process(L"Is64bitSystem()");
#endif
}

bool IsWow64Process()
{
    return AskIsWow64Process(L"IsWow64Process()");
}

bool IsOnNetworkShare(const std::wstring &path)
{
    std::wstring rest = path;
    for (const wchar_t *prefix : {L"\\\\?\\", L"\\\\.\\"})
    {
        if (rest.compare(0, 4, prefix) == 0)
        {
            rest = rest.substr(4);
            if (::_wcsnicmp(rest.c_str(), L"UNC\\", 4) == 0)
            {
                return true;
            }
        }
    }
    if (rest.compare(0, 2, L"\\\\") == 0)
    {
        return true;
    }
    if (rest.size() < 2 || rest[1] != L':')
    {
        return false;
    }
    const std::wstring root = rest.substr(0, 2) + L"\\";
    return ::GetDriveTypeW(root.c_str()) == DRIVE_REMOTE;
}

std::wstring GetSystemDirectory()
{
    wchar_t buffer[kPathBufferSize + 1] = {};
    const UINT result = ::GetSystemDirectoryW(buffer, kPathBufferSize);
    return CheckDirectoryResult(L"GetSystemDirectory()", result, buffer);
}

std::wstring GetSystemWindowsDirectory()
{
    wchar_t buffer[kPathBufferSize + 1] = {};
    const UINT result = ::GetSystemWindowsDirectoryW(buffer, kPathBufferSize);
    return CheckDirectoryResult(L"GetSystemWindowsDirectory()", result, buffer);
}

std::wstring GetSystemWow64Directory()
{
    static const GetSystemWow64DirectoryFunction getDirectory =
        LookUpKernel32<GetSystemWow64DirectoryFunction>("GetSystemWow64DirectoryW");
    if (!getDirectory)
    {
        throw CException(L"GetSystemWow64Directory()", kNotAvailable);
    }
    wchar_t buffer[kPathBufferSize + 1] = {};
    const UINT result = getDirectory(buffer, kPathBufferSize);
    return CheckDirectoryResult(L"GetSystemWow64Directory()", result, buffer);
}

std::wstring GetFileNameFromPath(const std::wstring &path)
{
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(slash + 1);
}

std::wstring GetDirectoryFromPath(const std::wstring &path)
{
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

namespace {

Wow64RevertFunction RevertFunction()
{
    static const Wow64RevertFunction revert = LookUpKernel32<Wow64RevertFunction>("Wow64RevertWow64FsRedirection");
    return revert;
}

} // namespace

CWOW64FileSystemRedirector::CWOW64FileSystemRedirector()
    : m_state(nullptr)
{
}

CWOW64FileSystemRedirector::~CWOW64FileSystemRedirector()
{
    const Wow64RevertFunction revert = RevertFunction();
    if (revert)
    {
        const CLastErrorKeeper keeper;
        revert(m_state);
    }
}

void CWOW64FileSystemRedirector::Disable()
{
    static const Wow64DisableFunction disable =
        LookUpKernel32<Wow64DisableFunction>("Wow64DisableWow64FsRedirection");
    if (!disable)
    {
        throw CException(L"CWOW64FileSystemRedirector::Disable()", kNotAvailable);
    }
    if (!disable(&m_state))
    {
        throw CWin32Exception(L"CWOW64FileSystemRedirector::Disable()", ::GetLastError());
    }
}

void CWOW64FileSystemRedirector::Revert()
{
    const Wow64RevertFunction revert = RevertFunction();
    if (!revert)
    {
        throw CException(L"CWOW64FileSystemRedirector::Revert()", kNotAvailable);
    }
    if (!revert(m_state))
    {
        throw CWin32Exception(L"CWOW64FileSystemRedirector::Revert()", ::GetLastError());
    }
}

void CreateDirectory(const std::wstring &path)
{
    if (!::CreateDirectoryW(path.c_str(), nullptr))
    {
        throw CWin32Exception(L"CreateDirectory()", ::GetLastError());
    }
}

void CreateDirectoryIfRequired(const std::wstring &path)
{
    if (!::CreateDirectoryW(path.c_str(), nullptr))
    {
        const DWORD error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS)
        {
            throw CWin32Exception(L"CreateDirectoryIfRequired()", error);
        }
    }
}

void CreateDirectoriesIfRequired(const std::wstring &path)
{
    if (::CreateDirectoryW(path.c_str(), nullptr))
    {
        return;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_ALREADY_EXISTS)
    {
        return;
    }
    const size_t slash = path.rfind(L'\\');
    if (error != ERROR_PATH_NOT_FOUND || slash == std::wstring::npos || slash == 0)
    {
        throw CWin32Exception(L"CreateDirectoriesIfRequired()", error);
    }
    CreateDirectoriesIfRequired(path.substr(0, slash));
    CreateDirectoryIfRequired(path);
}

void SetCurrentDirectory(const std::wstring &path)
{
    if (!::SetCurrentDirectoryW(path.c_str()))
    {
        throw CWin32Exception(L"SetCurrentDirectory()", ::GetLastError());
    }
}

std::wstring GetCurrentDirectory()
{
    const DWORD needed = ::GetCurrentDirectoryW(0, nullptr);
    if (needed == 0)
    {
        throw CWin32Exception(L"GetCurrentDirectory()", ::GetLastError());
    }
    std::wstring directory(needed, L'\0');
    const DWORD length = ::GetCurrentDirectoryW(needed, &directory[0]);
    if (length == 0 || length >= needed)
    {
        throw CException(L"GetCurrentDirectory()", L"Failed to get current directory");
    }
    directory.resize(length);
    return directory;
}

void CopyFile(const std::wstring &from, const std::wstring &to, bool failIfExists)
{
    if (!::CopyFileW(from.c_str(), to.c_str(), failIfExists ? TRUE : FALSE))
    {
        throw CWin32Exception(L"CopyFile", ::GetLastError());
    }
}

void DeleteFile(const std::wstring &path)
{
    if (!::DeleteFileW(path.c_str()))
    {
        throw CWin32Exception(L"DeleteFile() - " + Quoted(path), ::GetLastError());
    }
}

std::wstring GetTempPath()
{
    const DWORD allocated = ::GetTempPathW(0, nullptr);
    if (allocated == 0)
    {
        throw CWin32Exception(L"GetTempPath()", ::GetLastError());
    }
    std::wstring path(allocated, L'\0');
    const DWORD needed = ::GetTempPathW(allocated, &path[0]);
    if (needed == 0)
    {
        throw CWin32Exception(L"GetTempPath()", ::GetLastError());
    }
    if (needed > allocated)
    {
        throw CException(L"GetTempPath()", L"Failed to get temp path, second call needed more space " +
                                               ToString(needed) + L" than first call allocated " +
                                               ToString(allocated));
    }
    path.resize(needed);
    return path;
}

std::wstring GetTempFileName(const std::wstring &directory, const std::wstring &prefix, UINT unique)
{
    wchar_t buffer[kPathBufferSize] = {};
    if (::GetTempFileNameW(directory.c_str(), prefix.c_str(), unique, buffer) == 0)
    {
        throw CWin32Exception(L"GetTempFileName()", ::GetLastError());
    }
    return buffer;
}

std::wstring GetTempFileName(const std::wstring &prefix, UINT unique)
{
    return GetTempFileName(GetTempPath(), prefix, unique);
}

std::wstring GetDateStamp()
{
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t buffer[16];
    std::swprintf(buffer, 16, L"%02d%02d%02d", now.wDay, now.wMonth, now.wYear % 100);
    return buffer;
}

std::string GetTimeStampA()
{
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "%02d:%02d:%02d.%04d", now.wHour, now.wMinute, now.wSecond,
                  now.wMilliseconds);
    return buffer;
}

std::wstring GetTimeStamp()
{
    const std::string stamp = GetTimeStampA();
    return std::wstring(stamp.begin(), stamp.end());
}

std::wstring GetComputerName()
{
    static const std::wstring name = [] {
        wchar_t buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
        return ::GetComputerNameW(buffer, &size) ? std::wstring(buffer, size) : std::wstring(kUnavailable);
    }();
    return name;
}

std::wstring GetModuleFileName(HMODULE module)
{
    wchar_t buffer[kPathBufferSize] = {};
    const DWORD length = ::GetModuleFileNameW(module, buffer, kPathBufferSize);
    // A full buffer means the name was cut short.
    if (length == 0 || length >= kPathBufferSize)
    {
        return kUnavailable;
    }
    return std::wstring(buffer, length);
}

std::wstring GetModuleFileName(HANDLE process, HMODULE module)
{
    wchar_t buffer[kPathBufferSize] = {};
    const DWORD length = ::GetModuleFileNameExW(process, module, buffer, kPathBufferSize);
    if (length == 0 || length >= kPathBufferSize)
    {
        return kUnavailable;
    }
    return std::wstring(buffer, length);
}

std::wstring GetModuleDirectory(HMODULE module)
{
    const std::wstring name = GetModuleFileName(module);
    const size_t end = name.find_last_of(L"\\/:");
    return end == std::wstring::npos ? name : name.substr(0, end);
}

std::wstring GetUserName()
{
    wchar_t buffer[256] = {};
    DWORD size = 256;
    if (!::GetUserNameW(buffer, &size))
    {
        return kUnavailable;
    }
    return buffer;
}


} // namespace Win32
} // namespace Halyard
