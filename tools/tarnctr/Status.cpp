// tarnctr status and enable: what is registered, whether monitors of each word size can load it,
// and whether the system has disabled the provider.

#include "tools/tarnctr/TarnCtr.h"

#include "perfmon/installer/PerformanceCounterInstaller.h"
#include "perfmon/installer/RawImage.h"
#include "provider/TarnCounterSet.h"
#include "win32/FileUtils.h"
#include "win32/RegistryKey.h"
#include "win32/ToString.h"

#include <memory>

using Halyard::PerfMon::CPerformanceCounterInstaller;
using Halyard::PerfMon::CRawImage;
using Halyard::Win32::CException;
using Halyard::Win32::CRegistryKey;
using Halyard::Win32::ToString;

namespace TarnCtr {

namespace {

std::wstring ReadText(const CRegistryKey &key, const wchar_t *name, const std::wstring &missing)
{
    std::unique_ptr<wchar_t[]> text;
    return key.QueryValue(name, text) ? std::wstring(text.get()) : missing;
}

// Where a monitor of each word size finds the registered module: a bare file name in its own system
// folder, a full path as it is, except that a 32-bit monitor on a 64-bit system sees the system
// folder through the redirection to the 32-bit one.
struct MonitorView
{
    const wchar_t *monitors;
    WORD machine;
    std::wstring path;
};

std::vector<MonitorView> MonitorViews(const std::wstring &library)
{
    const bool bare = library.find_first_of(L"\\/") == std::wstring::npos;
    const std::wstring system = Halyard::Win32::GetSystemDirectory();
    std::vector<MonitorView> views;
    if (!Halyard::Win32::Is64bitSystem())
    {
        views.push_back({L"32-bit monitors", IMAGE_FILE_MACHINE_I386, bare ? system + L"\\" + library : library});
        return views;
    }
    const std::wstring wow64 = Halyard::Win32::GetSystemWow64Directory();
    std::wstring path32 = bare ? wow64 + L"\\" + library : library;
    if (!bare && ::_wcsnicmp(library.c_str(), (system + L"\\").c_str(), system.size() + 1) == 0)
    {
        path32 = wow64 + library.substr(system.size());
    }
    views.push_back({L"64-bit monitors", IMAGE_FILE_MACHINE_AMD64, bare ? system + L"\\" + library : library});
    views.push_back({L"32-bit monitors", IMAGE_FILE_MACHINE_I386, path32});
    return views;
}

// Whether the image at the path is a DLL for the machine, and why not.
std::wstring CanLoad(const std::wstring &path, WORD machine)
{
    // A 32-bit tarnctr must see the 64-bit system folder as it is.
    Halyard::Win32::CWOW64FileSystemRedirector redirector;
    if (Halyard::Win32::IsWow64Process())
    {
        redirector.Disable();
    }
    if (!Halyard::Win32::FileExists(path))
    {
        return L"no (" + path + L" does not exist)";
    }
    try
    {
        const CRawImage image(path, false);
        if (!image.IsValid() || !image.IsDLL())
        {
            return L"no (" + path + L" is not a valid dll image file)";
        }
        const bool fits = machine == IMAGE_FILE_MACHINE_AMD64 ? image.IsX64() : image.IsX86();
        if (!fits)
        {
            return L"no (" + path + (image.IsX64() ? L" is a 64-bit module)" : L" is a 32-bit module)");
        }
    }
    catch (const CException &e)
    {
        return L"no (" + path + L" could not be read: " + e.GetMessage() + L")";
    }
    return L"yes (" + path + L")";
}

} // namespace

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
    const CRegistryKey performance(HKEY_LOCAL_MACHINE, Halyard::PerfMon::PerformanceKeyPath(TarnProductName),
                                   KEY_READ);
    const std::wstring library = ReadText(performance, L"Library", L"");
    Print(stdout, L"TARN counters: installed\nLibrary: " + library +
                      L"\nFirst Counter: " + ToString(installer.FirstCounterIndex(TarnProductName)) + L"\n");

    int result = ExitSuccess;
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
        result = ExitMismatch;
        Print(stdout, L"Schema checksum: " + (installed.empty() ? std::wstring(L"none recorded") : installed) +
                          L" (this TARN counter set's is " + expected + L")\n");
        Print(stderr, L"tarnctr: the installed checksum differs from this TARN counter set's: reinstall the "
                      L"counters with the matching TARNCounters.dll\n");
    }

    // A module copied into the system directory is registered by its file name alone.
    const std::vector<MonitorView> views = MonitorViews(library);
    try
    {
        // This system's own monitors load the module from the path as it is, never redirected.
        Halyard::Win32::CWOW64FileSystemRedirector redirector;
        if (Halyard::Win32::IsWow64Process())
        {
            redirector.Disable();
        }
        ValidateModule(views.front().path, ReadText(performance, L"Open", L""),
                       ReadText(performance, L"Collect", L""), ReadText(performance, L"Close", L""));
        Print(stdout, L"Module: valid\n");
    }
    catch (const CToolFailure &failure)
    {
        result = ExitMismatch;
        Print(stdout, L"Module: not valid\n");
        Print(stderr, L"tarnctr: " + failure.GetMessage() + L"\n");
    }
    for (const MonitorView &view : views)
    {
        Print(stdout, std::wstring(view.monitors) + L": " + CanLoad(view.path, view.machine) + L"\n");
    }

    DWORD lockTimeout = 0;
    if (!performance.QueryValue(kLockTimeoutValue, lockTimeout))
    {
        Print(stdout, L"Lock Timeout: " + ToString(CPerformanceCounterInstaller::DefaultLockTimeout) +
                          L" ms (default)\n");
    }
    else if (lockTimeout == 0 || lockTimeout > CPerformanceCounterInstaller::MaximumTimeout)
    {
        Print(stdout, L"Lock Timeout: " + ToString(lockTimeout) + L" ms (outside 1 to " +
                          ToString(CPerformanceCounterInstaller::MaximumTimeout) +
                          L"; reinstall with --lock-timeout)\n");
    }
    else
    {
        Print(stdout, L"Lock Timeout: " + ToString(lockTimeout) + L" ms\n");
    }

    DWORD disabled = 0;
    if (performance.QueryValue(kDisableValue, disabled) && disabled != 0)
    {
        Print(stdout, L"Provider: disabled by the system (\"Disable Performance Counters\" is " +
                          ToString(disabled) + L")\n");
        Print(stderr, L"tarnctr: the system has disabled the TARN provider, so monitors get no TARN data; "
                      L"fix what made it fail, then run \"tarnctr enable\"\n");
        if (result == ExitSuccess)
        {
            result = ExitDisabled;
        }
    }
    else
    {
        Print(stdout, L"Provider: enabled\n");
    }
    return result;
}

int Enable(const std::vector<std::wstring> &arguments)
{
    if (!arguments.empty())
    {
        throw CToolFailure(ExitUsage, L"enable: unexpected argument \"" + arguments[0] + L"\"");
    }
    if (!CPerformanceCounterInstaller().IsInstalled(TarnProductName))
    {
        throw CToolFailure(ExitNotInstalled, L"the TARN counters are not installed");
    }
    const CRegistryKey performance(HKEY_LOCAL_MACHINE, Halyard::PerfMon::PerformanceKeyPath(TarnProductName),
                                   KEY_READ | KEY_WRITE);
    try
    {
        performance.DeleteValue(kDisableValue);
    }
    catch (const CRegistryKey::Exception &e)
    {
        if (e.GetError() != ERROR_FILE_NOT_FOUND)
        {
            throw CToolFailure(ExitRegistry, L"the registry could not be changed: " + Describe(e));
        }
        Print(stdout, L"The TARN provider is not disabled\n");
        return ExitSuccess;
    }
    Print(stdout, L"Enabled the TARN provider\n");
    return ExitSuccess;
}

} // namespace TarnCtr
