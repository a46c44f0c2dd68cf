#pragma once

// What the commands of tarnctr share: exit codes, the failure that carries one, output, the
// registry names it reads and the module check.

#include "tools/common/Console.h"
#include "win32/Exception.h"

#include <windows.h>

#include <string>
#include <vector>

namespace TarnCtr {

// Every failure has its own exit code, so that scripts can tell them apart.
enum ExitCode
{
    ExitSuccess = 0,
    ExitUsage = 1,
    ExitAlreadyInstalled = 2,
    ExitNotInstalled = 3,
    ExitInvalidModule = 4,
    ExitCounterTextFiles = 5,
    ExitCounterTextLoader = 6,
    ExitRegistry = 7,
    ExitCopy = 8,
    ExitMismatch = 9,
    ExitUnexpected = 10,
    ExitUnsafeLocation = 11,
    ExitDisabled = 12,
    ExitRestore = 13
};

inline constexpr wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\";
inline constexpr wchar_t kDefaultOpen[] = L"PerfData_Open";
inline constexpr wchar_t kDefaultCollect[] = L"PerfData_Collect";
inline constexpr wchar_t kDefaultClose[] = L"PerfData_Close";
inline constexpr DWORD kDefaultTimeout = 10000;
inline constexpr wchar_t kModuleName[] = L"TARNCounters.dll";
inline constexpr wchar_t kDisableValue[] = L"Disable Performance Counters";
inline constexpr wchar_t kLockTimeoutValue[] = L"Lock Timeout";

// A failure that ends the program with its exit code and one message on stderr.
class CToolFailure
{
public:
    CToolFailure(ExitCode exitCode, const std::wstring &message) : m_exitCode(exitCode), m_message(message) {}

    ExitCode GetExitCode() const { return m_exitCode; }
    const std::wstring &GetMessage() const { return m_message; }

private:
    ExitCode m_exitCode;
    std::wstring m_message;
};

using Halyard::Tools::Print;

std::wstring Describe(const Halyard::Win32::CException &e);

// Throws CToolFailure(ExitInvalidModule) for a module that the installer's own check refuses, or
// that cannot be read at all.
void ValidateModule(const std::wstring &path, bool is64Bit, const std::wstring &open, const std::wstring &collect,
                    const std::wstring &close);
// The same for a module of this system's word size.
void ValidateModule(const std::wstring &path, const std::wstring &open, const std::wstring &collect,
                    const std::wstring &close);

int Status(const std::vector<std::wstring> &arguments);
int Enable(const std::vector<std::wstring> &arguments);

} // namespace TarnCtr
