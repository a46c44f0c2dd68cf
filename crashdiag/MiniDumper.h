#pragma once

#include "crashdiag/CrashDump.h"
#include "win32/LibraryLoader.h"

#include <windows.h>
#include <dbghelp.h>

#include <functional>
#include <set>
#include <string>

namespace Halyard {
namespace Win32 {

// Writes mini-dumps through the platform's DbgHelp, loaded from the system folder when the dumper
// is built, to files in the crash dump folder named after the host executable.
class CMiniDumper : public ICreateMiniDumps
{
public:
    // What a dump holds; the dump mode 0, 1, 2 selects kind 1, 2, 3.
    enum DumpKind : int
    {
        ReferencedMemory = 1,
        DataAndThreads = 2,
        FullMemory = 3
    };

    // The parts of a file name after the folder and the executable's name, each preceded by "-".
    enum NamePart : DWORD
    {
        ProcessId = 0x1,
        ThreadId = 0x2,
        DateAndTime = 0x4,
        SequenceNumber = 0x10,
        AllNameParts = 0xFF
    };

    CMiniDumper(DWORD dumpMode, DWORD nameParts);

    CMiniDumper(const CMiniDumper &) = delete;
    CMiniDumper &operator=(const CMiniDumper &) = delete;

    std::wstring GetDumpFileNamePrefix() override;
    std::wstring GetNextDumpFileName() override;
    bool CreateDump(const std::wstring &fileName, EXCEPTION_POINTERS *pointers) override;
    bool CreateDump(EXCEPTION_POINTERS *pointers) override;

    virtual ~CMiniDumper();

    // Without exception pointers the dump shows the process as it is. A dump that cannot be
    // written completely leaves no file.
    virtual bool CreateDump(int kind, const std::wstring &fileName, EXCEPTION_POINTERS *pointers);

    // Whether a dump of the kind takes the data segments of the module; only the required
    // modules' are worth their size.
    virtual bool IncludeModuleData(int kind, const std::wstring &modulePath);

    void AddRequiredModule(const std::wstring &path);

    // Reads a name that GetNextDumpFileName gives with every name part after the prefix:
    // "-YYYYMMDD-HHMMSSmmm-<process>-<thread>-<sequence>.dmp", or HHMMSS as earlier builds wrote it.
    // False for any other name.
    static bool ReadDumpFileName(const std::wstring &prefix, const std::wstring &path, DWORD &processId,
                                 LONG &sequence);

    // Names given from now on carry sequence numbers above this one.
    static void ContinueSequenceAfter(LONG sequence);

    bool CanWrite() const;
    int GetDbgHelpLevel() const;

    // The level of the newest DbgHelp export found: 68 down to 40, 0 for none.
    static int ProbeDbgHelpLevel(const std::function<bool(const wchar_t *)> &hasExport);

    // The MINIDUMP_TYPE flags of a kind that a DbgHelp of the level supports; a debugger
    // present loses the private read-write memory as well.
    static DWORD GetDumpType(int kind, int dbgHelpLevel, bool debuggerPresent);

private:
    static BOOL CALLBACK FilterCallback(void *parameter, const PMINIDUMP_CALLBACK_INPUT input,
                                        PMINIDUMP_CALLBACK_OUTPUT output);
    static std::wstring RequiredModuleKey(const std::wstring &path);

    CLibraryLoader m_dbgHelp;
    bool m_canWrite;
    int m_dbgHelpLevel;
    std::wstring m_prefix;
    DWORD m_dumpMode;
    DWORD m_nameParts;
    std::set<std::wstring> m_requiredModules;
};

} // namespace Win32
} // namespace Halyard
