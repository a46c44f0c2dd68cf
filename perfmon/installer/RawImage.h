#pragma once

#include "win32/MemoryMappedFile.h"

#include <windows.h>

#include <string>

namespace Halyard {
namespace PerfMon {

// A portable executable file read as data, never loaded: no code of the module runs, and a 64-bit
// image can be examined from a 32-bit process. The file is not trusted: every offset it holds is
// checked against the mapped size before it is followed, so a truncated or damaged file yields
// "not valid" or "no such export", never a read outside the view. It is bounded in time as well: an
// image of more than 96 sections is not valid, and only the first 65536 export names are looked at.
// Movable, not copyable.
class CRawImage
{
public:
    // Maps the file read-only; with validate, throws CException unless it is an x86 or x64 image.
    CRawImage(const std::wstring &path, bool validate);

    CRawImage(CRawImage &&) = default;
    CRawImage &operator=(CRawImage &&) = default;
    CRawImage(const CRawImage &) = delete;
    CRawImage &operator=(const CRawImage &) = delete;
    ~CRawImage() = default;

    // "MZ", an x86 or x64 machine, at most 96 sections, and every header, the section table
    // included, inside the file.
    bool IsValid() const;
    bool IsDLL() const;
    bool IsX86() const;
    bool IsX64() const;

    // 0 for an entry beyond the directory count or outside the optional header.
    DWORD GetDataDirectoryRVA(DWORD index) const;
    DWORD GetDataDirectorySize(DWORD index) const;

    // The byte at rva in the view; null when no section holds it or it lies outside the file.
    const void *RvaToPointer(DWORD rva) const;

    // The export's relative virtual address; 0 when the image has no export of that exact name.
    DWORD GetExportRVA(const std::wstring &name) const;
    // base + the export's address; 0 when it is absent.
    ULONGLONG GetExportAddress(ULONGLONG base, const std::wstring &name) const;

    DWORD GetEntryPointRVA() const;
    // base + the entry point; 0 when the image has none.
    ULONGLONG GetEntryPointAddress(ULONGLONG base) const;

    // Whether the image carries a runtime header (data directory entry 14).
    bool IsManaged() const;

private:
    // Null unless [offset, offset + size) lies inside the file.
    const BYTE *FileBytes(ULONGLONG offset, ULONGLONG size) const;
    // As RvaToPointer, for size bytes from rva.
    const BYTE *RvaToPointer(DWORD rva, ULONGLONG size) const;

    // All zero, and null, when the headers are not all inside the file.
    IMAGE_FILE_HEADER GetFileHeader() const;
    const BYTE *GetOptionalHeader() const;
    DWORD GetNumberOfRvaAndSizes() const;
    // Null for an entry beyond the count or outside the optional header.
    const BYTE *GetDataDirectory(DWORD index) const;
    WORD GetMachine() const;

    // base + e_lfanew when the file, optional and section headers all lie inside the file.
    const BYTE *LocateNtHeaders() const;

    Win32::CMemoryMappedFile m_file;
    const BYTE *m_base;
    // Null when the file is shorter than a DOS header.
    const IMAGE_DOS_HEADER *m_dosHeader;
    // Null when the headers that e_lfanew leads to do not lie wholly inside the file.
    const BYTE *m_ntHeaders;
};

} // namespace PerfMon
} // namespace Halyard
