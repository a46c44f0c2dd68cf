#pragma once

#include <windows.h>

#include <string>

namespace Halyard {
namespace Win32 {

// Writes mini-dumps for the process-wide crash dump policy. A replacement set through
// SetDumpCreatorAndLimit takes the place of the default CMiniDumper; it is not owned.
class ICreateMiniDumps
{
public:
    // The common beginning of this creator's dump file names.
    virtual std::wstring GetDumpFileNamePrefix() = 0;
    virtual std::wstring GetNextDumpFileName() = 0;
    virtual bool CreateDump(const std::wstring &fileName, EXCEPTION_POINTERS *pointers) = 0;
    // Writes to GetNextDumpFileName().
    virtual bool CreateDump(EXCEPTION_POINTERS *pointers) = 0;

protected:
    ~ICreateMiniDumps() = default;
};

// Asks the crash-diagnostics facility for a mini-dump of a structured exception, written now:
// CaptureCrashDump followed by WriteCapturedCrashDumps. With counted set the request counts against
// the per-process limit (initially 10: the first nine counted requests write dumps), which holds
// across loads of the module within one process. The last-error value is kept.
void RequestCrashDump(EXCEPTION_POINTERS *pointers, bool counted);

// Takes what a dump of a structured exception needs (copies of its records, the faulting thread)
// and keeps it for the calling thread, writing nothing: the fault may have interrupted code that
// holds a lock that other threads and processes wait on. Nothing is thrown; the last-error value
// is kept.
void CaptureCrashDump(EXCEPTION_POINTERS *pointers, bool counted);

// Writes the dumps captured on the calling thread, oldest first; called once the faults have been
// unwound and their locks let go. Each is written on a thread of its own, since the caller may be
// on a nearly exhausted stack; the caller waits for it a bounded time, and the thread works on its
// own copies of the records, so it may outlive the wait. Every failure ends on the debug trace or
// the debugger channel: nothing is thrown. The last-error value is kept.
void WriteCapturedCrashDumps();

// The same for the process's present state, without an exception.
void RequestCrashDump(bool counted);

// Writes one dump now, on the calling thread, through the replacement creator or the default
// dumper; true when a dump was written.
bool CreateCrashDump(EXCEPTION_POINTERS *pointers);

// No request writes anything from now on.
void DisableCrashDumps();

// Replaces the dump creator (null: the default dumper) and sets the limit. Unless keepLimit is
// set, every existing file named like this creator's dumps ("<prefix>-*.*") lowers the limit by one.
void SetDumpCreatorAndLimit(ICreateMiniDumps *creator, LONG limit, bool keepLimit);

// Where the default dumper writes its dumps and the debug trace its file "Halyard.log": the folder
// last set, or the default one. Never the host program's folder or its current folder: the host
// may be a privileged service whose memory users must not read.
std::wstring GetCrashDumpFolder();

// An empty folder restores the default.
void SetCrashDumpFolder(const std::wstring &folder);

// "<common application data>\TARN\Crash Dumps", created on first use with access for SYSTEM and
// administrators only.
std::wstring GetDefaultCrashDumpFolder();

// The crash dump folder and the host executable's file name: the beginning of the default dumper's
// file names.
std::wstring GetDefaultDumpFileNamePrefix();

// While one of these scopes lives anywhere in the process, no dump is captured or written. A module's entry
// point holds one through attach and detach: a thread started for a dump cannot run while the
// loader lock is held.
class CCrashDumpSuppression
{
public:
    CCrashDumpSuppression();
    ~CCrashDumpSuppression();

    CCrashDumpSuppression(const CCrashDumpSuppression &) = delete;
    CCrashDumpSuppression &operator=(const CCrashDumpSuppression &) = delete;
};

// The thread whose fault a dump describes: on the thread that serves a request, the thread that
// made it; anywhere else the calling thread.
DWORD GetDumpedThreadId();

} // namespace Win32
} // namespace Halyard
