#pragma once

#include "win32/CriticalSection.h"
#include "win32/LibraryLoader.h"
#include "win32/SmartHandle.h"

#include <windows.h>

namespace Halyard {
namespace Win32 {

// DbgHelp is not thread-safe: every use of it in the process, dumps and stack walks alike, runs
// under this lock.
ICriticalSection &DbgHelpLock();

// DbgHelp loaded from the system folder only: a host's program folder or current folder may hold
// a library of the same name.
CLibraryLoader LoadDbgHelp();

// A DbgHelp symbol session of this process, opened under a process handle of its own so that it
// cannot clash with a session the host keeps for itself. Under Wine a dump written without a
// session first loads the debug information of every module in the process, which takes many
// seconds; with loadModules clear the session knows no modules and loads nothing. Held under
// DbgHelpLock().
class CSymbolSession
{
public:
    CSymbolSession(const CLibraryLoader &dbgHelp, bool loadModules);
    ~CSymbolSession();

    CSymbolSession(const CSymbolSession &) = delete;
    CSymbolSession &operator=(const CSymbolSession &) = delete;

    // The handle to hand to DbgHelp: the session's, or the current process when none could be opened.
    HANDLE GetProcess() const;
    bool IsOpen() const;

private:
    using CleanupFunction = BOOL(WINAPI *)(HANDLE);
    using SetOptionsFunction = DWORD(WINAPI *)(DWORD);

    CSmartHandle m_process;
    CleanupFunction m_cleanup;
    SetOptionsFunction m_setOptions;
    DWORD m_previousOptions;
    bool m_open;
};

} // namespace Win32
} // namespace Halyard
