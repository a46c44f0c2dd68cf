#pragma once

// File, directory, process and system-information helpers: wide text in and out, and an exception
// for every failure.
//
// Several names here (GetSystemDirectory, CreateDirectory, DeleteFile, CopyFile, GetTempPath,
// GetTempFileName, GetModuleFileName, GetComputerName, GetUserName, GetCurrentDirectory,
// SetCurrentDirectory, GetSystemWindowsDirectory, GetSystemWow64Directory) are also Win32 macros.
// We do not #undef them: this header includes <windows.h> first and the whole project builds with
// UNICODE, so the macros rename our declarations and every call of them alike (the linker sees
// Halyard::Win32::GetSystemDirectoryW, callers write Halyard::Win32::GetSystemDirectory()), and
// code that includes this header can still call the platform functions by their usual names.
// Inside the library the platform functions are always called by their explicit W names with ::.
// Call these qualified: with `using namespace` and raw pointer arguments an unqualified call may
// pick the platform function of the same name.

#include "win32/SmartHandle.h"

#include <windows.h>

#include <string>
#include <vector>

namespace Halyard {
namespace Win32 {

// Opens an existing file to read, shared with other readers; an invalid handle, with the last
// error set, when it cannot be opened.
CSmartHandle OpenForReading(const std::wstring &path);

// The path in double quotes, as failure texts show it.
std::wstring Quoted(const std::wstring &path);

// Opens the file for reading; false for anything that cannot be opened (missing, a directory,
// held exclusively). Never throws.
bool FileExists(const std::wstring &path);

// Whether the system is 64-bit: always in a 64-bit build, else when the process runs under WOW64.
bool Is64bitSystem();

// Whether this process runs under WOW64.
bool IsWow64Process();

std::wstring GetSystemDirectory();
std::wstring GetSystemWindowsDirectory();
std::wstring GetSystemWow64Directory();

// A UNC path, or one on a drive that the system maps to a network share. Never throws.
bool IsOnNetworkShare(const std::wstring &path);

// The text after the last backslash; empty when there is none.
std::wstring GetFileNameFromPath(const std::wstring &path);

// The text before the last backslash; empty when there is none.
std::wstring GetDirectoryFromPath(const std::wstring &path);

// Switches the calling thread's WOW64 file-system redirection off until Revert or destruction.
class CWOW64FileSystemRedirector
{
public:
    CWOW64FileSystemRedirector();
    ~CWOW64FileSystemRedirector();

    CWOW64FileSystemRedirector(const CWOW64FileSystemRedirector &) = delete;
    CWOW64FileSystemRedirector &operator=(const CWOW64FileSystemRedirector &) = delete;

    void Disable();
    void Revert();

private:
    PVOID m_state;
};

// A text file as wide text: UTF-16LE and UTF-8 by their byte order marks, otherwise the system's
// default code page. wasUnicode tells whether a mark was found.
std::wstring LoadFileAsUnicodeString(const std::wstring &path, bool *wasUnicode = nullptr);

void CreateDirectory(const std::wstring &path);

// An existing directory is success.
void CreateDirectoryIfRequired(const std::wstring &path);

// Creates missing parents first.
void CreateDirectoriesIfRequired(const std::wstring &path);

void SetCurrentDirectory(const std::wstring &path);
std::wstring GetCurrentDirectory();

void CopyFile(const std::wstring &from, const std::wstring &to, bool failIfExists);
void DeleteFile(const std::wstring &path);

std::wstring GetTempPath();
std::wstring GetTempFileName(const std::wstring &directory, const std::wstring &prefix, UINT unique = 0);
std::wstring GetTempFileName(const std::wstring &prefix, UINT unique = 0);

// Local time as DDMMYY.
std::wstring GetDateStamp();

// Local time as HH:MM:SS.mmmm.
std::wstring GetTimeStamp();
std::string GetTimeStampA();

// The computer name, read once per process; "UNAVAILABLE" when it cannot be read.
std::wstring GetComputerName();

// "UNAVAILABLE" when the name cannot be read; a null module is the process's executable.
std::wstring GetModuleFileName(HMODULE module = nullptr);
std::wstring GetModuleFileName(HANDLE process, HMODULE module);

// The module's file name up to its last "\\", "/" or ":".
std::wstring GetModuleDirectory(HMODULE module = nullptr);

std::wstring GetUserName();

// The ProductVersion of the module's version resource (language 0809, code page 04b0); empty when
// there is none.
std::wstring GetProductVersion(HMODULE module = nullptr);

// "1", "0", and any leading part of "true" or "false" in any case (the empty text is true).
bool StringToBool(const std::wstring &text);

// The decimal number in length characters from offset.
long GetLongFromString(const std::wstring &text, size_t offset, size_t length);

std::wstring TrimWhitespace(const std::wstring &text);
std::string TrimWhitespace(const std::string &text);
std::wstring TrimLeft(const std::wstring &text, wchar_t character);
std::string TrimLeft(const std::string &text, char character);
std::wstring TrimRight(const std::wstring &text, wchar_t character);
std::string TrimRight(const std::string &text, char character);
std::wstring RemoveWhitespace(const std::wstring &text);
std::string RemoveWhitespace(const std::string &text);
std::wstring ToUpper(const std::wstring &text);
std::string ToUpper(const std::string &text);
std::wstring ToLower(const std::wstring &text);
std::string ToLower(const std::string &text);

// The file's bytes, without byte order mark handling.
std::string LoadFileAsString(const std::wstring &path);

// From the handle's current position to the end; path only names the file in errors.
std::string LoadFileAsString(HANDLE file, const std::wstring &path);

// The file's bytes widened from the system's default code page.
std::wstring LoadFileAsStringW(const std::wstring &path);

std::vector<BYTE> LoadFileAsBinaryData(const std::wstring &path);

// Creates or truncates the file and writes the text's bytes.
void SaveStringAsFile(const std::wstring &path, const std::string &text);
void SaveStringToFile(HANDLE file, const std::string &text);

// Writes the UTF-16LE characters, without a byte order mark.
void SaveUnicodeStringAsFile(const std::wstring &path, const std::wstring &text);

void WriteResourceToFile(HMODULE module, const wchar_t *name, const wchar_t *type, const std::wstring &path);

std::wstring GUIDAsString(const GUID &guid);
std::wstring CreateGUIDAsString();

// The path of an open file, with the drive letter in place of the device name.
std::wstring GetFileNameFromHandle(HANDLE file);

} // namespace Win32
} // namespace Halyard
