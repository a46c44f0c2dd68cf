#include "crashdiag/SymbolSession.h"

#include "win32/Exception.h"

#include <dbghelp.h>

namespace Halyard {
namespace Win32 {

namespace {

using InitializeFunction = BOOL(WINAPI *)(HANDLE, PCWSTR, BOOL);
using GetOptionsFunction = DWORD(WINAPI *)();

template <typename Function>
Function Find(const CLibraryLoader &dbgHelp, const wchar_t *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(dbgHelp.TryGetProcAddress(name)));
}

} // namespace

ICriticalSection &DbgHelpLock()
{
    static CCriticalSection lock;
    return lock;
}

namespace {

// Built when the module starts: the first user may be a thread that has just faulted.
ICriticalSection &g_dbgHelpLockAtStart = DbgHelpLock();

} // namespace

CLibraryLoader LoadDbgHelp()
{
    return CLibraryLoader::LoadSystemLibrary(L"dbghelp.dll", false);
}

CSymbolSession::CSymbolSession(const CLibraryLoader &dbgHelp, bool loadModules)
    : m_process(CSmartHandle::DuplicateHandle(::GetCurrentProcess())),
      m_cleanup(Find<CleanupFunction>(dbgHelp, L"SymCleanup")),
      m_setOptions(Find<SetOptionsFunction>(dbgHelp, L"SymSetOptions")),
      m_previousOptions(0),
      m_open(false)
{
    const auto initialize = Find<InitializeFunction>(dbgHelp, L"SymInitializeW");
    const auto getOptions = Find<GetOptionsFunction>(dbgHelp, L"SymGetOptions");
    if (!m_process.IsValid() || initialize == nullptr || m_cleanup == nullptr || m_setOptions == nullptr ||
        getOptions == nullptr)
    {
        return;
    }
    // The options are the library's, not the session's: the host's are put back afterwards.
    m_previousOptions = getOptions();
    m_setOptions(m_previousOptions | SYMOPT_DEFERRED_LOADS | SYMOPT_UNDNAME | SYMOPT_FAIL_CRITICAL_ERRORS |
                 SYMOPT_NO_PROMPTS);
    m_open = initialize(m_process.GetHandle(), nullptr, loadModules ? TRUE : FALSE) != FALSE;
    if (!m_open)
    {
        m_setOptions(m_previousOptions);
    }
}

CSymbolSession::~CSymbolSession()
{
    if (m_open)
    {
        const Win32::CLastErrorKeeper keeper;
        m_cleanup(m_process.GetHandle());
        m_setOptions(m_previousOptions);
    }
}

HANDLE CSymbolSession::GetProcess() const
{
    return m_open ? m_process.GetHandle() : ::GetCurrentProcess();
}

bool CSymbolSession::IsOpen() const
{
    return m_open;
}

} // namespace Win32
} // namespace Halyard
