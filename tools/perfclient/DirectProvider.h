#pragma once

#include "win32/LibraryLoader.h"

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace Halyard {
namespace PerfClient {

// A provider module loaded by path and called directly, the way the performance library calls it:
// Open once, Collect any number of times, Close. The module is freed when the object is destroyed;
// Close is not called for the caller.
class CDirectProvider
{
public:
    using OpenFunction = DWORD(WINAPI *)(LPWSTR deviceNames);
    using CollectFunction = DWORD(WINAPI *)(LPWSTR query, LPVOID *data, LPDWORD bytes, LPDWORD objects);
    using CloseFunction = DWORD(WINAPI *)();

    struct CollectResult
    {
        DWORD result;                // the export's return code
        DWORD bytes;                 // the byte count as the export left it
        DWORD objects;               // the object count as the export left it
        std::ptrdiff_t cursorAdvance; // how far the export moved the data cursor
        bool overran;                // the export wrote past the end of the buffer it was given
        std::vector<BYTE> data;      // the whole buffer; bytes the export did not write hold kUnwrittenByte
    };

    static const BYTE kUnwrittenByte = 0xCD;

    explicit CDirectProvider(const std::wstring &libraryPath, const std::string &openName = "PerfData_Open",
                             const std::string &collectName = "PerfData_Collect",
                             const std::string &closeName = "PerfData_Close");
    CDirectProvider(CDirectProvider &&) noexcept = default;
    CDirectProvider &operator=(CDirectProvider &&) noexcept = default;
    CDirectProvider(const CDirectProvider &) = delete;
    CDirectProvider &operator=(const CDirectProvider &) = delete;
    ~CDirectProvider() = default;

    DWORD Open(const std::wstring &deviceNames);
    // Calls Collect with a buffer of bufferSize bytes; the object count goes in as objectCountIn.
    CollectResult Collect(const std::wstring &query, DWORD bufferSize, DWORD objectCountIn = 0);
    DWORD Close();

    HMODULE GetModule() const;

private:
    Win32::CLibraryLoader m_module;
    OpenFunction m_open;
    CollectFunction m_collect;
    CloseFunction m_close;
};

} // namespace PerfClient
} // namespace Halyard
