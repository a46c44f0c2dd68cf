#include "win32/MemoryMappedFile.h"

#include "win32/Exception.h"
#include "win32/ToString.h"

namespace Halyard {
namespace Win32 {

namespace {

CException UnexpectedAccessMode(const wchar_t *where, CMemoryMappedFile::AccessMode access)
{
    return CException(where, L"Unexpected access mode: " + ToString(static_cast<int>(access)));
}

} // namespace

CMemoryMappedFile::CMemoryMappedFile(const std::wstring &path, AccessMode access)
    : m_size(0)
{
    const CSmartHandle file(OpenFile(path, access));
    Map(file.GetHandle(), access);
}

CMemoryMappedFile::CMemoryMappedFile(HANDLE file, AccessMode access)
    : m_size(0)
{
    Map(file, access);
}

void *CMemoryMappedFile::GetBaseAddress()
{
    return m_view.Get();
}

const void *CMemoryMappedFile::GetBaseAddress() const
{
    return m_view.Get();
}

size_t CMemoryMappedFile::GetSize() const
{
    return m_size;
}

void CMemoryMappedFile::Map(HANDLE file, AccessMode access)
{
    const DWORD pageMode = GetPageMode(access);
    const DWORD viewAccess = GetAccessMode(access);

    LARGE_INTEGER fileSize = {};
    ThrowLastErrorIf(!::GetFileSizeEx(file, &fileSize), L"CMemoryMappedFile::CMemoryMappedFile() - GetFileSizeEx");

    m_mapping = CSmartHandle(::CreateFileMappingW(file, nullptr, pageMode, 0, 0, nullptr));
    const DWORD lastError = ::GetLastError();
    if (!m_mapping.IsValid())
    {
        throw CWin32Exception(L"CMemoryMappedFile::CMemoryMappedFile() - CreateFileMapping", lastError);
    }
    m_view = CMappedView(::MapViewOfFile(m_mapping.GetHandle(), viewAccess, 0, 0, 0));
    ThrowLastErrorIf(!m_view.IsValid(), L"CMemoryMappedFile::CMemoryMappedFile() - MapViewOfFile");
    // The whole file is in the view, so its size fits in the address space.
    m_size = static_cast<size_t>(fileSize.QuadPart);
}

HANDLE CMemoryMappedFile::OpenFile(const std::wstring &path, AccessMode access)
{
    DWORD desiredAccess = 0;
    DWORD shareMode = 0;
    switch (access)
    {
    case ReadOnly:
        desiredAccess = GENERIC_READ;
        shareMode = FILE_SHARE_READ;
        break;
    case ReadWrite:
        desiredAccess = GENERIC_READ | GENERIC_WRITE;
        shareMode = 0;
        break;
    default:
        throw UnexpectedAccessMode(L"CMemoryMappedFile::OpenFile()", access);
    }
    const HANDLE file =
        ::CreateFileW(path.c_str(), desiredAccess, shareMode, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        throw CWin32Exception(L"CMemoryMappedFile::OpenFile() -\"" + path + L"\"", ::GetLastError());
    }
    return file;
}

DWORD CMemoryMappedFile::GetPageMode(AccessMode access)
{
    switch (access)
    {
    case ReadOnly:
        return PAGE_READONLY;
    case ReadWrite:
        return PAGE_READWRITE;
    }
    throw UnexpectedAccessMode(L"CMemoryMappedFile::GetPageMode()", access);
}

DWORD CMemoryMappedFile::GetAccessMode(AccessMode access)
{
    switch (access)
    {
    case ReadOnly:
        return FILE_MAP_READ;
    case ReadWrite:
        return FILE_MAP_WRITE;
    }
    throw UnexpectedAccessMode(L"CMemoryMappedFile::GetAccessMode()", access);
}

} // namespace Win32
} // namespace Halyard
