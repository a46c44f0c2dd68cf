#include "win32/SharedMemory.h"

#include "win32/Exception.h"
#include "win32/ToString.h"

#include <utility>

namespace Halyard {
namespace Win32 {

namespace {

const wchar_t kConstructorWhere[] = L"CSharedMemory::CSharedMemory()";
const wchar_t kSizeMismatchWhere[] = L"CSharedMemory::CSharedMemory() - Already exists and not the same size";

// How long an opener waits for the creator of a section to write its size word.
const ULONGLONG kSizeWordWaitMilliseconds = 2000;
const DWORD kSizeWordPollMilliseconds = 2;

volatile DWORD *SizeWord(void *view)
{
    return static_cast<volatile DWORD *>(view);
}

} // namespace

CSharedMemory::CSharedMemory(const IKernelObjectName &name, DWORD size, AccessMode access, bool allowExisting,
                             SECURITY_ATTRIBUTES *sa)
    : m_size(0)
{
    const DWORD sectionSize = CalculateSize(size);
    const DWORD protection = GetProtection(access);
    const bool existed = Create(name, sectionSize, allowExisting, sa);
    Attach(existed, size, protection);
}

CSharedMemory::CSharedMemory(CSmartHandle opened, const IKernelObjectName &name, DWORD size, AccessMode access,
                             SECURITY_ATTRIBUTES *sa)
    : m_mapping(std::move(opened)), m_size(0)
{
    const DWORD sectionSize = CalculateSize(size);
    const DWORD protection = GetProtection(access);
    const bool existed = m_mapping.IsValid() || Create(name, sectionSize, true, sa);
    Attach(existed, size, protection);
}

// True when the section already existed.
bool CSharedMemory::Create(const IKernelObjectName &name, DWORD sectionSize, bool allowExisting,
                           SECURITY_ATTRIBUTES *sa)
{
    ::SetLastError(ERROR_SUCCESS);
    m_mapping = CSmartHandle(::CreateFileMappingW(INVALID_HANDLE_VALUE, sa, PAGE_READWRITE, 0, sectionSize,
                                                  name.GetName().c_str()));
    const DWORD lastError = ::GetLastError();
    if (!m_mapping.IsValid())
    {
        throw CWin32Exception(L"CSharedMemory::CSharedMemory() - CreateFileMapping", lastError);
    }
    const bool existed = lastError == ERROR_ALREADY_EXISTS;
    if (existed && !allowExisting)
    {
        throw CWin32Exception(L"CSharedMemory::CSharedMemory() - CreateFileMapping", ERROR_ALREADY_EXISTS);
    }
    return existed;
}

// An existing section is only read here, so it is mapped once, as the caller asked. A new one needs
// its size word written first; it is mapped again only when the caller wants to read alone.
void CSharedMemory::Attach(bool existed, DWORD size, DWORD protection)
{
    const DWORD sectionSize = size + sizeof(DWORD);
    if (existed)
    {
        MapView(protection);
        // The section may belong to a process with another layout, or be smaller than its size
        // word claims: both are refused before anything is handed out.
        if (WaitForSizeWord(size) != size || m_view.GetRegionSize() < sectionSize)
        {
            throw CWin32Exception(kSizeMismatchWhere, ERROR_BAD_LENGTH);
        }
    }
    else
    {
        MapView(FILE_MAP_WRITE);
        *SizeWord(m_view.Get()) = size;
        if (protection != FILE_MAP_WRITE)
        {
            m_view.Unmap();
            MapView(protection);
        }
    }
    m_size = size;
}

CSharedMemory::CSharedMemory(const IKernelObjectName &name, AccessMode access)
    : m_mapping(::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name.GetName().c_str())), m_size(0)
{
    // Write access alone does not let the platform map a read-only view, so read access is asked too.
    if (!m_mapping.IsValid())
    {
        throw CWin32Exception(kConstructorWhere, ::GetLastError());
    }
    MapView(GetProtection(access));
    const DWORD size = *SizeWord(m_view.Get());
    // Any process can write the size word: it is trusted only as far as the view reaches.
    if (m_view.GetRegionSize() < static_cast<ULONGLONG>(size) + sizeof(DWORD))
    {
        throw CWin32Exception(L"CSharedMemory::CSharedMemory() - Section is smaller than its size word",
                              ERROR_BAD_LENGTH);
    }
    m_size = size;
}

void *CSharedMemory::GetMemory()
{
    return static_cast<BYTE *>(m_view.Get()) + sizeof(DWORD);
}

const void *CSharedMemory::GetMemory() const
{
    return static_cast<const BYTE *>(m_view.Get()) + sizeof(DWORD);
}

DWORD CSharedMemory::GetSize() const
{
    return m_size;
}

DWORD CSharedMemory::CalculateSize(DWORD size)
{
    if (size > MaxSize)
    {
        throw CException(L"CSharedMemory::CalculateSize()",
                         L"Size is too big: " + ToString(size) + L" max is:" + ToString(MaxSize));
    }
    return size + sizeof(DWORD);
}

DWORD CSharedMemory::GetProtection(AccessMode access)
{
    switch (access)
    {
    case ReadOnly:
        return FILE_MAP_READ;
    case ReadWrite:
        return FILE_MAP_WRITE;
    }
    throw CException(L"CSharedMemory::GetProtection()",
                     L"Unexpected protection flag: " + ToString(static_cast<int>(access)));
}

void CSharedMemory::MapView(DWORD desiredAccess)
{
    m_view = CMappedView(::MapViewOfFile(m_mapping.GetHandle(), desiredAccess, 0, 0, 0));
    ThrowLastErrorIf(!m_view.IsValid(), L"CSharedMemory::CSharedMemory() - MapViewOfFile");
}

// The creator writes the size word just after it maps the new section, under no lock; an opener that
// comes in between reads 0. It waits a bounded time for the word rather than report a false mismatch.
DWORD CSharedMemory::WaitForSizeWord(DWORD expected) const
{
    DWORD found = *SizeWord(m_view.Get());
    const ULONGLONG deadline = ::GetTickCount64() + kSizeWordWaitMilliseconds;
    while (found == 0 && expected != 0 && ::GetTickCount64() < deadline)
    {
        ::Sleep(kSizeWordPollMilliseconds);
        found = *SizeWord(m_view.Get());
    }
    return found;
}

} // namespace Win32
} // namespace Halyard
