#pragma once

// Files and folders a test owns in the temporary folder, removed with everything in them.

#include "tests/support/ChildProcess.h"
#include "win32/DirectorySearch.h"
#include "win32/FileUtils.h"

#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace Halyard {
namespace Testing {

// Full paths of the files matching the pattern, folders left out.
inline std::vector<std::wstring> FilesMatching(const std::wstring &pattern)
{
    std::vector<std::wstring> files;
    Win32::CDirectorySearch search(pattern);
    std::wstring file;
    while (search.GetNext(file))
    {
        files.push_back(file);
    }
    return files;
}

// Removes the folder with everything in it; what cannot be removed is left.
inline void RemoveFolder(const std::wstring &folder)
{
    // The shell takes a list of paths, each ended by a null and the list by another.
    const std::wstring paths = folder + L'\0';
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = paths.c_str();
    operation.fFlags = FOF_NO_UI;
    ::SHFileOperationW(&operation);
}

// A new folder in the temporary folder. Process ids come round again from one Wine server to the
// next: the GUID keeps the name new.
class CTempFolder
{
public:
    explicit CTempFolder(const std::wstring &stem)
        : m_path(Win32::GetTempPath() + UniqueName(stem) + L"_" + Win32::CreateGUIDAsString())
    {
        Win32::CreateDirectory(m_path);
    }
    ~CTempFolder() { RemoveFolder(m_path); }
    CTempFolder(const CTempFolder &) = delete;
    CTempFolder &operator=(const CTempFolder &) = delete;

    const std::wstring &Path() const { return m_path; }
    std::wstring operator/(const std::wstring &name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

// A file name of the test's own in the temporary folder; the file, if one was made, goes with it.
class CTempFile
{
public:
    explicit CTempFile(const std::wstring &stem, const std::wstring &extension = L".tmp")
        : m_path(Win32::GetTempPath() + UniqueName(stem) + extension)
    {
    }
    ~CTempFile() { ::DeleteFileW(m_path.c_str()); }
    CTempFile(const CTempFile &) = delete;
    CTempFile &operator=(const CTempFile &) = delete;

    const std::wstring &Path() const { return m_path; }

private:
    std::wstring m_path;
};

// Sends what the process writes to its standard output into a file while it lives.
class CStandardOutputCapture
{
public:
    explicit CStandardOutputCapture(const std::wstring &path) : m_path(path)
    {
        std::cout.flush();
        std::fflush(stdout);
        m_saved = ::_dup(1);
        const int file = ::_wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
        ::_dup2(file, 1);
        ::_close(file);
    }
    ~CStandardOutputCapture() { Take(); }
    CStandardOutputCapture(const CStandardOutputCapture &) = delete;
    CStandardOutputCapture &operator=(const CStandardOutputCapture &) = delete;

    // Restores the standard output and returns what was caught.
    std::string Take()
    {
        if (m_saved >= 0)
        {
            std::cout.flush();
            std::fflush(stdout);
            ::_dup2(m_saved, 1);
            ::_close(m_saved);
            m_saved = -1;
        }
        return Win32::LoadFileAsString(m_path);
    }

private:
    std::wstring m_path;
    int m_saved = -1;
};

} // namespace Testing
} // namespace Halyard
