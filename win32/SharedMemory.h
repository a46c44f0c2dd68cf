#pragma once

#include "win32/KernelObjectName.h"
#include "win32/MappedView.h"
#include "win32/SmartHandle.h"

#include <windows.h>

namespace Halyard {
namespace Win32 {

// A named, page-file-backed section shared between processes. Its first 4 bytes hold the size of the
// user area that follows, written by the creator, so that an opener can tell whether the section it
// found is the one it expects. Movable, not copyable.
class CSharedMemory
{
public:
    enum AccessMode
    {
        ReadOnly = 0,
        ReadWrite = 1
    };

    // The largest user size: the section also holds the 4-byte size word.
    static constexpr DWORD MaxSize = 0xFFFFFFFF - sizeof(DWORD);

    // Creates the section, or opens an existing one of the same user size when allowExisting is set.
    CSharedMemory(const IKernelObjectName &name, DWORD size, AccessMode access, bool allowExisting,
                  SECURITY_ATTRIBUTES *sa);
    // Adopts a section that the caller already opened under this name and checks it as an existing
    // one; with no handle, creates or opens it as the constructor above does with allowExisting.
    CSharedMemory(CSmartHandle opened, const IKernelObjectName &name, DWORD size, AccessMode access,
                  SECURITY_ATTRIBUTES *sa);
    // Opens an existing section whatever its size.
    CSharedMemory(const IKernelObjectName &name, AccessMode access);

    CSharedMemory(CSharedMemory &&) = default;
    CSharedMemory &operator=(CSharedMemory &&) = default;
    ~CSharedMemory() = default;

    // The user area, GetSize() bytes.
    void *GetMemory();
    const void *GetMemory() const;
    // The size word as it was checked against the mapped view when the object was built.
    DWORD GetSize() const;

private:
    static DWORD CalculateSize(DWORD size);
    static DWORD GetProtection(AccessMode access);

    bool Create(const IKernelObjectName &name, DWORD sectionSize, bool allowExisting, SECURITY_ATTRIBUTES *sa);
    void Attach(bool existed, DWORD size, DWORD protection);
    void MapView(DWORD desiredAccess);
    DWORD WaitForSizeWord(DWORD expected) const;

    CSmartHandle m_mapping;
    CMappedView m_view;
    DWORD m_size;
};

} // namespace Win32
} // namespace Halyard
