#pragma once

// Under Wine, file permissions and links live on the Unix side: a folder that every account may
// write is a 0777 folder, and a link is a Unix symbolic link. Tests make them with the Unix tools,
// which Wine starts like any program but without a process handle to wait on, so each change is
// awaited by its effect. Available() is false elsewhere.

#include "win32/LocalMemory.h"
#include "win32/StringConverter.h"

#include <windows.h>
#include <aclapi.h>

#include <functional>
#include <string>

namespace Halyard {
namespace Testing {

class CUnixFiles
{
public:
    static bool Available() { return ::GetFileAttributesW(L"Z:\\bin\\ln") != INVALID_FILE_ATTRIBUTES; }

    static std::wstring UnixPath(const std::wstring &path)
    {
        using ToUnix = char *(CDECL *)(LPCWSTR);
        const auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void (*)()>(
            ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
        char *unix = toUnix != nullptr ? toUnix(path.c_str()) : nullptr;
        const std::wstring converted = unix != nullptr ? Win32::CStringConverter::AtoW(unix) : std::wstring();
        ::HeapFree(::GetProcessHeap(), 0, unix);
        return converted;
    }

    // chmod 0777: Wine then shows Everyone with modify rights.
    static bool OpenToEveryone(const std::wstring &path)
    {
        return Run(L"chmod", L"0777 \"" + UnixPath(path) + L"\"", [&] { return EveryoneMayWrite(path); });
    }

    static bool Link(const std::wstring &target, const std::wstring &link)
    {
        return Run(L"ln", L"-s \"" + UnixPath(target) + L"\" \"" + UnixPath(link) + L"\"",
                   [&] { return ::GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; });
    }

    static bool Remove(const std::wstring &path)
    {
        return Run(L"rm", L"-f \"" + UnixPath(path) + L"\"",
                   [&] { return ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES; });
    }

private:
    static bool Run(const std::wstring &tool, const std::wstring &arguments, const std::function<bool()> &done)
    {
        std::wstring commandLine = L"\"Z:\\bin\\" + tool + L"\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                              &info))
        {
            return false;
        }
        for (HANDLE handle : {info.hProcess, info.hThread})
        {
            if (handle != nullptr)
            {
                ::CloseHandle(handle);
            }
        }
        for (int i = 0; i < 500; ++i)
        {
            if (done())
            {
                return true;
            }
            ::Sleep(20);
        }
        return false;
    }

    static bool EveryoneMayWrite(const std::wstring &path)
    {
        PACL dacl = nullptr;
        Win32::TLocalMemory<void> descriptor;
        if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                    nullptr, descriptor.Receive()) != ERROR_SUCCESS ||
            dacl == nullptr)
        {
            return false;
        }
        BYTE everyone[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(everyone);
        ::CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size);
        for (DWORD i = 0; i < dacl->AceCount; ++i)
        {
            void *entry = nullptr;
            if (::GetAce(dacl, i, &entry) && static_cast<ACE_HEADER *>(entry)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
                ::EqualSid(&static_cast<ACCESS_ALLOWED_ACE *>(entry)->SidStart, everyone) &&
                (static_cast<ACCESS_ALLOWED_ACE *>(entry)->Mask & FILE_WRITE_DATA) != 0)
            {
                return true;
            }
        }
        return false;
    }
};

} // namespace Testing
} // namespace Halyard
