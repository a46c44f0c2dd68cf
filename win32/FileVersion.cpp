// Kept apart from the other file utilities: a binary that never asks for a version does not import
// the version library.
#include "win32/FileUtils.h"

#include <vector>

namespace Halyard {
namespace Win32 {

std::wstring GetProductVersion(HMODULE module)
{
    const std::wstring file = GetModuleFileName(module);
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), &handle);
    if (size == 0)
    {
        return std::wstring();
    }
    std::vector<BYTE> information(size);
    if (!::GetFileVersionInfoW(file.c_str(), 0, size, information.data()))
    {
        return std::wstring();
    }
    void *version = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(information.data(), L"\\StringFileInfo\\080904b0\\ProductVersion", &version, &length) ||
        !version || length == 0)
    {
        return std::wstring();
    }
    const wchar_t *text = static_cast<const wchar_t *>(version);
    return std::wstring(text, ::wcsnlen(text, length));
}

} // namespace Win32
} // namespace Halyard
