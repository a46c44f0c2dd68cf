#include "tools/perfclient/Owners.h"

namespace Halyard {
namespace PerfClient {

void HandleCloser::operator()(HANDLE handle) const
{
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
    {
        const DWORD lastError = ::GetLastError();
        ::CloseHandle(handle);
        ::SetLastError(lastError);
    }
}

void ViewUnmapper::operator()(void *view) const
{
    const DWORD lastError = ::GetLastError();
    ::UnmapViewOfFile(view);
    ::SetLastError(lastError);
}

void LibraryFreer::operator()(HMODULE module) const
{
    const DWORD lastError = ::GetLastError();
    ::FreeLibrary(module);
    ::SetLastError(lastError);
}

void RegistryKeyCloser::operator()(HKEY key) const
{
    const DWORD lastError = ::GetLastError();
    ::RegCloseKey(key);
    ::SetLastError(lastError);
}

} // namespace PerfClient
} // namespace Halyard
