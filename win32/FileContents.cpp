// Reading and writing whole files: the other half of the file utilities.
#include "win32/FileUtils.h"

#include "win32/Exception.h"
#include "win32/MappedView.h"
#include "win32/SmartHandle.h"
#include "win32/StringConverter.h"
#include "win32/ToString.h"

#include <psapi.h>

#include <cstring>

namespace Halyard {
namespace Win32 {

namespace {

const DWORD kPathBufferSize = MAX_PATH;

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
    const CSmartHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
    {
        throw CWin32Exception(std::wstring(function) + L" " + Quoted(path), ::GetLastError());
    }
    WriteAll(file.GetHandle(), data, size, function, Quoted(path) + L" - Failed to write all data");
}

} // namespace

std::wstring LoadFileAsUnicodeString(const std::wstring &path, bool *wasUnicode)
{
    const std::wstring where = L"LoadFileAsUnicodeString()";
    const CSmartHandle file(OpenForReading(path));
    if (!file.IsValid())
    {
        throw CWin32Exception(where + L" " + Quoted(path), ::GetLastError());
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(file.GetHandle(), &information))
    {
        throw CWin32Exception(L"LoadFileAsUnicodeString() - GetFileInformationByHandle " + Quoted(path),
                              ::GetLastError());
    }

    BYTE mark[3] = {};
    ::SetLastError(ERROR_SUCCESS);
    if (ReadAll(file.GetHandle(), mark, 2) != 2)
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
        if (ReadAll(file.GetHandle(), mark + 2, 1) != 1)
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
    else if (::SetFilePointer(file.GetHandle(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
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
    bytes.resize(ReadAll(file.GetHandle(), reinterpret_cast<BYTE *>(&bytes[0]), remaining));

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

std::string LoadFileAsString(const std::wstring &path)
{
    const CSmartHandle file(OpenForReading(path));
    if (!file.IsValid())
    {
        throw CWin32Exception(L"LoadFileAsString() " + Quoted(path), ::GetLastError());
    }
    return LoadFileAsString(file.GetHandle(), path);
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
    const CSmartHandle file(OpenForReading(path));
    if (!file.IsValid())
    {
        throw CWin32Exception(L"LoadFileAsBinaryData() " + Quoted(path), ::GetLastError());
    }
    const DWORD size = GetReadableSize(file.GetHandle(), L"LoadFileAsBinaryData()",
                                       L"LoadFileAsBinaryData() - GetFileInformationByHandle " + Quoted(path), path);
    std::vector<BYTE> data(size);
    data.resize(ReadAll(file.GetHandle(), data.data(), size));
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
    const CSmartHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
    {
        throw CWin32Exception(L"WriteResourceToFile() - CreateFile " + Quoted(path), ::GetLastError());
    }
    DWORD written = 0;
    if (!::WriteFile(file.GetHandle(), data, expected, &written, nullptr))
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
    const CSmartHandle mapping(::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 1, nullptr));
    if (!mapping.IsValid())
    {
        throw CWin32Exception(where, ::GetLastError());
    }
    const CMappedView view(::MapViewOfFile(mapping.GetHandle(), FILE_MAP_READ, 0, 0, 1));
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
