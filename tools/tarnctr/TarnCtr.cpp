// tarnctr: installs the TARN counter set (the provider module's registration and the counter
// names and help texts), removes it, reports its state and checks provider modules.

#include "tools/tarnctr/TarnCtr.h"

#include "perfmon/installer/CounterTextFile.h"
#include "perfmon/installer/PerformanceCounterInstaller.h"
#include "perfmon/installer/RawImage.h"
#include "provider/TarnCounterSet.h"
#include "tools/common/CommandLine.h"
#include "win32/AccessRule.h"
#include "win32/Exception.h"
#include "win32/FileUtils.h"
#include "win32/LocalMemory.h"
#include "win32/RegistryKey.h"
#include "win32/SmartHandle.h"
#include "win32/StringConverter.h"
#include "win32/ToString.h"

#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

using Halyard::PerfMon::CCounterTextFile;
using Halyard::PerfMon::CInstallFailure;
using Halyard::PerfMon::TInstallFailure;
using Halyard::Tools::CUsageError;
using Halyard::Tools::ReportFailure;
using Halyard::Tools::ReportUsageError;
using Halyard::PerfMon::CPerformanceCounterInstaller;
using Halyard::PerfMon::CPerformanceDataSchema;
using Halyard::PerfMon::CRawImage;
using Halyard::Win32::CException;
using Halyard::Win32::CRegistryKey;
using Halyard::Win32::CStringConverter;
using Halyard::Win32::CWin32Exception;
using Halyard::Win32::ToString;

namespace TarnCtr {

std::wstring Describe(const CException &e)
{
    return e.GetWhere() + L": " + e.GetMessage();
}

// A module that the installer's own check refuses, or that cannot be read at all.
void ValidateModule(const std::wstring &path, bool is64Bit, const std::wstring &open, const std::wstring &collect,
                    const std::wstring &close)
{
    try
    {
        CPerformanceCounterInstaller().ValidateDLL(path, is64Bit, open, collect, close);
    }
    catch (const CException &e)
    {
        throw CToolFailure(ExitInvalidModule, e.GetMessage());
    }
}

void ValidateModule(const std::wstring &path, const std::wstring &open, const std::wstring &collect,
                    const std::wstring &close)
{
    ValidateModule(path, Halyard::Win32::Is64bitSystem(), open, collect, close);
}

} // namespace TarnCtr

using namespace TarnCtr;

namespace {

const wchar_t kUsage[] =
    L"Usage:\n"
    L"  tarnctr install <path to TARNCounters.dll> [--copy] [--force] [<time-outs>]\n"
    L"      Registers the module for the TARN counter set and loads the counter names and help texts.\n"
    L"      --copy copies the module into the system folder and registers its file name only.\n"
    L"      --force registers a module on a network share, or one that an account other than SYSTEM,\n"
    L"      Administrators or TrustedInstaller could change (the file, its folder or any folder above\n"
    L"      it, or a link on the way), which every privileged monitor would then load.\n"
    L"  tarnctr install --x64 <64-bit TARNCounters.dll> --x86 <32-bit TARNCounters.dll> [<time-outs>]\n"
    L"      Copies each module into the system folder of its word size as TARNCounters.dll and registers\n"
    L"      that name, so that 64-bit and 32-bit monitors both load the counters. Either may be left out.\n"
    L"  Time-outs, in milliseconds from 1 to 600000:\n"
    L"      --open-timeout <ms>, --collect-timeout <ms>: default 10000, the system's, then not recorded.\n"
    L"      --lock-timeout <ms>: how long the provider and the server wait for the shared block's lock;\n"
    L"      default 100, then not recorded.\n"
    L"  tarnctr uninstall\n"
    L"      Unloads the counter texts and removes the registration; a service of the same name keeps\n"
    L"      its own values and keys.\n"
    L"  tarnctr status\n"
    L"      Reports whether the set is installed, its First Counter, whether the installed schema\n"
    L"      checksum matches this program's TARN counter set, whether the registered module validates,\n"
    L"      which monitors (64-bit, 32-bit) can load it, the lock time-out, and whether the system has\n"
    L"      disabled the provider.\n"
    L"  tarnctr enable\n"
    L"      Clears the system's \"Disable Performance Counters\" mark on the TARN provider.\n"
    L"  tarnctr validate <path to a provider module>\n"
    L"      Checks that the module is a DLL for this system's word size exporting PerfData_Open,\n"
    L"      PerfData_Collect and PerfData_Close.\n"
    L"  tarnctr --help\n"
    L"\n"
    L"An install that fails leaves the registry and the system folders as they were.\n"
    L"\n"
    L"Exit codes:\n"
    L"  0  success (status: installed, checksum matching, module valid, provider enabled)\n"
    L"  1  wrong command line\n"
    L"  2  install: the counters are already installed\n"
    L"  3  uninstall, status, enable: the counters are not installed\n"
    L"  4  the provider module is missing or not valid\n"
    L"  5  install: the counter text files could not be written\n"
    L"  6  the system's counter-text loader failed, could not be loaded or recorded no First Counter\n"
    L"  7  the registry could not be read or written (for example without administrator rights)\n"
    L"  8  install --copy, --x64, --x86: a module could not be copied into a system folder\n"
    L"  9  status: the installed checksum differs from this TARN counter set's, or the registered\n"
    L"     module does not validate\n"
    L"  10 any other failure\n"
    L"  11 install: the module lies on a network share or where an account other than the\n"
    L"     administrators could change it; the message names the path and the account (--force\n"
    L"     registers it all the same)\n"
    L"  12 status: the system has disabled the provider (run \"tarnctr enable\")\n"
    L"  13 install: a failed install could not put back a module it had moved aside; the message\n"
    L"     names where that module was left\n";

// A folder of the program's own for the counter-text files: created new under a name nobody can
// have chosen beforehand, with access for SYSTEM, administrators and this account only, and
// removed with the files in it however the program leaves.
class CPrivateFolder
{
public:
    CPrivateFolder() : m_path(Halyard::Win32::GetTempPath() + L"TARNCounters_" + Halyard::Win32::CreateGUIDAsString())
    {
        const std::wstring sddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + CurrentUserSid() + L")";
        Halyard::Win32::TLocalMemory<void> descriptor;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                     descriptor.Receive(), nullptr))
        {
            throw CWin32Exception(L"CPrivateFolder() - ConvertStringSecurityDescriptorToSecurityDescriptor",
                                  ::GetLastError());
        }
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.Get(), FALSE};
        if (!::CreateDirectoryW(m_path.c_str(), &attributes))
        {
            throw CWin32Exception(L"CPrivateFolder() - CreateDirectory \"" + m_path + L"\"", ::GetLastError());
        }
    }

    ~CPrivateFolder()
    {
        for (const std::wstring &file : m_files)
        {
            ::DeleteFileW(file.c_str());
        }
        ::RemoveDirectoryW(m_path.c_str());
    }

    CPrivateFolder(const CPrivateFolder &) = delete;
    CPrivateFolder &operator=(const CPrivateFolder &) = delete;

    // The path of a file in the folder, deleted with it.
    std::wstring File(const std::wstring &name)
    {
        m_files.push_back(m_path + L"\\" + name);
        return m_files.back();
    }

private:
    static std::wstring CurrentUserSid()
    {
        HANDLE raw = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw))
        {
            throw CWin32Exception(L"CPrivateFolder() - OpenProcessToken", ::GetLastError());
        }
        const Halyard::Win32::CSmartHandle token(raw);
        BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        DWORD size = 0;
        Halyard::Win32::TLocalMemory<wchar_t> text;
        if (!::GetTokenInformation(raw, TokenUser, buffer, sizeof(buffer), &size) ||
            !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, text.Receive()))
        {
            throw CWin32Exception(L"CPrivateFolder() - GetTokenInformation", ::GetLastError());
        }
        return text.Get();
    }

    std::wstring m_path;
    std::vector<std::wstring> m_files;
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
    const DWORD maximum = CPerformanceCounterInstaller::MaximumTimeout;
    if (text.empty() || text.size() > 10 || text.find_first_not_of(L"0123456789") != std::wstring::npos ||
        std::stoull(text) == 0 || std::stoull(text) > maximum)
    {
        throw CToolFailure(ExitUsage, option + L" needs a number of milliseconds from 1 to " + ToString(maximum) +
                                          L", not \"" + text + L"\"");
    }
    return static_cast<DWORD>(std::stoull(text));
}

// Every privileged monitor loads the registered module, so a module that others can replace, on a
// share or anywhere on a path that someone other than the administrators may change, hands them
// those monitors' rights.
void CheckModuleLocation(const std::wstring &module, bool force)
{
    std::wstring problem;
    if (Halyard::Win32::IsOnNetworkShare(module))
    {
        problem = L"lies on a network share";
    }
    else
    {
        const Halyard::Win32::TUntrustedAccess found = Halyard::Win32::FindUntrustedAccessOnPath(module);
        if (found.Found())
        {
            problem = L"lies where others can change it: " + found.Describe();
        }
    }
    if (problem.empty())
    {
        return;
    }
    const std::wstring warning = L"\"" + module + L"\" " + problem +
                                 L": every monitor that reads the counters, services running as SYSTEM included, "
                                 L"would load it";
    if (!force)
    {
        throw CToolFailure(ExitUnsafeLocation, warning + L"; move it into a folder only administrators can write, "
                                                         L"use --copy, or use --force");
    }
    Print(stderr, L"tarnctr: warning: " + warning + L"\n");
}

struct InstallOptions
{
    std::wstring module;
    std::wstring x64Module;
    std::wstring x86Module;
    bool copy = false;
    bool force = false;
    DWORD openTimeout = kDefaultTimeout;
    DWORD collectTimeout = kDefaultTimeout;
    // 0: none recorded.
    DWORD lockTimeout = 0;
};

InstallOptions ParseInstall(const std::vector<std::wstring> &arguments)
{
    InstallOptions options;
    for (size_t i = 0; i < arguments.size(); ++i)
    {
        const std::wstring &argument = arguments[i];
        const bool valued = argument == L"--open-timeout" || argument == L"--collect-timeout" ||
                            argument == L"--lock-timeout" || argument == L"--x64" || argument == L"--x86";
        if (valued && i + 1 == arguments.size())
        {
            throw CToolFailure(ExitUsage, argument + L" needs a value");
        }
        if (argument == L"--copy")
        {
            options.copy = true;
        }
        else if (argument == L"--force")
        {
            options.force = true;
        }
        else if (argument == L"--open-timeout")
        {
            options.openTimeout = ParseMilliseconds(argument, arguments[++i]);
        }
        else if (argument == L"--collect-timeout")
        {
            options.collectTimeout = ParseMilliseconds(argument, arguments[++i]);
        }
        else if (argument == L"--lock-timeout")
        {
            options.lockTimeout = ParseMilliseconds(argument, arguments[++i]);
        }
        else if (argument == L"--x64" || argument == L"--x86")
        {
            (argument == L"--x64" ? options.x64Module : options.x86Module) = arguments[++i];
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
    const bool bySystemFolders = !options.x64Module.empty() || !options.x86Module.empty();
    if (bySystemFolders && (!options.module.empty() || options.copy || options.force))
    {
        throw CToolFailure(ExitUsage, L"install: --x64 and --x86 copy the modules into the system folders; give "
                                      L"no other module path, --copy or --force with them");
    }
    if (!bySystemFolders && options.module.empty())
    {
        throw CToolFailure(ExitUsage, L"install: the path to TARNCounters.dll is missing");
    }
    return options;
}

// The install and its failures, reported with their exit codes.
void RunInstaller(const std::function<void()> &install)
{
    try
    {
        install();
    }
    catch (const CRegistryKey::Exception &e)
    {
        throw CToolFailure(ExitRegistry, L"the registry could not be written: " + Describe(e));
    }
    catch (const CException &e)
    {
        const CInstallFailure *failure = dynamic_cast<const CInstallFailure *>(&e);
        const bool platform = dynamic_cast<const CWin32Exception *>(&e) != nullptr;
        switch (failure != nullptr ? failure->GetKind() : platform ? TInstallFailure::CounterTextLoader
                                                                   : TInstallFailure::InvalidModule)
        {
        case TInstallFailure::AlreadyInstalled:
            throw CToolFailure(ExitAlreadyInstalled, e.GetMessage());
        case TInstallFailure::InvalidParameter:
            throw CToolFailure(ExitUsage, e.GetMessage());
        case TInstallFailure::InvalidModule:
            throw CToolFailure(ExitInvalidModule, e.GetMessage());
        case TInstallFailure::Copy:
            throw CToolFailure(ExitCopy, L"the module could not be copied: " + Describe(e));
        case TInstallFailure::CounterTextLoader:
            throw CToolFailure(ExitCounterTextLoader,
                               platform ? L"the counter-text loader failed: " + Describe(e) : Describe(e));
        case TInstallFailure::Restore:
            throw CToolFailure(ExitRestore, Describe(e));
        }
        throw;
    }
}

int Install(const std::vector<std::wstring> &arguments)
{
    const InstallOptions options = ParseInstall(arguments);
    const bool bySystemFolders = options.module.empty();
    // The performance library loads the module from whatever process reads counters, so the
    // registration holds a full path.
    const std::wstring module = bySystemFolders ? std::wstring() : FullPath(options.module);
    const std::wstring x64Module = options.x64Module.empty() ? std::wstring() : FullPath(options.x64Module);
    const std::wstring x86Module = options.x86Module.empty() ? std::wstring() : FullPath(options.x86Module);

    CPerformanceCounterInstaller installer =
        options.lockTimeout != 0 ? CPerformanceCounterInstaller(options.lockTimeout) : CPerformanceCounterInstaller();
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
    // The installer skips a module file that does not exist; a path given here must not be skipped.
    if (!x64Module.empty())
    {
        ValidateModule(x64Module, true, kDefaultOpen, kDefaultCollect, kDefaultClose);
    }
    if (!x86Module.empty())
    {
        ValidateModule(x86Module, false, kDefaultOpen, kDefaultCollect, kDefaultClose);
    }
    if (!bySystemFolders)
    {
        ValidateModule(module, kDefaultOpen, kDefaultCollect, kDefaultClose);
        if (!options.copy)
        {
            CheckModuleLocation(module, options.force);
        }
    }

    const CPerformanceDataSchema schema = CreateTarnCounterSet();
    std::wstring ini;
    DWORD installed = 0;
    try
    {
        // Created new in a folder only this account and administrators can write, so nobody can
        // plant or swap the texts the loader reads.
        CPrivateFolder folder;
        ini = folder.File(L"TARNCounters.ini");
        CCounterTextFile(schema, TarnProductName).Write(ini, folder.File(L"TARNCounters.h"));
        RunInstaller([&] {
            if (bySystemFolders)
            {
                installed = installer.InstallToSystemDirectories(
                    TarnProductName, x86Module, x64Module, kModuleName, ini, L"", options.openTimeout,
                    options.collectTimeout, schema.GetChecksum());
                if (installed == 0)
                {
                    throw CToolFailure(ExitInvalidModule, L"no module of this system's word size was given");
                }
            }
            else
            {
                installer.Install(TarnProductName, module, options.copy, ini, L"", options.openTimeout,
                                  options.collectTimeout, schema.GetChecksum());
            }
        });
    }
    catch (const CException &e)
    {
        throw CToolFailure(ExitCounterTextFiles, L"the counter text files could not be written: " + Describe(e));
    }

    std::wstring registered = module;
    if (bySystemFolders)
    {
        registered = std::wstring(kModuleName) + L" (copied into the system folder for " +
                     ((installed & 0x11) == 0x11 ? L"64-bit and 32-bit monitors)"
                                                 : (installed & 0x10) != 0 ? L"64-bit monitors)" : L"32-bit monitors)");
    }
    else if (options.copy)
    {
        registered = Halyard::Win32::GetFileNameFromPath(module) + L" (copied into the system folder)";
    }
    Print(stdout, L"Installed the TARN counters for " + registered + L"\nFirst Counter: " +
                      ToString(installer.FirstCounterIndex(TarnProductName)) + L"\n");
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
    if (command == L"enable")
    {
        return Enable(rest);
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
        if (failure.GetExitCode() == ExitUsage)
        {
            return ReportUsageError(L"tarnctr", CUsageError(failure.GetMessage()),
                                    L"Run \"tarnctr --help\" for the commands.\n");
        }
        return ReportFailure(L"tarnctr", failure.GetMessage(), failure.GetExitCode());
    }
    catch (const CRegistryKey::Exception &e)
    {
        return ReportFailure(L"tarnctr", L"the registry could not be read: " + Describe(e), ExitRegistry);
    }
    catch (const CException &e)
    {
        return ReportFailure(L"tarnctr", Describe(e), ExitUnexpected);
    }
    catch (const std::exception &e)
    {
        return ReportFailure(L"tarnctr", CStringConverter::AtoW(e.what()), ExitUnexpected);
    }
}
