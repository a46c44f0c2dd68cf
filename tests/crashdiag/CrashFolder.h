#pragma once

// A temporary folder that a test owns: "program" holds a copy of the crash helper and is its current
// folder, "dumps" is where the helper is told to put its dumps and trace, and "stdout.txt" catches
// its standard output. Everything in the folder goes with the folder.

#include "tests/support/ChildProcess.h"
#include "win32/DirectorySearch.h"
#include "win32/Exception.h"
#include "win32/FileUtils.h"
#include "win32/SmartHandle.h"

#include <windows.h>

#include <string>
#include <vector>

namespace Halyard {
namespace Testing {

// Full paths of the files matching the pattern, directories left out.
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

inline void RemoveFolder(const std::wstring &folder)
{
    for (const std::wstring &file : FilesMatching(folder + L"\\*"))
    {
        ::DeleteFileW(file.c_str());
    }
    ::RemoveDirectoryW(folder.c_str());
}

class CCrashFolder
{
public:
    struct Run
    {
        DWORD exitCode;
        DWORD processId;
        DWORD mainThreadId;
        std::string output;
    };

    // Process ids come round again from one Wine server to the next: the GUID keeps the name new.
    CCrashFolder() : m_path(Win32::GetTempPath() + UniqueName(L"crashdiag") + L"_" + Win32::CreateGUIDAsString())
    {
        Win32::CreateDirectory(m_path);
        Win32::CreateDirectory(ProgramFolder());
        Win32::CopyFile(ExecutableDirectory() + L"\\crash_helper.exe", HelperPath(), false);
    }

    ~CCrashFolder()
    {
        for (const std::wstring &folder : m_subfolders)
        {
            ::RemoveDirectoryW(folder.c_str());
        }
        RemoveFolder(DumpFolder());
        RemoveFolder(ProgramFolder());
        RemoveFolder(m_path);
    }

    CCrashFolder(const CCrashFolder &) = delete;
    CCrashFolder &operator=(const CCrashFolder &) = delete;

    const std::wstring &Path() const { return m_path; }
    std::wstring ProgramFolder() const { return m_path + L"\\program"; }
    std::wstring HelperPath() const { return ProgramFolder() + L"\\crash_helper.exe"; }
    std::wstring DumpFolder() const { return m_path + L"\\dumps"; }

    // An empty folder inside the dump folder, removed with it.
    void CreateDumpSubfolder(const std::wstring &name)
    {
        Win32::CreateDirectoriesIfRequired(DumpFolder());
        m_subfolders.push_back(DumpFolder() + L"\\" + name);
        Win32::CreateDirectory(m_subfolders.back());
    }

    // Runs the helper in its program folder, told to put its dumps in the dump folder first.
    Run RunHelper(const std::wstring &arguments) const
    {
        return RunHelperAsIs(L"folder \"" + DumpFolder() + L"\" " + arguments);
    }

    // Runs the helper with nothing added to the arguments.
    Run RunHelperAsIs(const std::wstring &arguments) const
    {
        const std::wstring outputPath = m_path + L"\\stdout.txt";
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        Win32::CSmartHandle output(::CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        std::wstring commandLine = L"\"" + HelperPath() + L"\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output.GetHandle();
        startup.hStdError = output.GetHandle();
        PROCESS_INFORMATION info = {};
        if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, ProgramFolder().c_str(),
                              &startup, &info))
        {
            throw Win32::CWin32Exception(L"CCrashFolder::RunHelper() - CreateProcessW", ::GetLastError());
        }
        output.Close();
        Run run = {STILL_ACTIVE, info.dwProcessId, info.dwThreadId, std::string()};
        if (::WaitForSingleObject(info.hProcess, 120000) == WAIT_OBJECT_0)
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
        run.output = Win32::LoadFileAsString(outputPath);
        ::DeleteFileW(outputPath.c_str());
        return run;
    }

    std::vector<std::wstring> ProgramFolderFiles() const { return FilesMatching(ProgramFolder() + L"\\*"); }
    std::vector<std::wstring> Dumps() const { return FilesMatching(DumpFolder() + L"\\crash_helper.exe-*.dmp"); }

    // The helper's debug trace file, "Halyard.log" beside its dumps.
    std::string Log() const { return Win32::LoadFileAsString(DumpFolder() + L"\\Halyard.log"); }

private:
    std::wstring m_path;
    std::vector<std::wstring> m_subfolders;
};

} // namespace Testing
} // namespace Halyard
