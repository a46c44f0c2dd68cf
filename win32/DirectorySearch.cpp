#include "win32/DirectorySearch.h"

#include "win32/Exception.h"

namespace Halyard {
namespace Win32 {

CDirectorySearch::CDirectorySearch(const std::wstring &pattern)
    : m_directory(pattern.substr(0, pattern.find_last_of(L"\\/") + 1)),
      m_search(::FindFirstFileW(pattern.c_str(), &m_found)),
      m_pending(m_search != INVALID_HANDLE_VALUE)
{
    if (m_search == INVALID_HANDLE_VALUE)
    {
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_NO_MORE_FILES)
        {
            throw CWin32Exception(L"CDirectorySearch::CDirectorySearch() - FindFirstFileW \"" + pattern + L"\"", error);
        }
    }
}

CDirectorySearch::~CDirectorySearch()
{
    if (m_search != INVALID_HANDLE_VALUE)
    {
        const CLastErrorKeeper keeper;
        ::FindClose(m_search);
    }
}

bool CDirectorySearch::GetNext(std::wstring &path)
{
    while (m_pending)
    {
        const bool isDirectory = (m_found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!isDirectory)
        {
            path = m_directory + m_found.cFileName;
        }
        if (!::FindNextFileW(m_search, &m_found))
        {
            const DWORD error = ::GetLastError();
            if (error != ERROR_NO_MORE_FILES)
            {
                throw CWin32Exception(L"CDirectorySearch::GetNext() - FindNextFileW", error);
            }
            m_pending = false;
        }
        if (!isDirectory)
        {
            return true;
        }
    }
    return false;
}

} // namespace Win32
} // namespace Halyard
