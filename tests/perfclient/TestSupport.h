#pragma once

#include <windows.h>

#include <string>

namespace PerfClientTest {

// A file beside the running test program (its helper programs and fixture modules).
inline std::wstring BesideTestProgram(const std::wstring &fileName)
{
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring result(path, length);
    return result.substr(0, result.find_last_of(L'\\') + 1) + fileName;
}

} // namespace PerfClientTest
