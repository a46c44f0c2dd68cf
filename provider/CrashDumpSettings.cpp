#include "provider/CrashDumpSettings.h"

#include "crashdiag/CrashDump.h"
#include "win32/Exception.h"

#include <windows.h>

#include <vector>

std::wstring ReadCrashDumpFolder(const Halyard::Win32::CRegistryKey &key)
{
    // Takes REG_EXPAND_SZ as well, expanded.
    const DWORD flags = RRF_RT_REG_SZ;
    DWORD size = 0;
    LONG result = ::RegGetValueW(key, nullptr, L"Crash Dump Folder", flags, nullptr, nullptr, &size);
    if (result == ERROR_FILE_NOT_FOUND)
    {
        return std::wstring();
    }
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1);
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (result == ERROR_SUCCESS)
    {
        result = ::RegGetValueW(key, nullptr, L"Crash Dump Folder", flags, nullptr, text.data(), &size);
    }
    if (result != ERROR_SUCCESS)
    {
        throw Halyard::Win32::CWin32Exception(L"ReadCrashDumpFolder() - RegGetValueW", static_cast<DWORD>(result));
    }
    return std::wstring(text.data());
}

void ApplyCrashDumpSettings(const CPerformanceKey &performance)
{
    try
    {
        Halyard::Win32::SetCrashDumpFolder(performance.IsOpen() ? ReadCrashDumpFolder(performance.Get())
                                                                : std::wstring());
    }
    catch (const Halyard::Win32::CException &e)
    {
        ::OutputDebugStringW((L"ApplyCrashDumpSettings() -  Exception: " + e.GetWhere() + L" - " + e.GetMessage()).c_str());
    }
    catch (...)
    {
        ::OutputDebugStringW(L"ApplyCrashDumpSettings() - Unexpected exception");
    }
}
