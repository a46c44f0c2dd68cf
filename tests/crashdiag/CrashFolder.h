#pragma once

// A temporary folder that a test owns, holding a copy of the crash helper: the helper's dumps
// land beside it and its log in it. Everything in the folder goes with the folder.

#include "tests/support/ChildProcess.h"
#include "win32/DirectorySearch.h"
#include "win32/Exception.h"
#include "win32/FileUtils.h"

#include <windows.h>

#include <string>
#include <vector>

namespace Halyard {
namespace Testing {

class CCrashFolder
{
public:
    struct Run
    {
        DWORD exitCode;
        DWORD processId;
        DWORD mainThreadId;
    };

    // Process ids come round again from one Wine server to the next: the GUID keeps the name new.
    CCrashFolder() : m_path(Win32::GetTempPath() + UniqueName(L"crashdiag") + L"_" + Win32::CreateGUIDAsString())
    {
        Win32::CreateDirectory(m_path);
        Win32::CopyFile(ExecutableDirectory() + L"\\crash_helper.exe", HelperPath(), false);
    }

    ~CCrashFolder()
    {
        for (const std::wstring &file : Files(L"*"))
        {
            ::DeleteFileW(file.c_str());
        }
        for (const std::wstring &folder : m_subfolders)
        {
            ::RemoveDirectoryW(folder.c_str());
        }
        ::RemoveDirectoryW(m_path.c_str());
    }

    CCrashFolder(const CCrashFolder &) = delete;
    CCrashFolder &operator=(const CCrashFolder &) = delete;

    const std::wstring &Path() const { return m_path; }
    std::wstring HelperPath() const { return m_path + L"\\crash_helper.exe"; }

    // An empty folder inside this one, removed with it.
    void CreateSubfolder(const std::wstring &name)
    {
        m_subfolders.push_back(m_path + L"\\" + name);
        Win32::CreateDirectory(m_subfolders.back());
    }

    // Runs the helper with the folder as its current directory.
    Run RunHelper(const std::wstring &arguments) const
    {
        std::wstring commandLine = L"\"" + HelperPath() + L"\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, m_path.c_str(),
                              &startup, &info))
        {
            throw Win32::CWin32Exception(L"CCrashFolder::RunHelper() - CreateProcessW", ::GetLastError());
        }
        Run run = {STILL_ACTIVE, info.dwProcessId, info.dwThreadId};
        if (::WaitForSingleObject(info.hProcess, 600000) == WAIT_OBJECT_0)
        {
            ::GetExitCodeProcess(info.hProcess, &run.exitCode);
        }
        else
        {
            ::TerminateProcess(info.hProcess, 0xDEAD);
            ::WaitForSingleObject(info.hProcess, 5000);
        }
        ::CloseHandle(info.hThread);
        ::CloseHandle(info.hProcess);
        return run;
    }

    // Full paths of the files matching the pattern, directories left out.
    std::vector<std::wstring> Files(const std::wstring &pattern) const
    {
        std::vector<std::wstring> files;
        Win32::CDirectorySearch search(m_path + L"\\" + pattern);
        std::wstring file;
        while (search.GetNext(file))
        {
            files.push_back(file);
        }
        return files;
    }

    std::vector<std::wstring> Dumps() const { return Files(L"crash_helper.exe-*.dmp"); }

    // The helper's debug trace file, "Halyard.log" in its current directory.
    std::string Log() const { return Win32::LoadFileAsString(m_path + L"\\Halyard.log"); }

private:
    std::wstring m_path;
    std::vector<std::wstring> m_subfolders;
};

} // namespace Testing
} // namespace Halyard
