// The part of the system's counter-text loader that counter installation relies on: loading a
// set's initialisation file assigns the set the next free range of title indexes after the
// system's last ones and records it in the set's "Performance" key; unloading removes the record.
// The name and help texts themselves are not stored.
//
// For tests, HALYARD_LOADPERF_MODE makes loading misbehave: "fail" records nothing and fails,
// "record-nothing" records nothing and reports success, "big-endian" records "First Counter" as a
// REG_DWORD_BIG_ENDIAN. Loaded from anywhere but the system folder, it leaves a file named after
// itself with ".loaded" appended, so a test can tell that a program loaded a planted copy.

#include "win32/Exception.h"
#include "win32/FileUtils.h"
#include "win32/RegistryKey.h"
#include "win32/SmartHandle.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <map>
#include <set>
#include <string>
#include <vector>

using Halyard::Win32::CException;
using Halyard::Win32::CRegistryKey;
using Halyard::Win32::CWin32Exception;

namespace {

const wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\";
const wchar_t kPerflibKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib";

typedef std::map<std::wstring, std::wstring> Section;
typedef std::map<std::wstring, Section> IniFile;

std::wstring Trim(const std::wstring &text)
{
    const size_t first = text.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos)
    {
        return std::wstring();
    }
    return text.substr(first, text.find_last_not_of(L" \t\r\n") - first + 1);
}

std::wstring Upper(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towupper(c); });
    return text;
}

std::vector<std::wstring> Lines(const std::wstring &text)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start <= text.size())
    {
        const size_t end = text.find(L'\n', start);
        lines.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos)
        {
            break;
        }
        start = end + 1;
    }
    return lines;
}

// Section and key names compare without regard to case, as the profile functions do.
IniFile ReadIniFile(const std::wstring &path)
{
    IniFile ini;
    Section *current = nullptr;
    for (const std::wstring &raw : Lines(Halyard::Win32::LoadFileAsUnicodeString(path)))
    {
        const std::wstring line = Trim(raw);
        if (line.empty() || line[0] == L';')
        {
            continue;
        }
        if (line[0] == L'[' && line.back() == L']')
        {
            current = &ini[Upper(Trim(line.substr(1, line.size() - 2)))];
            continue;
        }
        const size_t equals = line.find(L'=');
        if (current != nullptr && equals != std::wstring::npos)
        {
            current->emplace(Upper(Trim(line.substr(0, equals))), Trim(line.substr(equals + 1)));
        }
    }
    return ini;
}

// The word after the first one, without its quotation marks: "NotUsed \"<argument>\"".
std::wstring Argument(const wchar_t *commandLine)
{
    if (commandLine == nullptr)
    {
        throw CWin32Exception(L"Argument()", ERROR_INVALID_PARAMETER);
    }
    const std::wstring line = Trim(commandLine);
    const size_t space = line.find_first_of(L" \t");
    if (space == std::wstring::npos)
    {
        throw CWin32Exception(L"Argument()", ERROR_INVALID_PARAMETER);
    }
    std::wstring argument = Trim(line.substr(space));
    if (argument.size() >= 2 && argument.front() == L'"' && argument.back() == L'"')
    {
        argument = argument.substr(1, argument.size() - 2);
    }
    if (argument.empty())
    {
        throw CWin32Exception(L"Argument()", ERROR_INVALID_PARAMETER);
    }
    return argument;
}

// The offsets of the symbol header's "#define SYMBOL offset" lines.
std::vector<DWORD> HeaderOffsets(const std::wstring &path)
{
    std::vector<DWORD> offsets;
    for (const std::wstring &raw : Lines(Halyard::Win32::LoadFileAsStringW(path)))
    {
        const std::wstring line = Trim(raw);
        if (line.compare(0, 8, L"#define ") != 0)
        {
            continue;
        }
        const size_t value = line.find_last_of(L" \t");
        const std::wstring number = line.substr(value + 1);
        if (value <= 8 || number.empty() || number.find_first_not_of(L"0123456789") != std::wstring::npos ||
            number.size() > 6)
        {
            throw CWin32Exception(L"HeaderOffsets()", ERROR_INVALID_DATA);
        }
        offsets.push_back(static_cast<DWORD>(std::stoul(number)));
    }
    return offsets;
}

// Without a header, each distinct <symbol> of the [text] keys "<symbol>_<language>_NAME" counts.
std::vector<DWORD> TextOffsets(const Section &text)
{
    std::set<std::wstring> symbols;
    for (const auto &entry : text)
    {
        const std::wstring &key = entry.first;
        const size_t suffix = key.rfind(L"_NAME");
        const size_t language = suffix == std::wstring::npos || suffix == 0 ? std::wstring::npos
                                                                             : key.rfind(L'_', suffix - 1);
        if (suffix + 5 == key.size() && language != std::wstring::npos && language > 0)
        {
            symbols.insert(key.substr(0, language));
        }
    }
    std::vector<DWORD> offsets;
    for (DWORD offset = 0; offsets.size() < symbols.size(); offset += 2)
    {
        offsets.push_back(offset);
    }
    return offsets;
}

DWORD ReadDWORD(const CRegistryKey &key, const wchar_t *name, DWORD missing)
{
    DWORD value = missing;
    key.QueryValue(name, value);
    return value;
}

std::wstring Mode()
{
    wchar_t mode[32] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"HALYARD_LOADPERF_MODE", mode, 32);
    return length > 0 && length < 32 ? std::wstring(mode, length) : std::wstring();
}

DWORD Load(const wchar_t *commandLine)
{
    const std::wstring mode = Mode();
    if (mode == L"fail")
    {
        return ERROR_GEN_FAILURE;
    }
    if (mode == L"record-nothing")
    {
        return ERROR_SUCCESS;
    }
    const std::wstring iniPath = Argument(commandLine);
    const IniFile ini = ReadIniFile(iniPath);
    const auto info = ini.find(L"INFO");
    const auto driver = info == ini.end() ? Section::const_iterator() : info->second.find(L"DRIVERNAME");
    if (info == ini.end() || driver == info->second.end() || driver->second.empty())
    {
        return ERROR_INVALID_DATA;
    }
    std::vector<DWORD> offsets;
    const auto symbolFile = info->second.find(L"SYMBOLFILE");
    if (symbolFile != info->second.end())
    {
        // The header is named relative to the initialisation file.
        const std::wstring directory = Halyard::Win32::GetDirectoryFromPath(iniPath);
        offsets = HeaderOffsets(directory.empty() ? symbolFile->second : directory + L"\\" + symbolFile->second);
    }
    else if (ini.count(L"TEXT") != 0)
    {
        offsets = TextOffsets(ini.at(L"TEXT"));
    }
    if (offsets.empty())
    {
        return ERROR_INVALID_DATA;
    }
    const DWORD lastOffset = *std::max_element(offsets.begin(), offsets.end());
    for (const DWORD offset : offsets)
    {
        if (offset % 2 != 0)
        {
            return ERROR_INVALID_DATA;
        }
    }

    const CRegistryKey performance(HKEY_LOCAL_MACHINE, kServicesKey + driver->second + L"\\Performance",
                                   KEY_READ | KEY_WRITE);
    DWORD existing = 0;
    if (performance.QueryValue(L"First Counter", existing))
    {
        return ERROR_ALREADY_EXISTS;
    }
    const CRegistryKey perflib(HKEY_LOCAL_MACHINE, kPerflibKey, KEY_READ | KEY_WRITE);
    const DWORD lastCounter = ReadDWORD(perflib, L"Last Counter", 0);
    const DWORD lastHelp = ReadDWORD(perflib, L"Last Help", 1);
    // Names take even indexes, their help texts the odd index after each.
    const DWORD firstCounter = (std::max(lastCounter, lastHelp > 0 ? lastHelp - 1 : 0) / 2 + 1) * 2;
    const DWORD newLastCounter = firstCounter + lastOffset;

    performance.SetValue(L"First Counter", firstCounter, mode == L"big-endian" ? REG_DWORD_BIG_ENDIAN : REG_DWORD);
    performance.SetValue(L"Last Counter", newLastCounter);
    performance.SetValue(L"First Help", firstCounter + 1);
    performance.SetValue(L"Last Help", newLastCounter + 1);
    perflib.SetValue(L"Last Counter", newLastCounter);
    perflib.SetValue(L"Last Help", newLastCounter + 1);
    return ERROR_SUCCESS;
}

DWORD Unload(const wchar_t *commandLine)
{
    const std::wstring application = Argument(commandLine);
    const CRegistryKey performance(HKEY_LOCAL_MACHINE, kServicesKey + application + L"\\Performance",
                                   KEY_READ | KEY_WRITE);
    DWORD firstCounter = 0;
    if (!performance.QueryValue(L"First Counter", firstCounter))
    {
        return ERROR_FILE_NOT_FOUND;
    }
    const DWORD lastCounter = ReadDWORD(performance, L"Last Counter", firstCounter);
    for (const wchar_t *name : {L"First Counter", L"Last Counter", L"First Help", L"Last Help"})
    {
        try
        {
            performance.DeleteValue(name);
        }
        catch (const CRegistryKey::Exception &)
        {
        }
    }
    // The range at the end of the system's indexes is handed out again.
    const CRegistryKey perflib(HKEY_LOCAL_MACHINE, kPerflibKey, KEY_READ | KEY_WRITE);
    if (firstCounter >= 2 && ReadDWORD(perflib, L"Last Counter", 0) == lastCounter)
    {
        perflib.SetValue(L"Last Counter", firstCounter - 2);
        perflib.SetValue(L"Last Help", firstCounter - 1);
    }
    return ERROR_SUCCESS;
}

// Nothing may leave the exports but a result code.
template <class Operation>
DWORD Guarded(Operation operation, const wchar_t *commandLine)
{
    try
    {
        return operation(commandLine);
    }
    catch (const CWin32Exception &e)
    {
        return e.GetError() != ERROR_SUCCESS ? e.GetError() : ERROR_GEN_FAILURE;
    }
    catch (const CException &)
    {
        return ERROR_INVALID_DATA;
    }
    catch (...)
    {
        return ERROR_GEN_FAILURE;
    }
}

} // namespace

extern "C" DWORD WINAPI LoadPerfCounterTextStringsW(LPWSTR commandLine, BOOL)
{
    return Guarded(Load, commandLine);
}

extern "C" DWORD WINAPI UnloadPerfCounterTextStringsW(LPWSTR commandLine, BOOL)
{
    return Guarded(Unload, commandLine);
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        wchar_t path[MAX_PATH];
        wchar_t system[MAX_PATH];
        const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
        const UINT systemLength = ::GetSystemDirectoryW(system, MAX_PATH);
        const std::wstring file(path, length < MAX_PATH ? length : 0);
        const std::wstring folder = Halyard::Win32::GetDirectoryFromPath(file);
        if (!file.empty() && systemLength > 0 && systemLength < MAX_PATH &&
            ::_wcsicmp(folder.c_str(), std::wstring(system, systemLength).c_str()) != 0)
        {
            // The marker is the file itself: created and closed again at once.
            const Halyard::Win32::CSmartHandle marker(::CreateFileW((file + L".loaded").c_str(), GENERIC_WRITE, 0,
                                                                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                                                    nullptr));
        }
    }
    return TRUE;
}
