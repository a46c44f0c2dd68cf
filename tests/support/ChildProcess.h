#pragma once

// Programs that a test starts as real second processes: the test helper, the tools, the installer.

#include "win32/Exception.h"
#include "win32/FileUtils.h"
#include "win32/SmartHandle.h"

#include <windows.h>

#include <string>

namespace Halyard {
namespace Testing {

inline std::wstring ExecutableDirectory()
{
    return Win32::GetModuleDirectory();
}

inline std::wstring Beside(const std::wstring &name)
{
    return ExecutableDirectory() + L"\\" + name;
}

inline std::wstring UniqueName(const std::wstring &stem)
{
    static LONG sequence = 0;
    return stem + L"_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
           std::to_wstring(::InterlockedIncrement(&sequence));
}

// One program started with its arguments; killed when it is still running as the object goes.
class CChildProcess
{
public:
    // A bare file name is looked for beside the test's executable; a path is taken as it is. The
    // program runs in the folder given, or the test's own; its standard output and error are caught
    // together for Output() when asked.
    CChildProcess(const std::wstring &program, const std::wstring &arguments, const std::wstring &folder = L"",
                  bool captureOutput = false)
    {
        const std::wstring path =
            program.find_first_of(L"\\/") == std::wstring::npos ? ExecutableDirectory() + L"\\" + program : program;
        std::wstring commandLine = L"\"" + path + L"\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        if (captureOutput)
        {
            // A file, not a pipe: a Wine service that the program happens to start inherits the handle
            // and would hold a pipe open long after the program ended.
            SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
            m_output = ::CreateFileW(Win32::GetTempFileName(L"out").c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
            if (!m_output.IsValid())
            {
                throw Win32::CWin32Exception(L"CChildProcess::CChildProcess() - CreateFileW", ::GetLastError());
            }
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdOutput = m_output.GetHandle();
            startup.hStdError = m_output.GetHandle();
        }
        PROCESS_INFORMATION info = {};
        if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, captureOutput, 0, nullptr,
                              folder.empty() ? nullptr : folder.c_str(), &startup, &info))
        {
            throw Win32::CWin32Exception(L"CChildProcess::CChildProcess() - CreateProcessW", ::GetLastError());
        }
        m_process = info.hProcess;
        ::CloseHandle(info.hThread);
        m_processId = info.dwProcessId;
        m_threadId = info.dwThreadId;
    }

    ~CChildProcess() { Kill(0xDEAD); }

    CChildProcess(const CChildProcess &) = delete;
    CChildProcess &operator=(const CChildProcess &) = delete;

    // The exit code; STILL_ACTIVE when the program did not end in time, and then it is killed.
    DWORD Wait(DWORD timeout = 60000)
    {
        if (!m_process.Wait(timeout))
        {
            Kill(0xDEAD);
            return STILL_ACTIVE;
        }
        DWORD code = 0;
        ::GetExitCodeProcess(m_process.GetHandle(), &code);
        return code;
    }

    // Ends the program as a crash would: no code of its own runs.
    void Kill(DWORD exitCode)
    {
        if (!m_process.Wait(0))
        {
            ::TerminateProcess(m_process.GetHandle(), exitCode);
            m_process.Wait(10000);
        }
    }

    // What the program wrote to standard output and error; read once it has ended.
    std::string Output() const
    {
        std::string output;
        ::SetFilePointer(m_output.GetHandle(), 0, nullptr, FILE_BEGIN);
        char buffer[4096];
        DWORD read = 0;
        while (::ReadFile(m_output.GetHandle(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        {
            output.append(buffer, read);
        }
        return output;
    }

    DWORD ProcessId() const { return m_processId; }
    DWORD MainThreadId() const { return m_threadId; }

private:
    Win32::CSmartHandle m_process;
    Win32::CSmartHandle m_output;
    DWORD m_processId = 0;
    DWORD m_threadId = 0;
};

// A program run to its end, its output caught.
struct ProgramRun
{
    DWORD exitCode;
    std::string output;
    DWORD processId;
    DWORD mainThreadId;
};

inline ProgramRun RunProgram(const std::wstring &program, const std::wstring &arguments,
                             const std::wstring &folder = L"")
{
    CChildProcess child(program, arguments, folder, true);
    const DWORD exitCode = child.Wait(120000);
    return ProgramRun{exitCode, child.Output(), child.ProcessId(), child.MainThreadId()};
}

// A manual-reset named event that a test and its child processes use to sequence each other.
class CNamedSignal
{
public:
    explicit CNamedSignal(const std::wstring &name)
        : m_name(name), m_event(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()))
    {
        if (!m_event.IsValid())
        {
            throw Win32::CWin32Exception(L"CNamedSignal::CNamedSignal()", ::GetLastError());
        }
    }
    // A signal under a new name of its own.
    CNamedSignal() : CNamedSignal(UniqueName(L"HalyardSignal")) {}

    const std::wstring &Name() const { return m_name; }
    void Set() { ::SetEvent(m_event.GetHandle()); }
    bool Wait(DWORD timeout = 30000) const { return m_event.Wait(timeout); }

private:
    std::wstring m_name;
    Win32::CSmartHandle m_event;
};

// The test helper in a mode that takes something, sets the ready signal and keeps it until the
// release signal is set: its arguments are the mode's own, both signals' names, then the rest. The
// helper beside the test unless another build's is named.
class CHelperHolding
{
public:
    explicit CHelperHolding(const std::wstring &arguments, const std::wstring &rest = L"",
                            const std::wstring &helper = L"test_helper.exe")
        : m_process(helper, arguments + L" " + m_ready.Name() + L" " + m_release.Name() + rest)
    {
        if (!m_ready.Wait(60000))
        {
            throw Win32::CException(L"CHelperHolding::CHelperHolding()", L"the helper did not get ready");
        }
    }
    ~CHelperHolding() { Release(); }
    CHelperHolding(const CHelperHolding &) = delete;
    CHelperHolding &operator=(const CHelperHolding &) = delete;

    // Lets go and returns the helper's exit code.
    DWORD Release()
    {
        m_release.Set();
        return m_process.Wait();
    }
    CChildProcess &Process() { return m_process; }

private:
    CNamedSignal m_ready;
    CNamedSignal m_release;
    CChildProcess m_process;
};

} // namespace Testing
} // namespace Halyard
