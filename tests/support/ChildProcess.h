#pragma once

// A program that a test starts as a real second process, found beside the test's own executable.

#include "win32/Exception.h"

#include <windows.h>

#include <string>

namespace Halyard {
namespace Testing {

inline std::wstring ExecutableDirectory()
{
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    return directory.substr(0, directory.find_last_of(L"\\/"));
}

inline std::wstring UniqueName(const std::wstring &stem)
{
    static LONG sequence = 0;
    return stem + L"_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
           std::to_wstring(::InterlockedIncrement(&sequence));
}

class CChildProcess
{
public:
    CChildProcess(const std::wstring &program, const std::wstring &arguments)
    {
        std::wstring commandLine = L"\"" + ExecutableDirectory() + L"\\" + program + L"\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                              &m_info))
        {
            throw Win32::CWin32Exception(L"CChildProcess::CChildProcess() - CreateProcessW", ::GetLastError());
        }
        ::CloseHandle(m_info.hThread);
    }

    ~CChildProcess()
    {
        if (::WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT)
        {
            ::TerminateProcess(m_info.hProcess, 0xDEAD);
            ::WaitForSingleObject(m_info.hProcess, 5000);
        }
        ::CloseHandle(m_info.hProcess);
    }

    CChildProcess(const CChildProcess &) = delete;
    CChildProcess &operator=(const CChildProcess &) = delete;

    // The exit code, or STILL_ACTIVE when the process did not end in time.
    DWORD Wait(DWORD timeout = 30000) const
    {
        if (::WaitForSingleObject(m_info.hProcess, timeout) != WAIT_OBJECT_0)
        {
            return STILL_ACTIVE;
        }
        DWORD code = 0;
        ::GetExitCodeProcess(m_info.hProcess, &code);
        return code;
    }

    HANDLE Handle() const { return m_info.hProcess; }

private:
    PROCESS_INFORMATION m_info = {};
};

// A manual-reset named event that a test and its child processes use to sequence each other.
class CNamedSignal
{
public:
    explicit CNamedSignal(const std::wstring &name)
        : m_event(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()))
    {
        if (m_event == nullptr)
        {
            throw Win32::CWin32Exception(L"CNamedSignal::CNamedSignal()", ::GetLastError());
        }
    }
    ~CNamedSignal() { ::CloseHandle(m_event); }
    CNamedSignal(const CNamedSignal &) = delete;
    CNamedSignal &operator=(const CNamedSignal &) = delete;

    void Set() { ::SetEvent(m_event); }
    bool Wait(DWORD timeout = 30000) { return ::WaitForSingleObject(m_event, timeout) == WAIT_OBJECT_0; }

private:
    HANDLE m_event;
};

} // namespace Testing
} // namespace Halyard
