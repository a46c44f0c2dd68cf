#pragma once

#include "SyncTestSupport.h"

#include "win32/MappedView.h"
#include "win32/SmartHandle.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace SyncTest {

// A name no other test program or test uses: the tag, this process's id and a running number.
inline std::wstring UniqueName(const std::wstring &tag)
{
    static LONG sequence = 0;
    return L"HalyardSyncTest_" + tag + L"_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
           std::to_wstring(::InterlockedIncrement(&sequence));
}

// sync_helper.exe lies beside this test program.
inline std::wstring HelperPath()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    folder.erase(folder.find_last_of(L"\\/") + 1);
    return folder + L"sync_helper.exe";
}

// Starts the helper with the arguments; the handle is the running process.
inline Halyard::Win32::CSmartHandle StartHelper(const std::wstring &arguments)
{
    std::wstring commandLine = L"\"" + HelperPath() + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process))
    {
        ADD_FAILURE() << "CreateProcessW failed with " << ::GetLastError();
        return Halyard::Win32::CSmartHandle();
    }
    ::CloseHandle(process.hThread);
    return Halyard::Win32::CSmartHandle(process.hProcess);
}

// The helper's exit code, or STILL_ACTIVE when it has not finished within the time.
inline DWORD WaitForHelper(const Halyard::Win32::CSmartHandle &process, DWORD milliseconds = 120000)
{
    if (!process.IsValid() || ::WaitForSingleObject(process.GetHandle(), milliseconds) != WAIT_OBJECT_0)
    {
        return STILL_ACTIVE;
    }
    DWORD exitCode = STILL_ACTIVE;
    ::GetExitCodeProcess(process.GetHandle(), &exitCode);
    return exitCode;
}

// Reads a named optex's state through its own mapping, as another process would.
inline OptexState ReadOptexState(const std::wstring &name)
{
    OptexState state = {};
    const std::wstring mappingName = name + L"_Optext_MMF";
    const Halyard::Win32::CSmartHandle mapping(::OpenFileMappingW(FILE_MAP_READ, FALSE, mappingName.c_str()));
    if (mapping.IsValid())
    {
        const Halyard::Win32::CMappedView view(::MapViewOfFile(mapping.GetHandle(), FILE_MAP_READ, 0, 0, 0));
        if (view.IsValid())
        {
            std::memcpy(&state, view.Get(), sizeof(state));
        }
    }
    return state;
}

// The exception that body throws; a failure of the test when it throws none.
template <typename Exception, typename Body>
Exception Thrown(Body body)
{
    try
    {
        body();
    }
    catch (const Exception &e)
    {
        return e;
    }
    ADD_FAILURE() << "no exception was thrown";
    return Exception(L"", L"");
}

} // namespace SyncTest
