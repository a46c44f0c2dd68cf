#pragma once

#include "win32/MappedView.h"
#include "win32/SmartHandle.h"

#include <windows.h>

#include <string>

namespace Halyard {
namespace Win32 {

// A whole existing file mapped into memory. Movable, not copyable.
class CMemoryMappedFile
{
public:
    enum AccessMode
    {
        ReadOnly = 0,
        ReadWrite = 1
    };

    // Opens the file (read: shared for reading; read-write: not shared), maps it and closes the file.
    CMemoryMappedFile(const std::wstring &path, AccessMode access);
    // Maps an open file; the caller keeps its handle.
    CMemoryMappedFile(HANDLE file, AccessMode access);

    CMemoryMappedFile(CMemoryMappedFile &&) = default;
    CMemoryMappedFile &operator=(CMemoryMappedFile &&) = default;
    ~CMemoryMappedFile() = default;

    void *GetBaseAddress();
    const void *GetBaseAddress() const;
    // The file's size in bytes when it was mapped: every read through the view stays below it.
    size_t GetSize() const;

private:
    static HANDLE OpenFile(const std::wstring &path, AccessMode access);
    static DWORD GetPageMode(AccessMode access);
    static DWORD GetAccessMode(AccessMode access);

    void Map(HANDLE file, AccessMode access);

    CSmartHandle m_mapping;
    CMappedView m_view;
    size_t m_size;
};

} // namespace Win32
} // namespace Halyard
