#pragma once

#include <windows.h>

#include <string>

namespace Halyard {
namespace Win32 {

// The files that match a pattern such as "C:\\dumps\\app.exe-*.*", one at a time. Directories
// are passed over. A pattern that matches nothing, or a folder that does not exist, gives no files.
class CDirectorySearch
{
public:
    explicit CDirectorySearch(const std::wstring &pattern);
    ~CDirectorySearch();

    CDirectorySearch(const CDirectorySearch &) = delete;
    CDirectorySearch &operator=(const CDirectorySearch &) = delete;

    // The full path of the next matching file; false when there are no more.
    bool GetNext(std::wstring &path);

private:
    std::wstring m_directory;
    HANDLE m_search;
    WIN32_FIND_DATAW m_found;
    bool m_pending;
};

} // namespace Win32
} // namespace Halyard
