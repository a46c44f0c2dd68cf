#include "win32/FileUtils.h"

#include "win32/Exception.h"
#include "win32/StringConverter.h"
#include "win32/ToString.h"

#include <aclapi.h>
#include <psapi.h>

#include <algorithm>
#include <memory>
#include <cstdio>
#include <cwctype>
#include <cctype>

namespace Halyard {
namespace Win32 {

namespace {

const DWORD kPathBufferSize = MAX_PATH;
const wchar_t kUnavailable[] = L"UNAVAILABLE";
const wchar_t kNotAvailable[] = L"Functionality not available on this platform";

// Owns a file, mapping or view for the length of one function; closing keeps the thread's last
// error, which the exception on the way out may still have to read.
class CScopedFile
{
public:
    explicit CScopedFile(HANDLE handle)
        : m_handle(handle)
    {
    }

    ~CScopedFile()
    {
        if (IsValid())
        {
            const DWORD lastError = ::GetLastError();
            ::CloseHandle(m_handle);
            ::SetLastError(lastError);
        }
    }

    CScopedFile(const CScopedFile &) = delete;
    CScopedFile &operator=(const CScopedFile &) = delete;

    bool IsValid() const
    {
        return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE;
    }

    HANDLE Get() const
    {
        return m_handle;
    }

private:
    HANDLE m_handle;
};

class CScopedView
{
public:
    explicit CScopedView(void *view)
        : m_view(view)
    {
    }

    ~CScopedView()
    {
        if (m_view)
        {
            const DWORD lastError = ::GetLastError();
            ::UnmapViewOfFile(m_view);
            ::SetLastError(lastError);
        }
    }

    CScopedView(const CScopedView &) = delete;
    CScopedView &operator=(const CScopedView &) = delete;

    void *Get() const
    {
        return m_view;
    }

private:
    void *m_view;
};

std::wstring Quoted(const std::wstring &path)
{
    return L"\"" + path + L"\"";
}

HANDLE OpenForReading(const std::wstring &path)
{
    return ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
}

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

// Reads up to size bytes, repeating short reads; stops at the end of the file or a failed read.
DWORD ReadAll(HANDLE file, BYTE *buffer, DWORD size)
{
    DWORD total = 0;
    while (total < size)
    {
        DWORD read = 0;
        if (!::ReadFile(file, buffer + total, size - total, &read, nullptr) || read == 0)
        {
            break;
        }
        total += read;
    }
    return total;
}

// The file's size, refusing what a DWORD count cannot read.
DWORD GetReadableSize(HANDLE file, const std::wstring &where, const std::wstring &errorWhere, const std::wstring &path)
{
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(file, &information))
    {
        throw CWin32Exception(errorWhere, ::GetLastError());
    }
    if (information.nFileSizeHigh != 0 || information.nFileSizeLow == 0xFFFFFFFF)
    {
        throw CException(where, L"File " + Quoted(path) + L" too big");
    }
    return information.nFileSizeLow;
}

void WriteAll(HANDLE file, const void *data, size_t size, const std::wstring &where, const std::wstring &message)
{
    const BYTE *bytes = static_cast<const BYTE *>(data);
    while (size > 0)
    {
        const DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(file, bytes, chunk, &written, nullptr))
        {
            throw CWin32Exception(where, message, ::GetLastError());
        }
        if (written == 0)
        {
            throw CException(where, message);
        }
        bytes += written;
        size -= written;
    }
}

void SaveBytesAsFile(const std::wstring &path, const void *data, size_t size, const wchar_t *function)
{
    const CScopedFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
    {
        throw CWin32Exception(std::wstring(function) + L" " + Quoted(path), ::GetLastError());
    }
    WriteAll(file.Get(), data, size, function, Quoted(path) + L" - Failed to write all data");
}

bool IsWhitespace(wchar_t c)
{
    return std::iswspace(static_cast<wint_t>(c)) != 0;
}

bool IsWhitespace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

template <typename String>
String TrimWhitespaceOf(const String &text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsWhitespace(text[begin]))
    {
        ++begin;
    }
    while (end > begin && IsWhitespace(text[end - 1]))
    {
        --end;
    }
    return text.substr(begin, end - begin);
}

template <typename String>
String RemoveWhitespaceOf(String text)
{
    text.erase(std::remove_if(text.begin(), text.end(), [](typename String::value_type c) { return IsWhitespace(c); }),
               text.end());
    return text;
}

template <typename String>
String TrimLeftOf(const String &text, typename String::value_type character)
{
    const size_t begin = text.find_first_not_of(character);
    return begin == String::npos ? String() : text.substr(begin);
}

template <typename String>
String TrimRightOf(const String &text, typename String::value_type character)
{
    const size_t end = text.find_last_not_of(character);
    return end == String::npos ? String() : text.substr(0, end + 1);
}

// Compares over the text's own length, so any leading part of the word matches.
bool IsLeadingPartOf(const std::wstring &text, const wchar_t *word)
{
    return text.length() <= std::wcslen(word) && ::_wcsnicmp(text.c_str(), word, text.length()) == 0;
}

} // namespace

bool FileExists(const std::wstring &path)
{
    const CScopedFile file(OpenForReading(path));
    return file.IsValid();
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

bool IsWritableByOrdinaryUsers(const std::wstring &path)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                                 nullptr, &dacl, nullptr, &descriptor);
    if (result != ERROR_SUCCESS)
    {
        throw CWin32Exception(L"IsWritableByOrdinaryUsers() - GetNamedSecurityInfo \"" + path + L"\"", result);
    }
    const std::unique_ptr<void, decltype(&::LocalFree)> owned(descriptor, ::LocalFree);
    if (dacl == nullptr)
    {
        return true;
    }
    const ACCESS_MASK changes = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    const WELL_KNOWN_SID_TYPE ordinary[] = {WinWorldSid,        WinAuthenticatedUserSid, WinBuiltinUsersSid,
                                            WinBuiltinGuestsSid, WinInteractiveSid,       WinAnonymousSid};
    for (DWORD i = 0; i < dacl->AceCount; ++i)
    {
        void *entry = nullptr;
        if (!::GetAce(dacl, i, &entry))
        {
            continue;
        }
        const ACE_HEADER *header = static_cast<const ACE_HEADER *>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0)
        {
            continue;
        }
        const ACCESS_ALLOWED_ACE *allowed = static_cast<const ACCESS_ALLOWED_ACE *>(entry);
        if ((allowed->Mask & changes) == 0)
        {
            continue;
        }
        PSID sid = const_cast<DWORD *>(&allowed->SidStart);
        for (const WELL_KNOWN_SID_TYPE type : ordinary)
        {
            BYTE wellKnown[SECURITY_MAX_SID_SIZE];
            DWORD size = sizeof(wellKnown);
            if (::CreateWellKnownSid(type, nullptr, wellKnown, &size) && ::EqualSid(sid, wellKnown))
            {
                return true;
            }
        }
    }
    return false;
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
        const DWORD lastError = ::GetLastError();
        revert(m_state);
        ::SetLastError(lastError);
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

std::wstring LoadFileAsUnicodeString(const std::wstring &path, bool *wasUnicode)
{
    const std::wstring where = L"LoadFileAsUnicodeString()";
    const CScopedFile file(OpenForReading(path));
    if (!file.IsValid())
    {
        throw CWin32Exception(where + L" " + Quoted(path), ::GetLastError());
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(file.Get(), &information))
    {
        throw CWin32Exception(L"LoadFileAsUnicodeString() - GetFileInformationByHandle " + Quoted(path),
                              ::GetLastError());
    }

    BYTE mark[3] = {};
    ::SetLastError(ERROR_SUCCESS);
    if (ReadAll(file.Get(), mark, 2) != 2)
    {
        // A file that simply ends early leaves no error of its own to report.
        const DWORD error = ::GetLastError();
        throw CWin32Exception(L"LoadFileAsUnicodeString() - Initial 2 byte read failed " + Quoted(path),
                              error ? error : static_cast<DWORD>(ERROR_HANDLE_EOF));
    }

    enum { Ansi, Utf16, Utf8 } encoding = Ansi;
    DWORD skipped = 0;
    if (mark[0] == 0xFF && mark[1] == 0xFE)
    {
        encoding = Utf16;
        skipped = 2;
    }
    else if (mark[0] == 0xFE && mark[1] == 0xFF)
    {
        throw CWin32Exception(L"LoadFileAsUnicodeString() - We don't handle UCS-2 big-endian yet. " + Quoted(path),
                              ::GetLastError());
    }
    else if (mark[0] == 0xEF && mark[1] == 0xBB)
    {
        ::SetLastError(ERROR_SUCCESS);
        if (ReadAll(file.Get(), mark + 2, 1) != 1)
        {
            const DWORD error = ::GetLastError();
            throw CWin32Exception(L"LoadFileAsUnicodeString() - Failed to read 3rd byte in UTF-8 BOM. " + Quoted(path),
                                  error ? error : static_cast<DWORD>(ERROR_HANDLE_EOF));
        }
        if (mark[2] != 0xBF)
        {
            throw CException(where, L"Unexpected 3rd byte in UTF-8 BOM. " + Quoted(path));
        }
        encoding = Utf8;
        skipped = 3;
    }
    else if (::SetFilePointer(file.Get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
    {
        throw CWin32Exception(L"LoadFileAsUnicodeString() - Failed to seek to start of file. " + Quoted(path),
                              ::GetLastError());
    }

    if (information.nFileSizeHigh != 0 || information.nFileSizeLow == 0xFFFFFFFF)
    {
        throw CException(where, L"File " + Quoted(path) + L" too big");
    }
    const DWORD remaining = information.nFileSizeLow - skipped;
    std::string bytes(remaining, '\0');
    bytes.resize(ReadAll(file.Get(), reinterpret_cast<BYTE *>(&bytes[0]), remaining));

    if (wasUnicode)
    {
        *wasUnicode = encoding != Ansi;
    }
    switch (encoding)
    {
    case Utf16:
        return std::wstring(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / sizeof(wchar_t));
    case Utf8:
        return CStringConverter::UTF8toW(reinterpret_cast<const BYTE *>(bytes.data()), bytes.size());
    default:
        return CStringConverter::AtoW(bytes.data(), bytes.size());
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

bool StringToBool(const std::wstring &text)
{
    if (text == L"1")
    {
        return true;
    }
    if (text == L"0")
    {
        return false;
    }
    if (IsLeadingPartOf(text, L"TRUE"))
    {
        return true;
    }
    if (IsLeadingPartOf(text, L"FALSE"))
    {
        return false;
    }
    throw CException(L"StringToBool()", L"Can't convert: " + Quoted(text) + L" to a bool value");
}

long GetLongFromString(const std::wstring &text, size_t offset, size_t length)
{
    if (offset > text.size() || length > text.size() - offset)
    {
        throw CException(L"GetLongFromString()", L"Invalid offset (" + ToString(offset) + L") or length (" +
                                                     ToString(length) + L") string is only " +
                                                     ToString(text.size()) + L" long");
    }
    return std::wcstol(text.substr(offset, length).c_str(), nullptr, 10);
}

std::wstring TrimWhitespace(const std::wstring &text)
{
    return TrimWhitespaceOf(text);
}

std::string TrimWhitespace(const std::string &text)
{
    return TrimWhitespaceOf(text);
}

std::wstring TrimLeft(const std::wstring &text, wchar_t character)
{
    return TrimLeftOf(text, character);
}

std::string TrimLeft(const std::string &text, char character)
{
    return TrimLeftOf(text, character);
}

std::wstring TrimRight(const std::wstring &text, wchar_t character)
{
    return TrimRightOf(text, character);
}

std::string TrimRight(const std::string &text, char character)
{
    return TrimRightOf(text, character);
}

std::wstring RemoveWhitespace(const std::wstring &text)
{
    return RemoveWhitespaceOf(text);
}

std::string RemoveWhitespace(const std::string &text)
{
    return RemoveWhitespaceOf(text);
}

std::wstring ToUpper(const std::wstring &text)
{
    std::wstring result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))); });
    return result;
}

std::string ToUpper(const std::string &text)
{
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
    return result;
}

std::wstring ToLower(const std::wstring &text)
{
    std::wstring result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c))); });
    return result;
}

std::string ToLower(const std::string &text)
{
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return result;
}

std::string LoadFileAsString(const std::wstring &path)
{
    const CScopedFile file(OpenForReading(path));
    if (!file.IsValid())
    {
        throw CWin32Exception(L"LoadFileAsString() " + Quoted(path), ::GetLastError());
    }
    return LoadFileAsString(file.Get(), path);
}

std::string LoadFileAsString(HANDLE file, const std::wstring &path)
{
    const DWORD size = GetReadableSize(file, L"LoadFileAsString()",
                                       L"LoadFileAsString() - GetFileInformationByHandle " + Quoted(path), path);
    LONG high = 0;
    ::SetLastError(ERROR_SUCCESS);
    const DWORD position = ::SetFilePointer(file, 0, &high, FILE_CURRENT);
    if ((position == INVALID_SET_FILE_POINTER && ::GetLastError() != ERROR_SUCCESS) || high != 0)
    {
        throw CException(L"LoadFileAsString()", L"Failed to read file position for file " + Quoted(path));
    }
    const DWORD remaining = position < size ? size - position : 0;
    std::string bytes(remaining, '\0');
    bytes.resize(ReadAll(file, reinterpret_cast<BYTE *>(&bytes[0]), remaining));
    return bytes;
}

std::wstring LoadFileAsStringW(const std::wstring &path)
{
    const std::string bytes = LoadFileAsString(path);
    return CStringConverter::AtoW(bytes.data(), bytes.size());
}

std::vector<BYTE> LoadFileAsBinaryData(const std::wstring &path)
{
    const CScopedFile file(OpenForReading(path));
    if (!file.IsValid())
    {
        throw CWin32Exception(L"LoadFileAsBinaryData() " + Quoted(path), ::GetLastError());
    }
    const DWORD size = GetReadableSize(file.Get(), L"LoadFileAsBinaryData()",
                                       L"LoadFileAsBinaryData() - GetFileInformationByHandle " + Quoted(path), path);
    std::vector<BYTE> data(size);
    data.resize(ReadAll(file.Get(), data.data(), size));
    return data;
}

void SaveStringAsFile(const std::wstring &path, const std::string &text)
{
    SaveBytesAsFile(path, text.data(), text.size(), L"SaveStringAsFile()");
}

void SaveStringToFile(HANDLE file, const std::string &text)
{
    WriteAll(file, text.data(), text.size(), L"SaveStringToFile()", L"Failed to write all data");
}

void SaveUnicodeStringAsFile(const std::wstring &path, const std::wstring &text)
{
    SaveBytesAsFile(path, text.data(), text.size() * sizeof(wchar_t), L"SaveUnicodeStringAsFile()");
}

void WriteResourceToFile(HMODULE module, const wchar_t *name, const wchar_t *type, const std::wstring &path)
{
    const HRSRC resource = ::FindResourceW(module, name, type);
    if (!resource)
    {
        throw CWin32Exception(L"WriteResourceToFile() - FindResource", ::GetLastError());
    }
    const HGLOBAL loaded = ::LoadResource(module, resource);
    if (!loaded)
    {
        throw CWin32Exception(L"WriteResourceToFile() - LoadResource", ::GetLastError());
    }
    const void *data = ::LockResource(loaded);
    if (!data)
    {
        throw CWin32Exception(L"WriteResourceToFile() - LockResource", ::GetLastError());
    }
    const DWORD expected = ::SizeofResource(module, resource);
    const CScopedFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
    {
        throw CWin32Exception(L"WriteResourceToFile() - CreateFile " + Quoted(path), ::GetLastError());
    }
    DWORD written = 0;
    if (!::WriteFile(file.Get(), data, expected, &written, nullptr))
    {
        throw CWin32Exception(L"WriteResourceToFile() - WriteFile", ::GetLastError());
    }
    if (written != expected)
    {
        throw CException(L"WriteResourceToFile() - WriteFile",
                         L"Wrote less bytes (" + ToString(written) + L"( than expected: " + ToString(expected));
    }
}

std::wstring GetFileNameFromHandle(HANDLE file)
{
    const wchar_t *where = L"GetFileNameFromHandle()";
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file, &size))
    {
        throw CWin32Exception(where, ::GetLastError());
    }
    if (size.QuadPart == 0)
    {
        throw CException(where, L"Cannot obtain file name from handle for a file with a length of zero.");
    }
    const CScopedFile mapping(::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 1, nullptr));
    if (!mapping.IsValid())
    {
        throw CWin32Exception(where, ::GetLastError());
    }
    const CScopedView view(::MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 1));
    if (!view.Get())
    {
        throw CWin32Exception(where, ::GetLastError());
    }
    wchar_t mapped[kPathBufferSize + 1] = {};
    if (!::GetMappedFileNameW(::GetCurrentProcess(), view.Get(), mapped, kPathBufferSize))
    {
        throw CWin32Exception(where, ::GetLastError());
    }
    std::wstring name(mapped);

    wchar_t drives[512] = {};
    const DWORD length = ::GetLogicalDriveStringsW(511, drives);
    if (length == 0 || length > 511)
    {
        return name;
    }
    for (const wchar_t *drive = drives; *drive; drive += std::wcslen(drive) + 1)
    {
        // "C:\" names the device as "C:".
        const std::wstring letter(drive, 2);
        wchar_t device[kPathBufferSize + 1] = {};
        if (!::QueryDosDeviceW(letter.c_str(), device, kPathBufferSize))
        {
            continue;
        }
        const size_t deviceLength = std::wcslen(device);
        if (deviceLength > 0 && name.compare(0, deviceLength, device) == 0 &&
            (name.size() == deviceLength || name[deviceLength] == L'\\'))
        {
            return letter + name.substr(deviceLength);
        }
    }
    return name;
}

} // namespace Win32
} // namespace Halyard
