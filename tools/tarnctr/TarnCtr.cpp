// tarnctr: installs the TARN counter set (the provider module's registration and the counter
// names and help texts), removes it, reports its state and checks provider modules.

#include "perfmon/CounterTextFile.h"
#include "perfmon/PerformanceCounterInstaller.h"
#include "provider/TarnCounterSet.h"
#include "win32/Exception.h"
#include "win32/FileUtils.h"
#include "win32/RegistryKey.h"
#include "win32/StringConverter.h"
#include "win32/ToString.h"

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using Halyard::PerfMon::CCounterTextFile;
using Halyard::PerfMon::CPerformanceCounterInstaller;
using Halyard::PerfMon::CPerformanceDataSchema;
using Halyard::Win32::CException;
using Halyard::Win32::CRegistryKey;
using Halyard::Win32::CStringConverter;
using Halyard::Win32::CWin32Exception;
using Halyard::Win32::ToString;

namespace {

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
    ExitUnexpected = 10
};

const wchar_t kUsage[] =
    L"Usage:\n"
    L"  tarnctr install <path to TARNCounters.dll> [--copy] [--open-timeout <ms>] [--collect-timeout <ms>]\n"
    L"      Registers the module for the TARN counter set and loads the counter names and help texts.\n"
    L"      --copy copies the module into the system directory and registers its file name only.\n"
    L"      Time-outs default to 10000 ms, the system's default, which is then not recorded.\n"
    L"  tarnctr uninstall\n"
    L"      Unloads the counter texts and removes the registration.\n"
    L"  tarnctr status\n"
    L"      Reports whether the set is installed, its First Counter, whether the installed schema\n"
    L"      checksum matches this program's TARN counter set and whether the registered module validates.\n"
    L"  tarnctr validate <path to a provider module>\n"
    L"      Checks that the module is a DLL for this system's word size exporting PerfData_Open,\n"
    L"      PerfData_Collect and PerfData_Close.\n"
    L"  tarnctr --help\n"
    L"\n"
    L"Exit codes:\n"
    L"  0  success (status: installed, checksum matching, module valid)\n"
    L"  1  wrong command line\n"
    L"  2  install: the counters are already installed\n"
    L"  3  uninstall, status: the counters are not installed\n"
    L"  4  the provider module is missing or not valid\n"
    L"  5  install: the counter text files could not be written\n"
    L"  6  the system's counter-text loader failed or could not be loaded\n"
    L"  7  the registry could not be read or written (for example without administrator rights)\n"
    L"  8  install --copy: the module could not be copied into the system directory\n"
    L"  9  status: the installed checksum differs from this TARN counter set's, or the registered\n"
    L"     module does not validate\n"
    L"  10 any other failure\n";

const wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\";
const wchar_t kDefaultOpen[] = L"PerfData_Open";
const wchar_t kDefaultCollect[] = L"PerfData_Collect";
const wchar_t kDefaultClose[] = L"PerfData_Close";
const DWORD kDefaultTimeout = 10000;

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

void Print(FILE *stream, const std::wstring &text)
{
    std::fputs(CStringConverter::WtoA(text).c_str(), stream);
    std::fflush(stream);
}

std::wstring Describe(const CException &e)
{
    return e.GetWhere() + L": " + e.GetMessage();
}

// Deletes the file when the program is done with it, however it leaves.
class CTemporaryFile
{
public:
    explicit CTemporaryFile(const std::wstring &path) : m_path(path) {}
    ~CTemporaryFile() { ::DeleteFileW(m_path.c_str()); }
    CTemporaryFile(const CTemporaryFile &) = delete;
    CTemporaryFile &operator=(const CTemporaryFile &) = delete;

    const std::wstring &GetPath() const { return m_path; }

private:
    std::wstring m_path;
};

std::wstring FullPath(const std::wstring &path)
{
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
    {
        throw CToolFailure(ExitInvalidModule, L"\"" + path + L"\" is not a usable path: " +
                                                  Halyard::Win32::GetLastErrorMessage(::GetLastError(), true));
    }
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    full.resize(length);
    return full;
}

DWORD ParseMilliseconds(const std::wstring &option, const std::wstring &text)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of(L"0123456789") != std::wstring::npos ||
        std::stoull(text) > 0xFFFFFFFFull)
    {
        throw CToolFailure(ExitUsage, option + L" needs a number of milliseconds from 0 to 4294967295, not \"" +
                                          text + L"\"");
    }
    return static_cast<DWORD>(std::stoull(text));
}

// A module that the installer's own check refuses, or that cannot be read at all.
void ValidateModule(const std::wstring &path, const std::wstring &open, const std::wstring &collect,
                    const std::wstring &close)
{
    try
    {
        CPerformanceCounterInstaller().ValidateDLL(path, Halyard::Win32::Is64bitSystem(), open, collect, close);
    }
    catch (const CException &e)
    {
        throw CToolFailure(ExitInvalidModule, e.GetMessage());
    }
}

struct InstallOptions
{
    std::wstring module;
    bool copy = false;
    DWORD openTimeout = kDefaultTimeout;
    DWORD collectTimeout = kDefaultTimeout;
};

InstallOptions ParseInstall(const std::vector<std::wstring> &arguments)
{
    InstallOptions options;
    for (size_t i = 0; i < arguments.size(); ++i)
    {
        const std::wstring &argument = arguments[i];
        if (argument == L"--copy")
        {
            options.copy = true;
        }
        else if (argument == L"--open-timeout" || argument == L"--collect-timeout")
        {
            if (i + 1 == arguments.size())
            {
                throw CToolFailure(ExitUsage, argument + L" needs a number of milliseconds");
            }
            (argument == L"--open-timeout" ? options.openTimeout : options.collectTimeout) =
                ParseMilliseconds(argument, arguments[++i]);
        }
        else if (argument.compare(0, 2, L"--") == 0 || !options.module.empty())
        {
            throw CToolFailure(ExitUsage, L"install: unexpected argument \"" + argument + L"\"");
        }
        else
        {
            options.module = argument;
        }
    }
    if (options.module.empty())
    {
        throw CToolFailure(ExitUsage, L"install: the path to TARNCounters.dll is missing");
    }
    return options;
}

int Install(const std::vector<std::wstring> &arguments)
{
    const InstallOptions options = ParseInstall(arguments);
    // The performance library loads the module from whatever process reads counters, so the
    // registration holds a full path.
    const std::wstring module = FullPath(options.module);

    CPerformanceCounterInstaller installer;
    if (installer.IsInstalled(TarnProductName))
    {
        throw CToolFailure(ExitAlreadyInstalled,
                           L"the TARN counters are already installed (First Counter " +
                               ToString(installer.FirstCounterIndex(TarnProductName)) +
                               L"); run \"tarnctr uninstall\" first");
    }
    if (!installer.CanInstall())
    {
        throw CToolFailure(ExitRegistry, L"this account may not create keys under HKEY_LOCAL_MACHINE\\" +
                                             std::wstring(kServicesKey) + L"; run as an administrator");
    }
    ValidateModule(module, kDefaultOpen, kDefaultCollect, kDefaultClose);

    const CPerformanceDataSchema schema = CreateTarnCounterSet();
    const std::wstring stem = Halyard::Win32::GetTempPath() + L"TARNCounters_" + ToString(::GetCurrentProcessId());
    const CTemporaryFile ini(stem + L".ini");
    const CTemporaryFile header(stem + L".h");
    try
    {
        CCounterTextFile(schema, TarnProductName).Write(ini.GetPath(), header.GetPath());
    }
    catch (const CException &e)
    {
        throw CToolFailure(ExitCounterTextFiles, L"the counter text files could not be written: " + Describe(e));
    }

    try
    {
        installer.Install(TarnProductName, module, options.copy, ini.GetPath(), L"", options.openTimeout,
                          options.collectTimeout, schema.GetChecksum());
    }
    catch (const CRegistryKey::Exception &e)
    {
        throw CToolFailure(ExitRegistry, L"the registry could not be written: " + Describe(e));
    }
    catch (const CWin32Exception &e)
    {
        const std::wstring where = e.GetWhere();
        if (where.find(L"CopyFileTo") != std::wstring::npos)
        {
            throw CToolFailure(ExitCopy, L"the module could not be copied: " + Describe(e));
        }
        throw CToolFailure(ExitCounterTextLoader, L"the counter-text loader failed: " + Describe(e));
    }

    Print(stdout, L"Installed the TARN counters for " +
                      (options.copy ? Halyard::Win32::GetFileNameFromPath(module) + L" (copied into the system directory)"
                                    : module) +
                      L"\nFirst Counter: " + ToString(installer.FirstCounterIndex(TarnProductName)) + L"\n");
    return ExitSuccess;
}

int Uninstall(const std::vector<std::wstring> &arguments)
{
    if (!arguments.empty())
    {
        throw CToolFailure(ExitUsage, L"uninstall: unexpected argument \"" + arguments[0] + L"\"");
    }
    CPerformanceCounterInstaller installer;
    if (!installer.IsInstalled(TarnProductName))
    {
        throw CToolFailure(ExitNotInstalled, L"the TARN counters are not installed");
    }
    const DWORD firstCounter = installer.FirstCounterIndex(TarnProductName);
    try
    {
        installer.Uninstall(TarnProductName);
    }
    catch (const CRegistryKey::Exception &e)
    {
        throw CToolFailure(ExitRegistry, L"the registry could not be changed: " + Describe(e));
    }
    catch (const CWin32Exception &e)
    {
        throw CToolFailure(ExitCounterTextLoader, L"the counter-text unloader failed: " + Describe(e));
    }
    Print(stdout, L"Uninstalled the TARN counters (First Counter was " + ToString(firstCounter) + L")\n");
    return ExitSuccess;
}

std::wstring ReadText(const CRegistryKey &key, const wchar_t *name, const std::wstring &missing)
{
    std::unique_ptr<wchar_t[]> text;
    return key.QueryValue(name, text) ? std::wstring(text.get()) : missing;
}

int Status(const std::vector<std::wstring> &arguments)
{
    if (!arguments.empty())
    {
        throw CToolFailure(ExitUsage, L"status: unexpected argument \"" + arguments[0] + L"\"");
    }
    CPerformanceCounterInstaller installer;
    if (!installer.IsInstalled(TarnProductName))
    {
        Print(stdout, L"TARN counters: not installed\n");
        throw CToolFailure(ExitNotInstalled, L"the TARN counters are not installed");
    }
    const CRegistryKey performance(HKEY_LOCAL_MACHINE,
                                   std::wstring(kServicesKey) + TarnProductName + L"\\Performance", KEY_READ);
    const std::wstring library = ReadText(performance, L"Library", L"");
    Print(stdout, L"TARN counters: installed\nLibrary: " + library +
                      L"\nFirst Counter: " + ToString(installer.FirstCounterIndex(TarnProductName)) + L"\n");

    bool consistent = true;
    const std::wstring expected = CreateTarnCounterSet().GetChecksum();
    std::wstring installed;
    try
    {
        installed = installer.InstalledSchemaChecksum(TarnProductName);
    }
    catch (const CException &)
    {
    }
    if (installed == expected)
    {
        Print(stdout, L"Schema checksum: " + installed + L" (matches this TARN counter set)\n");
    }
    else
    {
        consistent = false;
        Print(stdout, L"Schema checksum: " + (installed.empty() ? std::wstring(L"none recorded") : installed) +
                          L" (this TARN counter set's is " + expected + L")\n");
        Print(stderr, L"tarnctr: the installed checksum differs from this TARN counter set's: reinstall the "
                      L"counters with the matching TARNCounters.dll\n");
    }

    // A module copied into the system directory is registered by its file name alone.
    const std::wstring modulePath =
        library.find_first_of(L"\\/") == std::wstring::npos && !library.empty()
            ? Halyard::Win32::GetSystemDirectory() + L"\\" + library
            : library;
    try
    {
        ValidateModule(modulePath, ReadText(performance, L"Open", L""), ReadText(performance, L"Collect", L""),
                       ReadText(performance, L"Close", L""));
        Print(stdout, L"Module: valid\n");
    }
    catch (const CToolFailure &failure)
    {
        consistent = false;
        Print(stdout, L"Module: not valid\n");
        Print(stderr, L"tarnctr: " + failure.GetMessage() + L"\n");
    }
    return consistent ? ExitSuccess : ExitMismatch;
}

int Validate(const std::vector<std::wstring> &arguments)
{
    if (arguments.size() != 1)
    {
        throw CToolFailure(ExitUsage, L"validate needs exactly one module path");
    }
    const std::wstring module = FullPath(arguments[0]);
    ValidateModule(module, kDefaultOpen, kDefaultCollect, kDefaultClose);
    Print(stdout, module + L": a valid provider module\n");
    return ExitSuccess;
}

int Run(const std::vector<std::wstring> &arguments)
{
    if (arguments.empty())
    {
        throw CToolFailure(ExitUsage, L"no command given");
    }
    const std::wstring &command = arguments[0];
    const std::vector<std::wstring> rest(arguments.begin() + 1, arguments.end());
    if (command == L"--help" || command == L"-h" || command == L"/?")
    {
        Print(stdout, kUsage);
        return ExitSuccess;
    }
    if (command == L"install")
    {
        return Install(rest);
    }
    if (command == L"uninstall")
    {
        return Uninstall(rest);
    }
    if (command == L"status")
    {
        return Status(rest);
    }
    if (command == L"validate")
    {
        return Validate(rest);
    }
    throw CToolFailure(ExitUsage, L"unknown command \"" + command + L"\"");
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    try
    {
        return Run(std::vector<std::wstring>(argv + 1, argv + argc));
    }
    catch (const CToolFailure &failure)
    {
        Print(stderr, L"tarnctr: " + failure.GetMessage() + L"\n");
        if (failure.GetExitCode() == ExitUsage)
        {
            Print(stderr, L"Run \"tarnctr --help\" for the commands.\n");
        }
        return failure.GetExitCode();
    }
    catch (const CRegistryKey::Exception &e)
    {
        Print(stderr, L"tarnctr: the registry could not be read: " + Describe(e) + L"\n");
        return ExitRegistry;
    }
    catch (const CException &e)
    {
        Print(stderr, L"tarnctr: " + Describe(e) + L"\n");
        return ExitUnexpected;
    }
    catch (const std::exception &e)
    {
        Print(stderr, L"tarnctr: " + CStringConverter::AtoW(e.what()) + L"\n");
        return ExitUnexpected;
    }
}
